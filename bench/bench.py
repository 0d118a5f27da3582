#!/usr/bin/env python3
"""Times snd_extractor side by side with two floors, tar -x and cp.

For each workload it writes one archive (and a tar of the same files), then
runs each pair of commands alternately, every run into a fresh directory,
after a warm-up, and reports the medians, their ratios and the tool's peak
resident memory. Everything happens under --dir (a tmpfs by default, so that
disk write-back does not drown the figures).

    python3 bench/bench.py [--tool build/snd_extractor] [--dir /dev/shm] [--runs 7]
                           [--disk DIR] [--only small,medium,pipe,cross,many,same,window,large,fuse]
"""

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tarfile
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def le32(value):
    return value.to_bytes(4, "little")


def write_archive(path, names, contents):
    """Writes a sound archive: header, index, then the data in order."""
    offset = 20 + 264 * len(names)
    with open(path, "wb") as out:
        out.write(b"BENCHMARKARCHIVE" + le32(len(names)))
        for name, data in zip(names, contents):
            out.write(le32(offset) + le32(len(data)) + name.encode().ljust(256, b"\0"))
            offset += len(data)
        for data in contents:
            out.write(data)


def write_tar(path, names, contents):
    """An uncompressed tar of the same files, under their output names."""
    with tarfile.open(path, "w", format=tarfile.GNU_FORMAT) as tar:
        for name, data in zip(names, contents):
            info = tarfile.TarInfo(name.rsplit("/", 1)[-1])
            info.size = len(data)
            info.mode = 0o644
            with tempfile.SpooledTemporaryFile(max_size=len(data) + 1) as f:
                f.write(data)
                f.seek(0)
                tar.addfile(info, f)


def run_once(command, workdir):
    """Runs `command` in a fresh `workdir`; returns its wall-clock seconds."""
    os.mkdir(workdir)
    start = time.perf_counter()
    status = subprocess.run(command, cwd=workdir, stdout=subprocess.DEVNULL).returncode
    seconds = time.perf_counter() - start
    if status != 0:
        sys.exit(f"{command[0]} failed with status {status}")
    shutil.rmtree(workdir)
    return seconds


def peak_memory(command, workdir):
    """The peak resident memory of `command` in KiB, as GNU time reports it
    (a child of this large process would count this process's pages too)."""
    report = os.path.join(os.path.dirname(workdir), "peak")
    run_once(["/usr/bin/time", "-f", "%M", "-o", report] + command, workdir)
    with open(report) as f:
        return int(f.read().split()[-1])


def syscalls_per_entry(command, workdir, entries):
    """System calls of one run over the entry count, as strace -c -f counts
    them (every call, start-up included), or None without strace."""
    if not shutil.which("strace"):
        return None
    report = os.path.join(os.path.dirname(workdir), "strace")
    run_once(["strace", "-c", "-f", "-o", report] + command, workdir)
    with open(report) as f:  # % time, seconds, usecs/call, calls, [errors,] "total"
        total = [line.split() for line in f if line.rstrip().endswith("total")]
    return int(total[-1][3]) / entries


def fusefat_mount(scratch):
    """A fresh 256 MiB FAT32 image mounted through fusefat in `scratch` (as
    root, with fusefat and dosfstools), or None."""
    if os.geteuid() != 0 or not (shutil.which("fusefat") and shutil.which("mkfs.vfat")):
        return None
    image, at = os.path.join(scratch, "fat.img"), os.path.join(scratch, "fat")
    os.mkdir(at)
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    subprocess.run(["truncate", "-s", "256M", image], check=True)
    subprocess.run(["mkfs.vfat", "-F", "32", image], check=True, **quiet)
    subprocess.run(["fusefat", "-o", "rw+", image, at], check=True, **quiet)
    return at


def bytes_read(command, workdir):
    """The bytes one run reads (read and pread64 as strace -f counts them),
    or None without strace."""
    if not shutil.which("strace"):
        return None
    report = os.path.join(os.path.dirname(workdir), "strace-reads")
    run_once(["strace", "-f", "-qq", "-e", "trace=read,pread64", "-o", report] + command, workdir)
    total = 0
    with open(report) as f:
        for line in f:
            result = line.rsplit("=", 1)[-1].split()
            if result and result[0].isdigit():
                total += int(result[0])
    return total


