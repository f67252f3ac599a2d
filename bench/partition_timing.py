"""Shared timing of one partition through the driver, with every check call
timed through the driver's check wrapping, against one plain MergeComposite
over the same tables and checks on the same prepared module."""

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


def import_cost(repeat=5):
    """Median seconds of `import tvm.relay`, and of `import vexatvm_internal.patterns` beyond it."""
    runs = []
    for _ in range(repeat):
        out = subprocess.run([sys.executable, "-c", IMPORT_PROBE], capture_output=True, text=True, check=True)
        runs.append([float(v) for v in out.stdout.split()])
    return statistics.median(r[0] for r in runs), statistics.median(r[1] for r in runs)


def time_partition(mod, params, tables, arch, repeat=1):
    """Returns a dict: summary, prepare, tables (driver time after preparation),
    checks (time inside checks), calls, plain (one MergeComposite per table)."""
    import tvm

    from vexatvm_internal.report.summary import summarize
    from vexatvm_internal.flow import driver
    from vexatvm_standins.build_module import BuildConfig
    from vexatvm_standins.relay_traversal import current_graph

    resolved = driver.resolve_tables(tables)
    start = time.perf_counter()
    prepared = driver.prepare(mod, params, tables)
    prepare_s = time.perf_counter() - start

    runs, check_runs = [], []
    calls = collections.Counter()
    result = None
    with BuildConfig(arch_config={"arch": arch}):
        for _ in range(repeat):
            spent = collections.Counter()

            def wrap(name, check):
                def timed(extract):
                    begin = time.perf_counter()
                    try:
                        return check(extract)
                    finally:
                        spent[name] += time.perf_counter() - begin
                        calls[name] += 1

                return timed

            start = time.perf_counter()
            result = prepared
            for _, entries in resolved:
                result = driver.merge_entries(result, entries, wrap)
            runs.append(time.perf_counter() - start)
            check_runs.append(sum(spent.values()))

        # Baseline: the same checks in one MergeComposite per table; consumer
        # queries then see each table's input graph throughout.
        start = time.perf_counter()
        plain = prepared
        for _, entries in resolved:
            with current_graph(plain):
                plain = tvm.relay.transform.MergeComposite(entries)(plain)
        plain_s = time.perf_counter() - start
    return {
        "summary": summarize(result),
        "prepare": prepare_s,
        "tables": statistics.median(runs),
        "checks": statistics.median(check_runs),
        "calls": sum(calls.values()) // repeat,
        "plain": plain_s,
    }


def report(label, timing):
    s = timing["summary"]
    print(f"{label}: {s['operators']} operators, {sum(s['composites'].values())} composites, "
          f"{100 * s['offloaded_share']:.1f}% offloaded")
    print(f"  prepare {timing['prepare'] * 1e3:.0f} ms; tables {timing['tables'] * 1e3:.0f} ms, "
          f"of which checks {timing['checks'] * 1e3:.1f} ms ({100 * timing['checks'] / timing['tables']:.1f}%) "
          f"in {timing['calls']} calls")
    print(f"  one plain MergeComposite per table: {timing['plain'] * 1e3:.0f} ms; "
          f"driver / plain = {timing['tables'] / timing['plain']:.2f}")
