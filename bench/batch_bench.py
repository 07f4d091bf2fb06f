#!/usr/bin/env python3
"""Many files at once: files per second of `quiremark batch` (1 and 2 jobs), of shell loops over
single `quiremark stamp` and `qpdf --overlay` calls, of the Python batch functions and of
quiremark.dask on a LocalCluster (1 and 2 worker processes).

    batch_bench.py --inputs DIR --stamp STAMP.pdf [--files 1000] [--loop-files 200]
                   [--quiremark build/quiremark] [--package-dir build/python] [--work DIR]

The jobs are the PDFs of DIR (those that quiremark reads; corpus files or the benchmark's own
documents), repeated until there are --files of them, each stamped with STAMP.pdf. The shell loops
run over the first --loop-files jobs only (a process per file is slow) and are reported in files
per second like the rest. Each figure is the best of --runs runs. Not a test: nothing is asserted.
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path


def cpu_seconds() -> float:
    """CPU time (user + system) of this process and its finished children so far."""
    own = resource.getrusage(resource.RUSAGE_SELF)
    kids = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + kids.ru_utime + kids.ru_stime


def best(runs: int, prepare, fn):
    """The fastest of `runs` runs: (wall seconds, CPU seconds of this process and its children;
    Dask's worker processes are not counted)."""
    results = []
    for _ in range(runs):
        prepare()
        cpu, start = cpu_seconds(), time.perf_counter()
        fn()
        results.append((time.perf_counter() - start, cpu_seconds() - cpu))
    return min(results)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--inputs", required=True, type=Path)
    ap.add_argument("--stamp", required=True, type=Path)
    ap.add_argument("--files", type=int, default=1000)
    ap.add_argument("--loop-files", type=int, default=200)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--quiremark", default="build/quiremark")
    ap.add_argument("--package-dir", default="build/python")
    ap.add_argument("--work", type=Path, default=None)
    ap.add_argument("--skip", default="", help="comma-separated: qpdf,single,python,dask")
    args = ap.parse_args()
    skip = set(filter(None, args.skip.split(",")))
    tool = os.path.abspath(args.quiremark)
    stamp = args.stamp.resolve()

    work = args.work or Path(tempfile.mkdtemp(prefix="quiremark-batch-bench-"))
    work.mkdir(parents=True, exist_ok=True)
    inputs_dir = work / "in"
    out = work / "out"
    shutil.rmtree(inputs_dir, ignore_errors=True)
    inputs_dir.mkdir()

    # The PDFs quiremark reads, repeated under names of their own (symbolic links).
    usable = []
    probe = work / "probe.pdf"
    for pdf in sorted(args.inputs.glob("*.pdf")):
        if subprocess.run([tool, "stamp", str(pdf), str(stamp), str(probe)],
                          capture_output=True).returncode == 0:
            usable.append(pdf.resolve())
    if not usable:
        print("no usable inputs", file=sys.stderr)
        return 1
    jobs = []
    for k in range(args.files):
        link = inputs_dir / f"f{k:05}.pdf"
        link.symlink_to(usable[k % len(usable)])
        jobs.append(link)
    total = sum(p.stat().st_size for p in jobs)
    print(f"{len(jobs)} files from {len(usable)} distinct PDFs, {total / 1e6:.1f} MB in all, "
          f"{total / len(jobs) / 1e3:.0f} KB on average; best of {args.runs} runs")

    def fresh():
        shutil.rmtree(out, ignore_errors=True)
        out.mkdir()

    rows = []

    def report(name, n, measured):
        seconds, cpu = measured
        rows.append((name, n, seconds))
        print(f"{name:40} {n:5} files {seconds:8.3f} s {n / seconds:9.1f} files/s"
              f"  CPU {100 * cpu / seconds:4.0f}%", flush=True)

    for j in (1, 2):
        t = best(args.runs, fresh, lambda: subprocess.run(
            [tool, "batch", "stamp", str(stamp), "--out-dir", str(out), "--jobs", str(j),
             "--quiet"] + [str(p) for p in jobs], check=True))
        report(f"quiremark batch --jobs {j}", len(jobs), t)

    loop = jobs[: args.loop_files]
    if "single" not in skip:
        script = "\n".join(f'"{tool}" stamp "{p}" "{stamp}" "{out}/{p.name}"' for p in loop)
        t = best(args.runs, fresh, lambda: subprocess.run(["bash", "-c", script], check=True))
        report("shell loop: quiremark stamp", len(loop), t)
    if "qpdf" not in skip and shutil.which("qpdf"):
        script = "\n".join(
            f'qpdf "{p}" --overlay "{stamp}" --repeat=1 -- "{out}/{p.name}" || true' for p in loop)
        t = best(args.runs, fresh, lambda: subprocess.run(["bash", "-c", script],
                                                          capture_output=True))
        report("shell loop: qpdf --overlay", len(loop), t)

    sys.path.insert(0, os.path.abspath(args.package_dir))
    if "python" not in skip:
        import quiremark
        for j in (1, 2):
            t = best(args.runs, fresh, lambda: quiremark.stamp_many(jobs, stamp, out, jobs=j))
            report(f"python stamp_many jobs={j}", len(jobs), t)
    if "dask" not in skip:
        import quiremark.dask
        from dask.distributed import Client, LocalCluster
        for workers in (1, 2):
            with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                              dashboard_address=None) as cluster, Client(cluster) as client:
                quiremark.dask.stamp_many(client, jobs[:50], stamp, out)  # workers warmed up
                for transfer in ("paths", "bytes"):
                    t = best(args.runs, fresh, lambda: quiremark.dask.stamp_many(
                        client, jobs, stamp, out, transfer=transfer))
                    report(f"dask {workers} worker(s), transfer={transfer}", len(jobs), t)
    return 0


if __name__ == "__main__":
    sys.exit(main())
