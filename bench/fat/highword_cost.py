#!/usr/bin/env python3
"""What deleted files whose first cluster lost its high word cost the deleted-file scan.

Makes one FAT32 stick (mkfs.fat and mtools, run as root or with mtools' image access): FOLDERS
folders of FILES files of many sizes, half of every folder deleted. Two copies are scanned one
beside the other: one as mtools leaves it (each deleted entry keeps the high word of its first
cluster) and one with every deleted entry's high word cleared, as Windows deletes on FAT32. For
each the best of RUNS timed deleted-file scans, and the device reads of one more (counted with
strace where it is installed) are printed, then the ratio of the two.

usage: highword_cost.py SCAN_DRIVER WORK [--size-mib 1024] [--spc 8] [--folders 16] [--files 500]
                        [--runs 10] [--seed 1]
"""
import argparse, os, random, shutil, struct, subprocess, time

ap = argparse.ArgumentParser()
ap.add_argument('driver'); ap.add_argument('work')
ap.add_argument('--size-mib', type=int, default=1024); ap.add_argument('--spc', type=int, default=8)
ap.add_argument('--folders', type=int, default=16); ap.add_argument('--files', type=int, default=500)
ap.add_argument('--runs', type=int, default=10); ap.add_argument('--seed', type=int, default=1)
a = ap.parse_args()
rng = random.Random(a.seed)
W = os.path.abspath(a.work); shutil.rmtree(W, ignore_errors=True); os.makedirs(W)
env = dict(os.environ, MTOOLS_SKIP_CHECK='1')
kept = os.path.join(W, 'kept.img'); cleared = os.path.join(W, 'cleared.img')

src = os.path.join(W, 'src')
for d in range(a.folders):
    folder = os.path.join(src, 'D%03d' % d); os.makedirs(folder)
    for f in range(a.files):
        n = rng.choice([rng.randint(300, 8000), rng.randint(8000, 64000), rng.randint(64000, 400000)])
        with open(os.path.join(folder, 'F%04d.BIN' % f), 'wb') as out: out.write(rng.randbytes(n))
with open(kept, 'wb') as f: f.truncate(a.size_mib << 20)
subprocess.run(['mkfs.fat', '-F', '32', '-s', str(a.spc), kept], check=True, stdout=subprocess.DEVNULL)
subprocess.run(['mcopy', '-s', '-i', kept] + [os.path.join(src, x) for x in sorted(os.listdir(src))] + ['::/'],
               check=True, env=env)
shutil.rmtree(src)
for d in range(a.folders):
    names = ['::/D%03d/F%04d.BIN' % (d, f) for f in range(a.files) if rng.random() < 0.5]
    for k in range(0, len(names), 200):
        subprocess.run(['mdel', '-i', kept] + names[k:k + 200], check=True, env=env)
shutil.copyfile(kept, cleared)

# Every deleted entry of the top folders loses the high word of its first cluster.
with open(cleared, 'r+b') as f:
    bs = f.read(512)
    bps, spc, rsv, nf = struct.unpack_from('<HBHB', bs, 11)
    fatsz, rootc = struct.unpack_from('<I', bs, 36)[0], struct.unpack_from('<I', bs, 44)[0]
    data, cb = (rsv + nf * fatsz) * bps, bps * spc
    f.seek(rsv * bps); fat = f.read(fatsz * bps)
    def chain(c):
        out = []
        while 2 <= c < 0x0FFFFFF8 and len(out) < 1 << 24:
            out.append(c); c = struct.unpack_from('<I', fat, 4 * c)[0] & 0x0FFFFFFF
        return out
    def entries(c):
        for cl in chain(c):
            f.seek(data + (cl - 2) * cb); blk = f.read(cb)
            for i in range(0, cb, 32): yield data + (cl - 2) * cb + i, blk[i:i + 32]
    lost = 0
    for _, e in list(entries(rootc)):
        if e[0] in (0, 0xE5) or e[11] == 0x0F or not e[11] & 0x10 or e[0:1] == b'.': continue
        for at, e2 in list(entries(struct.unpack_from('<H', e, 26)[0] | struct.unpack_from('<H', e, 20)[0] << 16)):
            if e2[0] == 0xE5 and e2[11] != 0x0F and struct.unpack_from('<H', e2, 20)[0]:
                f.seek(at + 20); f.write(b'\0\0'); lost += 1

def scan(image):
    out = os.path.join(W, 'state'); shutil.rmtree(out, ignore_errors=True); os.makedirs(out)
    return [a.driver, '--image', image, '--mode', 'deleted', '--volume', '0'], dict(env, XDG_STATE_HOME=out, HOME=out)

def timed(image):
    cmd, e = scan(image)
    start = time.monotonic(); subprocess.run(cmd, env=e, check=True, stdout=subprocess.DEVNULL)
    return time.monotonic() - start

def reads(image):
    if shutil.which('strace') is None: return None
    cmd, e = scan(image)
    r = subprocess.run(['strace', '-f', '-c', '-e', 'trace=pread64,read'] + cmd, env=e, capture_output=True, text=True)
    calls = 0  # strace -c: % time, seconds, usecs/call, calls, [errors,] syscall
    for line in r.stderr.splitlines():
        fields = line.split()
        if len(fields) >= 5 and fields[-1] in ('pread64', 'read'): calls += int(fields[3])
    return calls

print('stick: %d MiB, %d-byte clusters, %d deleted entries whose high word was cleared' % (a.size_mib, cb, lost))
best = {'kept': [], 'cleared': []}
for _ in range(a.runs):  # one beside the other, so that both see the same machine
    for name, image in (('kept', kept), ('cleared', cleared)):
        best[name].append(timed(image))
for name, image in (('kept', kept), ('cleared', cleared)):
    n = reads(image)
    print('%-8s best %.3f s of %d runs, %s device reads' % (name, min(best[name]), a.runs, '?' if n is None else n))
print('cleared / kept: %.2fx' % (min(best['cleared']) / min(best['kept'])))
