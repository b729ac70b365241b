#!/usr/bin/env python3
"""Writes the hostile corpus beside this script from the small pictures in src/.

Every output name says what is wrong with the file: ok-* are untouched
controls, *-cut-NNNN stops after NNNN bytes, *-flip-OOOO-XX has the byte at
offset OOOO xored with XX, empty.* are zero-length, *-as.* hold the wrong kind
of content, and the rest name the field that lies. The output is fully
determined by src/ and the seed below; run it again after changing either and
commit both.

The originals in src/ were made once with cjpeg, pnmtopng, tiffcp, ImageMagick
and netpbm from small hand-written PPM/PBM pictures (16 x 12 colour, 40 x 24
black-and-white), or copied from the reader fixtures in tests/data/.
"""

import os
import random
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.join(HERE, "src")
RNG = random.Random(0x5EED1)

written = set()


def src(name):
    with open(os.path.join(SRC, name), "rb") as f:
        return f.read()


def write(name, data):
    assert name not in written, name
    written.add(name)
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(bytes(data))


def stem_ext(name):
    stem, ext = os.path.splitext(name)
    return stem, ext


def patch(data, offset, fmt, *values):
    d = bytearray(data)
    struct.pack_into(fmt, d, offset, *values)
    return d


def noise(n):
    return bytes(RNG.randrange(256) for _ in range(n))


# --- Truncations and flips ------------------------------------------------------


