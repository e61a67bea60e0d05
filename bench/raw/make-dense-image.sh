#!/usr/bin/env bash
# Makes a disk image dense with real files of the kinds the RAW search carves, as a camera card or
# a documents disk is after a quick format: photos (plain JFIF, progressive, with camera Exif),
# the tool-made samples of tests/data/raw-samples, text documents, archives and sound, laid one
# after another from sector boundaries, a few of them cut short, with a FAT32 volume full of
# photos, an empty exFAT and an empty NTFS volume among them; RealMedia audio and video files and
# stale ".RMF" sightings are among the files. The benchmark makes it once and
# keeps it; it is never part of the tests.
#
#   make-dense-image.sh OUTPUT [SIZE_MIB]      (SIZE_MIB 1024 by default)
#
# Tools: ImageMagick 6 (convert), cjpeg, python3, zip, gzip, GNU tar, mkfs.fat, mcopy, mkfs.exfat,
# mkntfs. Seeds are fixed, so a rerun with the same tools writes the same image.
set -euo pipefail
export TZ=UTC LC_ALL=C SOURCE_DATE_EPOCH=1700000000
out=${1:?usage: make-dense-image.sh OUTPUT [SIZE_MIB]}
size_mib=${2:-1024}
here=$(cd "$(dirname "$0")" && pwd)
samples="$here/../../tests/data/raw-samples"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/pool" "$work/fat"
cd "$work"

# ---- photos: plasma and noise pictures of camera sizes, some progressive, some through cjpeg
for i in $(seq 1 16); do
  w=$((640 + (i * 97) % 1400)); h=$((w * 3 / 4))
  case $((i % 4)) in
    0) convert -seed "$i" -size "${w}x${h}" plasma:fractal -quality $((80 + i % 15)) "pool/photo$i.jpg" ;;
    1) convert -seed "$i" -size "${w}x${h}" plasma:fractal -interlace JPEG -quality 85 "pool/photo$i.jpg" ;;
    2) convert -seed "$i" -size "${w}x${h}" plasma:fractal ppm:- | cjpeg -restart 4 -quality 88 > "pool/photo$i.jpg" ;;
    3) convert -seed "$i" -size "$((w / 2))x$((h / 2))" xc:gray +noise Random -blur 0x1 -quality 90 "pool/photo$i.jpg" ;;
  esac
done
# Camera photos: an Exif block with the maker, the model and the time in front of the picture.
python3 - <<'EOF'
import struct
def exif(make, model, when):
    entries = [(0x010F, make), (0x0110, model), (0x0132, when)]
    data_at = 8 + 2 + 12 * len(entries) + 4
    ifd, data = b"", b""
    for tag, text in entries:
        raw = text.encode() + b"\0"
        ifd += struct.pack("<HHII", tag, 2, len(raw), data_at + len(data))
        data += raw
    tiff = b"II*\0" + struct.pack("<I", 8) + struct.pack("<H", len(entries)) + ifd + b"\0\0\0\0" + data
    return b"Exif\0\0" + tiff
for i, model in enumerate(["Field Camera", "Trail 20", "Lumo X7", "Kestrin K3"]):
    open(f"exif{i}.app1", "wb").write(exif("Morvenda Optics", model, f"2023:0{i + 1}:1{i} 10:20:30"))
EOF
for i in 0 1 2 3; do
  w=$((1600 + i * 400)); h=$((w * 3 / 4))
  convert -seed $((50 + i)) -size "${w}x${h}" plasma:fractal -quality 90 -profile "APP1:exif$i.app1" "pool/camera$i.jpg"
done

# ---- documents, archives and sound made here; the committed samples of every carved kind
python3 - <<'EOF'
import math, random, wave
random.seed(17)
words = "scan sector volume folder record photo ledger invoice letter minutes budget river stone".split()
for i in range(6):
    rows = "".join(f"<tr><td>{r}</td><td>{' '.join(random.choices(words, k=8))}</td></tr>\n" for r in range(400 * (i + 1)))
    open(f"pool/page{i}.html", "w").write(f"<html><head><title>Report {i}</title></head><body><table>\n{rows}</table></body></html>\n")
    paras = "".join("{\\pard " + " ".join(random.choices(words, k=60)) + "\\par}\n" for _ in range(300 * (i + 1)))
    open(f"pool/letter{i}.rtf", "w").write("{\\rtf1\\ansi{\\fonttbl{\\f0 Times;}}\n" + paras + "}\n")
    open(f"text{i}.txt", "w").write("\n".join(" ".join(random.choices(words, k=12)) for _ in range(20000)))
for i, seconds in enumerate([3, 8, 20]):
    w = wave.open(f"pool/sound{i}.wav", "wb")
    w.setnchannels(2); w.setsampwidth(2); w.setframerate(22050)
    w.writeframes(b"".join(int(9000 * math.sin(n / (7 + i))).to_bytes(2, "little", signed=True) * 2
                           for n in range(22050 * seconds)))
    w.close()
