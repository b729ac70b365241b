#!/usr/bin/env bash
# Regenerates the small seed inputs of the fuzz targets into fuzz/corpus/<target>/
# (or into the folder given as the first argument). The output is the same on
# every run: pictures are drawn here, and the tools only compress them.
#
# Needs python3, ImageMagick's convert, cjpeg and tiffcp. Files of the same name
# are overwritten; seeds committed by hand are never touched.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/corpus}
for tool in python3 convert cjpeg tiffcp; do
  command -v "$tool" >/dev/null || { echo "make-seeds: $tool is missing" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export SOURCE_DATE_EPOCH=0 TZ=UTC
python3 - "$out" "$work" <<'PY'
import os, struct, subprocess, sys, zlib

OUT, WORK = sys.argv[1], sys.argv[2]
LIMIT = 16384
written = {}


def save(target, name, data):
    assert len(data) <= LIMIT, (target, name, len(data))
    d = os.path.join(OUT, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), 'wb') as f:
        f.write(data)
    written.setdefault(target, []).append(name)


def run(*args, stdin=None):
    return subprocess.run(args, input=stdin, check=True, stdout=subprocess.PIPE).stdout


def tmp(name, data=None):
    p = os.path.join(WORK, name)
    if data is not None:
        with open(p, 'wb') as f:
            f.write(data)
    return p


def slurp(path):
    with open(path, 'rb') as f:
        return f.read()


