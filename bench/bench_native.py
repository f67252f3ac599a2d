"""Cost of one architecture query through archquery and libvexakov.

    .venv/bin/python bench/bench_native.py
"""

import threading
import timeit

import yaml

from vexatvm_internal import archquery


def per_call_us(stmt, number=20000):
    best = min(timeit.repeat(stmt, number=number, repeat=5))
    return best / number * 1e6


def main():
    named = yaml.safe_dump({"arch": "vexa-pro"})
    inline = yaml.safe_dump({"base": "vexa-nano", "channels": 48, "has_kov2": True, "operators": ["Conv2d", "Add"]})
    print(f"archquery_parameter, named architecture:  {per_call_us(lambda: archquery.archquery_parameter(named, 'channels')):.2f} us")
    print(f"archquery_parameter, inline description:  {per_call_us(lambda: archquery.archquery_parameter(inline, 'channels')):.2f} us")
    print(f"arch_supports_operator:                   {per_call_us(lambda: archquery.arch_supports_operator(named, 'TransposedConv2d')):.2f} us")
    texts = iter(yaml.safe_dump({"base": "vexa-nano", "channels": n}) for n in range(10**7))
    print(f"archquery_parameter, text never seen:     {per_call_us(lambda: archquery.archquery_parameter(next(texts), 'channels'), 2000):.2f} us (parse, no cache hit)")

    calls, threads = 20000, 8

    def worker():
        for _ in range(calls):
            archquery.archquery_parameter(named, "channels")

    start = timeit.default_timer()
    pool = [threading.Thread(target=worker) for _ in range(threads)]
    for thread in pool:
        thread.start()
    for thread in pool:
        thread.join()
    elapsed = timeit.default_timer() - start
    print(f"{threads} threads x {calls} queries: {elapsed / (threads * calls) * 1e6:.2f} us per query overall")


if __name__ == "__main__":
    main()