def cut_points(size, marks, most=10):
    """Cuts at the header's interesting offsets and just after them, in the
    data and one byte short of the end; at most `most` of them."""
    marks = [m for m in marks if 0 < m < size]
    points = {1, size // 2, size - 1} | set(marks) | {m + 1 for m in marks[:2]}
    points |= {size // 4, (3 * size) // 4}
    points = sorted(p for p in points if 0 < p < size)
    while len(points) > most:
        # Thin out the middle, keeping the first and the last cut.
        del points[len(points) // 2]
    return points


def truncations(name, marks):
    data = src(name)
    stem, ext = stem_ext(name)
    for p in cut_points(len(data), marks):
        write("%s-cut-%04d%s" % (stem, p, ext), data[:p])


def flips(name, header_len, count):
    data = src(name)
    stem, ext = stem_ext(name)
    done = set()
    while len(done) < count:
        off = RNG.randrange(min(header_len, len(data)))
        if off in done:
            continue
        done.add(off)
        x = RNG.randrange(1, 256)
        d = bytearray(data)
        d[off] ^= x
        write("%s-flip-%04d-%02x%s" % (stem, off, x, ext), d)


# --- Format helpers -------------------------------------------------------------


def png_chunks(data):
    """(offset, type, body) of every chunk."""
    out, at = [], 8
    while at + 8 <= len(data):
        (n,) = struct.unpack_from(">I", data, at)
        kind = data[at + 4:at + 8]
        out.append((at, kind, data[at + 8:at + 8 + n]))
        at += 12 + n
    return out


def png_chunk(kind, body, crc=None):
    if crc is None:
        crc = zlib.crc32(kind + body) & 0xFFFFFFFF
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", crc)


def png_build(chunks):
    return b"\x89PNG\r\n\x1a\n" + b"".join(png_chunk(k, b) for k, b in chunks)


def png_parts(name):
    return [(k, b) for _, k, b in png_chunks(src(name))]


def png_with_ihdr(name, **fields):
    parts = png_parts(name)
    w, h, depth, colour, comp, filt, inter = struct.unpack(">IIBBBBB", parts[0][1])
    v = dict(w=w, h=h, depth=depth, colour=colour, comp=comp, filt=filt, inter=inter)
    v.update(fields)
    parts[0] = (b"IHDR", struct.pack(">IIBBBBB", v["w"], v["h"], v["depth"], v["colour"], v["comp"], v["filt"],
                                     v["inter"]))
    return png_build(parts)


def jpeg_segments(data):
    """(marker, offset of the marker, length field) up to and including SOS."""
    out, at = [], 2
    while at + 4 <= len(data):
        assert data[at] == 0xFF
        marker = data[at + 1]
        (n,) = struct.unpack_from(">H", data, at + 2)
        out.append((marker, at, n))
        if marker == 0xDA:
            break
        at += 2 + n
    return out


def jpeg_find(data, marker):
    for m, at, n in jpeg_segments(data):
        if m == marker:
            return at, n
    raise KeyError(marker)


def jpeg_sof(data):
    for m, at, n in jpeg_segments(data):
        if m in (0xC0, 0xC1, 0xC2):
            return at
    raise KeyError("SOF")


def jpeg_scan_start(data):
    at, n = jpeg_find(data, 0xDA)
    return at + 2 + n


def tiff_ifds(data):
    """Offsets of the IFDs of a little-endian TIFF, in chain order."""
    assert data[:2] == b"II"
    out = []
    (at,) = struct.unpack_from("<I", data, 4)
    while at and at not in out:
        out.append(at)
        (n,) = struct.unpack_from("<H", data, at)
        (at,) = struct.unpack_from("<I", data, at + 2 + 12 * n)
    return out


def tiff_entry(data, ifd, tag):
    (n,) = struct.unpack_from("<H", data, ifd)
    for i in range(n):
        e = ifd + 2 + 12 * i
        t, typ, count = struct.unpack_from("<HHI", data, e)
        if t == tag:
            return e, typ, count
    raise KeyError(tag)


def tiff_set(data, tag, value, ifd=None, as_type=None):
    """Sets a one-value tag in place, keeping its type unless told otherwise."""
    ifd = tiff_ifds(data)[0] if ifd is None else ifd
    e, typ, count = tiff_entry(data, ifd, tag)
    assert count == 1, (tag, count)
    d = bytearray(data)
    typ = as_type or typ
    struct.pack_into("<H", d, e + 2, typ)
    struct.pack_into("<I", d, e + 8, 0)
    struct.pack_into("<H" if typ == 3 else "<I", d, e + 8, value)
    return d


def tiff_next_offset_at(data, ifd):
    (n,) = struct.unpack_from("<H", data, ifd)
    return ifd + 2 + 12 * n


def tiff_strip(data, ifd=None):
    ifd = tiff_ifds(data)[0] if ifd is None else ifd
    e, typ, count = tiff_entry(data, ifd, 273)
    assert count == 1
    (off,) = struct.unpack_from("<I", data, e + 8)
    e2, _, _ = tiff_entry(data, ifd, 279)
    (n,) = struct.unpack_from("<I", data, e2 + 8)
    return off, n


def tiff_scramble_strip(name, out, fill=None):
    data = bytearray(src(name))
    off, n = tiff_strip(data)
    data[off:off + n] = noise(n) if fill is None else bytes([fill]) * n
    write(out, data)


def gif_blocks(data):
    """('ext', offset) and ('img', offset) of each block; ('end', offset) of the trailer."""
    flags = data[10]
    at = 13 + (3 * (2 << (flags & 7)) if flags & 0x80 else 0)
    out = []
    while at < len(data):
        b = data[at]
        if b == 0x3B:
            out.append(("end", at))
            break
        if b == 0x21:
            out.append(("ext", at))
            at += 2
        elif b == 0x2C:
            out.append(("img", at))
            f = data[at + 9]
            at += 10 + (3 * (2 << (f & 7)) if f & 0x80 else 0) + 1
        else:
            raise ValueError("bad GIF block at %d" % at)
        while data[at]:
            at += 1 + data[at]
        at += 1
    return out


def gif_first(data, kind):
    return next(at for k, at in gif_blocks(data) if k == kind)


def gif_image_data(data, img):
    """Offset of the LZW minimum code size byte of the image at img."""
    f = data[img + 9]
    return img + 10 + (3 * (2 << (f & 7)) if f & 0x80 else 0)


# --- Controls -------------------------------------------------------------------


def make_dcx(pages, table=None):
    offsets, body, at = [], b"", 4 + 4 * (len(pages) + 1)
    for p in pages:
        offsets.append(at)
        body += p
        at += len(p)
    table = offsets if table is None else table(offsets)
    return struct.pack("<I", 0x3ADE68B1) + b"".join(struct.pack("<I", o) for o in table) + b"\0\0\0\0" + body


def make_ico_png(png):
    w, h = struct.unpack_from(">II", png, 16)
    return struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", w & 0xFF, h & 0xFF, 0, 0, 1, 32, len(png), 22) + png


def controls():
    for name in sorted(os.listdir(SRC)):
        write("ok-" + name, src(name))
    write("ok-dcx-three.dcx", make_dcx([src("pcx-mono.pcx"), src("pcx-pal256.pcx"), src("pcx-rgb24.pcx")]))
    write("ok-ico-png.ico", make_ico_png(src("png-rgb8.png")))


# --- Per format -----------------------------------------------------------------


def bmp():
    for name, marks in [("bmp-rgb24.bmp", [14, 54]), ("bmp-rle8.bmp", [54, 1078]), ("bmp-rle4.bmp", [54, 118]),
                        ("bmp-rgb565.bmp", [14, 138])]:
        truncations(name, marks)
    for name in ("bmp-rgb24.bmp", "bmp-argb32.bmp"):
        flips(name, 54, 2)

    rgb, p8, rle8, rle4, bf = (src(n) for n in ("bmp-rgb24.bmp", "bmp-p8.bmp", "bmp-rle8.bmp", "bmp-rle4.bmp",
                                                  "bmp-rgb565.bmp"))
    write("bmp-size-60000x60000.bmp", patch(rgb, 18, "<ii", 60000, 60000))
    write("bmp-size-20000x20000.bmp", patch(rgb, 18, "<ii", 20000, 20000))
    write("bmp-width-2147483647.bmp", patch(rgb, 18, "<i", 0x7FFFFFFF))
    write("bmp-height-minus-2147483648.bmp", patch(rgb, 22, "<i", -0x80000000))
    write("bmp-width-negative.bmp", patch(rgb, 18, "<i", -12))
    write("bmp-size-0x0.bmp", patch(rgb, 18, "<ii", 0, 0))
    for bits in (0, 7, 64, 0xFFFF):
        write("bmp-bpp-%d.bmp" % bits, patch(rgb, 28, "<H", bits))
    write("bmp-planes-0.bmp", patch(rgb, 26, "<H", 0))
    write("bmp-compression-9.bmp", patch(rgb, 30, "<I", 9))
    write("bmp-compression-rle8-on-24bit.bmp", patch(rgb, 30, "<I", 1))
    write("bmp-compression-rle4-on-8bit.bmp", patch(p8, 30, "<I", 2))
    write("bmp-compression-bitfields-on-24bit.bmp", patch(rgb, 30, "<I", 3))
    write("bmp-compression-jpeg.bmp", patch(rgb, 30, "<I", 4))
    write("bmp-offset-beyond-eof.bmp", patch(rgb, 10, "<I", 0xFFFFFFF0))
    write("bmp-offset-into-header.bmp", patch(rgb, 10, "<I", 2))
    write("bmp-offset-zero.bmp", patch(rgb, 10, "<I", 0))
    write("bmp-filesize-lies.bmp", patch(rgb, 2, "<I", 0xFFFFFFFF))
    for n in (0, 41, 0xFFFFFFFF):
        write("bmp-infosize-%d.bmp" % n, patch(rgb, 14, "<I", n))
    write("bmp-colors-used-300.bmp", patch(p8, 46, "<I", 300))
    write("bmp-colors-used-4294967295.bmp", patch(p8, 46, "<I", 0xFFFFFFFF))
    write("bmp-bitfields-masks-zero.bmp", patch(bf, 54, "<III", 0, 0, 0))
    write("bmp-bitfields-masks-all-ones.bmp", patch(bf, 54, "<III", 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF))
    write("bmp-bitfields-masks-overlap.bmp", patch(bf, 54, "<III", 0xFFFF, 0xFF, 0xFFFF0000))
    # Run-length data that walks off the picture.
    head = rle8[:1078]
    write("bmp-rle8-delta-far.bmp", head + bytes([0, 2, 255, 255] * 8 + [4, 7, 0, 1]))
    write("bmp-rle8-run-past-row.bmp", head + bytes([255, 9] * 40 + [0, 1]))
    write("bmp-rle8-literal-past-row.bmp", head + bytes([0, 255]) + noise(256) + bytes([0, 1]))
    write("bmp-rle8-literal-past-eof.bmp", head + bytes([0, 200, 1, 2, 3]))
    write("bmp-rle8-endless-eol.bmp", head + bytes([0, 0] * 600))
    write("bmp-rle8-no-end.bmp", head + bytes([3, 1, 3, 2]))
    write("bmp-rle8-size-60000x60000.bmp", patch(rle8, 18, "<ii", 60000, 60000))
    write("bmp-rle8-size-20000x20000.bmp", patch(rle8, 18, "<ii", 20000, 20000))
    write("bmp-rle8-top-down.bmp", patch(rle8, 22, "<i", -10))
    write("bmp-rle4-literal-past-row.bmp", rle4[:118] + bytes([0, 255]) + noise(128) + bytes([0, 1]))
    write("bmp-rle4-delta-far.bmp", rle4[:118] + bytes([0, 2, 200, 200, 6, 0x12, 0, 1]))


def jpeg():
    for name in ("jpeg-base.jpg", "jpeg-prog.jpg"):
        d = src(name)
        truncations(name, [jpeg_sof(d), jpeg_find(d, 0xDA)[0], jpeg_scan_start(d)])
    flips("jpeg-base.jpg", jpeg_scan_start(src("jpeg-base.jpg")), 3)

    base, prog = src("jpeg-base.jpg"), src("jpeg-prog.jpg")
    sof, psof = jpeg_sof(base), jpeg_sof(prog)
    write("jpeg-sof-60000x60000.jpg", patch(base, sof + 5, ">HH", 60000, 60000))
    write("jpeg-sof-65535x65535.jpg", patch(base, sof + 5, ">HH", 65535, 65535))
    write("jpeg-sof-20000x20000.jpg", patch(base, sof + 5, ">HH", 20000, 20000))
    write("jpeg-prog-sof-20000x20000.jpg", patch(prog, psof + 5, ">HH", 20000, 20000))
    write("jpeg-prog-sof-60000x60000.jpg", patch(prog, psof + 5, ">HH", 60000, 60000))
    write("jpeg-sof-0x0.jpg", patch(base, sof + 5, ">HH", 0, 0))
    write("jpeg-sof-precision-12.jpg", patch(base, sof + 4, ">B", 12))
    write("jpeg-sof-components-0.jpg", patch(base, sof + 9, ">B", 0))
    write("jpeg-sof-components-255.jpg", patch(base, sof + 9, ">B", 255))
    write("jpeg-sof-sampling-0.jpg", patch(base, sof + 11, ">B", 0))
    write("jpeg-sof-sampling-ff.jpg", patch(base, sof + 11, ">B", 0xFF))
    write("jpeg-sof-quant-table-9.jpg", patch(base, sof + 12, ">B", 9))
    dqt = jpeg_find(base, 0xDB)[0]
    write("jpeg-dqt-table-id-9.jpg", patch(base, dqt + 4, ">B", 9))
    write("jpeg-dqt-length-0.jpg", patch(base, dqt + 2, ">H", 0))
    dht = jpeg_find(base, 0xC4)[0]
    write("jpeg-dht-counts-ff.jpg", patch(base, dht + 5, ">16B", *([0xFF] * 16)))
    write("jpeg-dht-counts-zero.jpg", patch(base, dht + 5, ">16B", *([0] * 16)))
    sos = jpeg_find(base, 0xDA)[0]
    write("jpeg-sos-components-4.jpg", patch(base, sos + 4, ">B", 4))
    write("jpeg-sos-table-9.jpg", patch(base, sos + 6, ">B", 0x99))
    app0 = jpeg_segments(base)[0][1]
    write("jpeg-segment-length-0.jpg", patch(base, app0 + 2, ">H", 0))
    write("jpeg-segment-length-65535.jpg", patch(base, app0 + 2, ">H", 65535))
    scan = jpeg_scan_start(base)
    write("jpeg-scan-noise.jpg", base[:scan] + noise(len(base) - scan - 2) + b"\xff\xd9")
    write("jpeg-scan-zeros.jpg", base[:scan] + bytes(len(base) - scan - 2) + b"\xff\xd9")
    pscan = jpeg_scan_start(prog)
    write("jpeg-prog-scans-noise.jpg", prog[:pscan] + noise(len(prog) - pscan))
    write("jpeg-soi-eoi-only.jpg", b"\xff\xd8\xff\xd9")
    write("jpeg-soi-then-noise.jpg", b"\xff\xd8" + noise(600))
    write("jpeg-markers-only.jpg", b"\xff\xd8" + b"\xff" * 2000)
    write("jpeg-sos-before-sof.jpg", base[:2] + base[sos:])

    # An EXIF block is parsed for the orientation: make its IFDs lie.
    def exif(ifd):
        body = b"Exif\0\0" + b"II*\0" + struct.pack("<I", 8) + ifd
        seg = b"\xff\xe1" + struct.pack(">H", len(body) + 2) + body
        at = 2 + 2 + struct.unpack_from(">H", base, 4)[0]
        return base[:at] + seg + base[at:]

    def entry(tag, typ, count, value):
        return struct.pack("<HHII", tag, typ, count, value)

    write("jpeg-exif-ifd-loop.jpg", exif(struct.pack("<H", 1) + entry(0x112, 3, 1, 6) + struct.pack("<I", 8)))
    write("jpeg-exif-ifd-beyond.jpg", exif(struct.pack("<H", 1) + entry(0x112, 3, 1, 6) + struct.pack("<I", 0xFFFFFFF0)))
    write("jpeg-exif-count-65535.jpg", exif(struct.pack("<H", 65535) + entry(0x112, 3, 1, 6)))
    write("jpeg-exif-orientation-77.jpg", exif(struct.pack("<H", 1) + entry(0x112, 3, 1, 77) + b"\0\0\0\0"))
    write("jpeg-exif-orientation-count-huge.jpg",
          exif(struct.pack("<H", 1) + entry(0x112, 3, 0x7FFFFFFF, 0xFFFFFF00) + b"\0\0\0\0"))
    write("jpeg-exif-exififd-loop.jpg",
          exif(struct.pack("<H", 2) + entry(0x8769, 4, 1, 8) + entry(0x112, 3, 1, 8) + b"\0\0\0\0"))
    write("jpeg-exif-length-beyond-eof.jpg", patch(exif(b"\0\0\0\0\0\0"), 4, ">H", 0xFFF0))


def png():
    for name in ("png-rgb8.png", "png-palette.png", "png-rgba16-adam7.png"):
        d = src(name)
        chunks = png_chunks(d)
        marks = [8, 16, 33] + [at for at, _, _ in chunks] + [at + 8 for at, k, _ in chunks if k == b"IDAT"]
        truncations(name, marks)
    flips("png-rgb8.png", 33, 3)

    rgb = "png-rgb8.png"
    write("png-ihdr-60000x60000.png", png_with_ihdr(rgb, w=60000, h=60000))
    write("png-ihdr-20000x20000.png", png_with_ihdr(rgb, w=20000, h=20000))
    write("png-ihdr-grey-30000x30000.png", png_with_ihdr(rgb, w=30000, h=30000, colour=0))
    write("png-ihdr-2147483647x1.png", png_with_ihdr(rgb, w=0x7FFFFFFF, h=1))
    write("png-ihdr-4294967295x4294967295.png", png_with_ihdr(rgb, w=0xFFFFFFFF, h=0xFFFFFFFF))
    write("png-ihdr-0x0.png", png_with_ihdr(rgb, w=0, h=0))
    write("png-ihdr-depth-3.png", png_with_ihdr(rgb, depth=3))
    write("png-ihdr-depth-16-on-8-bit-data.png", png_with_ihdr(rgb, depth=16))
    write("png-ihdr-colour-type-5.png", png_with_ihdr(rgb, colour=5))
    write("png-ihdr-palette-without-plte.png", png_with_ihdr(rgb, colour=3))
    write("png-ihdr-interlace-2.png", png_with_ihdr(rgb, inter=2))
    write("png-ihdr-interlace-on-plain-data.png", png_with_ihdr(rgb, inter=1))
    write("png-ihdr-compression-1.png", png_with_ihdr(rgb, comp=1))
    parts = png_parts(rgb)
    d = src(rgb)
    write("png-ihdr-crc-wrong.png", patch(d, 29, ">I", 0x12345678))
    write("png-ihdr-length-wrong.png", patch(d, 8, ">I", 12))
    write("png-signature-wrong.png", b"\x89PNG\r\n\x1a\x0a"[:7] + b"\x00" + d[8:])
    idat = [b for k, b in parts if k == b"IDAT"]
    rest = [(k, b) for k, b in parts if k not in (b"IDAT", b"IEND")]
    raw = zlib.decompress(b"".join(idat))

    def with_idat(data, extra=()):
        return png_build(rest + list(extra) + [(b"IDAT", data), (b"IEND", b"")])

    write("png-idat-noise.png", with_idat(noise(300)))
    write("png-idat-zlib-cut.png", with_idat(zlib.compress(raw)[:len(idat[0]) // 2]))
    write("png-idat-too-much-data.png", with_idat(zlib.compress(raw * 50)))
    write("png-idat-too-little-data.png", with_idat(zlib.compress(raw[:len(raw) // 3])))
    write("png-idat-filter-type-9.png", with_idat(zlib.compress(bytes([9]) + raw[1:])))
    write("png-idat-empty.png", with_idat(b""))
    write("png-idat-missing.png", png_build(rest + [(b"IEND", b"")]))
    chunk_idat = png_chunk(b"IDAT", idat[0])
    write("png-idat-crc-wrong.png", d.replace(chunk_idat, chunk_idat[:-4] + b"\0\0\0\0"))
    write("png-iend-missing.png", png_build(rest + [(b"IDAT", idat[0])]))
    write("png-chunk-length-huge.png", d[:33] + struct.pack(">I", 0x7FFFFFFF) + b"tEXt" + b"a\0b" + d[33:])
    write("png-chunk-length-4294967295.png", d[:33] + struct.pack(">I", 0xFFFFFFFF) + b"zzZz" + d[33:])
    write("png-many-chunks.png", d[:33] + png_chunk(b"tEXt", b"k\0v") * 3000 + d[33:])
    pal = png_parts("png-palette.png")
    write("png-plte-300-entries.png", png_build([(k, bytes(900) if k == b"PLTE" else b) for k, b in pal]))
    write("png-plte-1-entry.png", png_build([(k, bytes(3) if k == b"PLTE" else b) for k, b in pal]))
    write("png-plte-not-multiple-of-3.png", png_build([(k, b[:-1] if k == b"PLTE" else b) for k, b in pal]))
    write("png-plte-missing.png", png_build([(k, b) for k, b in pal if k != b"PLTE"]))
    write("png-trns-300-entries.png", png_build([(k, bytes(300) if k == b"tRNS" else b) for k, b in pal]))
    write("png-trns-before-plte.png",
          png_build(sorted(pal, key=lambda kb: {b"IHDR": 0, b"tRNS": 1}.get(kb[0], 2))))


def tiff():
    for name in ("tiff-lzw.tif", "tiff-g4.tif", "tiff-jpeg.tif", "tiff-multi.tif", "tiff-multi-mm.tif"):
        d = src(name)
        marks = [8]
        if d[:2] == b"II":
            for ifd in tiff_ifds(d):
                marks += [ifd, ifd + 2, tiff_next_offset_at(d, ifd)]
                marks.append(tiff_strip(d, ifd)[0])
        truncations(name, marks)
    flips("tiff-lzw.tif", 128, 3)

    none, lzw, multi = src("tiff-none.tif"), src("tiff-lzw.tif"), src("tiff-multi.tif")
    ifds = tiff_ifds(multi)
    first = ifds[0]
    write("tiff-ifd-loop.tif", patch(none, tiff_next_offset_at(none, first), "<I", first))
    write("tiff-ifd-loop-back-to-first.tif", patch(multi, tiff_next_offset_at(multi, ifds[-1]), "<I", ifds[0]))
    write("tiff-ifd-loop-back-to-third.tif", patch(multi, tiff_next_offset_at(multi, ifds[4]), "<I", ifds[2]))
    write("tiff-ifd-next-beyond-eof.tif", patch(multi, tiff_next_offset_at(multi, ifds[1]), "<I", 0x7FFFFFF0))
    write("tiff-ifd-next-into-header.tif", patch(multi, tiff_next_offset_at(multi, ifds[1]), "<I", 2))
    write("tiff-ifd-first-beyond-eof.tif", patch(none, 4, "<I", 0xFFFFFFF0))
    write("tiff-ifd-first-zero.tif", patch(none, 4, "<I", 0))
    write("tiff-ifd-first-odd.tif", patch(none, 4, "<I", tiff_ifds(none)[0] + 1))
    write("tiff-ifd-entries-65535.tif", patch(none, tiff_ifds(none)[0], "<H", 65535))
    write("tiff-ifd-entries-0.tif", patch(none, tiff_ifds(none)[0], "<H", 0))
    write("tiff-strip-offset-into-header.tif", tiff_set(none, 273, 0))
    write("tiff-strip-offset-beyond-eof.tif", tiff_set(none, 273, 0xFFFFFF00))
    write("tiff-strip-bytes-4294967295.tif", tiff_set(none, 279, 0xFFFFFFFF))
    write("tiff-strip-bytes-0.tif", tiff_set(none, 279, 0))
    write("tiff-lzw-strip-bytes-4294967295.tif", tiff_set(lzw, 279, 0xFFFFFFFF))
    write("tiff-lzw-strip-offset-into-header.tif", tiff_set(lzw, 273, 0))
    write("tiff-size-60000x60000.tif", tiff_set(tiff_set(none, 256, 60000, as_type=4), 257, 60000, as_type=4))
    write("tiff-size-20000x20000.tif", tiff_set(tiff_set(none, 256, 20000, as_type=4), 257, 20000, as_type=4))
    write("tiff-lzw-size-20000x20000.tif", tiff_set(tiff_set(lzw, 256, 20000, as_type=4), 257, 20000, as_type=4))
    write("tiff-width-2147483647.tif", tiff_set(none, 256, 0x7FFFFFFF, as_type=4))
    write("tiff-width-4294967295.tif", tiff_set(none, 256, 0xFFFFFFFF, as_type=4))
    write("tiff-size-0x0.tif", tiff_set(tiff_set(none, 256, 0), 257, 0))
    write("tiff-rows-per-strip-0.tif", tiff_set(none, 278, 0))
    write("tiff-rows-per-strip-1.tif", tiff_set(none, 278, 1))
    write("tiff-spp-0.tif", tiff_set(none, 277, 0))
    write("tiff-spp-255.tif", tiff_set(none, 277, 255))
    write("tiff-compression-9999.tif", tiff_set(none, 259, 9999))
    write("tiff-compression-g4-on-rgb.tif", tiff_set(none, 259, 4))
    write("tiff-compression-lzw-on-raw-data.tif", tiff_set(none, 259, 5))
    write("tiff-compression-jpeg-on-raw-data.tif", tiff_set(none, 259, 7))
    write("tiff-compression-old-jpeg.tif", tiff_set(none, 259, 6))
    write("tiff-compression-deflate-on-raw-data.tif", tiff_set(none, 259, 8))
    write("tiff-photometric-99.tif", tiff_set(none, 262, 99))
    write("tiff-photometric-palette-without-colormap.tif", tiff_set(none, 262, 3))
    write("tiff-photometric-separated-3-samples.tif", tiff_set(none, 262, 5))
    write("tiff-photometric-ycbcr-raw.tif", tiff_set(none, 262, 6))
    write("tiff-planar-2.tif", tiff_set(none, 284, 2))
    write("tiff-lzw-planar-7.tif", tiff_set(lzw, 284, 7))
    g4, g3, pb, jp = src("tiff-g4.tif"), src("tiff-g3.tif"), src("tiff-packbits.tif"), src("tiff-jpeg.tif")
    write("tiff-g4-width-60000.tif", tiff_set(g4, 256, 60000, as_type=4))
    write("tiff-g4-size-30000x30000.tif", tiff_set(tiff_set(tiff_set(g4, 256, 30000, as_type=4), 257, 30000,
                                                             as_type=4), 278, 30000, as_type=4))
    write("tiff-g3-height-1000000.tif", tiff_set(tiff_set(g3, 257, 1000000, as_type=4), 278, 1000000, as_type=4))
    write("tiff-packbits-width-2147483647.tif", tiff_set(pb, 256, 0x7FFFFFFF, as_type=4))
    write("tiff-bps-0.tif", tiff_set(g4, 258, 0))
    write("tiff-bps-3.tif", tiff_set(g4, 258, 3))
    write("tiff-bps-64.tif", tiff_set(g4, 258, 64))
    if _has(g4, 266):
        write("tiff-fill-order-7.tif", tiff_set(g4, 266, 7))
    e, _, _ = tiff_entry(none, tiff_ifds(none)[0], 256)
    write("tiff-entry-type-99.tif", patch(none, e + 2, "<H", 99))
    write("tiff-entry-type-0.tif", patch(none, e + 2, "<H", 0))
    e, _, _ = tiff_entry(none, tiff_ifds(none)[0], 273)
    write("tiff-strip-count-1073741824.tif", patch(none, e + 4, "<I", 0x40000000))
    write("tiff-strip-count-3-into-eof.tif", patch(patch(none, e + 4, "<I", 3), e + 8, "<I", len(none) - 4))
    e, _, _ = tiff_entry(none, tiff_ifds(none)[0], 258)
    write("tiff-bps-offset-beyond-eof.tif", patch(none, e + 8, "<I", 0xFFFFFFF0))
    write("tiff-byte-order-IX.tif", b"IX" + none[2:])
    write("tiff-magic-43-bigtiff.tif", patch(none, 2, "<H", 43))
    write("tiff-magic-0.tif", patch(none, 2, "<H", 0))
    tiff_scramble_strip("tiff-lzw.tif", "tiff-lzw-strip-noise.tif")
    tiff_scramble_strip("tiff-lzw.tif", "tiff-lzw-strip-ff.tif", 0xFF)
    tiff_scramble_strip("tiff-lzw.tif", "tiff-lzw-strip-zeros.tif", 0)
    tiff_scramble_strip("tiff-g3.tif", "tiff-g3-strip-noise.tif")
    tiff_scramble_strip("tiff-g3.tif", "tiff-g3-strip-zeros.tif", 0)
    tiff_scramble_strip("tiff-g4.tif", "tiff-g4-strip-noise.tif")
    tiff_scramble_strip("tiff-g4.tif", "tiff-g4-strip-ff.tif", 0xFF)
    tiff_scramble_strip("tiff-g4.tif", "tiff-g4-strip-zeros.tif", 0)
    tiff_scramble_strip("tiff-packbits.tif", "tiff-packbits-strip-noise.tif")
    tiff_scramble_strip("tiff-packbits.tif", "tiff-packbits-strip-81.tif", 0x81)
    tiff_scramble_strip("tiff-packbits.tif", "tiff-packbits-strip-7f.tif", 0x7F)
    tiff_scramble_strip("tiff-jpeg.tif", "tiff-jpeg-strip-noise.tif")
    e, _, n = tiff_entry(jp, tiff_ifds(jp)[0], 347)
    (at,) = struct.unpack_from("<I", jp, e + 8)
    d = bytearray(jp)
    d[at + 2:at + n - 2] = noise(n - 4)
    write("tiff-jpeg-tables-noise.tif", d)
    write("tiff-jpeg-tables-length-huge.tif", patch(jp, e + 4, "<I", 0x7FFFFFF0))


def _has(data, tag):
    try:
        tiff_entry(data, tiff_ifds(data)[0], tag)
        return True
    except KeyError:
        return False


def gif():
    for name in ("gif-anim.gif", "gif-interlaced.gif"):
        d = src(name)
        marks = [6, 10, 13] + [at for _, at in gif_blocks(d)]
        truncations(name, marks[:9])
    flips("gif-anim.gif", 13, 3)

    anim, inter = src("gif-anim.gif"), src("gif-interlaced.gif")
    img = gif_first(anim, "img")
    write("gif-screen-60000x60000.gif", patch(anim, 6, "<HH", 60000, 60000))
    write("gif-screen-0x0.gif", patch(anim, 6, "<HH", 0, 0))
    write("gif-frame-65535x65535.gif", patch(anim, img + 5, "<HH", 65535, 65535))
    write("gif-frame-0x0.gif", patch(anim, img + 5, "<HH", 0, 0))
    write("gif-frame-outside-screen.gif", patch(anim, img + 1, "<HH", 65000, 65000))
    iimg = gif_first(inter, "img")
    write("gif-interlaced-frame-65535x65535.gif", patch(inter, iimg + 5, "<HH", 65535, 65535))
    write("gif-interlaced-screen-and-frame-20000x20000.gif",
          patch(patch(inter, 6, "<HH", 20000, 20000), iimg + 5, "<HH", 20000, 20000))
    lzw = gif_image_data(anim, img)
    for n in (0, 1, 12, 255):
        write("gif-lzw-min-code-size-%d.gif" % n, patch(anim, lzw, "<B", n))
    d = bytearray(anim)
    at = lzw + 1
    while d[at]:
        d[at + 1:at + 1 + d[at]] = noise(d[at])
        at += 1 + d[at]
    write("gif-lzw-noise.gif", d)
    d = bytearray(anim)
    at = lzw + 1
    while d[at]:
        d[at + 1:at + 1 + d[at]] = bytes([0xFF]) * d[at]
        at += 1 + d[at]
    write("gif-lzw-ff.gif", d)
    write("gif-sub-block-past-eof.gif", anim[:lzw + 1] + b"\xff" + anim[lzw + 2:lzw + 40])
    first_block = gif_blocks(anim)[0][1]
    head = anim[:first_block]
    tail = anim[first_block:]
    write("gif-extension-unterminated.gif", head + b"\x21\xfe" + (b"\xff" + noise(255)) * 6)
    write("gif-extension-chain-3000.gif", head + b"\x21\xf9\x04\x00\x00\x00\x00\x00" * 3000 + tail)
    write("gif-comment-chain-3000.gif", head + b"\x21\xfe\x01x\x00" * 3000 + tail)
    write("gif-extension-empty-sub-blocks.gif", head + b"\x21\xff" + b"\x00" + tail)
    write("gif-netscape-loop.gif", head + b"\x21\xff\x0bNETSCAPE2.0\x03\x01\xff\xff\x00" + tail)
    write("gif-trailer-missing.gif", anim[:-1])
    write("gif-header-and-trailer-only.gif", head + b"\x3b")
    write("gif-unknown-block.gif", head + b"\x99" + tail)
    no_gct = bytearray(inter[:13])
    flags = no_gct[10]
    no_gct[10] = flags & 0x7F
    write("gif-palette-missing.gif", bytes(no_gct) + inter[13 + 3 * (2 << (flags & 7)):])
    write("gif-version-89b.gif", b"GIF89b" + anim[6:])
    frame = (b"\x2c" + struct.pack("<HHHH", 0, 0, 0, 0) + b"\x00" + b"\x02\x00")
    write("gif-200-empty-frames.gif", head + frame * 200 + b"\x3b")
    write("gif-frame-without-data.gif", head + b"\x2c" + struct.pack("<HHHH", 0, 0, 4, 4) + b"\x00\x02\x00\x3b")


def pcx():
    for name in ("pcx-rgb24.pcx", "pcx-pal256.pcx"):
        truncations(name, [66, 128, len(src(name)) - 769] if "pal256" in name else [66, 128])
    flips("pcx-rgb24.pcx", 70, 3)

    rgb, pal, mono = src("pcx-rgb24.pcx"), src("pcx-pal256.pcx"), src("pcx-mono.pcx")
    write("pcx-size-65536x65536.pcx", patch(rgb, 4, "<HHHH", 0, 0, 65535, 65535))
    write("pcx-size-20000x20000.pcx", patch(rgb, 4, "<HHHH", 0, 0, 19999, 19999))
    write("pcx-xmin-above-xmax.pcx", patch(rgb, 4, "<HHHH", 40, 20, 0, 0))
    write("pcx-bytes-per-line-0.pcx", patch(rgb, 66, "<H", 0))
    write("pcx-bytes-per-line-1.pcx", patch(rgb, 66, "<H", 1))
    write("pcx-bytes-per-line-65535.pcx", patch(rgb, 66, "<H", 65535))
    write("pcx-planes-0.pcx", patch(rgb, 65, "<B", 0))
    write("pcx-planes-255.pcx", patch(rgb, 65, "<B", 255))
    write("pcx-planes-2.pcx", patch(rgb, 65, "<B", 2))
    write("pcx-bpp-0.pcx", patch(rgb, 3, "<B", 0))
    write("pcx-bpp-3.pcx", patch(rgb, 3, "<B", 3))
    write("pcx-bpp-255.pcx", patch(rgb, 3, "<B", 255))
    write("pcx-encoding-7.pcx", patch(rgb, 2, "<B", 7))
    write("pcx-version-99.pcx", patch(rgb, 1, "<B", 99))
    write("pcx-manufacturer-wrong.pcx", patch(rgb, 0, "<B", 0x0B))
    write("pcx-runs-all-ff.pcx", rgb[:128] + b"\xff" * 600)
    write("pcx-run-at-eof.pcx", rgb[:128] + b"\xc5")
    write("pcx-pal256-marker-missing.pcx", pal[:-769] + b"\x00" + pal[-768:])
    write("pcx-pal256-palette-short.pcx", pal[:-600])
    write("pcx-mono-size-20000x20000.pcx", patch(mono, 4, "<HHHH", 0, 0, 19999, 19999))


def dcx():
    page, mono = src("pcx-pal256.pcx"), src("pcx-mono.pcx")
    three = make_dcx([src("pcx-mono.pcx"), page, src("pcx-rgb24.pcx")])
    truncations_data("dcx-three", ".dcx", three, [4, 8, 16, 20, 20 + len(mono) // 2])
    write("dcx-page-table-repeats.dcx",
          struct.pack("<I", 0x3ADE68B1) + struct.pack("<I", 4 + 4 * 7) * 6 + b"\0\0\0\0" + mono)
    # 1023 entries all naming the same page and no terminator before the page.
    body = struct.pack("<I", 0x3ADE68B1) + struct.pack("<I", 4 + 4 * 1024) * 1024
    write("dcx-page-table-full-repeats.dcx", body + mono)
    write("dcx-page-table-unterminated.dcx", struct.pack("<I", 0x3ADE68B1) + struct.pack("<I", 8) * 40)
    write("dcx-page-offset-beyond-eof.dcx", make_dcx([mono], table=lambda o: [0xFFFFFFF0]))
    write("dcx-page-offset-into-table.dcx", make_dcx([mono], table=lambda o: [4]))
    write("dcx-page-offset-into-magic.dcx", make_dcx([mono], table=lambda o: [1]))
    write("dcx-page-offset-last-byte.dcx", make_dcx([mono], table=lambda o: [o[0] + len(mono) - 1]))
    write("dcx-no-pages.dcx", struct.pack("<II", 0x3ADE68B1, 0))
    write("dcx-magic-only.dcx", struct.pack("<I", 0x3ADE68B1))
    write("dcx-page-lies-size.dcx", make_dcx([patch(mono, 4, "<HHHH", 0, 0, 65535, 65535)]))
    write("dcx-page-is-png.dcx", make_dcx([src("png-rgb8.png")]))


def truncations_data(stem, ext, data, marks):
    for p in cut_points(len(data), marks):
        write("%s-cut-%04d%s" % (stem, p, ext), data[:p])


def tga():
    for name in ("tga-rgb24-rle.tga", "tga-cmap-rle.tga"):
        d = src(name)
        cmap = struct.unpack_from("<H", d, 5)[0] * ((d[7] + 7) // 8) if d[1] else 0
        truncations(name, [9, 18, 18 + d[0], 18 + d[0] + cmap])
    flips("tga-rgb24.tga", 18, 3)

    rle, raw, cm, grey = (src(n) for n in ("tga-rgb24-rle.tga", "tga-rgb24.tga", "tga-cmap-rle.tga", "tga-grey.tga"))
    write("tga-size-65535x65535.tga", patch(raw, 12, "<HH", 65535, 65535))
    write("tga-size-20000x20000.tga", patch(raw, 12, "<HH", 20000, 20000))
    write("tga-rle-size-20000x20000.tga", patch(rle, 12, "<HH", 20000, 20000))
    write("tga-rle-size-65535x65535.tga", patch(rle, 12, "<HH", 65535, 65535))
    write("tga-size-0x0.tga", patch(raw, 12, "<HH", 0, 0))
    write("tga-id-length-255.tga", patch(raw[:200], 0, "<B", 255))
    write("tga-cmap-length-65535.tga", patch(cm, 5, "<H", 65535))
    write("tga-cmap-start-65535.tga", patch(cm, 3, "<H", 65535))
    write("tga-cmap-length-2.tga", patch(cm, 5, "<H", 2)[:18 + cm[0] + 6] + cm[18 + cm[0] + 186 * 3:])
    write("tga-cmap-depth-7.tga", patch(cm, 7, "<B", 7))
    write("tga-cmap-depth-0.tga", patch(cm, 7, "<B", 0))
    write("tga-cmap-type-2.tga", patch(cm, 1, "<B", 2))
    write("tga-cmap-type-0-on-mapped.tga", patch(cm, 1, "<B", 0))
    for bits in (0, 7, 64):
        write("tga-bpp-%d.tga" % bits, patch(raw, 16, "<B", bits))
    write("tga-grey-bpp-24.tga", patch(grey, 16, "<B", 24))
    write("tga-type-99.tga", patch(raw, 2, "<B", 99))
    write("tga-type-0.tga", patch(raw, 2, "<B", 0))
    write("tga-type-rle-on-raw-data.tga", patch(raw, 2, "<B", 10))
    write("tga-type-raw-on-rle-data.tga", patch(rle, 2, "<B", 2))
    write("tga-type-mapped-without-map.tga", patch(raw, 2, "<B", 1))
    write("tga-descriptor-ff.tga", patch(raw, 17, "<B", 0xFF))
    write("tga-rle-runs-past-end.tga", rle[:18 + rle[0]] + b"\xff\x10\x20\x30" * 200)
    write("tga-rle-literal-past-eof.tga", rle[:18 + rle[0]] + b"\x7f\x01\x02\x03")
    write("tga-footer-only.tga", bytes(8) + b"TRUEVISION-XFILE.\0")


def ico():
    for name in ("ico-two.ico",):
        d = src(name)
        offs = [struct.unpack_from("<I", d, 6 + 16 * i + 12)[0] for i in range(struct.unpack_from("<H", d, 4)[0])]
        truncations(name, [6, 22, 38] + [o + 40 for o in offs])
    ipng = make_ico_png(src("png-rgb8.png"))
    truncations_data("ico-png", ".ico", ipng, [22, 22 + 33])
    flips("ico-two.ico", 38, 2)

    two = src("ico-two.ico")
    off0, off1 = (struct.unpack_from("<I", two, 6 + 16 * i + 12)[0] for i in range(2))
    write("ico-count-0.ico", patch(two, 4, "<H", 0))
    write("ico-count-65535.ico", patch(two, 4, "<H", 65535))
    write("ico-type-3.ico", patch(two, 2, "<H", 3))
    write("ico-entry-offset-beyond-eof.ico", patch(two, 6 + 12, "<I", 0xFFFFFFF0))
    write("ico-entry-offset-into-directory.ico", patch(two, 6 + 12, "<I", 0))
    write("ico-entry-size-4294967295.ico", patch(two, 6 + 8, "<I", 0xFFFFFFFF))
    write("ico-entry-size-0.ico", patch(two, 6 + 8, "<I", 0))
    write("ico-entries-share-offset.ico", patch(two, 6 + 16 + 12, "<I", off0))
    write("ico-dib-height-120000.ico", patch(two, off0 + 8, "<i", 120000))
    write("ico-dib-size-60000x60000.ico", patch(two, off0 + 4, "<ii", 60000, 120000))
    write("ico-dib-height-odd.ico", patch(two, off0 + 8, "<i", 31))
    write("ico-dib-height-negative.ico", patch(two, off0 + 8, "<i", -32))
    write("ico-dib-bpp-7.ico", patch(two, off0 + 14, "<H", 7))
    write("ico-dib-header-size-huge.ico", patch(two, off0, "<I", 0xFFFFFFF0))
    write("ico-dib-compression-rle8.ico", patch(two, off0 + 16, "<I", 1))
    write("ico-png-ihdr-60000x60000.ico", make_ico_png(png_with_ihdr("png-rgb8.png", w=60000, h=60000)))
    write("ico-png-idat-noise.ico", make_ico_png(png_build(png_parts("png-rgb8.png")[:1] + [(b"IDAT", noise(200)),
                                                                                             (b"IEND", b"")])))
    cur = src("cur-two.cur")
    write("cur-count-65535.cur", patch(cur, 4, "<H", 65535))
    write("cur-entry-offset-beyond-eof.cur", patch(cur, 6 + 12, "<I", 0xFFFFFFF0))
    write("cur-hotspot-outside.cur", patch(cur, 6 + 4, "<HH", 65535, 65535))


def pnm():
    for name, marks in [("pnm-p6.ppm", [2, 3, 9, 13]), ("pnm-p3.ppm", [2, 9, 13, 20]), ("pnm-p4.pbm", [3, 9])]:
        truncations(name, marks)
    flips("pnm-p6.ppm", 13, 2)

    px = noise(64)
    write("pnm-p6-size-60000x60000.ppm", b"P6\n60000 60000\n255\n" + px)
    write("pnm-p6-size-20000x20000.ppm", b"P6\n20000 20000\n255\n" + px)
    write("pnm-p5-size-30000x30000.pgm", b"P5\n30000 30000\n255\n" + px)
    write("pnm-p4-size-60000x60000.pbm", b"P4\n60000 60000\n" + px)
    write("pnm-p3-size-20000x20000.ppm", b"P3\n20000 20000\n255\n1 2 3\n")
    write("pnm-p2-size-60000x60000.pgm", b"P2\n60000 60000\n255\n1 2 3\n")
    write("pnm-p1-size-20000x20000.pbm", b"P1\n20000 20000\n0 1 0 1\n")
    write("pnm-p6-width-2147483647.ppm", b"P6\n2147483647 1\n255\n" + px)
    write("pnm-p6-width-2147483648.ppm", b"P6\n2147483648 1\n255\n" + px)
    write("pnm-p6-width-99999999999999999999.ppm", b"P6\n99999999999999999999 1\n255\n" + px)
    write("pnm-p6-width-negative.ppm", b"P6\n-16 12\n255\n" + px)
    write("pnm-p6-size-0x0.ppm", b"P6\n0 0\n255\n")
    write("pnm-p6-maxval-0.ppm", b"P6\n4 4\n0\n" + px)
    write("pnm-p6-maxval-70000.ppm", b"P6\n4 4\n70000\n" + px)
    write("pnm-p6-maxval-65535-short-data.ppm", b"P6\n4 4\n65535\n" + px[:60])
    write("pnm-p5-maxval-99999999999.pgm", b"P5\n4 4\n99999999999\n" + px)
    write("pnm-p2-values-over-maxval.pgm", b"P2\n4 2\n255\n" + b"999 " * 4 + b"4294967296 " * 4 + b"\n")
    write("pnm-p3-letters-in-data.ppm", b"P3\n2 2\n255\n1 2 x y z\n")
    write("pnm-p3-value-99999999999999999999.ppm", b"P3\n1 1\n255\n99999999999999999999 1 1\n")
    write("pnm-p1-digit-7.pbm", b"P1\n4 2\n0 7 1 0 1 1 0 0\n")
    write("pnm-comment-to-eof.ppm", b"P6\n# " + b"c" * 3000)
    write("pnm-comments-only.ppm", b"P6\n" + b"#\n" * 1500)
    write("pnm-header-digits-only.ppm", b"P6" + b"1" * 3000)
    write("pnm-header-no-space.ppm", b"P616 12 255" + px)
    write("pnm-magic-p7.ppm", b"P7\nWIDTH 4\nHEIGHT 4\nDEPTH 3\nMAXVAL 255\nTUPLTYPE RGB\nENDHDR\n" + px[:48])
    write("pnm-magic-p9.pgm", b"P9\n4 4\n255\n" + px)
    write("pnm-p6-in-pbm-name.pbm", src("pnm-p6.ppm"))


def wbmp():
    d = src("wbmp-bw.wbmp")
    truncations("wbmp-bw.wbmp", [1, 2, 3, 4])
    px = noise(64)
    write("wbmp-type-1.wbmp", b"\x01" + d[1:])
    write("wbmp-type-multibyte.wbmp", b"\x81\x00" + d[1:])
    write("wbmp-fixheader-extension.wbmp", b"\x00\x80" + b"\xff" * 2000)
    write("wbmp-fixheader-ext-then-image.wbmp", b"\x00\x80\x00" + d[2:])
    write("wbmp-width-uintvar-endless.wbmp", b"\x00\x00" + b"\xff" * 3000)
    write("wbmp-width-uintvar-overflow.wbmp", b"\x00\x00" + b"\xff" * 10 + b"\x01\x0c" + px)
    write("wbmp-size-60000x60000.wbmp", b"\x00\x00\x83\xd4\x60\x83\xd4\x60" + px)
    write("wbmp-size-20000x20000.wbmp", b"\x00\x00\x81\x9c\x20\x81\x9c\x20" + px)
    write("wbmp-size-0x0.wbmp", b"\x00\x00\x00\x00")


def non_pictures():
    text = b"This is a plain text file, not a picture.\n" * 12
    for ext in ("jpg", "png", "tif", "bmp", "gif", "pcx", "tga", "ico", "ppm", "wbmp", "dcx"):
        write("text-as.%s" % ext, text)
    for ext in ("jpg", "png", "tif", "bmp", "gif", "pcx", "tga", "ico", "cur", "ppm", "pbm", "wbmp", "dcx"):
        write("random-as.%s" % ext, noise(700))
    pdf = (b"%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n2 0 obj\n<< /Type /Pages /Kids [] "
           b"/Count 0 >>\nendobj\ntrailer\n<< /Root 1 0 R >>\n%%EOF\n")
    for ext in ("jpg", "png", "tif", "pdf"):
        write("pdf-as.%s" % ext, pdf)
    write("html-as.gif", b"<!DOCTYPE html><html><body>GIF89a</body></html>\n")
    write("zeros-as.tga", bytes(1024))
    write("zeros-as.wbmp", bytes(1024))
    write("zeros-as.ico", bytes(1024))
    write("zeros-as.tif", bytes(1024))
    write("ff-as.jpg", b"\xff" * 1024)
    write("ff-as.pcx", b"\xff" * 1024)
    # Magic numbers of other formats with nothing after them.
    write("magic-only-II.tif", b"II*\0")
    write("magic-only-MM.tif", b"MM\0*")
    write("magic-only-soi.jpg", b"\xff\xd8\xff")
    write("magic-only-png.png", b"\x89PNG\r\n\x1a\n")
    write("magic-only-gif.gif", b"GIF89a")
    write("magic-only-bm.bmp", b"BM")
    write("magic-only-pcx.pcx", b"\x0a\x05\x01\x08")


def wrong_extensions():
    for content, ext in [("png-rgb8.png", "jpg"), ("jpeg-base.jpg", "png"), ("tiff-lzw.tif", "bmp"),
                         ("gif-anim.gif", "tif"), ("bmp-rgb24.bmp", "pcx"), ("pcx-rgb24.pcx", "tga"),
                         ("tga-rgb24.tga", "pcx"), ("png-rgb8.png", "ico"), ("jpeg-base.jpg", "wbmp"),
                         ("pnm-p6.ppm", "tga"), ("tiff-multi.tif", "dng"), ("jpeg-base.jpg", "psd"),
                         ("gif-anim.gif", "dcx"), ("wbmp-bw.wbmp", "pbm"), ("ico-two.ico", "cur"),
                         ("bmp-rle8.bmp", "gif"), ("tiff-g4.tif", "jpg"), ("pcx-mono.pcx", "wbmp")]:
        stem = content.split("-")[0]
        write("%s-as.%s" % (stem if stem != "bmp" or ext != "gif" else "bmp-rle8", ext), src(content))


def empty_files():
    exts = ("tif tiff fax g3n g3f xif gif jpg jpeg jpe jif pcx bmp dib rle ico cur png tga targa vda icb vst pix "
            "pxm ppm pgm pbm wbmp dcx").split()
    for ext in exts:
        write("empty.%s" % ext, b"")


def main():
    for name in os.listdir(HERE):
        path = os.path.join(HERE, name)
        if os.path.isfile(path) and name != os.path.basename(__file__):
            os.remove(path)
    controls()
    bmp()
    jpeg()
    png()
    tiff()
    gif()
    pcx()
    dcx()
    tga()
    ico()
    pnm()
    wbmp()
    non_pictures()
    wrong_extensions()
    empty_files()
    total = sum(os.path.getsize(os.path.join(HERE, n)) for n in written)
    print("%d files, %d bytes" % (len(written), total))


if __name__ == "__main__":
    main()
