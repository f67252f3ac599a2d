"""Import and partition cost of the int8 tables.

Prints the import time of vexatvm_internal.patterns beyond tvm.relay, and the
partition time of the built-in int8 example scaled up (about 2,000 operators
by default) with the share of it spent inside the checks.

    .venv/bin/python bench/bench_int8.py [--scale N] [--arch NAME] [--repeat R]
"""

import argparse

from partition_timing import import_cost, report, time_partition


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=int, default=64)
    parser.add_argument("--arch", default="vexa-nano")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    relay_s, patterns_s = import_cost()
    print(f"import tvm.relay: {relay_s * 1e3:.0f} ms; import vexatvm_internal.patterns beyond it: {patterns_s * 1e3:.1f} ms")

    from vexatvm_internal.examples import int8_cnn

    mod, params = int8_cnn(scale=args.scale)
    report(f"int8 example x{args.scale}, table vexa, arch {args.arch}",
           time_partition(mod, params, ("vexa",), args.arch, args.repeat))


if __name__ == "__main__":
    main()