# --- Pictures -----------------------------------------------------------------------
def rgb(w, h):
    return [[((x * 255) // max(1, w - 1), (y * 255) // max(1, h - 1), ((x + 2 * y) % 4) * 85)
             for x in range(w)] for y in range(h)]


def grey(w, h, maxv=255):
    return [[((x * 7 + y * 13) * maxv // (7 * (w - 1) + 13 * (h - 1) or 1)) for x in range(w)]
            for y in range(h)]


def index(w, h, n):
    return [[(x + 3 * y + x * y) % n for x in range(w)] for y in range(h)]


def bits(w, h):
    # A frame, a diagonal and a few runs: something for every fax code.
    return [[1 if x in (0, w - 1) or y in (0, h - 1) or x == y or (y == 3 and 5 < x < 20) else 0
             for x in range(w)] for y in range(h)]


def alpha(w, h):
    return [[(x * 255 // max(1, w - 1)) if y % 3 else (0 if x % 2 else 255) for x in range(w)]
            for y in range(h)]


def palette(n):
    return [((i * 67) & 255, (i * 151 + 40) & 255, (255 - i * 29) & 255) for i in range(n)]


def pack(row, depth):
    out, acc, nbits = bytearray(), 0, 0
    for v in row:
        acc = (acc << depth) | v
        nbits += depth
        if nbits == 8:
            out.append(acc)
            acc, nbits = 0, 0
    if nbits:
        out.append(acc << (8 - nbits))
    return bytes(out)


def le16(v): return struct.pack('<H', v)
def le32(v): return struct.pack('<I', v & 0xFFFFFFFF)


# --- PNM ----------------------------------------------------------------------------
def pnm_p6(pic):
    h, w = len(pic), len(pic[0])
    return b'P6\n%d %d\n255\n' % (w, h) + bytes(c for row in pic for p in row for c in p)


def pnm_p5(pic, maxv=255):
    h, w = len(pic), len(pic[0])
    if maxv > 255:
        body = b''.join(struct.pack('>H', v) for row in pic for v in row)
    else:
        body = bytes(v for row in pic for v in row)
    return b'P5\n%d %d\n%d\n' % (w, h, maxv) + body


def pnm_p4(pic):
    h, w = len(pic), len(pic[0])
    return b'P4\n%d %d\n' % (w, h) + b''.join(pack(r, 1) for r in pic)


def make_pnm():
    g = grey(9, 5)
    c = rgb(7, 4)
    b = bits(11, 5)
    s = {}
    s['p1-tight.pbm'] = b'P1\n#c\n11 5\n' + b''.join(b''.join(b'%d' % v for v in r) + b'\n' for r in b)
    s['p2-maxval-1000.pgm'] = b'P2 9 5 1000\n' + b'\n'.join(
        b' '.join(b'%d' % (v * 1000 // 255) for v in r) for r in g) + b'\n'
    s['p3-comments.ppm'] = b'P3\n# first\n7 # inline\n4\n# before maxval\n15\n' + b'\n'.join(
        b' '.join(b'%d %d %d' % tuple(x >> 4 for x in p) for p in r) for r in c) + b'\n'
    s['p4-odd-width.pbm'] = pnm_p4(b)
    s['p5-maxval-1.pgm'] = pnm_p5([[v & 1 for v in r] for r in g], 1)
    s['p5-maxval-300.pgm'] = pnm_p5([[v * 300 // 255 for v in r] for r in g], 300)
    s['p5-comment-after-magic.pgm'] = b'P5#x\n9 5\n255\n' + bytes(v for r in g for v in r)
    s['p6-maxval-65535.ppm'] = b'P6\n7 4\n65535\n' + b''.join(
        struct.pack('>HHH', *(x * 257 for x in p)) for r in c for p in r)
    s['p6-maxval-100.ppm'] = b'P6\n7 4\n100\n' + bytes(x * 100 // 255 for r in c for p in r for x in p)
    s['p6-short-data.ppm'] = pnm_p6(c)[:-20]
    s['p7-rgb-alpha.pam'] = (b'P7\nWIDTH 4\nHEIGHT 3\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n' +
                             bytes(v for y in range(3) for x in range(4) for v in (x * 60, y * 100, 90, 255 - x * 50)))
    s['p7-grayscale.pam'] = (b'P7\nWIDTH 5\nHEIGHT 2\nDEPTH 1\nMAXVAL 65535\nTUPLTYPE GRAYSCALE\nENDHDR\n' +
                             b''.join(struct.pack('>H', (x + y) * 6000) for y in range(2) for x in range(5)))
    for k, v in s.items():
        save('load_pnm', k, v)
    return s


# --- WBMP ---------------------------------------------------------------------------
def mbint(v):
    out = [v & 0x7F]
    v >>= 7
    while v:
        out.append(0x80 | (v & 0x7F))
        v >>= 7
    return bytes(reversed(out))


def wbmp(pic):
    h, w = len(pic), len(pic[0])
    return b'\0\0' + mbint(w) + mbint(h) + b''.join(pack([1 - v for v in r], 1) for r in pic)


def make_wbmp():
    s = {'odd-7x5.wbmp': wbmp(bits(7, 5)), 'one-pixel.wbmp': wbmp([[1]]),
         'two-byte-width.wbmp': wbmp([[(x // 3) & 1 for x in range(130)]] * 3),
         'short.wbmp': wbmp(bits(17, 9))[:-7]}
    for k, v in s.items():
        save('load_wbmp', k, v)
    return s


# --- BMP ----------------------------------------------------------------------------
def bmp_info(size, w, h, bpp, comp, image_size, ncolours, masks=None, cs=False):
    if size == 12:
        return le32(12) + le16(w) + le16(h) + le16(1) + le16(bpp)
    hdr = le32(size) + struct.pack('<ii', w, h) + le16(1) + le16(bpp) + le32(comp) + le32(image_size)
    hdr += struct.pack('<ii', 2835, 3780) + le32(ncolours) + le32(0)
    if size >= 108:
        m = masks or (0, 0, 0, 0)
        hdr += b''.join(le32(x) for x in m) + b'BGRs' + bytes(36) + bytes(12)
    if size >= 124:
        hdr += le32(4) + le32(0) + le32(0) + le32(0)  # intent, no profile
    return hdr


def bmp_rows(pic, bpp, encode):
    rows = []
    for r in pic:
        data = encode(r)
        rows.append(data + bytes((-len(data)) % 4))
    return rows


def bmp(pic, bpp, size=40, pal=None, comp=0, masks=None, top_down=False, encode=None, data=None,
        masks_after=False):
    h, w = len(pic), len(pic[0])
    if data is None:
        rows = bmp_rows(pic, bpp, encode)
        data = b''.join(rows if top_down else reversed(rows))
    ncol = len(pal) if pal else 0
    info = bmp_info(size, w, -h if top_down else h, bpp, comp, len(data), ncol if size > 12 else 0, masks)
    extra = b''
    if masks_after:  # bitfields after a 40-byte header
        extra = b''.join(le32(x) for x in masks)
    entry = 3 if size == 12 else 4
    table = b''.join(bytes((b, g, r)) + (b'\0' if entry == 4 else b'') for r, g, b in (pal or []))
    off = 14 + len(info) + len(extra) + len(table)
    return b'BM' + le32(off + len(data)) + le32(0) + le32(off) + info + extra + table + data


def rle8(pic, delta=False):
    out = bytearray()
    for y, r in enumerate(reversed(pic)):
        x = 0
        if len(r) >= 4:  # absolute mode for the first pixels, padded to a word
            out += bytes((0, 3)) + bytes(r[:3]) + b'\0'
            x = 3
        while x < len(r):
            n = 1
            while x + n < len(r) and r[x + n] == r[x] and n < 255:
                n += 1
            out += bytes((n, r[x]))
            x += n
        if delta and y == 1:
            out += bytes((0, 2, 0, 1))  # skip a row
            continue
        out += b'\0\0'
    return bytes(out[:-2]) + b'\0\1'


def rle4(pic):
    out = bytearray()
    for r in reversed(pic):
        x = 0
        if len(r) >= 5:
            out += bytes((0, 5)) + pack(r[:5], 4) + b'\0'  # 3 bytes + pad to a word
            x = 5
        while x < len(r):
            n = min(len(r) - x, 6)
            a, b = r[x], r[x + 1] if x + 1 < len(r) else 0
            out += bytes((n, a << 4 | b))
            x += n
        out += b'\0\0'
    return bytes(out) + b'\0\1'


def make_bmp():
    w, h = 9, 6
    p16, p256, p2 = palette(16), palette(256), [(0, 0, 0), (255, 255, 255)]
    i16, i256, b = index(w, h, 16), index(w, h, 200), bits(w, h)
    c = rgb(w, h)
    a = alpha(w, h)
    bgr = lambda r: bytes(v for p in r for v in (p[2], p[1], p[0]))
    bgra = lambda y: (lambda r: bytes(v for x, p in enumerate(r) for v in (p[2], p[1], p[0], a[y][x])))
    def p555(r):
        return b''.join(le16((p[0] >> 3) << 10 | (p[1] >> 3) << 5 | p[2] >> 3) for p in r)
    def p565(r):
        return b''.join(le16((p[0] >> 3) << 11 | (p[1] >> 2) << 5 | p[2] >> 3) for p in r)
    def rows32(pic, fn):
        return b''.join(reversed([fn(y)(r) for y, r in enumerate(pic)]))
    s = {}
    s['core-1.bmp'] = bmp(b, 1, 12, p2, encode=lambda r: pack(r, 1))
    s['core-4.bmp'] = bmp(i16, 4, 12, p16, encode=lambda r: pack(r, 4))
    s['core-8.bmp'] = bmp(i256, 8, 12, p256[:200], encode=bytes)
    s['core-24.bmp'] = bmp(c, 24, 12, encode=bgr)
    s['v3-1-white-black.bmp'] = bmp(b, 1, 40, [(255, 255, 255), (0, 0, 0)], encode=lambda r: pack(r, 1))
    s['v3-4-short-palette.bmp'] = bmp([[v % 5 for v in r] for r in i16], 4, 40, p16[:5],
                                      encode=lambda r: pack(r, 4))
    s['v3-8.bmp'] = bmp(i256, 8, 40, p256[:200], encode=bytes)
    s['v3-16-555.bmp'] = bmp(c, 16, 40, encode=p555)
    s['v3-16-565-bitfields.bmp'] = bmp(c, 16, 40, comp=3, masks=(0xF800, 0x07E0, 0x001F),
                                       encode=p565, masks_after=True)
    s['v3-16-555-bitfields-topdown.bmp'] = bmp(c, 16, 40, comp=3, masks=(0x7C00, 0x03E0, 0x001F),
                                               encode=p555, masks_after=True, top_down=True)
    s['v3-24-topdown.bmp'] = bmp(c, 24, 40, encode=bgr, top_down=True)
    s['v3-32.bmp'] = bmp(c, 32, 40, data=rows32(c, bgra))
    s['v3-rle8-delta.bmp'] = bmp(i256, 8, 40, p256[:200], comp=1, data=rle8(i256, delta=True))
    s['v3-rle4.bmp'] = bmp(i16, 4, 40, p16, comp=2, data=rle4(i16))
    s['v4-16-565.bmp'] = bmp(c, 16, 108, comp=3, masks=(0xF800, 0x07E0, 0x001F, 0), encode=p565)
    s['v4-16-argb1555.bmp'] = bmp(c, 16, 108, comp=3, masks=(0x7C00, 0x03E0, 0x001F, 0x8000),
                                  encode=lambda r: b''.join(le16(0x8000 * (i % 2) | (p[0] >> 3) << 10 | p[2] >> 3)
                                                            for i, p in enumerate(r)))
    s['v4-32-bitfields-alpha.bmp'] = bmp(c, 32, 108, comp=3,
                                        masks=(0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000),
                                        data=rows32(c, bgra))
    s['v5-32-rgba-topdown.bmp'] = bmp(c, 32, 124, comp=3, top_down=True,
                                     masks=(0x000000FF, 0x0000FF00, 0x00FF0000, 0xFF000000),
                                     data=b''.join(bytes(v for x, p in enumerate(r) for v in (*p, a[y][x]))
                                                   for y, r in enumerate(c)))
    s['v5-8.bmp'] = bmp(i256, 8, 124, p256[:200], encode=bytes)
    s['v5-rle8.bmp'] = bmp(i256, 8, 124, p256[:200], comp=1, data=rle8(i256))
    s['v5-24.bmp'] = bmp(c, 24, 124, encode=bgr)
    s['v3-rle8-no-end.bmp'] = bmp(i256, 8, 40, p256[:200], comp=1, data=rle8(i256)[:-6])
    for k, v in s.items():
        save('load_bmp', k, v)
    return s


# --- TGA ----------------------------------------------------------------------------
def tga_rle(pixels, per_row=None):
    out = bytearray()
    chunks = [pixels[i:i + per_row] for i in range(0, len(pixels), per_row)] if per_row else [pixels]
    for ch in chunks:
        i = 0
        while i < len(ch):
            n = 1
            while i + n < len(ch) and ch[i + n] == ch[i] and n < 128:
                n += 1
            if n > 1:
                out += bytes((0x80 | (n - 1),)) + ch[i]
                i += n
                continue
            j = i + 1
            while j < len(ch) and j - i < 128 and (j + 1 >= len(ch) or ch[j + 1] != ch[j]):
                j += 1
            out += bytes((j - i - 1,)) + b''.join(ch[i:j])
            i = j
    return bytes(out)


def tga(pic, kind, bpp, desc=0, cmap=None, cmap_bits=24, first=0, ident=b'', rle=False,
        per_row=True, footer=False):
    h, w = len(pic), len(pic[0])
    def px(v):
        if kind == 1:
            return bytes((v,)) if bpp == 8 else le16(v)
        if kind == 3:
            return bytes((v,))
        if bpp == 15 or bpp == 16:
            r, g, b = v[:3]
            return le16((r >> 3) << 10 | (g >> 3) << 5 | b >> 3 | (0x8000 if len(v) > 3 and v[3] > 127 else 0))
        return bytes((v[2], v[1], v[0])) + (bytes((v[3] if len(v) > 3 else 255,)) if bpp == 32 else b'')
    rows = pic if desc & 0x20 else list(reversed(pic))
    if desc & 0x10:
        rows = [list(reversed(r)) for r in rows]
    pixels = [px(v) for r in rows for v in r]
    data = tga_rle(pixels, w if per_row else None) if rle else b''.join(pixels)
    cm = b''
    if cmap:
        def entry(c):
            r, g, b = c[:3]
            if cmap_bits in (15, 16):
                return le16((r >> 3) << 10 | (g >> 3) << 5 | b >> 3)
            return bytes((b, g, r)) + (b'\xff' if cmap_bits == 32 else b'')
        cm = b''.join(entry(c) for c in cmap)
    hdr = bytes((len(ident), 1 if cmap else 0, kind + (8 if rle else 0))) + le16(first) + le16(
        len(cmap) if cmap else 0) + bytes((cmap_bits if cmap else 0,)) + le16(0) + le16(0) + le16(w) + le16(
        h) + bytes((bpp, desc))
    body = hdr + ident + cm + data
    if footer:
        ext_off = len(body)
        ext = bytearray(495)
        ext[0:2] = le16(495)
        ext[2:8] = b'seeder'
        ext[43:47] = b'note'
        ext[367:369] = le16(2024)
        ext[474:478] = le16(1) + le16(1)  # pixel aspect
        ext[478:482] = le16(10) + le16(10)  # gamma 1.0
        ext[494] = 3 if bpp == 32 else 0  # attributes type
        body += bytes(ext) + le32(ext_off) + le32(0) + b'TRUEVISION-XFILE.\0'
    return body


def make_tga():
    w, h = 7, 5
    c = rgb(w, h)
    ca = [[(*p, alpha(w, h)[y][x]) for x, p in enumerate(r)] for y, r in enumerate(c)]
    g = grey(w, h)
    i = index(w, h, 12)
    pal = palette(12)
    s = {}
    s['true24-ident-bottomup.tga'] = tga(c, 2, 24, ident=b'seed picture')
    s['true24-topdown.tga'] = tga(c, 2, 24, desc=0x20)
    s['true24-right-to-left.tga'] = tga(c, 2, 24, desc=0x10)
    s['true32-alpha8-footer.tga'] = tga(ca, 2, 32, desc=8, footer=True)
    s['true32-alpha-rle-across-rows.tga'] = tga([[ca[0][0]] * w for _ in range(h)], 2, 32, desc=0x28, rle=True,
                                               per_row=False)
    s['true16-alpha1.tga'] = tga(ca, 2, 16, desc=1)
    s['true15-rle.tga'] = tga(c, 2, 15, rle=True)
    s['grey8-topdown-rle.tga'] = tga(g, 3, 8, desc=0x20, rle=True)
    # Grey with an 8-bit alpha: 16 bits a pixel.
    s['grey16-ga.tga'] = tga(g, 3, 8)[:16] + bytes((16, 8)) + bytes(
        v for r in reversed(g) for x in r for v in (x, 255 - x))
    s['cmap8-first-index.tga'] = tga([[v + 4 for v in r] for r in i], 1, 8, cmap=[(0, 0, 0)] * 4 + pal, first=0)
    s['cmap8-32bit-entries-rle.tga'] = tga(i, 1, 8, cmap=pal, cmap_bits=32, rle=True)
    s['cmap8-16bit-entries.tga'] = tga(i, 1, 8, cmap=pal, cmap_bits=16, desc=0x20)
    s['cmap16-index.tga'] = tga(i, 1, 16, cmap=pal)
    s['true24-short-data.tga'] = tga(c, 2, 24, rle=True)[:-9]
    for k, v in s.items():
        save('load_tga', k, v)
    return s


# --- PCX / DCX ----------------------------------------------------------------------
def pcx_rle(line):
    out = bytearray()
    i = 0
    while i < len(line):
        n = 1
        while i + n < len(line) and line[i + n] == line[i] and n < 63:
            n += 1
        if n > 1 or line[i] >= 0xC0:
            out += bytes((0xC0 | n, line[i]))
        else:
            out.append(line[i])
        i += n
    return bytes(out)


def pcx(w, h, bpp, planes, planes_of_row, pal16=None, pal256=None, version=5, rle=True, whole=False):
    bpl = (w * bpp + 7) // 8
    bpl += bpl & 1
    hdr = bytearray(128)
    hdr[0:4] = bytes((10, version, 1 if rle else 0, bpp))
    hdr[4:12] = le16(0) + le16(0) + le16(w - 1) + le16(h - 1)
    hdr[12:16] = le16(150) + le16(75)
    if pal16:
        hdr[16:64] = bytes(v for p in pal16 for v in p)[:48].ljust(48, b'\0')
    hdr[65] = planes
    hdr[66:68] = le16(bpl)
    hdr[68:70] = le16(1)
    lines = []
    for y in range(h):
        for plane in planes_of_row(y):
            lines.append(bytes(plane).ljust(bpl, b'\0'))
    if whole:  # runs that carry across lines and planes
        data = pcx_rle(b''.join(lines))
    else:
        data = b''.join(pcx_rle(l) if rle else l for l in lines)
    tail = b'\x0c' + bytes(v for p in pal256 for v in p).ljust(768, b'\0') if pal256 else b''
    return bytes(hdr) + data + tail


def make_pcx():
    w, h = 11, 5
    c = rgb(w, h)
    a = alpha(w, h)
    i16 = index(w, h, 16)
    i256 = index(w, h, 256)
    b = bits(w, h)
    p16 = palette(16)
    s = {}
    s['mono-1x1.pcx'] = pcx(w, h, 1, 1, lambda y: [pack(b[y], 1)], pal16=[(0, 0, 0), (255, 255, 255)])
    s['planar-1x3.pcx'] = pcx(w, h, 1, 3, lambda y: [pack([(v >> k) & 1 for v in i16[y]], 1) for k in range(3)],
                              pal16=p16)
    s['planar-1x4-across-lines.pcx'] = pcx(w, h, 1, 4, lambda y: [pack([(v >> k) & 1 for v in i16[y]], 1)
                                                                  for k in range(4)], pal16=p16, whole=True)
    s['packed-2x1.pcx'] = pcx(w, h, 2, 1, lambda y: [pack([v & 3 for v in i16[y]], 2)], pal16=p16)
    s['packed-4x1-v3-default-palette.pcx'] = pcx(w, h, 4, 1, lambda y: [pack(i16[y], 4)], version=3)
    s['pal256-rle.pcx'] = pcx(w, h, 8, 1, lambda y: [bytes(i256[y])], pal256=palette(256))
    s['pal256-no-rle.pcx'] = pcx(w, h, 8, 1, lambda y: [bytes(i256[y])], pal256=palette(256), rle=False)
    s['grey256-no-palette.pcx'] = pcx(w, h, 8, 1, lambda y: [bytes(grey(w, h)[y])])
    s['rgb-8x3.pcx'] = pcx(w, h, 8, 3, lambda y: [bytes(p[k] for p in c[y]) for k in range(3)])
    s['rgba-8x4.pcx'] = pcx(w, h, 8, 4, lambda y: [bytes(p[k] for p in c[y]) for k in range(3)] + [bytes(a[y])])
    s['rgb-8x3-short.pcx'] = s['rgb-8x3.pcx'][:-25]
    for k, v in s.items():
        save('load_pcx', k, v)
    return s


def dcx(pages, tail=b''):
    table = le32(987654321)
    off = 4 + 4 * (len(pages) + 1)
    for p in pages:
        table += le32(off)
        off += len(p)
    return table + le32(0) + b''.join(pages) + tail


def make_dcx(p):
    s = {'two-pages.dcx': dcx([p['mono-1x1.pcx'], p['pal256-rle.pcx']], b'\x01'),
         'four-pages-last.dcx': dcx([p['packed-2x1.pcx'], p['planar-1x3.pcx'], p['rgb-8x3.pcx'],
                                     p['grey256-no-palette.pcx']], b'\x03'),
         'page-past-table.dcx': dcx([p['mono-1x1.pcx']], b'\x07'),
         'overlapping-offsets.dcx': le32(987654321) + le32(16) + le32(16) + le32(0) + p['planar-1x3.pcx'] + b'\x01',
         'cut-page.dcx': dcx([p['rgb-8x3.pcx'], p['rgba-8x4.pcx']])[:-40]}
    for k, v in s.items():
        save('load_dcx', k, v)
    return s


# --- PNG ----------------------------------------------------------------------------
def chunk(t, d):
    return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d) & 0xFFFFFFFF)


def png_filter(raw, bpp, prev, ftype):
    out = bytearray()
    for i, x in enumerate(raw):
        a = raw[i - bpp] if i >= bpp else 0
        b = prev[i] if prev else 0
        c = prev[i - bpp] if prev and i >= bpp else 0
        if ftype == 0: p = 0
        elif ftype == 1: p = a
        elif ftype == 2: p = b
        elif ftype == 3: p = (a + b) // 2
        else:
            pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
            p = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
        out.append((x - p) & 255)
    return bytes(out)


def png_scan(samples, depth):
    if depth < 8:
        return pack(samples, depth)
    if depth == 16:
        return b''.join(struct.pack('>H', v) for v in samples)
    return bytes(samples)


ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]


def png(pixels, w, h, ctype, depth, interlace=False, extra=b'', before_plte=b'', plte=None, split=False):
    ch = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[ctype]
    bpp = max(1, ch * depth // 8)
    passes = ADAM7 if interlace else [(0, 0, 1, 1)]
    raw = bytearray()
    n = 0
    for x0, y0, dx, dy in passes:
        xs = list(range(x0, w, dx))
        prev = None
        if not xs:
            continue
        for y in range(y0, h, dy):
            line = png_scan([v for x in xs for v in pixels[y][x]], depth)
            f = n % 5
            n += 1
            raw += bytes((f,)) + png_filter(line, bpp, prev, f)
            prev = line
    ihdr = struct.pack('>IIBBBBB', w, h, depth, ctype, 0, 0, 1 if interlace else 0)
    z = zlib.compress(bytes(raw), 9)
    idat = (chunk(b'IDAT', z[:len(z) // 2]) + chunk(b'IDAT', z[len(z) // 2:])) if split else chunk(b'IDAT', z)
    pl = chunk(b'PLTE', bytes(v for p in plte for v in p)) if plte else b''
    return b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', ihdr) + before_plte + pl + extra + idat + chunk(b'IEND', b'')


def icc_profile():
    body = bytearray(132)
    body[0:4] = struct.pack('>I', 132)
    body[8:12] = bytes((2, 0x10, 0, 0))
    body[12:16], body[16:20], body[20:24] = b'mntr', b'RGB ', b'XYZ '
    body[36:40] = b'acsp'
    body[68:80] = struct.pack('>iii', 63190, 65536, 54061)  # D50
    return bytes(body)


def make_png():
    w, h = 10, 7
    s = {}
    g = grey(w, h)
    c = rgb(w, h)
    a = alpha(w, h)
    pal = palette(16)
    gama = chunk(b'gAMA', struct.pack('>I', 45455))
    phys_m = chunk(b'pHYs', struct.pack('>IIB', 11811, 11811, 1))
    phys_u = chunk(b'pHYs', struct.pack('>IIB', 2, 1, 0))
    iccp = chunk(b'iCCP', b'seed\0\0' + zlib.compress(icc_profile()))
    text = chunk(b'tEXt', b'Comment\0seed') + chunk(b'zTXt', b'Title\0\0' + zlib.compress(b'z')) + chunk(
        b'iTXt', b'Author\0\0\0\0\0me')
    for depth in (1, 2, 4, 8, 16):
        m = (1 << depth) - 1
        px = [[(v * m // 255,) for v in r] for r in g]
        trns = chunk(b'tRNS', struct.pack('>H', px[0][1][0])) if depth in (2, 16) else b''
        s['grey%d%s%s.png' % (depth, '-trns' if trns else '', '-adam7' if depth == 4 else '')] = png(px, w, h, 0, depth, extra=trns,
                                                                  interlace=depth == 4)
    s['grey8-adam7-text.png'] = png([[(v,) for v in r] for r in g], w, h, 0, 8, True, extra=text)
    s['rgb8-gama-phys-iccp.png'] = png([[p for p in r] for r in c], w, h, 2, 8, extra=gama + phys_m,
                                      before_plte=iccp)
    s['rgb8-trns-srgb.png'] = png(c, w, h, 2, 8, extra=chunk(b'sRGB', b'\0') + chunk(
        b'tRNS', struct.pack('>HHH', *c[0][0])) + chunk(b'bKGD', struct.pack('>HHH', 1, 2, 3)))
    s['rgb16-adam7-phys-unknown-unit.png'] = png([[tuple(x * 257 for x in p) for p in r] for r in c], w, h, 2, 16,
                                                True, extra=phys_u)
    for depth in (1, 2, 4, 8):
        n = min(16, 1 << depth)
        px = [[(v % n,) for v in r] for r in index(w, h, 16)]
        trns = chunk(b'tRNS', bytes(range(0, 256, 256 // n))[:n // 2 + 1]) if depth != 2 else b''
        s['pal%d%s%s-bkgd.png' % (depth, '-trns' if trns else '', '-adam7' if depth == 2 else '')] = png(
            px, w, h, 3, depth, interlace=depth == 2, plte=pal[:n], extra=trns + chunk(b'bKGD', b'\1'))
    s['grey-alpha8-filters.png'] = png([[(g[y][x], a[y][x]) for x in range(w)] for y in range(h)], w, h, 4, 8)
    s['grey-alpha16-adam7.png'] = png([[(g[y][x] * 257, a[y][x] * 257) for x in range(w)] for y in range(h)], w, h,
                                      4, 16, True)
    s['rgba8-split-idat-chrm.png'] = png([[(*c[y][x], a[y][x]) for x in range(w)] for y in range(h)], w, h, 6, 8,
                                         split=True, before_plte=chunk(b'cHRM', bytes(32)) + chunk(
                                             b'sBIT', b'\5\6\5\1'))
    s['rgba16.png'] = png([[tuple(v * 257 for v in (*c[y][x], a[y][x])) for x in range(w)] for y in range(h)],
                          w, h, 6, 16)
    s['rgb8-1x1.png'] = png([[(1, 2, 3)]], 1, 1, 2, 8)
    s['rgb8-truncated.png'] = png(c, w, h, 2, 8)[:-30]
    for k, v in s.items():
        save('load_png', k, v)
    return s


# --- JPEG ---------------------------------------------------------------------------
def cjpeg(src, *opts):
    return run('cjpeg', '-quality', '80', *opts, src)


def app(marker, payload):
    return bytes((0xFF, marker)) + struct.pack('>H', len(payload) + 2) + payload


def after_soi(jpg, seg):
    return jpg[:2] + seg + jpg[2:]


def after_app0(jpg, seg):
    assert jpg[2:4] == b'\xff\xe0'
    n = 4 + struct.unpack('>H', jpg[4:6])[0]
    return jpg[:n] + seg + jpg[n:]


def exif(orientation, thumb, be=False):
    e = '>' if be else '<'
    def ifd(entries, next_off, base, blob):
        # entries: (tag, type, count, value bytes) -> layout with out-of-line data after the IFD
        size = 2 + 12 * len(entries) + 4
        out = struct.pack(e + 'H', len(entries))
        extra = b''
        for tag, typ, count, val in entries:
            if len(val) <= 4:
                out += struct.pack(e + 'HHI', tag, typ, count) + val.ljust(4, b'\0')
            else:
                out += struct.pack(e + 'HHII', tag, typ, count, base + size + len(extra))
                extra += val + (b'\0' if len(val) % 2 else b'')
        return out + struct.pack(e + 'I', next_off) + extra
    s16 = lambda v: struct.pack(e + 'H', v)
    s32 = lambda v: struct.pack(e + 'I', v)
    rat = lambda n, d: struct.pack(e + 'II', n, d)
    # IFD0 at 8, its size fixed by the entries; sub IFD and IFD1 follow.
    ifd0_entries = lambda sub, ifd1: [(0x10F, 2, 5, b'Seed\0'), (0x112, 3, 1, s16(orientation)),
                                      (0x11A, 5, 1, rat(300, 1)), (0x11B, 5, 1, rat(300, 1)),
                                      (0x128, 3, 1, s16(2)), (0x8769, 4, 1, s32(sub))]
    probe = ifd(ifd0_entries(0, 0), 0, 8, b'')
    sub_off = 8 + len(probe)
    sub = ifd([(0x9003, 2, 20, b'2024:01:02 03:04:05\0'), (0xA002, 4, 1, s32(17)), (0xA003, 4, 1, s32(13))],
              0, sub_off, b'')
    ifd1_off = sub_off + len(sub)
    ifd1_probe = ifd([(0x103, 3, 1, s16(6)), (0x201, 4, 1, s32(0)), (0x202, 4, 1, s32(len(thumb)))], 0, ifd1_off, b'')
    thumb_off = ifd1_off + len(ifd1_probe)
    ifd1 = ifd([(0x103, 3, 1, s16(6)), (0x201, 4, 1, s32(thumb_off)), (0x202, 4, 1, s32(len(thumb)))], 0,
               ifd1_off, b'')
    tiff = (b'MM\0*' if be else b'II*\0') + s32(8) + ifd(ifd0_entries(sub_off, ifd1_off), ifd1_off, 8, b'') + sub + \
        ifd1 + thumb
    return app(0xE1, b'Exif\0\0' + tiff)


def make_jpeg():
    c = tmp('c.ppm', pnm_p6(rgb(17, 13)))
    g = tmp('g.pgm', pnm_p5(grey(17, 13)))
    small = tmp('s.ppm', pnm_p6(rgb(8, 8)))
    thumb = cjpeg(small, '-quality', '30')
    s = {}
    s['ycc420-odd-size.jpg'] = cjpeg(c, '-sample', '2x2')
    s['ycc422.jpg'] = cjpeg(c, '-sample', '2x1')
    s['ycc440.jpg'] = cjpeg(c, '-sample', '1x2')
    s['ycc444-optimized.jpg'] = cjpeg(c, '-sample', '1x1', '-optimize')
    s['ycc411.jpg'] = cjpeg(c, '-sample', '4x1')
    s['rgb-coded.jpg'] = cjpeg(c, '-rgb')
    s['gray-progressive.jpg'] = cjpeg(g, '-grayscale', '-progressive')
    s['progressive-420.jpg'] = cjpeg(c, '-progressive')
    s['restart-rows.jpg'] = cjpeg(c, '-restart', '1')
    s['restart-blocks.jpg'] = cjpeg(c, '-restart', '2B', '-sample', '1x1')
    s['arithmetic.jpg'] = cjpeg(c, '-arithmetic')
    s['arithmetic-progressive.jpg'] = cjpeg(c, '-arithmetic', '-progressive')
    prof = tmp('p.icc', icc_profile())
    s['icc-one-chunk.jpg'] = cjpeg(c, '-icc', prof)
    base = cjpeg(c)
    p = icc_profile()
    s['icc-two-chunks.jpg'] = after_app0(base, app(0xE2, b'ICC_PROFILE\0\1\2' + p[:60]) +
                                         app(0xE2, b'ICC_PROFILE\0\2\2' + p[60:]))
    for orient, be in ((6, False), (3, True), (8, False), (5, True)):
        s['exif-orientation-%d-%s.jpg' % (orient, 'mm' if be else 'ii')] = after_app0(base, exif(orient, thumb, be))
    s['exif-no-jfif.jpg'] = b'\xff\xd8' + exif(7, thumb) + base[4 + struct.unpack('>H', base[4:6])[0]:]
    def density(jpg, units, x, y):
        j = bytearray(jpg)
        j[13] = units
        j[14:18] = struct.pack('>HH', x, y)
        return bytes(j)
    s['jfif-dpi-300.jpg'] = density(base, 1, 300, 300)
    s['jfif-dpcm-118x59.jpg'] = density(s['ycc444-optimized.jpg'], 2, 118, 59)
    s['jfif-ratio-only.jpg'] = density(s['gray-progressive.jpg'], 0, 2, 1)
    s['jfif-zero-density.jpg'] = density(s['ycc422.jpg'], 1, 0, 0)
    s['comment-and-app-markers.jpg'] = after_app0(base, app(0xFE, b'seed comment') + app(0xEC, b'Ducky\0') + app(
        0xED, b'Photoshop 3.0\x008BIM\x04\x04\0\0\0\0\0\x0c\x1c\x02\x05\0\x04seed\0\0'))
    s['garbage-before-soi.jpg'] = b'\0\1\2\3junkjunk' + s['ycc420-odd-size.jpg']
    cm = run('convert', c, '-strip', '-colorspace', 'CMYK', '-quality', '80', 'jpg:-')
    s['cmyk-adobe.jpg'] = cm
    at = cm.find(b'Adobe')
    if at > 0:
        y = bytearray(cm)
        y[at + 11] = 2  # transform: YCCK
        s['ycck-adobe.jpg'] = bytes(y)
    s['truncated.jpg'] = s['progressive-420.jpg'][:len(s['progressive-420.jpg']) * 2 // 3]
    # The last byte picks the reader's options: vary it on some seeds.
    for n, k in enumerate(sorted(s)):
        if n % 2 and k != 'truncated.jpg':
            s[k] = s[k] + bytes(((n * 37) & 0xFF,))
    for k, v in s.items():
        save('load_jpeg', k, v)
    return s


# --- TIFF ---------------------------------------------------------------------------
TYPES = {1: 'B', 2: 'B', 3: 'H', 4: 'I', 5: 'II', 7: 'B', 16: 'Q', 13: 'I'}


def tiff(pages, be=False, big=False):
    """pages: list of dicts {tag: (type, [values])}, plus 'strips': [bytes], optional 'sub': [page]."""
    e = '>' if be else '<'
    buf = bytearray((b'MM' if be else b'II') + (struct.pack(e + 'HHHQ', 43, 8, 0, 0) if big else
                                               struct.pack(e + 'HI', 42, 0)))
    first_ptr = 8 if big else 4
    def put_ifd(page):
        page = dict(page)
        strips = page.pop('strips')
        subs = page.pop('sub', [])
        tiled = 322 in page
        offs = []
        for s_ in strips:
            if len(buf) % 2:
                buf.append(0)
            offs.append(len(buf))
            buf.extend(s_)
        page[324 if tiled else 273] = (16 if big else 4, offs)
        page[325 if tiled else 279] = (4, [len(s_) for s_ in strips])
        if subs:
            page[330] = (4, [put_ifd(sp)[0] for sp in subs])
        entries = []
        for tag in sorted(page):
            typ, vals = page[tag]
            if typ == 5:
                raw = b''.join(struct.pack(e + 'II', *v) for v in vals)
            elif typ == 2:
                raw = vals
            else:
                raw = b''.join(struct.pack(e + TYPES[typ], v) for v in vals)
            count = len(vals)
            if len(raw) > (8 if big else 4):
                if len(buf) % 2:
                    buf.append(0)
                off = len(buf)
                buf.extend(raw)
                raw = struct.pack(e + ('Q' if big else 'I'), off)
            entries.append((tag, typ, count, raw.ljust(8 if big else 4, b'\0')))
        if len(buf) % 2:
            buf.append(0)
        at = len(buf)
        buf.extend(struct.pack(e + ('Q' if big else 'H'), len(entries)))
        for tag, typ, count, raw in entries:
            buf.extend(struct.pack(e + 'HH', tag, typ) + struct.pack(e + ('Q' if big else 'I'), count) + raw)
        nxt = len(buf)
        buf.extend(bytes(8 if big else 4))
        return at, nxt
    ptr = first_ptr
    for page in pages:
        at, nxt = put_ifd(page)
        buf[ptr:ptr + (8 if big else 4)] = struct.pack(e + ('Q' if big else 'I'), at)
        ptr = nxt
    return bytes(buf)


def tpage(w, h, bps, spp, photometric, strips, extra=None, rows_per_strip=None):
    p = {256: (4, [w]), 257: (4, [h]), 258: (3, [bps] * spp), 259: (3, [1]), 262: (3, [photometric]),
         277: (3, [spp]), 278: (4, [rows_per_strip or h]), 282: (5, [(72, 1)]), 283: (5, [(72, 1)]),
         296: (3, [2]), 'strips': strips}
    p.update(extra or {})
    return p


def pack12(row):
    out = bytearray()
    for i in range(0, len(row), 2):
        a = row[i]
        b = row[i + 1] if i + 1 < len(row) else None
        out += bytes((a >> 4, (a & 15) << 4 | (b >> 8 if b is not None else 0)))
        if b is not None:
            out.append(b & 255)
    return bytes(out)


def samples(rows, bps, e='<'):
    if bps == 16:
        return b''.join(struct.pack(e + 'H', v) for r in rows for v in r)
    if bps == 8:
        return bytes(v for r in rows for v in r)
    return b''.join(pack(r, bps) for r in rows)


def tiffcp(data, *opts, name='t'):
    src = tmp(name + '-in.tif', data)
    dst = os.path.join(WORK, name + '-out.tif')
    run('tiffcp', *opts, src, dst)
    return slurp(dst)


def strips_of(data):
    """(compression, strips) of the first page of a classic TIFF."""
    e = '<' if data[:2] == b'II' else '>'
    at = struct.unpack(e + 'I', data[4:8])[0]
    n = struct.unpack(e + 'H', data[at:at + 2])[0]
    tags = {}
    for i in range(n):
        tag, typ, count, val = struct.unpack(e + 'HHI4s', data[at + 2 + 12 * i: at + 14 + 12 * i])
        size = {3: 2, 4: 4}.get(typ, 1)
        raw = val if size * count <= 4 else data[struct.unpack(e + 'I', val)[0]:][:size * count]
        tags[tag] = struct.unpack(e + {3: 'H', 4: 'I'}.get(typ, 'B') * count, raw[:size * count])
    return tags[259][0], [data[o:o + c] for o, c in zip(tags[273], tags[279])]


# Modified Huffman rows (compression 2) for pictures of 8 pixels: the few codes needed.
MH_WHITE = {0: '00110101', 1: '000111', 2: '0111', 3: '1000', 4: '1011', 5: '1100', 6: '1110', 7: '1111',
            8: '10011'}
MH_BLACK = {1: '010', 2: '11', 3: '10', 4: '011', 5: '0011', 6: '0010', 7: '00011', 8: '000101'}


def mh_rows(pic):
    out = bytearray()
    for r in pic:
        code, x, colour = '', 0, 0
        while x < len(r) or colour == 0 and x == 0:
            n = 0
            while x + n < len(r) and r[x + n] == colour:
                n += 1
            code += (MH_WHITE if colour == 0 else MH_BLACK)[n]
            x += n
            colour ^= 1
            if x >= len(r):
                break
        code += '0' * ((-len(code)) % 8)
        out += bytes(int(code[i:i + 8], 2) for i in range(0, len(code), 8))
    return bytes(out)


def make_tiff():
    s = {}
    w, h = 9, 7
    c = rgb(w, h)
    a = alpha(w, h)
    g = grey(w, h)
    bw = bits(24, 10)
    rgb_rows = [[v for p in r for v in p] for r in c]
    rgba_rows = [[v for x, p in enumerate(r) for v in (*p, a[y][x])] for y, r in enumerate(c)]
    bw_page = tpage(24, 10, 1, 1, 0, [samples(bw, 1)])
    bw_tif = tiff([bw_page])
    rgb_tif = tiff([tpage(w, h, 8, 3, 2, [samples(rgb_rows, 8)], {284: (3, [1])})])
    rgb_tif_strips = tiff([tpage(w, h, 8, 3, 2, [samples(rgb_rows[:4], 8), samples(rgb_rows[4:], 8)],
                                 rows_per_strip=4)])
    grey16 = tiff([tpage(w, h, 16, 1, 1, [samples([[v * 257 for v in r] for r in g], 16)])])
    s['bw-fillorder2-none.tif'] = tiff([tpage(24, 10, 1, 1, 0, [bytes(int('{:08b}'.format(x)[::-1], 2)
                                                                      for x in samples(bw, 1))], {266: (3, [2])})])
    mh_pic = [[1 if (x + y) % 8 < 3 else 0 for x in range(8)] for y in range(4)] + [[0] * 8, [1] * 8]
    s['bw-modified-huffman.tif'] = tiff([tpage(8, 6, 1, 1, 0, [mh_rows(mh_pic)], {259: (3, [2])})])
    s['bw-g3-2d.tif'] = tiffcp(bw_tif, '-c', 'g3:2d')
    s['bw-g3-1d-fill-lsb.tif'] = tiffcp(bw_tif, '-c', 'g3:1d:fill', '-f', 'lsb2msb')
    s['bw-g4-lsb-mm.tif'] = tiffcp(bw_tif, '-c', 'g4', '-f', 'lsb2msb', '-B')
    s['bw-lzw.tif'] = tiffcp(bw_tif, '-c', 'lzw')
    s['bw-packbits-blackiszero.tif'] = tiff([tpage(24, 10, 1, 1, 1, [samples(bw, 1)])])
    s['bw-packbits-blackiszero.tif'] = tiffcp(s['bw-packbits-blackiszero.tif'], '-c', 'packbits')
    s['grey2.tif'] = tiff([tpage(w, h, 2, 1, 1, [samples([[v >> 6 for v in r] for r in g], 2)])])
    s['grey4-lzw-mm.tif'] = tiffcp(tiff([tpage(w, h, 4, 1, 1, [samples([[v >> 4 for v in r] for r in g], 4)])]),
                                   '-c', 'lzw', '-B')
    s['grey8-lzw-pred.tif'] = tiffcp(tiff([tpage(w, h, 8, 1, 1, [samples(g, 8)])]), '-c', 'lzw:2')
    s['grey12.tif'] = tiff([tpage(w, h, 12, 1, 1, [b''.join(pack12([v * 16 + (v >> 4) for v in r]) for r in g)])])
    s['grey16-mm-none.tif'] = tiffcp(grey16, '-B')
    s['grey-alpha-unassoc.tif'] = tiff([tpage(w, h, 8, 2, 1, [samples([[v for x in range(w) for v in (g[y][x], a[y][x])]
                                                                       for y in range(h)], 8)], {338: (3, [2])})])
    s['pal4-packbits.tif'] = tiffcp(tiff([tpage(w, h, 4, 1, 3, [samples(index(w, h, 16), 4)],
                                                {320: (3, [v * 257 for k in range(3) for v in
                                                           [p[k] for p in palette(16)]])})]), '-c', 'packbits')
    s['pal1.tif'] = tiff([tpage(24, 10, 1, 1, 3, [samples(bw, 1)], {320: (3, [0, 65535, 0, 40000, 0, 20000])})])
    s['rgb-none-two-strips-mm.tif'] = tiffcp(rgb_tif_strips, '-B', '-r', '4')
    s['rgb-jpeg-rgb.tif'] = tiffcp(rgb_tif, '-c', 'jpeg:r:50')
    s['rgb-tiled-jpeg.tif'] = tiffcp(rgb_tif, '-c', 'jpeg:50', '-t', '-w', '16', '-l', '16')
    s['rgb-planar-lzw-pred-mm.tif'] = tiffcp(rgb_tif, '-p', 'separate', '-c', 'lzw:2', '-B')
    # tiffcp cannot tile separate planes: one deflated 16x16 tile per plane.
    planes = [zlib.compress(b''.join(bytes(p[k] for p in r).ljust(16, b'\0') for r in c).ljust(256, b'\0'))
              for k in range(3)]
    s['rgb-tiled-planar-zip.tif'] = tiff([tpage(w, h, 8, 3, 2, planes, {259: (3, [8]), 284: (3, [2]),
                                                                     322: (3, [16]), 323: (3, [16])})])
    s['rgb16-lzw-pred.tif'] = tiffcp(tiff([tpage(w, h, 16, 3, 2, [samples([[v * 257 for v in r] for r in rgb_rows], 16)])]),
                                     '-c', 'lzw:2')
    s['rgba-assoc-zip-pred.tif'] = tiffcp(tiff([tpage(w, h, 8, 4, 2, [samples(rgba_rows, 8)], {338: (3, [1])})]),
                                          '-c', 'zip:2')
    s['rgba-unassoc-packbits.tif'] = tiffcp(tiff([tpage(w, h, 8, 4, 2, [samples(rgba_rows, 8)], {338: (3, [2])})]),
                                            '-c', 'packbits')
    cmyk_rows = [[v for p in r for v in (255 - p[0], 255 - p[1], 255 - p[2], min(p) // 2)] for r in c]
    s['cmyk-lzw-planar.tif'] = tiffcp(tiff([tpage(w, h, 8, 4, 5, [samples(cmyk_rows, 8)], {332: (3, [1])})]),
                                      '-c', 'lzw', '-p', 'separate')
    lab = [[v for p in r for v in (p[0] * 100 // 255 * 255 // 100, (p[1] - 128) & 255, (p[2] - 128) & 255)] for r in c]
    s['cielab8.tif'] = tiff([tpage(w, h, 8, 3, 8, [samples(lab, 8)])])
    s['ycbcr-jpeg.tif'] = tiffcp(rgb_tif, '-c', 'jpeg:75')  # YCbCr, subsampled 2x2
    s['oriented-6-inches-res.tif'] = tiff([tpage(w, h, 8, 1, 1, [samples(g, 8)],
                                                 {274: (3, [6]), 282: (5, [(300, 1)]), 283: (5, [(150, 1)]),
                                                  296: (3, [2]), 305: (2, b'seed\0'), 270: (2, b'a page\0')})])
    s['oriented-8-cm-res-mm.tif'] = tiff([tpage(w, h, 8, 3, 2, [samples(rgb_rows, 8)],
                                                {274: (3, [8]), 282: (5, [(118, 1)]), 283: (5, [(118, 1)]),
                                                 296: (3, [3])})], be=True)
    s['subifd-two-pages.tif'] = tiff([tpage(w, h, 8, 1, 1, [samples(g, 8)],
                                            {'sub': [tpage(4, 3, 8, 1, 1, [bytes(range(0, 240, 20))]),
                                                     tpage(3, 2, 8, 3, 2, [bytes(range(18))])]}),
                                      tpage(w, h, 8, 3, 2, [samples(rgb_rows, 8)],
                                            {'sub': [tpage(2, 2, 8, 1, 0, [b'\0\x80\xff\x40'])]})])
    s['bigtiff-mm.tif'] = tiff([tpage(w, h, 8, 3, 2, [samples(rgb_rows, 8)]), tpage(24, 10, 1, 1, 0, [samples(bw, 1)])],
                               be=True, big=True)
    pages = [tiffcp(bw_tif, '-c', 'g4', name='m1'), s['pal4-packbits.tif'], s['grey8-lzw-pred.tif'],
             s['rgb-jpeg-rgb.tif']]
    run('tiffcp', *[tmp('m%d.tif' % n, p_) for n, p_ in enumerate(pages)], tmp('multi.tif'))
    s['multi-mixed.tif'] = slurp(tmp('multi.tif'))
    # Made for the codec seeds and the mixed targets; the committed TIFF seeds already cover them.
    spare = {'grey16-mm-none.tif', 'rgba-assoc-zip-pred.tif', 'rgb-none-two-strips-mm.tif', 'ycbcr-jpeg.tif',
             'pal1.tif', 'bw-lzw.tif', 'bw-packbits-blackiszero.tif'}
    for k, v in s.items():
        if k not in spare:
            save('load_tiff', k, v)
    return s, bw_tif


# --- Raw codec data -----------------------------------------------------------------
def make_ccitt(bw_tif, tifs):
    s = {}
    w, h = 24, 10
    head = lambda coding, lsb, rt, width, rows: bytes((coding | (8 if lsb else 0) | (0x80 if rt else 0))) + le16(
        width - 1) + bytes((rows - 1,))
    # Raw strips of libtiff's encodings of the same page.
    for name, opts, coding, lsb in (('g3-1d', ['-c', 'g3:1d'], 1, False), ('g3-1d-fill-lsb', ['-c', 'g3:1d:fill', '-f', 'lsb2msb'], 1, True),
                                    ('g3-2d-fill', ['-c', 'g3:2d:fill'], 2, False), ('g4-lsb', ['-c', 'g4', '-f', 'lsb2msb'], 3, True)):
        comp, strips = strips_of(tiffcp(bw_tif, *opts, name='cc'))
        s['tiff-%s' % name] = head(coding, lsb, False, w, h) + strips[0]
    comp, strips = strips_of(tifs['bw-modified-huffman.tif'])
    s['modified-huffman'] = head(0, False, False, 8, 6) + strips[0]
    comp, strips = strips_of(tiffcp(bw_tif, '-c', 'g4', name='cc'))
    s['g4-read-as-g4-with-eols'] = head(4, False, False, w, h) + strips[0]
    s['g4-wide-page-white'] = head(3, False, False, 1728, 3) + bytes((0x00, 0x10, 0x01))  # EOFB
    # Round trips of rows given as bits.
    s['roundtrip-g3-odd-width'] = head(2, False, True, 13, 5) + bytes((0xF0, 0x0F, 0xAA, 0x55, 0xFF, 0x00, 0x81, 0x3C))
    s['roundtrip-g4-lsb-wide'] = head(3, True, True, 300, 8) + bytes(range(0, 256, 3))
    for k, v in s.items():
        save('ccitt_decode', k, v)


def make_lzw(tifs, work_rgb):
    s = {}
    head = lambda rt, fill2, row: bytes(((1 if rt else 0) | (2 if fill2 else 0),)) + le16(row - 1)
    comp, strips = strips_of(tifs['bw-lzw.tif'])
    s['libtiff-bw-rows-of-3'] = head(False, False, 3) + strips[0]
    comp, strips = strips_of(tifs['grey8-lzw-pred.tif'])
    s['libtiff-grey-rows-of-9'] = head(False, False, 9) + strips[0]
    comp, strips = strips_of(tiffcp(work_rgb, '-c', 'lzw', '-f', 'lsb2msb', name='lz'))
    s['libtiff-rgb-fillorder2'] = head(False, True, 27) + strips[0]
    noisy = bytes((i * 7919 >> 3) & 255 for i in range(3000))
    comp, strips = strips_of(tiffcp(tiff([tpage(100, 30, 8, 1, 1, [noisy])]), '-c', 'lzw', name='lz'))
    s['libtiff-noise-table-resets'] = head(False, False, 100) + strips[0]
    s['roundtrip-runs'] = head(True, False, 16) + bytes([0] * 40 + [255] * 30 + list(range(50)))
    s['roundtrip-fillorder2-long-rows'] = head(True, True, 4096) + bytes((i * i) & 255 for i in range(700))
    s['empty-strip'] = head(False, False, 5)
    for k, v in s.items():
        save('tiflzw_decode', k, v)


# --- GIF ----------------------------------------------------------------------------
def gif_lzw(pixels, min_size):
    clear, eoi = 1 << min_size, (1 << min_size) + 1
    out, acc, nbits = bytearray(), 0, 0
    def emit(code, width):
        nonlocal acc, nbits
        acc |= code << nbits
        nbits += width
        while nbits >= 8:
            out.append(acc & 255)
            acc >>= 8
            nbits -= 8
    width = min_size + 1
    table = {}
    nxt = eoi + 1
    emit(clear, width)
    cur = None
    for p in pixels:
        if cur is None:
            cur = (p,)
            continue
        key = cur + (p,)
        if key in table or len(key) == 1:
            cur = key
            continue
        emit(table[cur] if len(cur) > 1 else cur[0], width)
        if nxt < 4096:
            table[key] = nxt
            nxt += 1
            if nxt > (1 << width) and width < 12:
                width += 1
        else:
            emit(clear, width)
            table, nxt, width = {}, eoi + 1, min_size + 1
        cur = (p,)
    if cur is not None:
        emit(table[cur] if len(cur) > 1 else cur[0], width)
    emit(eoi, width)
    if nbits:
        out.append(acc & 255)
    return bytes(out)


def sub_blocks(data):
    return b''.join(bytes((len(data[i:i + 255]),)) + data[i:i + 255] for i in range(0, len(data), 255)) + b'\0'


def gif_table(pal):
    n = 2
    while n < len(pal):
        n *= 2
    return bytes(v for p in pal for v in p) + bytes(3 * (n - len(pal))), n


def gif_frame(pic, x=0, y=0, local=None, interlace=False, gce=None, depth=None):
    h, w = len(pic), len(pic[0])
    out = b''
    if gce is not None:
        dispose, delay, trans = gce
        out += b'\x21\xf9\x04' + bytes(((dispose << 2) | (1 if trans is not None else 0),)) + le16(delay) + bytes(
            (trans or 0,)) + b'\0'
    flags = 0
    lt = b''
    if local:
        lt, n = gif_table(local)
        flags = 0x80 | (n.bit_length() - 2)
    if interlace:
        flags |= 0x40
        order = list(range(0, h, 8)) + list(range(4, h, 8)) + list(range(2, h, 4)) + list(range(1, h, 2))
        rows = [pic[r] for r in order]
    else:
        rows = pic
    out += b'\x2c' + le16(x) + le16(y) + le16(w) + le16(h) + bytes((flags,)) + lt
    m = max(2, depth or max(2, max(max(r) for r in pic).bit_length()))
    return out + bytes((m,)) + sub_blocks(gif_lzw([v for r in rows for v in r], m))


def gif(w, h, frames, pal=None, version=b'89a', bg=0, exts=b''):
    flags, gt = 0, b''
    if pal:
        gt, n = gif_table(pal)
        flags = 0x80 | 0x70 | (n.bit_length() - 2)
    return b'GIF' + version + le16(w) + le16(h) + bytes((flags, bg, 0)) + gt + exts + b''.join(frames) + b'\x3b'


def make_gif():
    s = {}
    w, h = 13, 11
    pal = palette(16)
    i = index(w, h, 16)
    b = bits(w, h)
    netscape = b'\x21\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00'
    comment = b'\x21\xfe' + sub_blocks(b'a comment that runs on')
    plain = b'\x21\x01\x0c' + bytes(12) + sub_blocks(b'text')
    s['gif87a.gif'] = gif(w, h, [gif_frame(i)], pal, b'87a')
    s['interlaced.gif'] = gif(w, h, [gif_frame(i, interlace=True)], pal)
    s['bw-min-code-size-2.gif'] = gif(w, h, [gif_frame(b)], [(0, 0, 0), (255, 255, 255)])
    s['local-tables-only.gif'] = gif(w, h, [gif_frame(i, local=pal, gce=(1, 10, None)),
                                            gif_frame([r[:6] for r in i[:5]], 3, 2, local=palette(16)[::-1],
                                                      gce=(0, 10, None))])
    frames = []
    for n, dispose in enumerate((0, 1, 2, 3, 2, 1)):
        frames.append(gif_frame([[(v + n) % 16 for v in r[:5 + n]] for r in i[:4 + n]], n, n // 2,
                                gce=(dispose, 5, 3 if n % 2 else None)))
    s['anim-every-disposal.gif'] = gif(w, h, frames, pal, exts=netscape)
    s['anim-transparent-restore-bg.gif'] = gif(w, h, [gif_frame(i, gce=(2, 4, 0)),
                                                     gif_frame([[0, 1, 0], [1, 0, 1]], 5, 5, gce=(3, 4, 0)),
                                                     gif_frame([[2] * 4] * 3, 1, 1, gce=(1, 4, 2))], pal, bg=5)
    s['frame-past-the-screen.gif'] = gif(8, 6, [gif_frame(i, 4, 3, gce=(0, 0, None)),
                                                gif_frame([[1] * 4] * 3, 60000, 2)], pal)
    s['frame-larger-than-screen.gif'] = gif(4, 4, [gif_frame(i), gif_frame(b, local=[(9, 9, 9), (200, 0, 0)])], pal)
    s['comment-text-application.gif'] = gif(w, h, [comment + plain + gif_frame(i)], pal, exts=comment + netscape)
    s['pal256-full-table.gif'] = gif(64, 64, [gif_frame([[(x * 131 + y * 71 + (x * y) % 7) & 255 for x in range(64)]
                                                        for y in range(64)], depth=8)], palette(256))
    s['no-global-table-no-gce.gif'] = gif(w, h, [gif_frame(i, local=pal)])
    s['truncated-last-block.gif'] = gif(w, h, [gif_frame(i), gif_frame(i, gce=(0, 1, None))], pal)[:-12]
    s['empty-frame-data.gif'] = gif(w, h, [b'\x2c' + le16(0) + le16(0) + le16(w) + le16(h) + b'\0\x04\0'], pal)
    for k, v in s.items():
        save('load_gif', k, v)
    return s


# --- ICO / CUR ----------------------------------------------------------------------
def dib(pic, bpp, pal=None, mask=None):
    h, w = len(pic), len(pic[0])
    if bpp <= 8:
        enc = lambda r: pack(r, bpp) if bpp < 8 else bytes(r)
    elif bpp == 24:
        enc = lambda r: bytes(v for p in r for v in (p[2], p[1], p[0]))
    else:
        enc = lambda r: bytes(v for p in r for v in (p[2], p[1], p[0], p[3]))
    rows = [enc(r) + bytes((-len(enc(r))) % 4) for r in reversed(pic)]
    m = mask or [[0] * w for _ in range(h)]
    mrows = [pack(r, 1).ljust(((w + 31) // 32) * 4, b'\0') for r in reversed(m)]
    data = b''.join(rows) + b''.join(mrows)
    table = b''.join(bytes((p[2], p[1], p[0], 0)) for p in pal or [])
    return bmp_info(40, w, 2 * h, bpp, 0, 0, len(pal) if pal and len(pal) < (1 << bpp) else 0) + table + data


def icondir(kind, images):
    # images: (w, h, colours, planes_or_hx, bits_or_hy, data)
    out = le16(0) + le16(kind) + le16(len(images))
    off = 6 + 16 * len(images)
    for w, h, colours, a, b, data in images:
        out += bytes((w & 255, h & 255, colours, 0)) + le16(a) + le16(b) + le32(len(data)) + le32(off)
        off += len(data)
    return out + b''.join(im[-1] for im in images)


def make_ico(pngs):
    s = {}
    def sq(n):
        return rgb(n, n)
    m8 = [[1 if (x + y) % 5 == 0 else 0 for x in range(8)] for y in range(8)]
    img1 = dib(bits(8, 8), 1, [(0, 0, 0), (255, 255, 255)], m8)
    img4 = dib(index(16, 16, 16), 4, palette(16), [[1 if x < 3 else 0 for x in range(16)] for y in range(16)])
    img8 = dib(index(8, 8, 40), 8, palette(40), m8)
    img24 = dib(sq(8), 24, mask=m8)
    img32 = dib([[(*p, alpha(8, 8)[y][x]) for x, p in enumerate(r)] for y, r in enumerate(sq(8))], 32)
    img32_0 = dib([[(*p, 0) for p in r] for r in sq(6)], 32, mask=[[x % 2 for x in range(6)] for _ in range(6)])
    png_small = png([[(*p, 200) for p in r] for r in sq(4)], 4, 4, 6, 8)
    ico_three = icondir(1, [(8, 8, 2, 1, 1, img1), (16, 16, 16, 1, 4, img4), (8, 8, 0, 1, 32, img32)])
    ico_mixed = icondir(1, [(8, 8, 0, 1, 24, img24), (4, 4, 0, 1, 32, png_small), (8, 8, 40, 1, 8, img8),
                            (6, 6, 0, 1, 32, img32_0)])
    ico_256 = icondir(1, [(0, 0, 0, 1, 32, png([[(x, y, 9) for x in range(256)] for y in range(1)], 256, 1, 2, 8))])
    cur = icondir(2, [(8, 8, 2, 3, 4, img1), (16, 16, 16, 15, 0, img4)])
    files = {'three-depths.ico': ico_three, 'bmp-and-png-entries.ico': ico_mixed, 'png-width-256.ico': ico_256,
             'two-sizes.cur': cur}
    for name, data in files.items():
        for ctl in (0, 1, 2) if name != 'png-width-256.ico' else (0,):
            kind = 0x20 if name.endswith('.cur') else 0
            s['%s-index%d' % (name, ctl)] = bytes((ctl | kind,)) + data
    s['bmp-and-png-entries.ico-index3-native'] = bytes((3 | 4,)) + ico_mixed
    s['three-depths.ico-native'] = bytes((1 | 4,)) + ico_three
    s['cur-read-as-ico'] = bytes((0,)) + cur
    s['ico-read-as-cur'] = bytes((0x21,)) + ico_three
    s['bare-dib-4bit'] = bytes((0x18,)) + img4
    s['bare-dib-32bit-native'] = bytes((0x1C,)) + img32
    s['bare-cursor-1bit'] = bytes((0x38,)) + le16(3) + le16(4) + img1
    s['bmp-disguised-as-ico'] = bytes((0,)) + bmp(rgb(2, 2), 24, encode=lambda r: bytes(v for p in r for v in p[::-1]))
    s['png-disguised-as-ico'] = bytes((0,)) + pngs['rgb8-1x1.png']
    s['entry-past-end'] = bytes((0,)) + ico_three[:-100]
    for k, v in s.items():
        save('load_ico', k, v)
    return files


# --- Everything together --------------------------------------------------------------
pnm = make_pnm()
wb = make_wbmp()
bm = make_bmp()
tg = make_tga()
pc = make_pcx()
dc = make_dcx(pc)
pn = make_png()
jp = make_jpeg()
tf, bw_tif = make_tiff()
make_ccitt(bw_tif, tf)
make_lzw(tf, tiff([tpage(9, 7, 8, 3, 2, [samples([[v for p in r for v in p] for r in rgb(9, 7)], 8)])]))
gf = make_gif()
ic = make_ico(pn)

mixed = {
    'bmp-v5-rgba.bmp': bm['v5-32-rgba-topdown.bmp'], 'bmp-rle4.bmp': bm['v3-rle4.bmp'],
    'bmp-core.bmp': bm['core-24.bmp'], 'jpeg-exif-6.jpg': jp['exif-orientation-6-ii.jpg'],
    'jpeg-progressive.jpg': jp['progressive-420.jpg'], 'jpeg-cmyk.jpg': jp['cmyk-adobe.jpg'],
    'png-pal-trns.png': pn['pal4-trns-bkgd.png'], 'png-rgba16.png': pn['rgba16.png'],
    'png-grey-adam7.png': pn['grey8-adam7-text.png'], 'tiff-g4-lsb.tif': tf['bw-g4-lsb-mm.tif'],
    'tiff-bigtiff.tif': tf['bigtiff-mm.tif'], 'tiff-subifd.tif': tf['subifd-two-pages.tif'],
    'tiff-multi.tif': tf['multi-mixed.tif'], 'tiff-ycbcr-jpeg.tif': tf['ycbcr-jpeg.tif'],
    'gif-anim.gif': gf['anim-every-disposal.gif'], 'gif-interlaced.gif': gf['interlaced.gif'],
    'pcx-rgb.pcx': pc['rgb-8x3.pcx'], 'pcx-planar.pcx': pc['planar-1x4-across-lines.pcx'],
    'dcx-four.dcx': dc['four-pages-last.dcx'], 'tga-cmap.tga': tg['cmap8-32bit-entries-rle.tga'],
    'tga-footer.tga': tg['true32-alpha8-footer.tga'], 'ico-three.ico': ic['three-depths.ico'],
    'ico-mixed.ico': ic['bmp-and-png-entries.ico'], 'cur-two.cur': ic['two-sizes.cur'],
    'pnm-p4.pbm': pnm['p4-odd-width.pbm'], 'pnm-p3.ppm': pnm['p3-comments.ppm'],
    'pnm-p6-16.ppm': pnm['p6-maxval-65535.ppm'], 'pam-p7.pam': pnm['p7-rgb-alpha.pam'],
    'wbmp.wbmp': wb['odd-7x5.wbmp'],
}
for target, keys in (('load_any', list(mixed)),
                     ('detect', [k for k in mixed if not k.startswith(('tiff-multi', 'gif-anim', 'dcx'))] +
                      ['exif-be-orientation-5.jpg', 'tiff-bigtiff-mm.tif']),
                     ('count_frames', ['tiff-bigtiff.tif', 'tiff-subifd.tif', 'tiff-multi.tif', 'gif-anim.gif',
                                       'dcx-four.dcx', 'ico-mixed.ico', 'cur-two.cur', 'jpeg-exif-6.jpg'])):
    for k in keys:
        data = mixed.get(k) or {'exif-be-orientation-5.jpg': jp['exif-orientation-5-mm.jpg'],
                                'tiff-bigtiff-mm.tif': tf['oriented-8-cm-res-mm.tif']}[k]
        save(target, k, data)
extra_frames = {'gif-local-tables.gif': gf['local-tables-only.gif'], 'gif-truncated.gif': gf['truncated-last-block.gif'],
                'dcx-overlapping.dcx': dc['overlapping-offsets.dcx']}
for k, v in extra_frames.items():
    save('count_frames', k, v)

for t in sorted(written):
    print('%-14s %3d new seeds, largest %d bytes' % (t, len(written[t]), max(
        os.path.getsize(os.path.join(OUT, t, n)) for n in written[t])))
PY
