"""Times whole runs of the built program against copying the same image, and reads its peak
memory. Builds nothing: pass the program's path.

- In memory (/dev/shm): the program against `cp`.
- On the disk that holds the program: the program, which flushes its files to storage,
  against `cp` followed by `sync` of the copy, which gives the same guarantee.

Each is timed for a first run (no earlier outputs) and a re-run (earlier outputs replaced).
Prints the fastest times, their ratio and the peak resident memory.

Usage: python3 bench/run_bench.py [build/halvek]
"""
import os
import subprocess
import sys
import tempfile
import time

SIZES = [(4 << 20, 31), (32 << 20, 21), (1 << 30, 7)]  # image size, runs of each command
OUTPUTS = ["rom.gba.bin", "rom.gba.sav"]
COPY = "copy.gba"


def timed(commands, cwd):
    """Seconds the commands took, one after the other, from a state with nothing waiting to
    be written back."""
    os.sync()
    start = time.perf_counter()
    for command in commands:
        subprocess.run(command, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


def remove(cwd, names):
    for name in names:
        if os.path.exists(os.path.join(cwd, name)):
            os.remove(os.path.join(cwd, name))


def compare(baseline, halvek, cwd, runs, rerun):
    """The fastest of the runs of each, taken in turns. Before each run the outputs are
    removed, or, for a re-run, made by an untimed run first."""
    times = {0: [], 1: []}
    for _ in range(runs):
        for which, (commands, outputs) in enumerate([(baseline, [COPY]), (halvek, OUTPUTS)]):
            remove(cwd, outputs)
            if rerun:
                timed(commands, cwd)
            times[which].append(timed(commands, cwd))
    return min(times[0]), min(times[1])  # the runs least disturbed by the rest of the machine


def peak_memory(command, cwd):
    """Peak resident memory of the program in KiB, read while it waits for Enter at the end
    (a parent's own usage figure would count the forking interpreter's memory too)."""
    with subprocess.Popen(command, cwd=cwd, stdin=subprocess.PIPE, stdout=subprocess.PIPE) as child:
        shown = b""
        while not shown.endswith(b"press <enter> to quit...\n"):
            shown += child.stdout.read1()
        with open(f"/proc/{child.pid}/status") as status:
            peak = next(line.split()[1] for line in status if line.startswith("VmHWM:"))
        child.communicate(b"\n")
    return int(peak)


def main():
    halvek = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/halvek")
    places = [("memory", "/dev/shm", [["cp", "rom.gba", COPY]]),
              ("disk", os.path.dirname(halvek), [["cp", "rom.gba", COPY], ["sync", COPY]])]
    start_up = min(timed([["true"]], None) for _ in range(31))
    print(f"starting an empty process takes {start_up * 1000:.2f} ms; the disk baseline starts two")
    print(f"{'place':>6} {'image':>8} {'run':>7} {'baseline ms':>12} {'halvek ms':>10} {'ratio':>6} {'peak RSS':>10}")
    for place, parent, baseline in places:
        if not os.path.isdir(parent):
            continue
        for size, runs in SIZES:
            with tempfile.TemporaryDirectory(prefix="halvek-bench-", dir=parent) as folder:
                with open(os.path.join(folder, "rom.gba"), "wb") as image:
                    for _ in range(size >> 20):
                        image.write(os.urandom(1 << 20))
                timed([["cat", "rom.gba"]], folder)  # in the cache for both
                peak = peak_memory([halvek, "rom.gba"], folder)
                for rerun in (False, True):
                    base, ours = compare(baseline, [[halvek, "rom.gba"]], folder, runs, rerun)
                    print(f"{place:>6} {size >> 20:>4} MiB {'re-run' if rerun else 'first':>7} {base * 1000:12.1f} "
                          f"{ours * 1000:10.1f} {ours / base:6.2f} {peak:>6} KiB")


if __name__ == "__main__":
    main()
