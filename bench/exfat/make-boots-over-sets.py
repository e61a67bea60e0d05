#!/usr/bin/env python3
"""Makes the image that times how the exFAT deep search confirms boot sectors by the entry sets of
their heaps: N exFAT boot sectors, each claiming the device from where it stands on, then F
sectors (or a few more) that begin like an entry set (a file entry, its stream extension and a
name entry) but hold no valid set. Every set start lies in every boot sector's heap, none on a
cluster boundary of one, so no volume is made and the time is that of counting the votes.

    make-boots-over-sets.py OUTPUT N F
    time scan_driver --image OUTPUT --mode complete --volume disk:0

Doubling N and F together should about double the time."""
import struct
import sys

SECTOR = 512
CLUSTER_SHIFT = 3        # 8 sectors per cluster
BOOT_SPACING = 8         # boot sectors at whole clusters from each other: one offset for all heaps
FAT_OFFSET = 32
FAT_LENGTH = 8
HEAP_OFFSET = 64
PAD = 40000              # zeros between the boot sectors and the set starts


def boot_sector(volume_length):
    b = bytearray(SECTOR)
    b[0:3] = b'\xEB\x76\x90'
    b[3:11] = b'EXFAT   '
    struct.pack_into('<Q', b, 72, volume_length)
    struct.pack_into('<IIII', b, 80, FAT_OFFSET, FAT_LENGTH, HEAP_OFFSET,
                     (volume_length - HEAP_OFFSET) >> CLUSTER_SHIFT)
    struct.pack_into('<I', b, 96, 4)            # root cluster
    struct.pack_into('<H', b, 104, 0x0100)      # revision
    b[108] = 9
    b[109] = CLUSTER_SHIFT
    b[110] = 1
    b[510:512] = b'\x55\xAA'
    return bytes(b)


def set_start():
    # Types and counts of a set; the file entry's timestamps are zero, which no valid set has.
    s = bytearray(SECTOR)
    s[0] = 0x85
    s[1] = 2
    s[32] = 0xC0
    s[64] = 0xC1
    return bytes(s)


def main():
    out, n, f = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    cluster = 1 << CLUSTER_SHIFT
    # The heaps all begin at a whole cluster from sector 0: the set starts take every sector but
    # those, in groups of one cluster beginning at a whole cluster.
    first_group = (n * BOOT_SPACING + PAD) // cluster + 1
    groups = (f + cluster - 2) // (cluster - 1)
    total = (first_group + groups) * cluster + 1000
    group = bytes(SECTOR) + set_start() * (cluster - 1)
    with open(out, 'wb') as o:
        o.truncate(total * SECTOR)
        for i in range(n):
            o.seek(i * BOOT_SPACING * SECTOR)
            o.write(boot_sector(total - i * BOOT_SPACING))
        o.seek(first_group * cluster * SECTOR)
        left = groups
        while left > 0:
            k = min(left, 512)
            o.write(group * k)
            left -= k


if __name__ == '__main__':
    main()
