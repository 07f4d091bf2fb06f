#!/usr/bin/env python3
"""Times quiremark and every overlay tool installed here on the same scenarios, in one run.

Each measurement is one whole process: wall seconds around its start and exit, and its peak
resident set size as the kernel reports it for that child (wait4). Per scenario every tool is
run once untimed (warm-up: page cache, output checked), then the timed runs go round the tools
in a rotating order, so that no tool always runs first or right after the same neighbour.

Peers, each used when present: qpdf (--overlay/--underlay), pdftk (stamp, background,
multistamp), pikepdf (Page.add_overlay/add_underlay), mutool run (peers/mutool_overlay.js),
pypdf (merge_transformed_page). "floor" reads both inputs and writes a file of quiremark's
output size: no tool can do less.

  run.py --quiremark build/quiremark              full comparison (inputs made on first use)
  run.py --quick                                  tiny inputs, one run: proves it all works
  run.py --scenarios stamp_1k,merge_1k --tools quiremark,qpdf --runs 9
  run.py --tiny 100000 --tiny 1000000             also the scaling runs on tiny pages
"""

import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import gen_inputs  # noqa: E402

MIB = 1024.0 * 1024.0


# ---------------------------------------------------------------------------------------------
# Scenarios


class Scenario:
    def __init__(self, key, label, op, layer, bg, fg, text=False, large=False):
        self.key, self.label, self.op, self.layer = key, label, op, layer
        self.bg_role, self.fg_role = bg, fg
        self.text = text  # a 1k text scenario (the 2x target)
        self.large = large  # the 10k scenario (the 5x target)


