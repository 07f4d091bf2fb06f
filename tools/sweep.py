#!/usr/bin/env python3
"""Damaged-input sweep: runs the quiremark command-line tool over a directory of PDFs, on pairs of
the files as they are and on many damaged copies of each, and reports every run that ended badly.

Usage: sweep.py [options] DIR

For each PDF in DIR the sweep writes damaged copies:
  - truncations at many offsets (evenly spread, and inside the first stream, before the last
    "endstream", before "trailer" and before "startxref");
  - byte flips at pseudo-random places (deterministic: seeded by the file name);
  - "endobj" and "endstream" removed (first one, every one) or duplicated;
  - wrong /Length values (too long, too short, zero, huge, negative);
  - a cross-reference section whose /Prev names itself, a page whose /Parent names itself, /Kids
    arrays that list their own node or the node's parent;
  - huge numbers (in /Length, /MediaBox, references, object headers);
  - object streams with bogus /N and /First;
  - Flate bombs (a content stream and an object stream that inflate to 64 MiB of zeros).
Each copy is used as the background of one job and, for every fourth copy, also as the foreground
of another, with a partner from the same directory; the untouched files are run in pairs too
(merge, stamp, translucent merge, underlay). Every job goes through the tool's merge or stamp
command, with the options given by --job-option added to each (e.g. --job-option=--keep-interactive).

Findings (each kept with its inputs, command line and output under WORK/findings/):
  crash      the tool died of a signal;
  sanitizer  an AddressSanitizer / UndefinedBehaviorSanitizer / ThreadSanitizer report (run the
             sweep with a sanitized build of the tool, e.g. build-asan/quiremark);
  leak       a LeakSanitizer report;
  timeout    a job ran longer than the time limit (10 s unless --timeout says otherwise), also
             when run again alone after the others;
  exit       any exit status other than 0 (written) and 1 (failed with a message), or a failure
             without a message, or a success that left no output;
  qpdf       `qpdf --check` rejects the output although it accepts every input (errors that an
             input already has are counted apart, as qpdf-inherited, and are not findings).
The exit status is 1 when there is any finding, else 0.
"""
import argparse
import concurrent.futures as cf
import hashlib
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zlib

SANITIZER_MARKS = ("ERROR: AddressSanitizer", "runtime error:", "ERROR: ThreadSanitizer",
                   "WARNING: ThreadSanitizer", "UndefinedBehaviorSanitizer", "ERROR: MemorySanitizer")
LEAK_MARK = "ERROR: LeakSanitizer"

# ---------------------------------------------------------------------------------------------
# Damage


def _bomb_data():
    if not hasattr(_bomb_data, "cache"):
        c = zlib.compressobj(9)
        chunk = b"\0" * (1 << 20)
        out = b"".join(c.compress(chunk) for _ in range(64)) + c.flush()
        _bomb_data.cache = out
    return _bomb_data.cache


def _objects(data):
    """(number, start of header, start of body, end of body) of plain objects, in file order."""
    out = []
    for m in re.finditer(rb"(?<![0-9A-Za-z])(\d+)\s+\d+\s+obj\b", data):
        end = data.find(b"endobj", m.end())
        if end < 0:
            continue
        out.append((int(m.group(1)), m.start(), m.end(), end))
    return out


def _max_objnum(data):
    nums = [o[0] for o in _objects(data)]
    return max(nums) if nums else 0


def _replace_at(data, start, end, new):
    return data[:start] + new + data[end:]


