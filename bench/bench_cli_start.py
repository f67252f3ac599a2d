"""Start-up wall time of the light ``vexatvm`` commands, which need no TVM.

    .venv/bin/python bench/bench_cli_start.py [runs]

Each command runs as a fresh process; the median of the runs is printed.
"""

import os
import statistics
import subprocess
import sys
import time

COMMANDS = [
    ["--help"],
    ["arch", "--json"],
]


def wall(argv, runs):
    # The console script run by this interpreter, whichever one its #! line names.
    script = os.path.join(os.path.dirname(sys.executable), "vexatvm")
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run([sys.executable, script] + argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    for argv in COMMANDS:
        print(f"vexatvm {' '.join(argv):<12} {wall(argv, runs):.3f} s (median of {runs})")


if __name__ == "__main__":
    main()
