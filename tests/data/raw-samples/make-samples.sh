#!/usr/bin/env bash
# Makes the sample files of this folder with the tools that write them in the wild. The tests read
# only the files committed here; run this again only to remake them (see README.md for the tools
# and the versions they were made with). Every tool is pinned to fixed seeds, dates and owners so
# that a rerun with the same versions writes the same bytes.
#
# Tools: ImageMagick 6 (convert), Pillow and fontTools (python3), Ghostscript (gs), potrace,
# epstool, GNU tar, gzip and jlha-utils (lha).
#   apt-get install imagemagick python3-pil python3-fonttools ghostscript potrace epstool jlha-utils
# IM and PYTHON name the convert and python3 to use when the first on PATH is not the one wanted.
set -euo pipefail
export TZ=UTC LC_ALL=C SOURCE_DATE_EPOCH=1700000000
IM=${IM:-convert}
PYTHON=${PYTHON:-python3}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
stamp=@$SOURCE_DATE_EPOCH

# ---- pictures
"$IM" -seed 7 -size 48x40 plasma:fractal -strip -define png:exclude-chunks=date,time PNG24:"$here/sample.png"
"$IM" -seed 11 -size 40x30 plasma:fractal -depth 8 -compress RLE PSD:"$here/sample.psd"
# Found TIFFs are named after their camera's model, which the file carries as text.
"$IM" -seed 13 -size 40x30 plasma:fractal -define tiff:make="Morvenda Optics" -define tiff:model="Field Camera" \
  -compress lzw TIFF:"$here/camera.tif"
"$PYTHON" - "$here" <<'EOF'
import random, sys
from PIL import Image, ImageDraw
here = sys.argv[1]
random.seed(5)
def noisy(size, colours):
    im = Image.new("RGB", size, "white")
    d = ImageDraw.Draw(im)
    for _ in range(40):
        x, y = random.randrange(size[0]), random.randrange(size[1])
        d.ellipse([x, y, x + random.randrange(4, 14), y + random.randrange(4, 14)], fill=random.choice(colours))
    return im
colours = ["#c03030", "#30a040", "#3050c0", "#e0c020", "#202020"]
# Two frames: the graphic control and looping extensions come before the images.
frames = [noisy((60, 40), colours).convert("P", palette=Image.ADAPTIVE, colors=16) for _ in range(2)]
frames[0].save(f"{here}/sample.gif", save_all=True, append_images=frames[1:], duration=200, loop=0)
# An icon of two sizes, stored as PNG images behind the directory.
noisy((32, 32), colours).save(f"{here}/sample.ico", sizes=[(16, 16), (32, 32)])
# Strips of LZW data before the directory, as libtiff writes them; noise keeps it a few sectors long.
Image.frombytes("RGB", (48, 32), random.randbytes(48 * 32 * 3)).save(f"{here}/plain.tif", compression="tiff_lzw")
EOF

# ---- a font: a few glyphs of DejaVu Sans (Bitstream Vera licence, see README.md)
"$PYTHON" -m fontTools.subset /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf --text="Morvenda Sample" \
  --output-file="$here/font.ttf" 2>/dev/null

# ---- drawings and documents
"$IM" -size 240x80 xc:white -font /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf -pointsize 40 -fill black \
  -annotate +8+55 "Morvenda" -draw "circle 225,40 225,20" pbm:shape.pbm
potrace -s -o "$here/outline.svg" shape.pbm
potrace -e -o "$here/outline.eps" shape.pbm
# The binary EPS form: the PostScript section and a TIFF preview rendered by Ghostscript. The
# preview's DateTime tag holds the time of the run; it is set to the fixed date.
epstool --quiet --add-tiff-preview --device tiffg3 "$here/outline.eps" preview.eps >/dev/null
"$PYTHON" - preview.eps "$here/preview.eps" <<'EOF'
import re, sys
data = open(sys.argv[1], "rb").read()
data = re.sub(rb"\d{4}:\d\d:\d\d \d\d:\d\d:\d\d", b"2023:11:14 22:13:20", data)
open(sys.argv[2], "wb").write(data)
EOF
cat > page.ps <<'EOF'
%!PS
/Helvetica findfont 14 scalefont setfont
1 1 3 {
  /n exch def
  72 720 moveto (Morvenda sample page ) show n 3 string cvs show
  0 1 30 { /i exch def 72 690 i 18 mul sub moveto (Line of text on the page, number ) show i 3 string cvs show } for
  newpath 300 120 40 n mul 0 360 arc closepath 0.6 setgray fill 0 setgray
  showpage
} for
EOF
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -dOmitInfoDate -dOmitID -dOmitXMP \
  -sOutputFile="$here/document.pdf" page.ps

