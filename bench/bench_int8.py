"""Import and partition cost of the int8 tables.

Prints the import time of vexatvm_internal.patterns beyond tvm.relay, and the
partition time of the built-in int8 example scaled up (about 2,000 operators
by default) with the share of it spent inside the checks.

    .venv/bin/python bench/bench_int8.py [--scale N] [--arch NAME] [--repeat R]
"""

import argparse
import collections
import statistics
import subprocess
import sys
import time

IMPORT_PROBE = """
import time
t0 = time.perf_counter()
import tvm.relay
t1 = time.perf_counter()
import vexatvm_internal.patterns
t2 = time.perf_counter()
print(t1 - t0, t2 - t1)
"""


def import_cost(repeat):
    runs = []
    for _ in range(repeat):
        out = subprocess.run([sys.executable, "-c", IMPORT_PROBE], capture_output=True, text=True, check=True)
        runs.append([float(v) for v in out.stdout.split()])
    return statistics.median(r[0] for r in runs), statistics.median(r[1] for r in runs)


def partition_cost(scale, arch, repeat):
    import tvm

    from vexatvm_internal.examples import int8_cnn
    from vexatvm_internal.summary import summarize
    from vexatvm_standins import driver

    mod, params = int8_cnn(scale=scale)
    tables = ("vexa",)
    totals, check_times = [], []
    calls = collections.Counter()
    result = None
    for _ in range(repeat):
        spent = collections.Counter()

        def wrap(name, check):
            def timed(extract):
                start = time.perf_counter()
                try:
                    return check(extract)
                finally:
                    spent[name] += time.perf_counter() - start
                    calls[name] += 1

            return timed

        start = time.perf_counter()
        result = driver.partition(mod, params, tables, arch, wrap_check=wrap)
        totals.append(time.perf_counter() - start)
        check_times.append(sum(spent.values()))
    # Baseline: the same checks in one MergeComposite; consumer queries then
    # see the prepared graph throughout.
    from vexatvm_standins.relay_traversal import current_graph

    prepared = driver.prepare(mod, params, tables)
    start = time.perf_counter()
    with current_graph(prepared):
        tvm.relay.transform.MergeComposite(driver.resolve_tables(tables)[0][1])(prepared)
    plain = time.perf_counter() - start
    return summarize(result), statistics.median(totals), statistics.median(check_times), calls, plain


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=int, default=64)
    parser.add_argument("--arch", default="vexa-nano")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    relay_s, patterns_s = import_cost(5)
    print(f"import tvm.relay: {relay_s * 1e3:.0f} ms; import vexatvm_internal.patterns beyond it: {patterns_s * 1e3:.1f} ms")

    summary, total, checks, calls, plain = partition_cost(args.scale, args.arch, args.repeat)
    print(f"int8 example x{args.scale}: {summary['operators']} operators, "
          f"{sum(summary['composites'].values())} composites, {100 * summary['offloaded_share']:.1f}% offloaded")
    print(f"partition (prepare + tables, arch {args.arch}): {total * 1e3:.0f} ms; "
          f"inside checks: {checks * 1e3:.1f} ms ({100 * checks / total:.1f}%), "
          f"{sum(calls.values()) // args.repeat} check calls per run")
    print(f"one MergeComposite over the whole table on the prepared module: {plain * 1e3:.0f} ms")


if __name__ == "__main__":
    main()
