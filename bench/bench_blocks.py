"""Match cost of the block table on a detector of realistic size.

Builds the built-in YOLOv5-style detector at a 640x640 input (three scales:
80x80, 40x40 and 20x20 grids, 80 classes) in both head styles, and prints
the median time of preparing the module (NHWC conversion, constant folding),
of applying "vexa_blocks" to the prepared module, and of applying
"vexa_blocks" then "vexa_fp32".

    .venv/bin/python bench/bench_blocks.py [--size 640] [--classes 80] [--arch vexa-pro] [--repeat 5]
"""

import argparse
import statistics
import time


def median_time(fn, repeat):
    runs, result = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        runs.append(time.perf_counter() - start)
    return statistics.median(runs), result


def bench_style(style, size, classes, arch, repeat):
    from vexatvm_internal.examples import yolo_detector
    from vexatvm_internal.report.summary import summarize
    from vexatvm_internal.flow import driver
    from vexatvm_standins.build_module import BuildConfig

    mod, params = yolo_detector(size=size, classes=classes, style=style)
    tables = dict(driver.resolve_tables(("vexa_blocks", "vexa_fp32")))
    prep_s, prepared = median_time(lambda: driver.prepare(mod, params, tuple(tables)), repeat)

    def apply(names):
        with BuildConfig(arch_config={"arch": arch}):
            out = prepared
            for name in names:
                out = driver.merge_entries(out, tables[name])
            return out

    blocks_s, blocks = median_time(lambda: apply(["vexa_blocks"]), repeat)
    both_s, both = median_time(lambda: apply(["vexa_blocks", "vexa_fp32"]), repeat)
    return {
        "operators": summarize(prepared)["operators"],
        "prepare": prep_s,
        "blocks": blocks_s,
        "block_composites": summarize(blocks)["composites"].get("vexa_blocks.yolov5_fp32_post", 0),
        "both": both_s,
        "composites": sum(summarize(both)["composites"].values()),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=640)
    parser.add_argument("--classes", type=int, default=80)
    parser.add_argument("--arch", default="vexa-pro")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    grids = "/".join(f"{args.size // s}x{args.size // s}" for s in (8, 16, 32))
    for style in ("split", "slices"):
        r = bench_style(style, args.size, args.classes, args.arch, args.repeat)
        print(f"{style}: input {args.size}x{args.size}, grids {grids}, {args.classes} classes, "
              f"{r['operators']} operators after prepare")
        print(f"  prepare: {r['prepare'] * 1e3:.0f} ms")
        print(f"  vexa_blocks: {r['blocks'] * 1e3:.1f} ms ({r['block_composites']} block composite)")
        print(f"  vexa_blocks + vexa_fp32 ({args.arch}): {r['both'] * 1e3:.1f} ms ({r['composites']} composites)")


if __name__ == "__main__":
    main()