# ---- text formats written by hand
"$PYTHON" - "$here" <<'EOF'
import random, sys
here = sys.argv[1]
random.seed(3)
rows = "\n".join(f"<tr><td>{i}</td><td>{random.randrange(10**6)}</td><td>item {random.randrange(999)}</td></tr>"
                 for i in range(90))
open(f"{here}/table.html", "w").write(
    "<!DOCTYPE html>\n<html lang=\"en\">\n<head><meta charset=\"utf-8\"><title>Stock</title></head>\n"
    f"<body>\n<h1>Stock list</h1>\n<table>\n{rows}\n</table>\n</body>\n</html>\n")
paras = "".join(f"{{\\pard\\sa120 Paragraph {i}: {{\\b bold}} and {{\\i italic}} words, "
                f"number {random.randrange(10**5)}.\\par}}\n" for i in range(40))
open(f"{here}/letter.rtf", "w").write(
    "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0\\fswiss Helvetica;}{\\f1\\froman Times;}}\n"
    "{\\colortbl;\\red0\\green0\\blue0;\\red200\\green0\\blue0;}\n\\f0\\fs22\n" + paras + "}\n")
# A drawing exchange file with CR LF line ends: header, a few lines and circles, end of file.
def group(code, value):
    return f"{code:>3}\r\n{value}\r\n"
dxf = group(0, "SECTION") + group(2, "HEADER") + group(9, "$ACADVER") + group(1, "AC1009")
dxf += group(9, "$EXTMIN") + group(10, "0.0") + group(20, "0.0") + group(9, "$EXTMAX") + group(10, "200.0")
dxf += group(20, "150.0") + group(0, "ENDSEC") + group(0, "SECTION") + group(2, "ENTITIES")
for i in range(60):
    x, y = random.uniform(0, 200), random.uniform(0, 150)
    if i % 3:
        dxf += group(0, "LINE") + group(8, "0") + group(10, f"{x:.4f}") + group(20, f"{y:.4f}")
        dxf += group(11, f"{x + 10:.4f}") + group(21, f"{y + 5:.4f}")
    else:
        dxf += group(0, "CIRCLE") + group(8, "0") + group(10, f"{x:.4f}") + group(20, f"{y:.4f}") + group(40, "4.0")
dxf += group(0, "ENDSEC") + group(0, "EOF")
open(f"{here}/plan.dxf", "w", newline="").write(dxf)
# Text to archive.
open("ledger.csv", "w").write("".join(f"{i},{random.randrange(10**6)},{random.choice(['north', 'south', 'east'])}\n"
                                      for i in range(700)))
open("readme.txt", "w").write("Samples to archive.\n")
open("numbers.txt", "w").write("".join(f"{random.randrange(10**9)}\n" for _ in range(300)))
EOF

# ---- archives
touch -d "$stamp" ledger.csv readme.txt numbers.txt
tar --format=ustar --mtime="$stamp" --owner=0 --group=0 --numeric-owner -cf "$here/bundle.tar" \
  readme.txt ledger.csv numbers.txt
# Without -n, gzip keeps the name (and the time) of the file it packs.
gzip -9 -c ledger.csv > "$here/ledger.csv.gz"
# jlha writes level-2 headers unless told otherwise; the level-1 archive holds the same files.
lha a "$work/level2.lzh" readme.txt numbers.txt >/dev/null
lha a1 "$work/level1.lzh" readme.txt numbers.txt >/dev/null
cp level2.lzh "$here/level2.lzh"
cp level1.lzh "$here/level1.lzh"
ls -l "$here"
