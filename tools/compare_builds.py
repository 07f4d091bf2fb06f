#!/usr/bin/env python3
"""Runs two builds of the quiremark tool over the same jobs and reports every output that differs.

Usage: compare_builds.py OLD_TOOL NEW_TOOL DIR [DIR...] [--jobs N]

Every PDF under the given folders is used as the background under samples/draft-stamp.pdf and as the
foreground over samples/letter.pdf, in stamp and merge mode, on top and underneath, opaque and at
opacity 0.4. Both tools run each job; the outputs (or, for a failing job, the exit status and the
message) must be identical. Extra tool options for both sides go after "--", e.g. "-- --compact".
"""
import concurrent.futures as cf
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLES = os.path.join(HERE, "..", "samples")


def jobs_for(pdf):
    stamp = os.path.join(SAMPLES, "draft-stamp.pdf")
    letter = os.path.join(SAMPLES, "letter.pdf")
    for bg, fg in ((pdf, stamp), (letter, pdf)):
        yield ["stamp", bg, fg]
        yield ["stamp", bg, fg, "--underlay"]
        yield ["merge", bg, fg]
        yield ["merge", bg, fg, "--opacity", "0.4"]
        yield ["merge", bg, fg, "--underlay", "--opacity", "0.4"]


def run(tool, job, out, extra):
    cmd = [tool, job[0], job[1], job[2], out] + job[3:] + extra
    p = subprocess.run(cmd, capture_output=True, timeout=300)
    data = open(out, "rb").read() if p.returncode == 0 and os.path.exists(out) else b""
    return p.returncode, p.stderr, data


def compare(old, new, job, extra, tmp):
    a = os.path.join(tmp, "a.pdf")
    b = os.path.join(tmp, "b.pdf")
    ra = run(old, job, a, extra)
    rb = run(new, job, b, extra)
    for f in (a, b):
        if os.path.exists(f):
            os.remove(f)
    return None if ra == rb else " ".join(job)


def main(argv):
    extra = []
    if "--" in argv:
        extra = argv[argv.index("--") + 1:]
        argv = argv[: argv.index("--")]
    workers = 2
    if "--jobs" in argv:
        i = argv.index("--jobs")
        workers = int(argv[i + 1])
        del argv[i : i + 2]
    if len(argv) < 3:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    old, new, dirs = argv[0], argv[1], argv[2:]
    pdfs = sorted(
        os.path.join(root, f)
        for d in dirs
        for root, _, files in os.walk(d)
        for f in files
        if f.lower().endswith(".pdf")
    )
    all_jobs = [j for p in pdfs for j in jobs_for(p)]
    differ = []
    with tempfile.TemporaryDirectory() as tmp:
        def one(k):
            d = os.path.join(tmp, str(k))
            os.makedirs(d, exist_ok=True)
            return compare(old, new, all_jobs[k], extra, d)

        with cf.ThreadPoolExecutor(workers) as ex:
            for r in ex.map(one, range(len(all_jobs))):
                if r:
                    differ.append(r)
    for d in differ:
        print("differs:", d)
    print(f"{len(all_jobs)} jobs over {len(pdfs)} files: {len(differ)} differ")
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