def scenarios_for(sizes, tiny):
    t, big, img = sizes["text"], sizes["large"], sizes["images"]
    def k(n):
        if n % 1000000 == 0:
            return "%dM" % (n // 1000000)
        return "%dk" % (n // 1000) if n % 1000 == 0 else str(n)

    out = [
        Scenario("stamp_1k", "stamp on %s pages" % k(t), "stamp", "over", "text", "stamp", text=True),
        Scenario("stamp_10k", "stamp on %s pages" % k(big), "stamp", "over", "large", "stamp",
                 large=True),
        Scenario("merge_1k", "merge %s + %s" % (k(t), k(t)), "merge", "over", "text", "fg",
                 text=True),
        Scenario("underlay_1k", "underlay %s" % k(t), "stamp", "under", "text", "stamp", text=True),
        Scenario("stamp_images", "stamp on %d image pages" % img, "stamp", "over", "images",
                 "stamp"),
        Scenario("stamp_objstm", "stamp on %s, object streams" % k(t), "stamp", "over", "objstm",
                 "stamp", text=True),
        Scenario("stamp_rotated", "stamp on %s, /Rotate 90 root" % k(t), "stamp", "over", "rotated",
                 "stamp", text=True),
    ]
    for n in tiny:
        out.append(Scenario("stamp_tiny_%d" % n, "stamp on %s tiny pages" % k(n), "stamp", "over",
                            "tiny_%d" % n, "stamp"))
    return out


# ---------------------------------------------------------------------------------------------
# Tools: each turns (scenario, bg, fg, out) into an argv, or None when it cannot do the job.


def python_with(module):
    """An interpreter that can import `module`: this one, else the system's."""
    for py in dict.fromkeys([sys.executable, "/usr/bin/python3", shutil.which("python3")]):
        if py and os.path.exists(py):
            r = subprocess.run([py, "-c", "import " + module], capture_output=True)
            if r.returncode == 0:
                return py
    return None


def built(relpath):
    """The first executable ROOT/build*/relpath of this checkout (build/ first), or None."""
    root = os.path.dirname(HERE)
    dirs = sorted(d for d in os.listdir(root) if d.startswith("build"))
    for d in sorted(dirs, key=lambda d: d != "build"):
        p = os.path.join(root, d, relpath)
        if os.path.isfile(p) and os.access(p, os.X_OK):
            return p
    return None


def find_quiremark(given):
    if given:
        return os.path.abspath(given)
    return built("quiremark") or shutil.which("quiremark")


def find_floor(given, workdir):
    if given:
        return os.path.abspath(given)
    exe = built(os.path.join("bench", "quiremark_bench_floor"))
    if exe:
        return exe
    cc = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if not cc:
        return None
    exe = os.path.join(workdir, "floor")
    src = os.path.join(HERE, "floor.c")
    if not os.path.exists(exe) or os.path.getmtime(exe) < os.path.getmtime(src):
        r = subprocess.run([cc, "-O2", "-o", exe, src], capture_output=True, text=True)
        if r.returncode != 0:
            print("cannot build the floor program:\n" + r.stderr, file=sys.stderr)
            return None
    return exe


class Tool:
    def __init__(self, name, version, argv_fn):
        self.name, self.version, self.argv = name, version, argv_fn


def first_line(argv):
    try:
        r = subprocess.run(argv, capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        return "?"
    lines = (r.stdout + r.stderr).strip().splitlines()
    return lines[0].strip() if lines else "?"


def discover_tools(args, workdir):
    tools = []
    qm = find_quiremark(args.quiremark)
    if qm and os.access(qm, os.X_OK):
        def qm_argv(s, bg, fg, out):
            return [qm, s.op, bg, fg, out] + (["--underlay"] if s.layer == "under" else [])
        tools.append(Tool("quiremark", qm, qm_argv))
        if args.compact:
            tools.append(Tool("quiremark-compact", qm, lambda s, bg, fg, out, qm_argv=qm_argv:
                              qm_argv(s, bg, fg, out) + ["--compact"]))
    else:
        print("quiremark not found (give --quiremark PATH): peers only", file=sys.stderr)

    qpdf = shutil.which("qpdf")
    if qpdf:
        def qpdf_argv(s, bg, fg, out):
            flag = "--underlay" if s.layer == "under" else "--overlay"
            return [qpdf, bg, flag, fg] + (["--repeat=1"] if s.op == "stamp" else []) + ["--", out]
        tools.append(Tool("qpdf", first_line([qpdf, "--version"]), qpdf_argv))

    pdftk = shutil.which("pdftk")
    if pdftk:
        def pdftk_argv(s, bg, fg, out):
            verb = {("stamp", "over"): "stamp", ("stamp", "under"): "background",
                    ("merge", "over"): "multistamp", ("merge", "under"): "multibackground"}
            return [pdftk, bg, verb[(s.op, s.layer)], fg, "output", out]
        tools.append(Tool("pdftk", first_line([pdftk, "--version"]), pdftk_argv))

    py = python_with("pikepdf")
    if py:
        script = os.path.join(HERE, "peers", "pikepdf_overlay.py")
        ver = first_line([py, "-c", "import pikepdf; print('pikepdf', pikepdf.__version__)"])
        tools.append(Tool("pikepdf", ver, lambda s, bg, fg, out, py=py, script=script:
                          [py, script, s.op, s.layer, bg, fg, out]))

    mutool = shutil.which("mutool")
    if mutool:
        script = os.path.join(HERE, "peers", "mutool_overlay.js")
        tools.append(Tool("mutool", first_line([mutool, "-v"]),
                          lambda s, bg, fg, out, script=script:
                          [mutool, "run", script, s.op, s.layer, bg, fg, out]))

    py = python_with("pypdf")
    if py:
        script = os.path.join(HERE, "peers", "pypdf_overlay.py")
        ver = first_line([py, "-c", "import pypdf; print('pypdf', pypdf.__version__)"])
        tools.append(Tool("pypdf", ver, lambda s, bg, fg, out, py=py, script=script:
                          [py, script, s.op, s.layer, bg, fg, out]))

    floor = find_floor(args.floor, workdir)
    if floor:
        # The output size is filled in per scenario (quiremark's output, else the first peer's).
        tools.append(Tool("floor", floor, lambda s, bg, fg, out: [floor, bg, fg, out,
                                                                 str(s.floor_size)]))
    if args.tools:
        wanted = args.tools.split(",")
        unknown = set(wanted) - {"quiremark", "quiremark-compact", "qpdf", "pdftk", "pikepdf",
                                 "mutool", "pypdf", "floor"}
        if unknown:
            sys.exit("unknown tool(s): " + ", ".join(sorted(unknown)))
        tools = [t for t in tools if t.name in wanted]
    return tools


# ---------------------------------------------------------------------------------------------
# Measuring


class Result:
    def __init__(self):
        self.times, self.rss_kib, self.size = [], [], None
        self.error, self.check, self.timeouts = None, None, 0

    @property
    def ok(self):
        return self.error is None and bool(self.times)


GNU_TIME = "/usr/bin/time" if os.access("/usr/bin/time", os.X_OK) else None


def run_once(argv, out, timeout):
    """(wall seconds, peak RSS KiB, exit status, stderr tail) of one process.

    The peak RSS comes from GNU time (%M) when it is there: a child started straight from this
    Python process inherits the interpreter's high-water mark across fork and exec, which would
    put a floor of some 18 MiB under every figure; time's own is about 1 MiB."""
    if os.path.exists(out):
        os.unlink(out)
    with tempfile.TemporaryFile() as err, tempfile.NamedTemporaryFile("r") as rss_file:
        cmd = [GNU_TIME, "-f", "%M", "-o", rss_file.name, "--"] + argv if GNU_TIME else argv
        t0 = time.perf_counter()
        p = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        timer = threading.Timer(timeout, p.kill)
        timer.start()
        try:
            _, status, usage = os.wait4(p.pid, 0)
        finally:
            timer.cancel()
        wall = time.perf_counter() - t0
        code = os.waitstatus_to_exitcode(status)
        p.returncode = code  # reaped here; keep Popen from waiting again
        err.seek(0)
        tail = err.read()[-2000:].decode("utf-8", "replace").strip()
        rss = usage.ru_maxrss
        if GNU_TIME:
            last = (rss_file.read().strip().splitlines() or [""])[-1]
            rss = int(last) if last.isdigit() else 0
    return wall, rss, code, tail


def check_output(path, expect_pages):
    """qpdf's view of an output: its check passes and the page count is right."""
    qpdf = shutil.which("qpdf")
    if not qpdf:
        return None
    r = subprocess.run([qpdf, "--check", path], capture_output=True, text=True)
    if r.returncode not in (0, 3):  # 3: warnings only
        return "qpdf --check failed: " + " ".join((r.stdout + r.stderr).strip().splitlines()[-2:])
    r = subprocess.run([qpdf, "--show-npages", path], capture_output=True, text=True)
    n = r.stdout.strip()
    if n != str(expect_pages):
        return "%s pages, expected %d" % (n or "?", expect_pages)
    return "ok"


def page_count(path):
    qpdf = shutil.which("qpdf")
    if not qpdf:
        return None
    r = subprocess.run([qpdf, "--show-npages", path], capture_output=True, text=True)
    return int(r.stdout) if r.returncode == 0 and r.stdout.strip().isdigit() else None


def measure(scenarios, tools, paths, args, outdir, log):
    results = {}
    for s in scenarios:
        bg, fg = paths[s.bg_role], paths[s.fg_role]
        s.inputs_bytes = os.path.getsize(bg) + os.path.getsize(fg)
        s.floor_size = 0
        if args.check:
            nb, nf = page_count(bg), page_count(fg)
            s.expect_pages = None if nb is None else (nb if s.op == "stamp" else max(nb, nf or 0))
        res = {t.name: Result() for t in tools}
        results[s.key] = res
        active = []
        log("%s:" % s.label)
        for t in tools:
            if t.name == "floor":
                # quiremark's output size, else the first peer's (sizes are known after warm-up)
                sizes = [r.size for n, r in res.items() if n != "floor" and r.size is not None]
                s.floor_size = sizes[0] if sizes else 0
            out = os.path.join(outdir, "%s.%s.pdf" % (s.key, t.name))
            argv = t.argv(s, bg, fg, out)
            warm_times = []
            for _ in range(max(1, args.warmup)):
                wall, rss, code, tail = run_once(argv, out, args.timeout)
                warm_times.append(wall)
                if code != 0 or not os.path.exists(out):
                    break
            r = res[t.name]
            if code != 0 or not os.path.exists(out):
                r.error = "exit %d: %s" % (code, tail.splitlines()[-1] if tail else "no output")
                if wall >= args.timeout:
                    r.error = "timed out after %.0f s" % args.timeout
                log("  %-9s FAILED %s" % (t.name, r.error))
                continue
            r.size = os.path.getsize(out)
            if args.check and t.name != "floor" and s.expect_pages is not None:
                r.check = check_output(out, s.expect_pages)
            r.slow = min(warm_times) > args.slow_limit
            if args.warmup == 0 or r.slow:  # the run so far is the measurement
                r.times.append(wall)
                r.rss_kib.append(rss)
            log("  %-9s warm-up %.3f s%s%s" % (t.name, wall,
                                              "" if r.check in (None, "ok") else "  CHECK: " + r.check,
                                              "  (slow: taken as its one timed run)" if r.slow else ""))
            active.append((t, argv, out))
        runs = args.runs - 1 if args.warmup == 0 else args.runs  # the first run was timed
        for i in range(runs):
            order = active[i % len(active):] + active[:i % len(active)] if active else []
            if i % 2 == 1:
                order.reverse()
            for t, argv, out in order:
                r = res[t.name]
                if r.slow and r.times:
                    continue
                wall, rss, code, tail = run_once(argv, out, args.timeout)
                if code != 0:
                    r.error = "exit %d in a timed run: %s" % (code, tail[-200:])
                    continue
                r.times.append(wall)
                r.rss_kib.append(rss)
        for t, _, out in active:
            if not args.keep_outputs and os.path.exists(out):
                os.unlink(out)
    return results


# ---------------------------------------------------------------------------------------------
# Reporting


NOT_RUN = "not run (see --tiny-peers)"


def summary(r):
    if not r.ok:
        return None
    return {"median_s": statistics.median(r.times), "min_s": min(r.times), "max_s": max(r.times),
            "runs": len(r.times), "peak_rss_mib": max(r.rss_kib) / 1024.0,
            "output_bytes": r.size, "check": r.check}


def report(scenarios, tools, results, args):
    # Tools that were not run on any scenario of this report are left out of it.
    names = [t.name for t in tools
             if any(results[s.key][t.name].error != NOT_RUN for s in scenarios)]
    peers = [n for n in names if n not in ("quiremark", "quiremark-compact", "floor")]
    lines = []
    w = lines.append
    w("")
    w("%-34s %-9s %9s %19s %9s %11s %10s %s" % ("scenario", "tool", "median s", "min-max s",
                                                 "peak MiB", "output MB", "vs qm", "check"))
    data = {}
    sums = {}
    for s in scenarios:
        res = results[s.key]
        sums[s.key] = {n: summary(res[n]) for n in names}
        qm = sums[s.key].get("quiremark")
        data[s.key] = {"label": s.label, "input_bytes": s.inputs_bytes, "tools": {}}
        label = s.label
        for n in names:
            sm = sums[s.key][n]
            if res[n].error == NOT_RUN:
                data[s.key]["tools"][n] = {"error": NOT_RUN}
                continue
            if not sm:
                data[s.key]["tools"][n] = {"error": res[n].error}
                w("%-34s %-9s %s" % (label, n, "FAILED: " + (res[n].error or "no run")))
                label = ""
                continue
            ratio = ""
            if qm and n != "quiremark" and qm["median_s"] > 0:
                sm["ratio_to_quiremark"] = sm["median_s"] / qm["median_s"]
                ratio = "%.2fx" % sm["ratio_to_quiremark"]
            data[s.key]["tools"][n] = sm
            w("%-34s %-9s %9.4f %9.4f-%-9.4f %9.1f %11.2f %10s %s" % (
                label, n, sm["median_s"], sm["min_s"], sm["max_s"], sm["peak_rss_mib"],
                sm["output_bytes"] / 1e6, ratio, sm["check"] or ""))
            label = ""
    w("")
    w("vs qm: the tool's median over quiremark's (above 1: quiremark is faster; for the floor,"
      " below 1).")

    # The side-by-side matrix: median seconds (peak RSS MiB).
    w("")
    w("| scenario | " + " | ".join(names) + " |")
    w("|---|" + "---|" * len(names))
    for s in scenarios:
        cells = []
        for n in names:
            sm = sums[s.key][n]
            if results[s.key][n].error == NOT_RUN:
                cells.append("-")
            elif not sm:
                cells.append("fail")
            elif n == "floor":
                cells.append("%.3f" % sm["median_s"])
            else:
                cells.append("%.3f (%.0f)" % (sm["median_s"], sm["peak_rss_mib"]))
        w("| %s | %s |" % (s.label, " | ".join(cells)))

    # The targets (meaningless at the --quick sizes).
    if "quiremark" in names and not args.quick:
        w("")
        w("Targets:")
        for s in scenarios:
            qm = sums[s.key]["quiremark"]
            if not qm:
                continue
            label = s.label
            fast = [(sums[s.key][p]["median_s"], p) for p in peers if sums[s.key][p]]
            if fast:
                best, who = min(fast)
                need = 5.0 if s.large else (2.0 if s.text else 1.0)
                speed = best / qm["median_s"]
                w("  %-34s %6.2fx the speed of the fastest peer (%s), need %.0fx: %s" % (
                    label, speed, who, need, "PASS" if speed >= need else "MISS"))
                label = ""
            limit = (s.inputs_bytes + qm["output_bytes"]) / MIB + 32
            w("  %-34s peak %.1f MiB, limit inputs + output + 32 = %.1f MiB: %s" % (
                label, qm["peak_rss_mib"], limit,
                "PASS" if qm["peak_rss_mib"] <= limit else "MISS"))
            fl = sums[s.key].get("floor")
            if fl and s.key == "stamp_images":
                f = qm["median_s"] / fl["median_s"]
                w("  %-34s %.2fx the floor, need at most 1.5x: %s" % (
                    "", f, "PASS" if f <= 1.5 else "MISS"))
        a, b = (sums.get(k, {}).get("quiremark") for k in ("stamp_1k", "stamp_10k"))
        if a and b:
            f = b["median_s"] / a["median_s"]
            w("  linearity: the 10k stamp takes %.1fx the 1k stamp, need at most 11x: %s" % (
                f, "PASS" if f <= 11 else "MISS"))
        tiny = sorted((int(s.key.rsplit("_", 1)[1]), s.key) for s in scenarios
                      if s.key.startswith("stamp_tiny_") and sums[s.key].get("quiremark"))
        for (n1, k1), (n2, k2) in zip(tiny, tiny[1:]):
            f = sums[k2]["quiremark"]["median_s"] / sums[k1]["quiremark"]["median_s"]
            w("  linearity: %d tiny pages take %.1fx the time of %d (%.0fx the pages)" % (
                n2, f, n1, n2 / n1))
    return "\n".join(lines), data


# ---------------------------------------------------------------------------------------------


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quiremark", help="the quiremark command-line tool (default: looked for)")
    ap.add_argument("--floor", help="a built floor program (default: compiled from floor.c)")
    ap.add_argument("--work", default=os.path.join(tempfile.gettempdir(), "quiremark-bench"),
                    help="folder for inputs, outputs and the floor program, kept between runs "
                         "(default: %(default)s)")
    ap.add_argument("--inputs", help="folder of generated inputs (default: WORK/inputs)")
    ap.add_argument("--runs", type=int, default=5, help="timed runs per tool (default 5)")
    ap.add_argument("--warmup", type=int, default=1, help="untimed runs first (default 1)")
    ap.add_argument("--quick", action="store_true",
                    help="tiny inputs, no warm-up, one run, outputs checked: a smoke test")
    ap.add_argument("--scenarios", help="comma-separated keys (default: all); keys: stamp_1k, "
                                        "stamp_10k, merge_1k, underlay_1k, stamp_images, "
                                        "stamp_objstm, stamp_rotated, stamp_tiny_N")
    ap.add_argument("--tools", help="comma-separated tools (default: every one found)")
    ap.add_argument("--tiny", type=int, action="append", default=[], metavar="N",
                    help="add the scenario 'stamp on N tiny pages' (repeatable)")
    ap.add_argument("--tiny-peers", action="store_true",
                    help="run the peers on the tiny-page scenarios too (default: quiremark, "
                         "floor)")
    ap.add_argument("--slow-limit", type=float, default=15.0,
                    help="a tool whose warm-up took longer is not run again: the warm-up is its "
                         "one measurement (default 15 s)")
    ap.add_argument("--timeout", type=float, default=900.0, help="per process (default 900 s)")
    ap.add_argument("--compact", action="store_true",
                    help="also run quiremark with --compact, as the tool quiremark-compact")
    ap.add_argument("--check", action="store_true",
                    help="check every output with qpdf (--check, page count); on with --quick")
    ap.add_argument("--keep-outputs", action="store_true", help="leave the output files")
    ap.add_argument("--json", help="also write every figure to this JSON file")
    args = ap.parse_args(argv)

    if args.quick:
        args.runs, args.warmup = 1, 0
        args.check = args.check or shutil.which("qpdf") is not None
        args.slow_limit = 1e9
    workdir = os.path.abspath(args.work)
    os.makedirs(workdir, exist_ok=True)
    sizes = gen_inputs.QUICK_SIZES if args.quick else gen_inputs.STANDARD_SIZES
    inputs = args.inputs or os.path.join(workdir, "quick-inputs" if args.quick else "inputs")
    scenarios = scenarios_for(sizes, args.tiny)
    if args.scenarios:
        keys = args.scenarios.split(",")
        unknown = set(keys) - {s.key for s in scenarios}
        if unknown:
            sys.exit("unknown scenario(s): " + ", ".join(sorted(unknown)))
        scenarios = [s for s in scenarios if s.key in keys]
    roles = {s.bg_role for s in scenarios} | {s.fg_role for s in scenarios}

    log = lambda m: print(m, file=sys.stderr, flush=True)  # noqa: E731
    paths = gen_inputs.generate(inputs, sizes, args.tiny, roles=roles, log=log)
    tools = discover_tools(args, workdir)
    if not tools:
        sys.exit("no tool to run")
    outdir = os.path.join(workdir, "out")
    os.makedirs(outdir, exist_ok=True)

    log("tools: " + "; ".join("%s (%s)" % (t.name, t.version) for t in tools))
    results = {}
    main_scn = [s for s in scenarios if not s.key.startswith("stamp_tiny_")]
    tiny_scn = [s for s in scenarios if s.key.startswith("stamp_tiny_")]
    if main_scn:
        results.update(measure(main_scn, tools, paths, args, outdir, log))
    tiny_tools = tools if args.tiny_peers else [t for t in tools if t.name in ("quiremark",
                                                                                 "floor")]
    for s in tiny_scn:
        r = measure([s], tiny_tools, paths, args, outdir, log)
        for t in tools:  # the tools left out show as not run
            if t not in tiny_tools:
                r[s.key][t.name] = Result()
                r[s.key][t.name].error = NOT_RUN
        results.update(r)

    text, data = report(scenarios, tools, results, args)
    print("machine: %s, %d cores, Python %s, load average %.2f at the end" % (
        platform.platform(), os.cpu_count() or 0, platform.python_version(), os.getloadavg()[0]))
    print("tools: " + "; ".join("%s = %s" % (t.name, t.version) for t in tools))
    print("runs: %d timed after %d warm-up; medians of whole-process wall time" % (args.runs,
                                                                                   args.warmup))
    print(text)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": platform.platform(), "cores": os.cpu_count(),
                       "runs": args.runs, "warmup": args.warmup,
                       "tools": {t.name: t.version for t in tools}, "scenarios": data}, f,
                      indent=2)

    # Failure of quiremark itself (or a bad output of it) fails the run; peers may fail.
    bad = [s.key for s in scenarios if "quiremark" in results[s.key] and
           (not results[s.key]["quiremark"].ok or results[s.key]["quiremark"].check
            not in (None, "ok"))]
    if bad:
        print("quiremark failed on: " + ", ".join(bad), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
