"""Damaged and hostile model files through ``vexatvm partition``.

    .venv/bin/python bench/bench_hostile.py [--count 2000] [--seed 0] [--timeout 60] [--show 5]

Writes --count seeded mutations of the built-in examples (saved as JSON,
Relay text and params), of a small ONNX network and of the committed TFLite
models (see tests/hostile_files.py), runs each through the command in a
worker process and prints how many ended in each outcome, per format. The
contract: only "partitioned" and "one-line error"; --show prints that many
files of every other outcome with what they printed.
"""

import argparse
import collections
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import hostile_files  # noqa: E402  pylint: disable=wrong-import-position


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--timeout", type=float, default=60)
    parser.add_argument("--show", type=int, default=5)
    args = parser.parse_args()
    counts = collections.defaultdict(collections.Counter)
    examples = collections.defaultdict(list)
    started = time.perf_counter()
    with tempfile.TemporaryDirectory() as directory:
        seeds = hostile_files.write_seeds(directory)
        worker = hostile_files.Worker(args.timeout)
        try:
            for fmt, path, mutated in hostile_files.write_mutants(seeds, directory, args.count, args.seed):
                outcome, stderr = worker.outcome(path, mutated)
                counts[fmt][outcome] += 1
                if outcome not in ("partitioned", "one-line error") and len(examples[outcome]) < args.show:
                    examples[outcome].append((fmt, os.path.basename(mutated), stderr.strip()[-400:]))
        finally:
            worker.close()
    header = f"{'format':<12}" + "".join(f"{outcome:>16}" for outcome in hostile_files.OUTCOMES)
    print(header)
    total = collections.Counter()
    for fmt in hostile_files.FORMATS:
        total.update(counts[fmt])
        print(f"{fmt:<12}" + "".join(f"{counts[fmt][outcome]:>16}" for outcome in hostile_files.OUTCOMES))
    print(f"{'all':<12}" + "".join(f"{total[outcome]:>16}" for outcome in hostile_files.OUTCOMES))
    print(f"{sum(total.values())} files in {time.perf_counter() - started:.0f} s")
    for outcome, shown in examples.items():
        for fmt, name, stderr in shown:
            print(f"\n[{outcome}] {fmt} {name}:\n{stderr}")


if __name__ == "__main__":
    main()
