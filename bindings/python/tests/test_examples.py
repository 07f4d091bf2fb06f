"""The Python examples in examples/ run as documented."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

from conftest import SOURCE_DIR, page_count, python_env

EXAMPLES = SOURCE_DIR / "examples"
pytestmark = pytest.mark.skipif(not EXAMPLES.is_dir(), reason="not in a quiremark checkout")


def run(script: str, *args: object) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, str(EXAMPLES / script), *map(str, args)],
                          env=python_env(), capture_output=True, text=True)


@pytest.mark.parametrize("size, box", [("a4", b"[0 0 595 842]"), ("letter", b"[0 0 612 792]"),
                                       ("300x200", b"[0 0 300 200]")])
def test_make_watermark(tmp_path: Path, size: str, box: bytes):
    out = tmp_path / "wm.pdf"
    done = run("make_watermark.py", "CONFIDENTIAL (copy)", out, "--size", size, "--alpha", "0.25")
    assert done.returncode == 0, done.stderr
    assert page_count(out) == 1
    data = out.read_bytes()
    assert b"/MediaBox " + box in data
    assert b"/ca 0.2500 /CA 0.2500" in data
    assert b"(CONFIDENTIAL \\(copy\\)) Tj" in data


@pytest.mark.parametrize("args", [["--size", "0x5"], ["--color", "1,2,3"], ["--size", "huge"]])
def test_make_watermark_refuses_bad_options(tmp_path: Path, args):
    done = run("make_watermark.py", "X", tmp_path / "wm.pdf", *args)
    assert done.returncode == 2
    assert not (tmp_path / "wm.pdf").exists()


def test_stamp_watermark(make_pdf, tmp_path: Path):
    wm = tmp_path / "wm.pdf"
    assert run("make_watermark.py", "DRAFT", wm).returncode == 0
    inputs = [make_pdf("a.pdf", 3), make_pdf("b.pdf", 1)]
    done = run("stamp_watermark.py", wm, tmp_path / "out", *inputs)
    assert done.returncode == 0, done.stderr
    assert page_count(tmp_path / "out" / "a.pdf") == 3
    assert page_count(tmp_path / "out" / "b.pdf") == 1
    assert done.stdout.splitlines() == [f"{p} -> {tmp_path / 'out' / p.name}" for p in inputs]


def test_stamp_watermark_reports_each_failure(make_pdf, tmp_path: Path):
    wm = make_pdf("wm.pdf")
    secret = make_pdf("secret.pdf", encrypted=True)
    good = make_pdf("good.pdf", 2)
    missing = tmp_path / "missing.pdf"
    done = run("stamp_watermark.py", "--under", wm, tmp_path / "out", secret, missing, good)
    assert done.returncode == 1
    assert done.stderr.splitlines() == [
        f"{secret}: skipped, encrypted PDFs cannot be stamped",
        f"{missing}: cannot open {missing}",
    ]
    assert page_count(tmp_path / "out" / "good.pdf") == 2


def test_stamp_on_dask(make_pdf, tmp_path: Path):
    pytest.importorskip("distributed")
    inputs = [make_pdf("a.pdf", 2), make_pdf("b.pdf", 1), tmp_path / "missing.pdf"]
    stamp = make_pdf("s.pdf")
    for extra in ([], ["--bytes"]):
        out = tmp_path / ("out" + "".join(extra))
        done = run("stamp_on_dask.py", stamp, out, *inputs, "--workers", "2", *extra)
        assert done.returncode == 1, done.stderr
        assert done.stdout.splitlines() == [f"{inputs[0]} -> {out / 'a.pdf'} (2 pages)",
                                            f"{inputs[1]} -> {out / 'b.pdf'} (1 pages)"]
        assert f"{inputs[2]}: cannot open {inputs[2]}" in done.stderr
        assert page_count(out / "a.pdf") == 2
