#!/usr/bin/env python3
"""Makes the image that times the exFAT deleted-file scan on a full stick: an exFAT volume made by
mkfs.exfat, F folders of N files each laid in directly (the data clusters are left sparse: the
deleted-file scan reads folders, the FAT and the allocation bitmap, never the files), every other
file deleted as a delete leaves it (in-use bits cleared, its clusters freed in the bitmap), one
file in ten fragmented in two pieces with a FAT chain.

    make-stick.py OUTPUT SIZE_MIB CLUSTER FOLDERS FILES_PER_FOLDER
    /usr/bin/time -v scan_driver --image OUTPUT --mode deleted --volume 0

Run the baseline driver and the changed one on the same image, one after the other."""
import struct
import subprocess
import sys

SECTOR = 512
ENTRY = 32
FIRST_CLUSTER = 2
END_OF_CHAIN = 0xFFFFFFFF
TIMESTAMP = (44 << 25) | (5 << 21) | (10 << 16) | (10 << 11)  # 10 May 2024, 10:00


def entry_set(name, cluster, length, directory, contiguous, in_use, stamp):
    units = [ord(c) for c in name]
    names = (len(units) + 14) // 15
    s = bytearray(ENTRY * (2 + names))
    s[0] = 0x85
    s[1] = 1 + names
    struct.pack_into('<H', s, 4, 0x10 if directory else 0x20)
    struct.pack_into('<III', s, 8, stamp, stamp, stamp)
    s[32] = 0xC0
    s[33] = 0x03 if contiguous else 0x01
    s[35] = len(units)
    struct.pack_into('<Q', s, 40, length)
    struct.pack_into('<I', s, 52, cluster)
    struct.pack_into('<Q', s, 56, length)
    for n in range(names):
        at = ENTRY * (2 + n)
        s[at] = 0xC1
        for i, u in enumerate(units[15 * n:15 * n + 15]):
            struct.pack_into('<H', s, at + 2 + 2 * i, u)
    checksum = 0
    for i, b in enumerate(s):
        if i in (2, 3):
            continue
        checksum = (((checksum & 1) << 15) | (checksum >> 1)) + b & 0xFFFF
    struct.pack_into('<H', s, 2, checksum)
    if not in_use:
        for at in range(0, len(s), ENTRY):
            s[at] &= 0x7F
    return bytes(s)


def main():
    out, size_mib, cluster_bytes, folders, per_folder = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
    subprocess.run(['truncate', '-s', '0', out], check=True)
    subprocess.run(['truncate', '-s', '%dM' % size_mib, out], check=True)
    subprocess.run(['mkfs.exfat', '-c', str(cluster_bytes), out], check=True, stdout=subprocess.DEVNULL)
    f = open(out, 'r+b')
    boot = f.read(SECTOR)
    fat_offset, _, heap, count, root = struct.unpack_from('<IIIII', boot, 80)
    spc = 1 << boot[109]

    def cluster_offset(c):
        return (heap + (c - FIRST_CLUSTER) * spc) * SECTOR

    f.seek(cluster_offset(root))
    root_bytes = bytearray(f.read(cluster_bytes))
    bitmap_cluster = bitmap_length = 0
    for at in range(0, cluster_bytes, ENTRY):
        if root_bytes[at] == 0x81:
            bitmap_cluster, bitmap_length = struct.unpack_from('<IQ', root_bytes, at + 20)
    f.seek(cluster_offset(bitmap_cluster))
    bitmap = bytearray(f.read(bitmap_length))
    used = max(c for c in range(count) if bitmap[c // 8] >> (c % 8) & 1) + FIRST_CLUSTER
    fat = {}
    next_free = used + 1

    def alloc(n):
        nonlocal next_free
        first = next_free
        next_free += n
        if next_free > count + FIRST_CLUSTER:
            sys.exit('the volume is full: fewer or smaller files')
        return first

    def mark(first, n, on):
        for c in range(first, first + n):
            k = c - FIRST_CLUSTER
            bitmap[k // 8] = bitmap[k // 8] | (1 << k % 8) if on else bitmap[k // 8] & ~(1 << k % 8)

    free_clusters = count - used
    file_clusters = max(1, free_clusters * 3 // 4 // (folders * per_folder) - 1)
    root_at = next(at for at in range(0, cluster_bytes, ENTRY) if root_bytes[at] == 0)
    for d in range(folders):
        sets = []
        for i in range(per_folder):
            n = 1 + (i * 7919) % file_clusters
            length = n * cluster_bytes - (i % cluster_bytes)
            live = i % 2 == 0
            fragmented = i % 10 == 3 and n > 2
            first = alloc(n)
            if fragmented:
                # Two pieces with one cluster of another's between them.
                second = alloc(1) + 0
                half = n // 2
                chain = list(range(first, first + half)) + list(range(first + half + 1, first + n + 1))
                next_free = first + n + 1
                for a, b in zip(chain, chain[1:] + [END_OF_CHAIN]):
                    fat[a] = b
                if live:
                    for c in chain:
                        mark(c, 1, True)
                del second
            elif live:
                mark(first, n, True)
            sets.append(entry_set('file %05d of folder %03d.dat' % (i, d), first, length, False, not fragmented, live,
                                  TIMESTAMP + (i % 1000)))
        body = b''.join(sets)
        dir_clusters = (len(body) + cluster_bytes - 1) // cluster_bytes
        dir_first = alloc(dir_clusters)
        mark(dir_first, dir_clusters, True)
        f.seek(cluster_offset(dir_first))
        f.write(body + bytes(dir_clusters * cluster_bytes - len(body)))
        folder_set = entry_set('folder %03d' % d, dir_first, dir_clusters * cluster_bytes, True, True, True, TIMESTAMP)
        if root_at + len(folder_set) > cluster_bytes:
            sys.exit('the root cluster is full: fewer folders')
        root_bytes[root_at:root_at + len(folder_set)] = folder_set
        root_at += len(folder_set)
    f.seek(cluster_offset(root))
    f.write(root_bytes)
    f.seek(cluster_offset(bitmap_cluster))
    f.write(bitmap)
    for c, v in fat.items():
        f.seek(fat_offset * SECTOR + 4 * c)
        f.write(struct.pack('<I', v))
    f.close()


if __name__ == '__main__':
    main()
