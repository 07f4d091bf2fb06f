#!/usr/bin/env python3
"""Output sizes and times of one stamp job per PDF of a folder, for quiremark and qpdf's overlay.

Usage: corpus_sizes.py TOOL DIR [--variant NAME=ARGS ...] [--runs N] [--cpu] [--no-qpdf]
                       [--csv FILE]

Every PDF in DIR that the tool can describe (`TOOL info FILE` exits 0) gets samples/draft-stamp.pdf
laid over every page: `TOOL stamp FILE draft-stamp.pdf OUT` plus each variant's extra arguments
(the default variant "default" has none; `--variant compact=--compact` adds one), and
`qpdf FILE --overlay draft-stamp.pdf --from= --repeat=1 -- OUT` as the peer. Each job runs
--runs times (default 3); its time is the best run's wall time (with --cpu: the best run's user +
system CPU time). The table lists, per file, the
input size, every output size and time; the summary gives the totals, each variant's total
against qpdf's and the files above max(1.25 x input, input + 16 KB).

A measurement, not a test: nothing here fails on a figure. Run it on a quiet machine.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
STAMP = os.path.join(HERE, "..", "samples", "draft-stamp.pdf")


def best_of(cmd, runs, out, cpu):
    """(output size or None, best time): wall seconds, or with `cpu` the child's user + system
    seconds, which other work on a busy machine disturbs far less."""
    best = None
    ok = True
    for _ in range(runs):
        if os.path.exists(out):
            os.remove(out)
        t0 = time.perf_counter()
        p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _, status, ru = os.wait4(p.pid, 0)
        dt = ru.ru_utime + ru.ru_stime if cpu else time.perf_counter() - t0
        rc = os.waitstatus_to_exitcode(status)
        # qpdf exits 3 when it wrote the file with warnings.
        ok = rc == 0 or (cmd[0].endswith("qpdf") and rc == 3)
        best = dt if best is None else min(best, dt)
    size = os.path.getsize(out) if ok and os.path.exists(out) else None
    return size, best


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("tool")
    ap.add_argument("dir")
    ap.add_argument("--variant", action="append", default=[],
                    help="NAME=ARGS: also run the tool with these extra arguments")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--no-qpdf", action="store_true")
    ap.add_argument("--cpu", action="store_true",
                    help="time by the child's CPU seconds (user + system) instead of wall seconds")
    ap.add_argument("--csv")
    a = ap.parse_args(argv)

    variants = [("default", [])]
    for v in a.variant:
        name, _, args = v.partition("=")
        variants.append((name, args.split()))
    qpdf = None if a.no_qpdf else shutil.which("qpdf")

    files = sorted(f for f in os.listdir(a.dir) if f.lower().endswith(".pdf"))
    rows = []
    tmp = tempfile.mkdtemp(prefix="qm_sizes_")
    out = os.path.join(tmp, "out.pdf")
    try:
        for f in files:
            path = os.path.join(a.dir, f)
            if subprocess.run([a.tool, "info", path], capture_output=True).returncode != 0:
                continue
            row = {"file": f, "input": os.path.getsize(path)}
            for name, extra in variants:
                row[name] = best_of([a.tool, "stamp", path, STAMP, out] + extra, a.runs, out, a.cpu)
            if qpdf:
                row["qpdf"] = best_of([qpdf, path, "--overlay", STAMP, "--from=", "--repeat=1",
                                       "--", out], 1, out, a.cpu)
            rows.append(row)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    cols = [n for n, _ in variants] + (["qpdf"] if qpdf else [])
    print("%-52s %9s " % ("file", "input") + " ".join("%10s %7s" % (c, "ms") for c in cols))
    for r in rows:
        cells = []
        for c in cols:
            size, t = r[c]
            cells.append("%10s %7.1f" % (size if size is not None else "failed", t * 1000))
        print("%-52s %9d " % (r["file"][:52], r["input"]) + " ".join(cells))

    def total(c, subset=None):
        return sum(r[c][0] for r in rows if r[c][0] is not None and (subset is None or r in subset))

    print("\nfiles: %d, inputs: %d bytes" % (len(rows), sum(r["input"] for r in rows)))
    both = [r for r in rows if all(r[c][0] is not None for c in cols)]
    for c in cols:
        line = "%-8s total %10d bytes, time %.3f s" % (c, total(c), sum(r[c][1] for r in rows))
        if qpdf and c != "qpdf":
            line += ", %.3fx qpdf's bytes (on the %d files both wrote)" % (
                total(c, both) / max(1, total("qpdf", both)), len(both))
        if c != "qpdf":
            over = [r["file"] for r in rows if r[c][0] is not None and
                    r[c][0] > max(1.25 * r["input"], r["input"] + 16384)]
            line += "; above max(1.25x input, input + 16 KB): %d" % len(over)
            if over:
                line += " (" + ", ".join(over) + ")"
        print(line)
    for name, _ in variants[1:]:
        t0 = sum(r["default"][1] for r in rows)
        t1 = sum(r[name][1] for r in rows)
        print("%s time / default time: %.3f" % (name, t1 / t0 if t0 else 0))
    if a.csv:
        with open(a.csv, "w") as fh:
            fh.write("file,input," + ",".join("%s_bytes,%s_s" % (c, c) for c in cols) + "\n")
            for r in rows:
                fh.write("%s,%d,%s\n" % (r["file"], r["input"], ",".join(
                    "%s,%.6f" % (r[c][0] if r[c][0] is not None else "", r[c][1]) for c in cols)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
