#!/usr/bin/env bash
# Builds the bundled demo disk res/demo/demo-disk.img.gz with real file-system tools: an MBR disk
# with an NTFS partition (mkntfs, written through ntfs-3g) and a FAT32 partition (mkfs.vfat and
# mtools), a few folders, files of several kinds, some of them deleted.
# Needs root (FUSE mount for ntfs-3g) and: ntfs-3g dosfstools mtools fdisk imagemagick.
set -euo pipefail
cd "$(dirname "$0")/.."
export TZ=UTC LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1
work=$(mktemp -d)
mnt="$work/mnt"
cleanup() { mountpoint -q "$mnt" && umount "$mnt" || true; rm -rf "$work"; }
trap cleanup EXIT

ntfs_sectors=40960   # 20 MiB
fat_sectors=73728    # 36 MiB: enough clusters for FAT32 with 512-byte clusters
ntfs_start=2048
fat_start=$((ntfs_start + ntfs_sectors))
disk_sectors=$((fat_start + fat_sectors + 2048))

content="$work/content"
mkdir -p "$content"
text() { # text FILE N: N lines of readable text
  python3 - "$1" "$2" <<'PY'
import sys, random
r = random.Random(sys.argv[1])
words = "disk recovery folder holiday garden report budget meeting river station library morning evening".split()
with open(sys.argv[1], "w") as f:
    for i in range(int(sys.argv[2])):
        f.write(" ".join(r.choice(words) for _ in range(12)) + ".\n")
PY
}
text "$content/notes.txt" 40
text "$content/report.txt" 400
text "$content/letter.txt" 120
text "$content/todo.txt" 10
printf 'name,amount,date\nrent,900,2024-01-01\npower,75,2024-01-03\nwater,30,2024-01-05\n' > "$content/budget.csv"
printf '<html><head><title>Demo</title></head><body><h1>Holiday</h1><p>Pictures from the lake.</p></body></html>\n' > "$content/index.html"
convert -size 320x200 -seed 7 plasma:steelblue-white "$content/lake.jpg"
convert -size 160x120 -seed 9 plasma:orange-yellow "$content/sunset.png"
convert -size 96x96 gradient:navy-skyblue "$content/icon.bmp"
convert -size 400x300 -seed 11 plasma:green-white -quality 85 "$content/garden.jpg"
touch -d '2024-03-14 10:20:00' "$content"/*

# NTFS partition through ntfs-3g.
ntfs="$work/ntfs.img"
truncate -s $((ntfs_sectors * 512)) "$ntfs"
mkntfs -Q -F -q -L "Demo NTFS" -p $ntfs_start -H 255 -S 63 "$ntfs"
mkdir -p "$mnt"
ntfs-3g -o windows_names "$ntfs" "$mnt"
mkdir -p "$mnt/Documents/Letters" "$mnt/Pictures/Holiday" "$mnt/Old stuff"
cp -p "$content/notes.txt" "$content/report.txt" "$content/budget.csv" "$mnt/Documents/"
cp -p "$content/letter.txt" "$mnt/Documents/Letters/"
cp -p "$content/lake.jpg" "$content/sunset.png" "$mnt/Pictures/Holiday/"
cp -p "$content/index.html" "$content/icon.bmp" "$mnt/"
cp -p "$content/garden.jpg" "$content/todo.txt" "$mnt/Old stuff/"
cp -p "$content/report.txt" "$mnt/Documents/report (draft).txt"
sync
rm "$mnt/Documents/report (draft).txt" "$mnt/Pictures/Holiday/sunset.png"
rm -r "$mnt/Old stuff"
umount "$mnt"

# FAT32 partition through mtools.
fat="$work/fat.img"
truncate -s $((fat_sectors * 512)) "$fat"
mkfs.vfat -F 32 -s 1 -n DEMO_FAT32 -i 1234ABCD --invariant "$fat" >/dev/null
export MTOOLS_NO_VFAT=0
mmd -i "$fat" ::/Photos ::/Music ::/Work ::/Work/Drafts
mcopy -i "$fat" -m "$content/lake.jpg" "$content/garden.jpg" ::/Photos/
mcopy -i "$fat" -m "$content/notes.txt" "$content/budget.csv" ::/Work/
mcopy -i "$fat" -m "$content/letter.txt" ::/Work/Drafts/
mcopy -i "$fat" -m "$content/sunset.png" "$content/index.html" ::/
mdel -i "$fat" ::/Photos/garden.jpg ::/sunset.png
mdeltree -i "$fat" ::/Work/Drafts

disk="$work/demo-disk.img"
truncate -s $((disk_sectors * 512)) "$disk"
printf 'label: dos\nlabel-id: 0x4d6f7276\n%d,%d,7\n%d,%d,c\n' $ntfs_start $ntfs_sectors $fat_start $fat_sectors | sfdisk -q "$disk"
dd if="$ntfs" of="$disk" bs=512 seek=$ntfs_start conv=notrunc status=none
dd if="$fat" of="$disk" bs=512 seek=$fat_start conv=notrunc status=none
gzip -9 -n -c "$disk" > res/demo/demo-disk.img.gz
ls -l res/demo/demo-disk.img.gz
