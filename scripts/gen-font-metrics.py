#!/usr/bin/env python3
"""Writes src/pdf/pdffontmetrics.cpp: the advance widths of the fourteen
standard PDF fonts for character codes 32..255, in thousandths of the font
size, so that text can be measured exactly as a PDF reader will lay it out.

The widths come from the AFM files of the URW base 35 fonts (Debian package
fonts-urw-base35), which are metric-compatible with the Adobe core fonts.
Text fonts are laid out in the Windows ANSI encoding (/WinAnsiEncoding), so
each code is mapped to its glyph name first. Symbol and ZapfDingbats are
symbolic: readers draw them through their built-in encodings, so their codes
are taken as the AFM files number them.

Usage: gen-font-metrics.py [AFM folder] [output file]
"""

import os
import sys

AFM_DIR = "/usr/share/fonts/type1/urw-base35"
OUTPUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "pdf",
                      "pdffontmetrics.cpp")

# Standard font name, URW file, symbolic.
FONTS = [
    ("Times-Roman", "NimbusRoman-Regular", False),
    ("Times-Bold", "NimbusRoman-Bold", False),
    ("Times-Italic", "NimbusRoman-Italic", False),
    ("Times-BoldItalic", "NimbusRoman-BoldItalic", False),
    ("Helvetica", "NimbusSans-Regular", False),
    ("Helvetica-Bold", "NimbusSans-Bold", False),
    ("Helvetica-Oblique", "NimbusSans-Italic", False),
    ("Helvetica-BoldOblique", "NimbusSans-BoldItalic", False),
    ("Courier", "NimbusMonoPS-Regular", False),
    ("Courier-Bold", "NimbusMonoPS-Bold", False),
    ("Courier-Oblique", "NimbusMonoPS-Italic", False),
    ("Courier-BoldOblique", "NimbusMonoPS-BoldItalic", False),
    ("Symbol", "StandardSymbolsPS", True),
    ("ZapfDingbats", "D050000L", True),
]

# Glyph names of WinAnsiEncoding, codes 32..255. Codes the encoding leaves
# unused (127, 129, 141, 143, 144, 157) show the bullet, as PDF readers do.
WIN_ANSI = (
    "space exclam quotedbl numbersign dollar percent ampersand quotesingle "
    "parenleft parenright asterisk plus comma hyphen period slash "
    "zero one two three four five six seven eight nine "
    "colon semicolon less equal greater question at "
    "A B C D E F G H I J K L M N O P Q R S T U V W X Y Z "
    "bracketleft backslash bracketright asciicircum underscore grave "
    "a b c d e f g h i j k l m n o p q r s t u v w x y z "
    "braceleft bar braceright asciitilde bullet "
    # 128..159
    "Euro bullet quotesinglbase florin quotedblbase ellipsis dagger daggerdbl "
    "circumflex perthousand Scaron guilsinglleft OE bullet Zcaron bullet "
    "bullet quoteleft quoteright quotedblleft quotedblright bullet endash emdash "
    "tilde trademark scaron guilsinglright oe bullet zcaron Ydieresis "
    # 160..191
    "space exclamdown cent sterling currency yen brokenbar section "
    "dieresis copyright ordfeminine guillemotleft logicalnot hyphen registered macron "
    "degree plusminus twosuperior threesuperior acute mu paragraph periodcentered "
    "cedilla onesuperior ordmasculine guillemotright onequarter onehalf threequarters questiondown "
    # 192..223
    "Agrave Aacute Acircumflex Atilde Adieresis Aring AE Ccedilla "
    "Egrave Eacute Ecircumflex Edieresis Igrave Iacute Icircumflex Idieresis "
    "Eth Ntilde Ograve Oacute Ocircumflex Otilde Odieresis multiply "
    "Oslash Ugrave Uacute Ucircumflex Udieresis Yacute Thorn germandbls "
    # 224..255
    "agrave aacute acircumflex atilde adieresis aring ae ccedilla "
    "egrave eacute ecircumflex edieresis igrave iacute icircumflex idieresis "
    "eth ntilde ograve oacute ocircumflex otilde odieresis divide "
    "oslash ugrave uacute ucircumflex udieresis yacute thorn ydieresis"
).split()
assert len(WIN_ANSI) == 224, len(WIN_ANSI)

# Names some AFM files use for the same glyph.
ALIASES = {"mu": ["uni00B5", "mu1"], "space": ["uni00A0"], "hyphen": ["uni00AD"]}


def read_afm(path):
    """Returns ({code: width}, {name: width}) from the character metrics."""
    by_code, by_name = {}, {}
    in_metrics = False
    with open(path, encoding="latin-1") as f:
        for line in f:
            if line.startswith("StartCharMetrics"):
                in_metrics = True
                continue
            if line.startswith("EndCharMetrics"):
                break
            if not in_metrics:
                continue
            fields = {}
            for part in line.split(";"):
                words = part.split()
                if len(words) >= 2:
                    fields[words[0]] = words[1]
            if "WX" not in fields:
                continue
            width = int(round(float(fields["WX"])))
            code = int(fields.get("C", "-1"))
            if code >= 0:
                by_code[code] = width
            if "N" in fields:
                by_name.setdefault(fields["N"], width)
    return by_code, by_name


def widths_for(afm_dir, urw_name, symbolic):
    by_code, by_name = read_afm(os.path.join(afm_dir, urw_name + ".afm"))
    out = []
    for code in range(32, 256):
        if symbolic:
            out.append(by_code.get(code, 0))
            continue
        name = WIN_ANSI[code - 32]
        width = by_name.get(name)
        for alias in ALIASES.get(name, []):
            if width is None:
                width = by_name.get(alias)
        if width is None:
            sys.exit("%s has no glyph %s" % (urw_name, name))
        out.append(width)
    return out


def main():
    afm_dir = sys.argv[1] if len(sys.argv) > 1 else AFM_DIR
    output = sys.argv[2] if len(sys.argv) > 2 else OUTPUT
    lines = [
        "// Generated by scripts/gen-font-metrics.py from the AFM files of the URW",
        "// base 35 fonts; do not edit. Advance widths of the standard fonts for",
        "// codes 32..255 (Windows ANSI for the text fonts, the built-in encoding for",
        "// Symbol and ZapfDingbats), in thousandths of the font size.",
        '#include "pdffonts.h"',
        "",
        "const uint16_t kIEStandardFontWidths[kIEStandardFontCount][kIEFontWidthCount] = {",
    ]
    for name, urw_name, symbolic in FONTS:
        widths = widths_for(afm_dir, urw_name, symbolic)
        lines.append("    // %s" % name)
        lines.append("    {")
        for row in range(0, 224, 16):
            lines.append("        " + ", ".join("%d" % w for w in widths[row:row + 16]) + ",")
        lines.append("    },")
    lines.append("};")
    with open(output, "w", encoding="ascii", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