EOF
# RealMedia, written chunk by chunk as a muxer lays it out: audio alone (sized by its chunks) and
# with a video stream (sized by its last index chunk), and a few ".RMF" sightings that begin no
# file, as the stale bytes of a damaged one leave them.
python3 - <<'EOF'
import random, struct
random.seed(23)
def chunk(tag, body):
    return tag + struct.pack(">I", 8 + len(body)) + body
def media(video, packets):
    head = chunk(b".RMF", struct.pack(">HII", 0, 0, 4 + 2 * video))
    prop = chunk(b"PROP", bytes(42))
    mdprs = b""
    for stream, kind in enumerate([b"Audio Stream"] + ([b"Video Stream"] if video else [])):
        mime = b"video/x-pn-realvideo" if video and stream else b"audio/x-pn-realaudio"
        body = struct.pack(">HH", 0, stream) + bytes(28) + bytes([len(kind)]) + kind + bytes([len(mime)]) + mime
        mdprs += chunk(b"MDPR", body + struct.pack(">I", 0))
    cont = chunk(b"CONT", struct.pack(">H", 0) + b"\x00\x05Title\x00\x06Author\x00\x00\x00\x00")
    payloads = [random.randbytes(random.randint(300, 900)) for _ in range(packets)]
    data = b"".join(struct.pack(">HHHIBB", 0, 12 + len(p), n % 2, n * 40, 0, 2) + p for n, p in enumerate(payloads))
    data = chunk(b"DATA", struct.pack(">HII", 0, packets, 0) + data)
    index = chunk(b"INDX", struct.pack(">HIHI", 0, 8, 0, 0) + struct.pack(">HIII", 0, 0, 0, 0) * 8)
    last = b"INDX" + struct.pack(">IHIHI", 20, 0, 0, 2, 0)
    return head + prop + mdprs + cont + data + index + last
# Each ends in a sector whose rest holds stale bytes, as on a disk in use: no index marker ends
# the search of a video file, which goes on to its bound or the device's end.
def slack(data):
    return data + random.randbytes(-len(data) % 512)
for i, packets in enumerate([400, 1500, 4000]):
    open(f"pool/clip{i}.rmvb", "wb").write(slack(media(True, packets)))
for i, packets in enumerate([300, 1200]):
    open(f"pool/song{i}.rm", "wb").write(slack(media(False, packets)))
for i in range(2):
    stale = bytearray(random.randbytes(1536))
    stale[0:4] = b".RMF"
    stale[40:44] = b"MDPR"
    stale[80:92] = b"Video Stream"
    open(f"pool/stale{i}.rmf", "wb").write(bytes(stale))
EOF
zip -q -X pool/texts.zip text0.txt text1.txt text2.txt
zip -q -X pool/photos.zip pool/photo1.jpg pool/photo2.jpg
tar --owner=0 --group=0 --mtime=@$SOURCE_DATE_EPOCH -cf pool/texts.tar text3.txt text4.txt
gzip -9 -n -c text5.txt > pool/text5.txt.gz
for f in "$samples"/*; do
  case "$f" in *.sh|*.md) ;; *) cp "$f" pool/ ;; esac
done

# ---- volumes: FAT32 holding photos, empty exFAT and NTFS
truncate -s 96M fat32.img
mkfs.fat -F 32 -n CARD fat32.img >/dev/null
mmd -i fat32.img ::/DCIM
mcopy -Q -i fat32.img pool/photo*.jpg pool/camera*.jpg ::/DCIM/
truncate -s 32M exfat.img
mkfs.exfat -L SPARE exfat.img >/dev/null 2>&1
truncate -s 48M ntfs.img
mkntfs -Q -F -q -L DOCS ntfs.img >/dev/null 2>&1

# ---- the disk: files one after another from sector boundaries, copies of the pool in a shuffled
# order with gaps of zeros or of stale bytes, one in 25 cut short; the volumes at MiB boundaries.
python3 - "$out" "$size_mib" <<'EOF'
import os, random, sys
out, size_mib = sys.argv[1], int(sys.argv[2])
MIB, SECTOR = 1 << 20, 512
total = size_mib * MIB
random.seed(20261207)
pool = [open(os.path.join("pool", n), "rb").read() for n in sorted(os.listdir("pool"))]
volumes = {int(total * k / 4) // MIB * MIB: open(v, "rb").read()
           for k, v in ((1, "fat32.img"), (2, "exfat.img"), (3, "ntfs.img")) if total >= 512 * MIB}
stale = random.randbytes(64 * 1024)
with open(out, "wb") as f:
    f.truncate(total)
    at = MIB
    while at + 8 * MIB < total:
        start = next((v for v in volumes if at <= v < at + 8 * MIB), None)
        if start is not None:
            f.seek(start); f.write(volumes.pop(start))
            at = (f.tell() + MIB - 1) // MIB * MIB
            continue
        data = random.choice(pool)
        if random.random() < 0.04:
            data = data[: max(SECTOR, len(data) // 2)]
        f.seek(at); f.write(data)
        at = (at + len(data) + SECTOR - 1) // SECTOR * SECTOR
        gap = random.choice([0, 0, 0, 1, 2, 8])
        if gap and random.random() < 0.5:
            f.seek(at); f.write(stale[: gap * SECTOR])
        at += gap * SECTOR
EOF
echo "made $out (${size_mib} MiB)"