def truncations(data):
    n = len(data)
    cuts = sorted({max(1, n * k // 13) for k in range(1, 13)} | {n - 1, max(1, n - 7)})
    marks = []
    s = data.find(b"stream")
    if s >= 0:
        marks.append(("in_first_stream", s + 20))
    for kw in (b"endstream", b"trailer", b"startxref"):
        k = data.rfind(kw)
        if k > 0:
            marks.append(("before_last_" + kw.decode(), k))
    out = [("cut_%d" % c, data[:c]) for c in cuts if 0 < c < n]
    out += [("cut_" + name, data[:c]) for name, c in marks if 0 < c < n]
    return out


def flips(data, name):
    rnd = random.Random(hashlib.sha256(name.encode()).hexdigest())
    out = []
    for k in range(8):
        b = bytearray(data)
        for _ in range(1 + 2 * k):
            p = rnd.randrange(len(b))
            b[p] ^= 1 << rnd.randrange(8)
        out.append(("flip_%d" % k, bytes(b)))
    return out


def keywords(data):
    out = []
    for kw in (b"endobj", b"endstream"):
        first = data.find(kw)
        if first < 0:
            continue
        name = kw.decode()
        out.append(("no_first_" + name, _replace_at(data, first, first + len(kw), b"")))
        out.append(("no_" + name, data.replace(kw, b"")))
        out.append(("dup_first_" + name, _replace_at(data, first, first + len(kw), kw + b"\n" + kw)))
        mid = data.find(kw, len(data) // 2)
        if mid >= 0:
            out.append(("dup_mid_" + name, _replace_at(data, mid, mid + len(kw), kw + b"\n" + kw)))
    return out


def lengths(data):
    out = []
    m = re.search(rb"/Length\s+(\d+)(?!\s+\d+\s+R)", data)
    if not m:
        return out
    v = int(m.group(1))
    for name, nv in (("plus10", v + 10), ("minus10", max(0, v - 10)), ("zero", 0),
                     ("huge", 2147483647), ("negative", -5), ("beyond_int", 99999999999)):
        out.append(("length_" + name, _replace_at(data, m.start(1), m.end(1), str(nv).encode())))
    return out


def structure(data):
    out = []
    # A cross-reference section whose /Prev names the section itself.
    sx = data.rfind(b"startxref")
    if sx >= 0:
        m = re.match(rb"startxref\s+(\d+)", data[sx:])
        if m:
            x = int(m.group(1))
            t = data.rfind(b"trailer")
            if t > 0 and t >= x - 1:
                d = data.find(b"<<", t)
                if d > 0:
                    body = re.sub(rb"/Prev\s+\d+", b"", data[d:sx])
                    out.append(("prev_self", data[:d] + b"<< /Prev %d " % x + body[2:] + data[sx:]))
            elif 0 <= x < len(data):
                d = data.find(b"<<", x)
                if d > 0:
                    out.append(("prev_self", _replace_at(data, d, d + 2, b"<< /Prev %d " % x)))
    objs = _objects(data)
    # A page whose /Parent names the page itself.
    for num, _, body, end in objs:
        m = re.compile(rb"/Parent\s+(\d+)\s+\d+\s+R").search(data, body, end)
        if m:
            out.append(("parent_self", _replace_at(data, m.start(1), m.end(1), str(num).encode())))
            break
    # /Kids that list their own node, and a node that lists its parent.
    kids = re.compile(rb"/Kids\s*\[")
    done_parent = False
    for num, _, body, end in objs:
        m = kids.search(data, body, end)
        if not m:
            continue
        if not any(n.startswith("kids_self") for n, _ in out):
            out.append(("kids_self", _replace_at(data, m.end(), m.end(), b"%d 0 R " % num)))
        p = re.compile(rb"/Parent\s+(\d+)\s+\d+\s+R").search(data, body, end)
        if p and not done_parent:
            out.append(("kids_parent", _replace_at(data, m.end(), m.end(), p.group(1) + b" 0 R ")))
            done_parent = True
        if done_parent:
            break
    return out


def huge_numbers(data):
    out = []
    m = re.search(rb"/MediaBox\s*\[\s*(-?[\d.]+)\s+(-?[\d.]+)\s+(-?[\d.]+)\s+(-?[\d.]+)", data)
    if m:
        out.append(("mediabox_huge", _replace_at(data, m.start(3), m.end(4), b"2147483648 1e308")))
        out.append(("mediabox_negative", _replace_at(data, m.start(1), m.end(2),
                                                     b"-2147483649 -99999999999999999999")))
    m = re.search(rb"/Contents\s+(\d+)\s+\d+\s+R", data)
    if m:
        out.append(("ref_huge", _replace_at(data, m.start(1), m.end(1), b"2147483647")))
        out.append(("ref_wraps", _replace_at(data, m.start(1), m.end(1), b"4294967297")))
    objs = _objects(data)
    if objs:
        num, start, _, _ = objs[len(objs) // 2]
        out.append(("objnum_huge", _replace_at(data, start, start + len(str(num)), b"8388608")))
        out.append(("objnum_max", _replace_at(data, start, start + len(str(num)), b"8388607")))
    return out


def objstms(data):
    out = []
    m = re.search(rb"/Type\s*/ObjStm", data)
    if not m:
        return out
    d0 = data.rfind(b"<<", 0, m.start())
    d1 = data.find(b"stream", m.end())
    if d0 < 0 or d1 < 0:
        return out
    dic = data[d0:d1]
    n = re.search(rb"/N\s+(\d+)", dic)
    f = re.search(rb"/First\s+(\d+)", dic)
    if n:
        for name, v in (("0", b"0"), ("neg", b"-3"), ("100001", b"100001"), ("big", b"2147483647"),
                        ("plus1", str(int(n.group(1)) + 1).encode())):
            out.append(("objstm_n_" + name, _replace_at(data, d0 + n.start(1), d0 + n.end(1), v)))
    if f:
        for name, v in (("huge", b"99999999"), ("neg", b"-1"), ("zero", b"0"),
                        ("minus1", str(max(0, int(f.group(1)) - 1)).encode())):
            out.append(("objstm_first_" + name, _replace_at(data, d0 + f.start(1), d0 + f.end(1), v)))
    return out


def bombs(data):
    bomb = _bomb_data()
    out = []
    num = _max_objnum(data) + 1
    obj = b"\n%d 0 obj\n<< /Length %d /Filter /FlateDecode >>\nstream\n" % (num, len(bomb)) + bomb + \
        b"\nendstream\nendobj\n"
    m = re.search(rb"/Contents\s+(\d+)(\s+\d+\s+R)", data)
    if m:
        out.append(("flate_bomb_content",
                    _replace_at(data, m.start(1), m.end(1), str(num).encode()) + obj))
    objstm = b"\n%d 0 obj\n<< /Type /ObjStm /N 1 /First 4 /Length %d /Filter /FlateDecode >>\nstream\n" % (
        num, len(bomb)) + bomb + b"\nendstream\nendobj\n"
    out.append(("flate_bomb_objstm", data + objstm))
    return out


def damaged_copies(data, name):
    out = []
    for f in (truncations, keywords, lengths, structure, huge_numbers, objstms, bombs):
        out += f(data)
    out += flips(data, name)
    return out


# ---------------------------------------------------------------------------------------------
# Running


def run(cmd, timeout, env):
    t0 = time.monotonic()
    try:
        p = subprocess.run(cmd, capture_output=True, timeout=timeout, env=env)
        return p.returncode, p.stderr.decode("utf-8", "replace"), time.monotonic() - t0
    except subprocess.TimeoutExpired as e:
        err = (e.stderr or b"").decode("utf-8", "replace")
        return None, err, time.monotonic() - t0
    except OSError as e:
        sys.exit("sweep: cannot run %s: %s" % (cmd[0], e))


class Sweep:
    def __init__(self, args):
        self.a = args
        self.work = args.work
        self.env = dict(os.environ)
        # Sanitizer reports must not be confused with the tool's own exit status 1.
        self.env["ASAN_OPTIONS"] = "detect_leaks=1:exitcode=86:" + self.env.get("ASAN_OPTIONS", "")
        self.env["UBSAN_OPTIONS"] = "print_stacktrace=1:halt_on_error=1:exitcode=87:" + \
            self.env.get("UBSAN_OPTIONS", "")
        self.env["TSAN_OPTIONS"] = "exitcode=88:" + self.env.get("TSAN_OPTIONS", "")
        self.qpdf_cache = {}
        self.counts = {k: 0 for k in ("jobs", "written", "refused", "crash", "sanitizer", "leak",
                                      "timeout", "timeout-retried", "exit", "qpdf", "qpdf-inherited",
                                      "qpdf-checked")}
        self.findings = []
        self.slowest = (0.0, "")

    def qpdf_ok(self, path):
        """True when qpdf reads the file without errors (warnings allowed)."""
        if path in self.qpdf_cache:
            return self.qpdf_cache[path]
        rc, _, _ = run([self.a.qpdf, "--check", path], 120, None)
        ok = rc in (0, 3)
        self.qpdf_cache[path] = ok
        return ok

    def job(self, case_id, kind, bg, fg):
        out = os.path.join(self.work, "out", case_id + ".pdf")
        cmd = [self.a.cli, "stamp" if kind.startswith("stamp") else "merge", bg, fg, out]
        if "underlay" in kind:
            cmd.append("--underlay")
        if "opacity" in kind:
            cmd += ["--opacity", "0.4"]
        cmd += self.a.job_option
        rc, err, secs = run(cmd, self.a.timeout, self.env)
        result = {"id": case_id, "cmd": cmd, "rc": rc, "secs": round(secs, 3), "stderr": err[-4000:]}
        kinds = []
        if rc is None:
            kinds.append("timeout")
        elif rc < 0:
            kinds.append("crash")
        if any(m in err for m in SANITIZER_MARKS):
            kinds.append("sanitizer")
        if LEAK_MARK in err:
            kinds.append("leak")
        if rc is not None and rc >= 0 and not kinds:
            if rc == 0:
                if not os.path.exists(out):
                    kinds.append("exit")
            elif rc == 1:
                if not err.startswith("quiremark: ") or len(err.strip()) <= len("quiremark:"):
                    kinds.append("exit")
            else:
                kinds.append("exit")
        qpdf_kind = None
        if rc == 0 and not kinds and os.path.exists(out) and self.a.qpdf:
            qrc, qerr, _ = run([self.a.qpdf, "--check", out], 120, None)
            if qrc not in (0, 3):
                inputs_ok = self.qpdf_ok(bg) and self.qpdf_ok(fg)
                qpdf_kind = "qpdf" if inputs_ok else "qpdf-inherited"
                result["qpdf"] = qerr[-2000:]
        return result, kinds, qpdf_kind, out

    def record(self, result, kinds, qpdf_kind, out, inputs):
        self.counts["jobs"] += 1
        rc = result["rc"]
        if rc == 0:
            self.counts["written"] += 1
            if self.a.qpdf:
                self.counts["qpdf-checked"] += 1
        elif rc == 1:
            self.counts["refused"] += 1
        if result["secs"] > self.slowest[0]:
            self.slowest = (result["secs"], result["id"])
        for k in kinds:
            self.counts[k] += 1
        if qpdf_kind:
            self.counts[qpdf_kind] += 1
        if kinds or qpdf_kind == "qpdf":
            result["kinds"] = kinds + ([qpdf_kind] if qpdf_kind else [])
            d = os.path.join(self.work, "findings", result["id"])
            os.makedirs(d, exist_ok=True)
            for p in inputs:
                if os.path.exists(p):
                    shutil.copy(p, d)
            if os.path.exists(out) and qpdf_kind:
                shutil.copy(out, d)
            with open(os.path.join(d, "result.json"), "w") as f:
                json.dump(result, f, indent=1)
            self.findings.append(result)
        if os.path.exists(out):
            os.remove(out)


def main():
    root = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("dir", help="directory of PDF files")
    ap.add_argument("--cli", default=os.path.join(root, "build", "quiremark"),
                    help="the quiremark tool to run (default: build/quiremark)")
    ap.add_argument("--work", help="working directory (default: a new temporary one)")
    ap.add_argument("--timeout", type=float, default=10.0, help="seconds per job (default 10)")
    ap.add_argument("--jobs", type=int, default=2, help="jobs run at once (default 2)")
    ap.add_argument("--qpdf", default=shutil.which("qpdf"), help="qpdf to check outputs with")
    ap.add_argument("--no-qpdf", action="store_true", help="do not check outputs with qpdf")
    ap.add_argument("--limit", type=int, default=0, help="use only the first N files")
    ap.add_argument("--max-size", type=int, default=4 << 20,
                    help="skip files larger than this for the damaged copies (default 4 MiB)")
    ap.add_argument("--json", help="write the figures and findings to this file")
    ap.add_argument("--job-option", action="append", default=[], metavar="OPT",
                    help="add OPT to every job's command line (repeatable)")
    a = ap.parse_args()
    if a.no_qpdf:
        a.qpdf = None
    if not os.path.exists(a.cli):
        sys.exit("sweep: no tool at %s (build it, or name it with --cli)" % a.cli)
    a.work = a.work or tempfile.mkdtemp(prefix="qm-sweep-")
    for sub in ("in", "out", "findings"):
        os.makedirs(os.path.join(a.work, sub), exist_ok=True)
    # The sweep runs its own copy of the tool, so that a rebuild meanwhile does not disturb it.
    tool = os.path.join(a.work, "quiremark")
    shutil.copy2(a.cli, tool)
    a.cli = tool

    files = sorted(os.path.join(a.dir, f) for f in os.listdir(a.dir) if f.lower().endswith(".pdf"))
    if a.limit:
        files = files[:a.limit]
    if not files:
        sys.exit("sweep: no PDF files in %s" % a.dir)
    s = Sweep(a)

    # The cases: (id, kind, background, foreground, files kept with a finding).
    cases = []
    kinds = ("merge", "stamp", "merge_opacity", "stamp_underlay")
    n = len(files)
    for i, f in enumerate(files):
        base = os.path.splitext(os.path.basename(f))[0]
        for k, kind in enumerate(kinds):
            partner = files[(i + 1 + k) % n]
            cases.append(("pair_%s_%s" % (base, kind), kind, f, partner))
    per_file = {}
    for i, f in enumerate(files):
        if os.path.getsize(f) > a.max_size:
            continue
        base = os.path.splitext(os.path.basename(f))[0]
        with open(f, "rb") as fh:
            data = fh.read()
        partner = files[(i + 1) % n]
        copies = damaged_copies(data, base)
        per_file[base] = len(copies)
        for j, (dname, bytes_) in enumerate(copies):
            p = os.path.join(a.work, "in", "%s__%s.pdf" % (base, dname))
            with open(p, "wb") as fh:
                fh.write(bytes_)
            kind = kinds[j % len(kinds)]
            cases.append(("%s__%s" % (base, dname), kind, p, partner))
            if j % 4 == 0:
                cases.append(("%s__%s__as_fg" % (base, dname), kinds[(j + 1) % len(kinds)], partner, p))

    t0 = time.monotonic()
    print("sweep: %d files, %d damaged copies, %d jobs, tool %s" % (
        n, sum(per_file.values()), len(cases), a.cli), flush=True)
    retry = []
    with cf.ThreadPoolExecutor(max_workers=max(1, a.jobs)) as ex:
        futs = {ex.submit(s.job, *case): case for case in cases}
        done = 0
        for fut in cf.as_completed(futs):
            cid, kind, bg, fg = futs[fut]
            try:
                result, kinds_, qk, out = fut.result()
            except BaseException:
                # The tool cannot be run at all (or the sweep itself failed): stop at once.
                for f in futs:
                    f.cancel()
                raise
            if kinds_ == ["timeout"]:
                # Run again alone once the rest is done: jobs that share the machine can be slowed
                # past the limit without being slow themselves.
                retry.append(futs[fut])
                if os.path.exists(out):
                    os.remove(out)
                continue
            s.record(result, kinds_, qk, out, [bg, fg])
            done += 1
            if kinds_ or qk == "qpdf":
                print("  %-9s %s" % ("/".join(kinds_ + ([qk] if qk else [])), cid), flush=True)
            if done % 200 == 0:
                print("  ... %d/%d jobs, %.0f s" % (done, len(cases), time.monotonic() - t0), flush=True)
    for cid, kind, bg, fg in retry:
        result, kinds_, qk, out = s.job(cid, kind, bg, fg)
        s.counts["timeout-retried"] += 1
        s.record(result, kinds_, qk, out, [bg, fg])
        print("  %-9s %s (run again alone: %.2f s)" % (
            "/".join(kinds_ + ([qk] if qk else [])) or "ok", cid, result["secs"]), flush=True)
    c = s.counts
    print("sweep: %d jobs in %.0f s: %d written, %d refused with a message" % (
        c["jobs"], time.monotonic() - t0, c["written"], c["refused"]))
    print("  crashes %d, sanitizer reports %d, leaks %d, timeouts %d (%d run again alone), "
          "bad exits %d" % (c["crash"], c["sanitizer"], c["leak"], c["timeout"],
                            c["timeout-retried"], c["exit"]))
    if a.qpdf:
        print("  qpdf --check: %d outputs checked, %d rejected with every input accepted, "
              "%d rejected with an input already rejected" % (
                  c["qpdf-checked"], c["qpdf"], c["qpdf-inherited"]))
    print("  slowest job: %.2f s (%s)" % s.slowest)
    print("  findings kept in %s" % os.path.join(a.work, "findings"))
    if a.json:
        with open(a.json, "w") as f:
            json.dump({"counts": c, "slowest": s.slowest, "findings": s.findings,
                       "damaged_copies": per_file}, f, indent=1)
    shutil.rmtree(os.path.join(a.work, "in"), ignore_errors=True)
    shutil.rmtree(os.path.join(a.work, "out"), ignore_errors=True)
    bad = sum(c[k] for k in ("crash", "sanitizer", "leak", "timeout", "exit", "qpdf"))
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
