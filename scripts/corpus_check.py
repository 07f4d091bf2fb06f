#!/usr/bin/env python3
"""Runs quiremark over pairs of real PDFs and checks every output the way a user would.

Usage: corpus_check.py --bin build/quiremark --corpus DIR [--out DIR] [--render-check PATH]
                       [--fg N] [--bg N] [--pages K] [--dpi D] [--compact]

Every file that loads (`quiremark info` exits 0) is used as background under a few foregrounds and
as foreground over a few backgrounds, in stamp and merge mode, both layering modes, and once
translucent. Each output is checked with `qpdf --check` (errors beyond those of its inputs fail),
rendered with `pdftoppm` and `mutool draw` (any error message fails), and, when render-check is
given, compared pixel by pixel with the picture composed from the inputs' own renderings.
"""
import argparse
import concurrent.futures as cf
import os
import subprocess
import sys


def run(cmd, timeout=120):
    try:
        p = subprocess.run(cmd, capture_output=True, timeout=timeout)
        return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")
    except subprocess.TimeoutExpired:
        return -999, "", "timeout"


def qpdf_errors(path):
    """0 when qpdf reads the file without errors (warnings allowed), else 1."""
    rc, out, err = run(["qpdf", "--check", path])
    return 0 if rc in (0, 3) else 1


def render_errors(path, first, last):
    problems = []
    rc, _, err = run(["pdftoppm", "-r", "20", "-f", str(first), "-l", str(last), "-png", path,
                      "/tmp/qm_cc_render_%d" % os.getpid()])
    if rc != 0 or "Error" in err:
        problems.append("pdftoppm: " + (err.strip().splitlines() or ["rc %d" % rc])[0])
    rc, _, err = run(["mutool", "draw", "-q", "-r", "20", "-o", "/dev/null", path, "%d-%d" % (first, last)])
    if rc != 0 or "error" in err.lower():
        problems.append("mutool: " + (err.strip().splitlines() or ["rc %d" % rc])[0])
    return problems


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", required=True)
    ap.add_argument("--corpus", required=True)
    ap.add_argument("--out", default="/tmp/qm_corpus_out")
    ap.add_argument("--render-check")
    ap.add_argument("--fg", type=int, default=3, help="foregrounds per background")
    ap.add_argument("--bg", type=int, default=3, help="backgrounds per foreground")
    ap.add_argument("--pages", type=int, default=3)
    ap.add_argument("--dpi", type=int, default=40)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--compact", action="store_true", help="run every job with --compact")
    a = ap.parse_args()
    os.makedirs(a.out, exist_ok=True)

    files = sorted(f for f in os.listdir(a.corpus) if f.lower().endswith(".pdf"))
    loadable, refused = [], []
    for f in files:
        rc, _, err = run([a.bin, "info", os.path.join(a.corpus, f)])
        (loadable if rc == 0 else refused).append((f, err.strip()))
    print("files: %d, load: %d, refused: %d" % (len(files), len(loadable), len(refused)))
    for f, err in refused:
        print("  refused %s: %s" % (f, err))
    names = [f for f, _ in loadable]
    inputs_bad = {f: qpdf_errors(os.path.join(a.corpus, f)) for f in names}

    jobs = []
    n = len(names)
    for i, bg in enumerate(names):
        for k in range(1, a.fg + 1):
            fg = names[(i + k * 7) % n]
            jobs.append((bg, fg, "stamp", k % 2, None))
            jobs.append((fg, bg, "merge", (k + 1) % 2, 0.5 if k == 1 else None))

    def one(job):
        bg, fg, kind, mode, opacity = job
        tag = "%s__%s__%s%d%s.pdf" % (bg[:-4], fg[:-4], kind, mode, "_o" if opacity is not None else "")
        out = os.path.join(a.out, tag)
        cmd = [a.bin, kind, os.path.join(a.corpus, bg), os.path.join(a.corpus, fg), out]
        if mode:
            cmd.append("--underlay")
        if opacity is not None:
            cmd += ["--opacity", str(opacity)]
        if a.compact:
            cmd.append("--compact")
        rc, _, err = run(cmd)
        res = {"job": tag, "problems": []}
        if rc != 0:
            res["problems"].append("job failed rc=%d: %s" % (rc, err.strip()))
            return res
        if qpdf_errors(out) and not (inputs_bad[bg] or inputs_bad[fg]):
            res["problems"].append("qpdf --check errors")
        res["problems"] += render_errors(out, 1, a.pages)
        if a.render_check:
            rcmd = ["/usr/bin/python3", a.render_check, "--mode", str(mode), "--pages", str(a.pages),
                    "--dpi", str(a.dpi)]
            if kind == "stamp":
                rcmd.append("--stamp")
            if opacity is not None:
                rcmd += ["--opacity", str(opacity)]
            rc2, o2, e2 = run(rcmd + [os.path.join(a.corpus, bg), os.path.join(a.corpus, fg), out], 600)
            if rc2 != 0 and "cannot read input" in e2:
                res["skipped"] = "render-check cannot read an input: " + e2.strip().splitlines()[-1]
            elif rc2 != 0:
                lines = [l for l in (o2 + e2).splitlines() if "FAIL" in l or "rror" in l][:3]
                res["problems"].append("render-check rc=%d: %s" % (rc2, " | ".join(lines)))
        return res

    bad = skipped = 0
    with cf.ThreadPoolExecutor(a.jobs) as ex:
        for res in ex.map(one, jobs):
            if res.get("skipped"):
                skipped += 1
                print("SKIP %s: %s" % (res["job"], res["skipped"]))
            if res["problems"]:
                bad += 1
                print("FAIL %s: %s" % (res["job"], "; ".join(res["problems"])))
    print("pairs tried: %d, with problems: %d, render-check skipped: %d" % (len(jobs), bad, skipped))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
