#!/usr/bin/env python3
"""Python jobs on several threads against the same jobs one after another.

Each job stamps a generated text document of a few pages (under 16, so that the job uses no helper
thread of its own and the threads are the only parallelism) with the benchmark stamp, reading
both inputs from files and getting the PDF back as bytes. One round runs JOBS jobs serially on
the main thread, then the same jobs spread over THREADS threads; the figure is the median over the
rounds of serial time / threaded time. The rounds alternate which of the two goes first.

Usage (the package from a CMake build, or installed):
  PYTHONPATH=build/python python3 bench/python_threads.py [--threads 4] [--jobs 48]
      [--pages 12] [--kind text|images|objstm] [--rounds 7] [--cpus 2] [--work DIR] [--quick]

--cpus N pins the process to its first N allowed processors (the figure in README.md is for 2).
Nothing is asserted: this is a measurement, printed as a table (and as JSON with --json FILE).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import gen_inputs  # noqa: E402  (the benchmark's own deterministic input writer)
import quiremark  # noqa: E402


# Background documents by kind, from the benchmark's input writer.
KINDS = {
    "text": gen_inputs.gen_text,
    "images": gen_inputs.gen_images,
    "objstm": lambda path, n: gen_inputs.gen_text(path, n, objstm=True),
}


def run_serial(jobs):
    for bg, fg in jobs:
        quiremark.stamp(bg, fg, None)


def run_threads(jobs, threads):
    with ThreadPoolExecutor(threads) as pool:
        for _ in pool.map(lambda job: quiremark.stamp(job[0], job[1], None), jobs):
            pass


def timed(fn, *args):
    start = time.perf_counter()
    fn(*args)
    return time.perf_counter() - start


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--threads", type=int, default=4)
    ap.add_argument("--jobs", type=int, default=48, help="jobs per measurement")
    ap.add_argument("--pages", type=int, default=12, help="background pages per job (under 16)")
    ap.add_argument("--kind", choices=sorted(KINDS), default="text",
                    help="background: text pages, image pages (about 55 KB each), or text pages "
                         "in object streams (decoded by the job)")
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--cpus", type=int, default=0, help="pin to this many processors (0: all)")
    ap.add_argument("--work", type=Path, default=None, help="folder for the inputs")
    ap.add_argument("--json", type=Path, default=None)
    ap.add_argument("--quick", action="store_true", help="one round of a few jobs: a smoke run")
    a = ap.parse_args(argv)
    if a.quick:
        a.jobs, a.rounds, a.pages = 8, 1, 3

    if a.cpus:
        allowed = sorted(os.sched_getaffinity(0))
        os.sched_setaffinity(0, allowed[: a.cpus])
    cpus = len(os.sched_getaffinity(0))

    work = a.work or Path(tempfile.gettempdir()) / "quiremark-bench-threads"
    work.mkdir(parents=True, exist_ok=True)
    stamp = work / "stamp.pdf"
    text = work / f"{a.kind}_{a.pages}.pdf"
    if not stamp.exists():
        gen_inputs.gen_stamp(str(stamp))
    if not text.exists():
        KINDS[a.kind](str(text), a.pages)
    jobs = [(str(text), str(stamp))] * a.jobs

    run_serial(jobs[:2])  # warm-up: page cache, first-use tables
    serial, threaded = [], []
    for r in range(a.rounds):
        if r % 2 == 0:
            serial.append(timed(run_serial, jobs))
            threaded.append(timed(run_threads, jobs, a.threads))
        else:
            threaded.append(timed(run_threads, jobs, a.threads))
            serial.append(timed(run_serial, jobs))
    ratios = [s / t for s, t in zip(serial, threaded)]
    result = {
        "cpus": cpus,
        "threads": a.threads,
        "jobs": a.jobs,
        "pages": a.pages,
        "kind": a.kind,
        "input_bytes": text.stat().st_size,
        "rounds": a.rounds,
        "serial_s": serial,
        "threaded_s": threaded,
        "median_serial_s": statistics.median(serial),
        "median_threaded_s": statistics.median(threaded),
        "median_speedup": statistics.median(ratios),
        "min_speedup": min(ratios),
        "max_speedup": max(ratios),
    }
    print(f"{a.jobs} stamp jobs of {a.pages} {a.kind} pages ({result['input_bytes']} bytes), "
          f"{cpus} processor(s), {a.rounds} round(s)")
    print(f"  serial          median {result['median_serial_s'] * 1000:8.1f} ms "
          f"({result['median_serial_s'] / a.jobs * 1000:.2f} ms a job)")
    print(f"  {a.threads} threads       median {result['median_threaded_s'] * 1000:8.1f} ms")
    print(f"  speed-up        median {result['median_speedup']:.2f}x "
          f"(range {result['min_speedup']:.2f}x to {result['max_speedup']:.2f}x)")
    if a.json:
        a.json.write_text(json.dumps(result, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
