#!/usr/bin/env python3
"""Python jobs on several threads against the same jobs one after another.

Each job stamps a generated document of a few pages (under 16, so that the job uses no helper
thread of its own and the threads are the only parallelism) with the benchmark stamp, reading
both inputs from files and getting the PDF back as bytes. A round runs JOBS jobs serially on the
main thread, then the same jobs on THREADS threads, then serially again; the round's figure is
the mean of the two serial times / the threaded time, which cancels a machine that speeds up or
slows down steadily during the round. The figure printed is the median over the rounds.

The threads run the jobs in two ways (--runner):
  threads  THREADS threading.Thread workers, each running an equal share of the jobs;
  pool     a concurrent.futures.ThreadPoolExecutor(THREADS) and its map(), which adds a
           future per job and wakes the main thread for each result.
With --reference, every measurement is repeated with a job that does nothing but release the
interpreter lock for as long as a serial stamp job takes (hashlib.sha256 of a buffer sized to
that time): the figure that the runner and this machine allow to any such job. With --native
EXE (the quiremark_native_threads program of a CMake build of bench/), the same jobs also run on
THREADS C++ threads, without Python: what the machine allows this work.

Usage (the package from a CMake build, or installed):
  PYTHONPATH=build/python python3 bench/python_threads.py [--threads 4] [--jobs 960]
      [--pages 12] [--kind text|images|objstm] [--rounds 9] [--cpus 2] [--runner threads|pool]
      [--reference] [--native EXE] [--work DIR] [--json FILE] [--quick]

--cpus N pins the process to its first N allowed processors (the figures in README.md are for 2).
Nothing is asserted: this is a measurement, printed as a table (and as JSON with --json FILE).
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
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


def stamp_job(job):
    return quiremark.stamp(job[0], job[1], None)


def run_serial(work, jobs):
    for job in jobs:
        work(job)


def run_threads(work, jobs, threads):
    shares = [jobs[i::threads] for i in range(threads)]
    workers = [threading.Thread(target=run_serial, args=(work, share)) for share in shares]
    for w in workers:
        w.start()
    for w in workers:
        w.join()


def run_pool(work, jobs, threads):
    with ThreadPoolExecutor(threads) as pool:
        for _ in pool.map(work, jobs):
            pass


RUNNERS = {"threads": run_threads, "pool": run_pool}


def timed(fn, *args):
    start = time.perf_counter()
    fn(*args)
    return time.perf_counter() - start


def per_job(work, jobs):
    """A job's serial time, the best of five runs of twenty."""
    return min(timed(run_serial, work, jobs[:20]) for _ in range(5)) / 20


def hash_job_like(seconds, jobs):
    """A job that holds the interpreter lock as little as a stamp job and runs for `seconds`
    with it released: hashlib.sha256 over a buffer sized, by a few trials, to take that long."""
    size = 1 << 16
    for _ in range(6):
        data = bytes(size)
        took = per_job(lambda job: hashlib.sha256(data).digest(), jobs)
        size = max(1 << 10, int(size * seconds / max(took, 1e-9)))
    data = bytes(size)
    return lambda job: hashlib.sha256(data).digest()


def measure(work, jobs, runner, threads, rounds):
    """Per round: serial, threaded, serial again. Returns the serial means and threaded times."""
    serial, threaded = [], []
    for _ in range(rounds):
        before = timed(run_serial, work, jobs)
        threaded.append(timed(runner, work, jobs, threads))
        after = timed(run_serial, work, jobs)
        serial.append((before + after) / 2)
    return serial, threaded


def print_row(runner, name, r):
    print(f"  {runner:8} {name:10} {r['median_serial_job_ms']:8.3f}ms "
          f"{r['median_threaded_s'] * 1000:8.1f}ms  {r['median_speedup']:.2f}x "
          f"({r['min_speedup']:.2f}x to {r['max_speedup']:.2f}x)")


def summary(serial, threaded, jobs):
    ratios = [s / t for s, t in zip(serial, threaded)]
    return {
        "serial_s": serial,
        "threaded_s": threaded,
        "median_serial_s": statistics.median(serial),
        "median_serial_job_ms": statistics.median(serial) / jobs * 1000,
        "median_threaded_s": statistics.median(threaded),
        "median_speedup": statistics.median(ratios),
        "min_speedup": min(ratios),
        "max_speedup": max(ratios),
    }


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--threads", type=int, default=4)
    ap.add_argument("--jobs", type=int, default=960, help="jobs per measurement")
    ap.add_argument("--pages", type=int, default=12, help="background pages per job (under 16)")
    ap.add_argument("--kind", choices=sorted(KINDS), default="text",
                    help="background: text pages, image pages (about 55 KB each), or text pages "
                         "in object streams (decoded by the job)")
    ap.add_argument("--rounds", type=int, default=9)
    ap.add_argument("--runner", choices=sorted(RUNNERS), action="append",
                    help="how the threads run the jobs (both unless given)")
    ap.add_argument("--reference", action="store_true",
                    help="also measure a lock-free job of the same length (hashlib.sha256)")
    ap.add_argument("--native", type=Path, default=None,
                    help="also run the jobs on C++ threads with this quiremark_native_threads")
    ap.add_argument("--cpus", type=int, default=0, help="pin to this many processors (0: all)")
    ap.add_argument("--work", type=Path, default=None, help="folder for the inputs")
    ap.add_argument("--json", type=Path, default=None)
    ap.add_argument("--quick", action="store_true", help="one round of a few jobs: a smoke run")
    a = ap.parse_args(argv)
    if a.quick:
        a.jobs, a.rounds, a.pages = 8, 1, 3
    runners = a.runner or sorted(RUNNERS, reverse=True)

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

    run_serial(stamp_job, jobs[:20])  # warm-up: page cache, first-use tables, thread buffers
    workloads = [("stamp", stamp_job)]
    if a.reference:
        workloads.append(("reference", hash_job_like(per_job(stamp_job, jobs), jobs)))

    result = {
        "cpus": cpus,
        "threads": a.threads,
        "jobs": a.jobs,
        "pages": a.pages,
        "kind": a.kind,
        "input_bytes": text.stat().st_size,
        "rounds": a.rounds,
        "runs": {},
    }
    print(f"{a.jobs} stamp jobs of {a.pages} {a.kind} pages ({result['input_bytes']} bytes), "
          f"{cpus} processor(s), {a.rounds} round(s), {a.threads} threads")
    print(f"  {'runner':8} {'job':10} {'serial/job':>10} {'threaded':>10}  speed-up median (range)")
    for runner in runners:
        for name, fn in workloads:
            serial, threaded = measure(fn, jobs, RUNNERS[runner], a.threads, a.rounds)
            r = summary(serial, threaded, a.jobs)
            result["runs"][f"{runner}/{name}"] = r
            print_row(runner, name, r)
    if a.native:
        # Pinned like this process: the program inherits its processor mask.
        lines = subprocess.run(
            [str(a.native), str(text), str(stamp), str(a.threads), str(a.jobs), str(a.rounds)],
            check=True, capture_output=True, text=True).stdout.split("\n")
        times = [[float(x) for x in line.split()] for line in lines if line.strip()]
        r = summary([(b + c) / 2 for b, _, c in times], [t for _, t, _ in times], a.jobs)
        result["runs"]["c++/stamp"] = r
        print_row("c++", "stamp", r)
    if a.json:
        a.json.write_text(json.dumps(result, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