def fits_in_room(command, scratch, room, files, total):
    """Whether `command` leaves `files` files of `total` bytes in all in a
    fresh tmpfs of `room` bytes (mounting one needs root); None where none
    can be mounted."""
    mount = os.path.join(scratch, "room")
    os.mkdir(mount)
    try:
        if subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={room}", "tmpfs", mount],
                          stderr=subprocess.DEVNULL).returncode != 0:
            return None
        try:
            subprocess.run(command, cwd=mount, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            left = os.listdir(mount)
            return len(left) == files and sum(os.path.getsize(os.path.join(mount, f)) for f in left) == total
        finally:
            subprocess.run(["umount", mount])
    finally:
        os.rmdir(mount)


def piped(archive, command):
    """`command` reading `archive` through a pipe, as from a decompressor."""
    return ["sh", "-c", f"cat '{archive}' | {command}"]


def compare(scratch, label, first, second, runs):
    """Alternates two commands after a warm-up; prints and returns their
    median times."""
    times = {0: [], 1: []}
    commands = (first, second)
    for run in range(runs + 1):
        order = (0, 1) if run % 2 == 0 else (1, 0)
        for which in order:
            seconds = run_once(commands[which], os.path.join(scratch, f"out-{which}"))
            if run > 0:  # run 0 is the warm-up
                times[which].append(seconds)
    a, b = statistics.median(times[0]), statistics.median(times[1])
    print(f"  {label:<34} {a * 1000:9.1f} ms  vs {b * 1000:9.1f} ms   ratio {a / b:5.2f}", flush=True)
    return a, b


def make_content(count, size, seed):
    rng = random.Random(seed)
    block = rng.randbytes(size + 4096)
    names = [f"sounds/s{i:05d}.wav" for i in range(count)]
    # Each entry differs from the next; cheap to make, useless to dedupe.
    contents = [block[i % 4096:i % 4096 + size] for i in range(count)]
    return names, contents


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", default=os.path.join(HERE, "..", "build", "snd_extractor"))
    parser.add_argument("--dir", default="/dev/shm", help="where archives and outputs go (default /dev/shm)")
    parser.add_argument("--runs", type=int, default=7, help="timed runs per command (default 7)")
    parser.add_argument("--skip-2g", action="store_true", help="leave out the 2 GB entry")
    parser.add_argument("--disk", default=os.path.join(HERE, ".."),
                        help="a folder on another file system than --dir, for the cross-file-system pair "
                             "(default: the repository)")
    parser.add_argument("--only", default="",
                        help="comma-separated parts: small, medium, pipe, cross, many, same, window, large")
    args = parser.parse_args()
    tool = os.path.abspath(args.tool)
    if not os.access(tool, os.X_OK):
        sys.exit(f"no tool at {tool}: build it first")

    scratch = tempfile.mkdtemp(prefix="snd_bench.", dir=args.dir)
    try:
        floor = os.path.join(scratch, "floor")
        subprocess.run(["g++", "-O2", "-std=c++20", "-o", floor, os.path.join(HERE, "floor.cpp")], check=True)
        print(f"snd_extractor benchmark in {scratch}, median of {args.runs} runs, ratios tool / other")

        parts = set(args.only.split(",")) if args.only else {"small", "medium", "pipe", "cross", "many", "same", "window", "large",
                                                                  "fuse"}
        peaks = []

        def peak(label, command, workdir):
            kib = peak_memory(command, workdir)
            peaks.append(kib)
            print(f"  {label:<34} peak resident {kib / 1024:6.1f} MiB", flush=True)

        for count, size, seed, label in [(20000, 1000, 1, "20,000 entries of 1,000 bytes"),
                                         (50, 10_000_000, 2, "50 entries of 10 MB")]:
            small = count > 50
            if not parts & ({"small", "pipe"} if small else {"medium", "pipe", "cross"}):
                continue
            print(label)
            names, contents = make_content(count, size, seed)
            archive, tar = os.path.join(scratch, "a.zqa"), os.path.join(scratch, "a.tar")
            write_archive(archive, names, contents)
            write_tar(tar, names, contents)
            del contents
            if small and "small" in parts:
                compare(scratch, "snd_extractor vs floor", [tool, archive], [floor, archive], args.runs)
                compare(scratch, "snd_extractor vs safe floor", [tool, archive], [floor, "--safe", archive], args.runs)
                compare(scratch, "snd_extractor vs tar -x", [tool, archive], ["tar", "-xf", tar], args.runs)
                calls = syscalls_per_entry([tool, archive], os.path.join(scratch, "out"), count)
                if calls is not None:
                    print(f"  {'system calls per entry':<34} {calls:9.2f}", flush=True)
            if not small and "medium" in parts:
                compare(scratch, "snd_extractor vs cp of the archive", [tool, archive], ["cp", archive, "."], args.runs)
            if "pipe" in parts:
                compare(scratch, "from a pipe: vs tar -x from a pipe", piped(archive, f"'{tool}' /dev/stdin"),
                        piped(tar, "tar -xf -"), args.runs)
                peak("from a pipe", piped(archive, f"'{tool}' /dev/stdin"), os.path.join(scratch, "out"))
                # Room for the outputs, two entries and the index, and no more
                # (with 1 MiB for the file system itself): a run that copies
                # the whole archive first does not fit.
                room = count * size + 2 * size + 264 * count + (1 << 20) if not small else None
                fits = (fits_in_room(piped(archive, f"'{tool}' /dev/stdin"), scratch, room, count, count * size)
                        if room else None)
                if room:
                    verdict = {True: "fits", False: "does NOT fit", None: "not measured (mounting needs root)"}
                    print(f"  {'in outputs + 2 entries + index':<34} {verdict[fits]}", flush=True)
            if not small and "cross" in parts:
                disk = tempfile.mkdtemp(prefix="snd_bench.", dir=args.disk)
                try:
                    compare(disk, "across file systems: vs cp", [tool, archive], ["cp", archive, "."], args.runs)
                    peak("across file systems", [tool, archive], os.path.join(disk, "out"))
                finally:
                    shutil.rmtree(disk, ignore_errors=True)
            os.remove(archive)
            os.remove(tar)

        if "fuse" in parts:
            # A FUSE store, where every request is a round trip to the driver
            # and a FAT folder is a list: 100 sounds of 4 KiB, the outputs on
            # the mount, the archive and the tar on --dir.
            print("100 entries of 4 KiB on fusefat")
            names, contents = make_content(100, 4096, 3)
            archive, tar = os.path.join(scratch, "f.zqa"), os.path.join(scratch, "f.tar")
            write_archive(archive, names, contents)
            write_tar(tar, names, contents)
            at = fusefat_mount(scratch)
            if at is None:
                print("  left out: needs root, fusefat and mkfs.vfat")
            else:
                try:
                    compare(at, "on fusefat: vs tar -x", [tool, archive],
                            ["tar", "--no-same-owner", "--no-same-permissions", "-m", "-xf", tar], args.runs)
                    calls = syscalls_per_entry([tool, archive], os.path.join(at, "out"), 100)
                    if calls is not None:
                        print(f"  {'system calls per entry':<34} {calls:9.2f}", flush=True)
                finally:
                    subprocess.run(["umount", at])
        if "many" in parts:
            # 20,000 archives of one 1,000-byte entry each on one command line:
            # what the run holds for each archive, and its time.
            many = os.path.join(scratch, "many")
            os.mkdir(many)
            names, contents = make_content(20000, 1000, 3)
            paths = []
            for i, (name, data) in enumerate(zip(names, contents)):
                paths.append(os.path.join("..", "many", f"a{i:05d}.zqa"))
                write_archive(os.path.join(many, f"a{i:05d}.zqa"), [name], [data])
            seconds = statistics.median(run_once([tool] + paths, os.path.join(scratch, "out")) for _ in range(3))
            kib = peak_memory([tool] + paths, os.path.join(scratch, "out"))
            peaks.append(kib)
            print(f"20,000 archives of one entry {seconds * 1000:9.1f} ms   peak resident {kib / 1024:6.1f} MiB")
            # The same archives, each named through a symbolic link: what the
            # run keeps of where the links lead.
            links = []
            for i in range(len(paths)):
                links.append(os.path.join("..", "many", f"l{i:05d}.zqa"))
                os.symlink(f"a{i:05d}.zqa", os.path.join(many, f"l{i:05d}.zqa"))
            kib = peak_memory([tool] + links, os.path.join(scratch, "out"))
            peaks.append(kib)
            print(f"the same, named through links     peak resident {kib / 1024:6.1f} MiB")
            shutil.rmtree(many)

        if "window" in parts:
            # 30,000 sounds of one byte whose data alternate between two places
            # 200 KB apart, and 20,000 of 1,000 bytes side by side: the bytes
            # read against the index and the bytes written.
            for label, count, size, at in [("30,000 of 1 byte, 200 KB apart", 30000, 1,
                                             lambda i, end: end + (i // 2) + (200_000 if i % 2 else 0)),
                                            ("20,000 of 1,000 bytes side by side", 20000, 1000,
                                             lambda i, end: end + i * 1000)]:
                archive = os.path.join(scratch, "w.zqa")
                end = 20 + 264 * count
                with open(archive, "wb") as out:
                    out.write(b"BENCHMARKARCHIVE" + le32(count))
                    for i in range(count):
                        out.write(le32(at(i, end)) + le32(size) + f"w{i:05d}.wav".encode().ljust(256, b"\0"))
                    out.write(bytes(range(256)) * ((200_000 + count * size) // 256 + 1))
                read = bytes_read([tool, archive], os.path.join(scratch, "out"))
                if read is not None:
                    index, written = 264 * count + 20, count * size
                    print(f"{label:<34} read {read / 2**20:7.2f} MiB: {(read - index) / written:5.2f}x the bytes "
                          f"written past the index (at most 2 (index + written) + 1 MiB: "
                          f"{'yes' if read <= 2 * (index + written) + 2**20 else 'NO'})", flush=True)
                os.remove(archive)

        if "same" in parts:
            # Archives of one sound each, all of one name, under 64 descriptors
            # (most archives not held open): every sound after the first
            # replaces the one before. The time per archive of 8,000 against
            # 2,000 is 1 where each replacement costs the same, whatever the
            # run's size.
            same = os.path.join(scratch, "same")
            os.mkdir(same)
            per_archive = {}
            for count in (2000, 8000):
                paths = []
                for i in range(count):
                    paths.append(os.path.join("..", "same", f"s{i:05d}.zqa"))
                    if not os.path.exists(os.path.join(same, f"s{i:05d}.zqa")):
                        write_archive(os.path.join(same, f"s{i:05d}.zqa"), ["same.wav"], [b"%05d" % i])
                command = ["sh", "-c", 'ulimit -n 64 && exec "$0" "$@"', tool] + paths
                per_archive[count] = statistics.median(
                    run_once(command, os.path.join(scratch, "out")) for _ in range(3)) / count
                print(f"{count:,} archives of one name, 64 descriptors {per_archive[count] * count * 1000:9.1f} ms",
                      flush=True)
            print(f"  {'time per archive, 8,000 / 2,000':<34} {per_archive[8000] / per_archive[2000]:9.2f}")
            shutil.rmtree(same)

        sizes = [("200 MB", 200_000_000)] + ([] if args.skip_2g else [("2 GB", 2_000_000_000)])
        for label, size in sizes if "large" in parts else []:
            archive = os.path.join(scratch, "large.zqa")
            with open(archive, "wb") as out:
                out.write(b"BENCHMARKARCHIVE" + le32(1) + le32(284) + le32(size) + b"one.wav".ljust(256, b"\0"))
                out.truncate(284 + size)  # a sparse file reads as zeros
            seconds = statistics.median(run_once([tool, archive], os.path.join(scratch, "out")) for _ in range(3))
            kib = peak_memory([tool, archive], os.path.join(scratch, "out"))
            peaks.append(kib)
            print(f"one entry of {label:<22} {seconds * 1000:9.1f} ms   peak resident {kib / 1024:6.1f} MiB")
            os.remove(archive)
        if peaks:
            print(f"highest peak resident memory: {max(peaks) / 1024:.1f} MiB")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
