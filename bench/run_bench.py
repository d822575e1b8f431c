"""Times a whole run of the built program against `cp` of the same image, and reads its
peak memory, for a 32 MiB and a 1 GiB image. Builds nothing: pass the program's path.
Prints the fastest times, their ratio and the peak resident memory.

Usage: python3 bench/run_bench.py [build/halvek]
"""
import os
import subprocess
import sys
import tempfile
import time

SIZES = [(32 << 20, 31), (1 << 30, 11)]  # image size, runs of each command
# In memory where the system has such a folder: on this kind of machine the disk's own
# writeback makes single 1 GiB runs vary several-fold, for cp and this program alike.
FOLDER = "/dev/shm" if os.path.isdir("/dev/shm") else None


def run(command, cwd, outputs):
    """Seconds the command took to write its outputs afresh, from a state with nothing
    waiting to be written back."""
    for name in outputs:
        if os.path.exists(os.path.join(cwd, name)):
            os.remove(os.path.join(cwd, name))
    os.sync()
    start = time.perf_counter()
    subprocess.run(command, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


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
    print(f"{'image':>8} {'cp s':>8} {'halvek s':>9} {'ratio':>6} {'halvek peak RSS':>16}")
    for size, runs in SIZES:
        with tempfile.TemporaryDirectory(prefix="halvek-bench-", dir=FOLDER) as folder:
            with open(os.path.join(folder, "rom.gba"), "wb") as image:
                for _ in range(size >> 20):
                    image.write(os.urandom(1 << 20))
            cp = ["cp", "rom.gba", "copy.gba"]
            halvek_run = [halvek, "rom.gba"]
            run(cp, folder, [])  # warms the cache for both
            cp_times, halvek_times = [], []
            for _ in range(runs):
                cp_times.append(run(cp, folder, ["copy.gba"]))
                halvek_times.append(run(halvek_run, folder, ["rom.gba.bin", "rom.gba.sav"]))
            # The fastest run is the one least disturbed by the rest of the machine.
            cp_time, halvek_time = min(cp_times), min(halvek_times)
            peak = peak_memory(halvek_run, folder)
            print(f"{size >> 20:>5} MiB {cp_time:8.4f} {halvek_time:9.4f} {halvek_time / cp_time:6.2f} "
                  f"{peak:>12} KiB")


if __name__ == "__main__":
    main()
