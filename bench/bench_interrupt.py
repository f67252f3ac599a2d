"""Ctrl-C at a random moment of ``vexatvm partition MODEL --verify -o FILE``.

    .venv/bin/python bench/bench_interrupt.py [--runs 20] [--seed 0] [--model int8-cnn]
        [--jobs N --model A --model B] [--second S] [--duration SECONDS]

Each run is a fresh process in a session of its own; SIGINT goes to its
whole process group, as a terminal's Ctrl-C does (children of --jobs
included), at a seeded random moment within the duration of an
uninterrupted run (measured first unless given). ``--second S`` sends a
second SIGINT S seconds after the first, as an impatient user would. Every
row should read: exit 130, one line on stderr, no leftover file.
"""

import argparse
import os
import random
import signal
import subprocess
import sys
import tempfile
import time


def command(args, output):
    models = args.model or ["int8-cnn"]
    argv = [sys.executable, "-m", "vexatvm_internal", "partition", *models, "--verify"]
    if len(models) == 1:
        argv += ["-o", output]
    if args.jobs:
        argv += ["--jobs", str(args.jobs)]
    return argv


def group_gone(pgid, timeout):
    """Whether every process of the group has ended within timeout seconds."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            os.killpg(pgid, 0)
        except ProcessLookupError:
            return True
        time.sleep(0.05)
    return False


def interrupt(pgid):
    try:
        os.killpg(pgid, signal.SIGINT)
    except ProcessLookupError:  # ended just now
        pass


def one_run(args, delay):
    """(exit code, stderr lines, leftover files, first stderr line, seconds to end after SIGINT, stragglers),
    or None when the run ended before its SIGINT was due."""
    with tempfile.TemporaryDirectory() as tmp:
        output = os.path.join(tmp, "out.relay")
        proc = subprocess.Popen(command(args, output), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                stdin=subprocess.DEVNULL, start_new_session=True)
        time.sleep(delay)
        sent = time.monotonic()
        if proc.poll() is not None:
            proc.communicate()
            return None
        interrupt(proc.pid)
        if args.second is not None:
            try:
                proc.wait(args.second)
            except subprocess.TimeoutExpired:
                interrupt(proc.pid)
        _, err = proc.communicate()
        ended = time.monotonic() - sent
        stragglers = not group_gone(proc.pid, 30.0)
        if stragglers:
            os.killpg(proc.pid, signal.SIGKILL)
        # A complete output file is no fault (it is written before --verify
        # starts); any other file is, and so is an output cut short.
        leftovers = [name for name in os.listdir(tmp) if name != "out.relay"]
        if "out.relay" in os.listdir(tmp) and not complete(output):
            leftovers.append("out.relay (partial)")
    lines = err.decode(errors="replace").splitlines()
    return proc.returncode, len(lines), leftovers, (lines[0] if lines else ""), ended, stragglers


def complete(path):
    from tvm import relay  # pylint: disable=import-outside-toplevel

    try:
        with open(path, encoding="utf-8") as stream:
            relay.fromtext(stream.read())
    except Exception:  # pylint: disable=broad-except
        return False
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--model", action="append", help="built-in example or file; repeat with --jobs")
    parser.add_argument("--jobs", type=int)
    parser.add_argument("--second", type=float, metavar="S", help="a second SIGINT S seconds after the first")
    parser.add_argument("--duration", type=float, help="seconds of an uninterrupted run (default: measured)")
    args = parser.parse_args()

    duration = args.duration
    if duration is None:
        with tempfile.TemporaryDirectory() as tmp:
            start = time.monotonic()
            subprocess.run(command(args, os.path.join(tmp, "out.relay")), stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=False)
            duration = time.monotonic() - start
    print(f"{' '.join(command(args, 'OUT')[1:])}: uninterrupted {duration:.1f} s; seed {args.seed}")
    rng = random.Random(args.seed)
    print(f"{'run':>3}  {'SIGINT at':>9}  {'exit':>4}  {'lines':>5}  {'ended in':>8}  leftovers  first line")
    tally = {"exit 130": 0, "one line": 0, "no leftovers": 0, "no stragglers": 0}
    interrupted = 0
    for run in range(args.runs):
        delay = rng.uniform(0.0, duration)
        result = one_run(args, delay)
        if result is None:
            print(f"{run:>3}  {delay:>8.1f}s  (the run had ended)")
            continue
        interrupted += 1
        code, lines, leftovers, first, ended, stragglers = result
        tally["exit 130"] += code == 130
        tally["one line"] += lines == 1
        tally["no leftovers"] += not leftovers
        tally["no stragglers"] += not stragglers
        left = ", ".join(leftovers) or "none"
        if stragglers:
            left += " + processes left running"
        print(f"{run:>3}  {delay:>8.1f}s  {code:>4}  {lines:>5}  {ended:>7.1f}s  {left:<9}  {first[:70]}")
    print("  ".join(f"{name}: {count}/{interrupted}" for name, count in tally.items())
          + f"  (of {interrupted} runs interrupted)")


if __name__ == "__main__":
    main()
