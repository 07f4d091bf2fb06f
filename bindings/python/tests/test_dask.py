"""Many jobs on a Dask cluster: quiremark.dask on a LocalCluster of two worker processes."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

import quiremark
from conftest import python_env

distributed = pytest.importorskip("distributed")
import quiremark.dask  # noqa: E402  (after the skip: it needs Dask)


def test_importing_the_package_does_not_import_dask():
    code = "import sys, quiremark; print('dask' in sys.modules, 'distributed' in sys.modules)"
    shown = subprocess.run([sys.executable, "-c", code], env=python_env(), capture_output=True,
                           text=True, check=True)
    assert shown.stdout.split() == ["False", "False"]


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None)
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


@pytest.fixture
def batch(make_pdf, tmp_path: Path):
    """Twelve backgrounds of 1 to 3 pages, the fifth one damaged, and a stamp."""
    (tmp_path / "in").mkdir()
    backgrounds = [make_pdf(f"in/b{n:02}.pdf", 1 + n % 3) for n in range(12)]
    backgrounds[4].write_bytes(b"%PDF-1.4\nnothing here\n")
    return backgrounds, make_pdf("stamp.pdf")


def cli_outputs(backgrounds, stamp, out_dir: Path):
    """The outputs of `quiremark batch stamp` for the same files, by name (None when the tool
    was not built alongside)."""
    tool = os.environ.get("QUIREMARK_CLI")
    if not tool:
        return None
    subprocess.run([tool, "batch", "stamp", str(stamp), "--out-dir", str(out_dir), "--quiet"]
                   + [str(b) for b in backgrounds], check=False)
    return {p.name: p.read_bytes() for p in out_dir.iterdir()}


@pytest.mark.parametrize("transfer", ["paths", "bytes"])
def test_stamp_many_on_two_workers(client, batch, tmp_path: Path, transfer):
    backgrounds, stamp = batch
    out_dir = tmp_path / f"out-{transfer}"
    results = quiremark.dask.stamp_many(client, backgrounds, stamp, out_dir, transfer=transfer)

    assert [r.background for r in results] == backgrounds
    assert [r.ok for r in results] == [n != 4 for n in range(12)]
    failed = results[4]
    assert isinstance(failed.error, quiremark.Error)
    assert failed.error.path == str(backgrounds[4]) and failed.pages == 0
    assert not Path(failed.output).exists()
    for n, r in enumerate(results):
        if r.ok:
            assert r.pages == 1 + n % 3
            assert Path(r.output).read_bytes() == quiremark.stamp(r.background, stamp, None)
    # Nothing but the outputs in the folder.
    assert sorted(p.name for p in out_dir.iterdir()) == sorted(
        f"b{n:02}.pdf" for n in range(12) if n != 4)

    expected = cli_outputs(backgrounds, stamp, tmp_path / f"cli-{transfer}")
    if expected is not None:
        assert {p.name: p.read_bytes() for p in out_dir.iterdir()} == expected


def test_failure_message_matches_the_single_job(client, batch, tmp_path: Path):
    backgrounds, stamp = batch
    results = quiremark.dask.stamp_many(client, backgrounds[4:5], stamp, tmp_path / "o")
    with pytest.raises(quiremark.Error) as single:
        quiremark.stamp(backgrounds[4], stamp, None)
    error = results[0].error
    assert (type(error), str(error), error.path) == (type(single.value), str(single.value),
                                                     single.value.path)


def test_merge_many_and_run_many(client, make_pdf, tmp_path: Path):
    backgrounds = [make_pdf(f"m{n}.pdf", n) for n in (1, 2, 4)]
    foreground = make_pdf("fg.pdf", 3)
    merged = quiremark.dask.merge_many(client, backgrounds, foreground, tmp_path / "merged",
                                       transfer="bytes", opacity=0.25)
    assert [r.pages for r in merged] == [3, 3, 4]
    for r in merged:
        assert Path(r.output).read_bytes() == quiremark.merge(r.background, foreground, None,
                                                               opacity=0.25)

    triples = [(b, foreground, tmp_path / f"r{n}.pdf") for n, b in enumerate(backgrounds)]
    ran = quiremark.dask.run_many(client, triples, stamp=True, underlay=True)
    assert [(r.background, r.foreground, r.output) for r in ran] == triples
    assert [r.pages for r in ran] == [1, 2, 4]
    for r in ran:
        assert Path(r.output).read_bytes() == quiremark.stamp(r.background, foreground, None,
                                                               underlay=True)


def test_refused_before_any_task(client, batch, tmp_path: Path):
    backgrounds, stamp = batch
    with pytest.raises(TypeError, match="bogus"):
        quiremark.dask.stamp_many(client, backgrounds, stamp, tmp_path / "a", bogus=True)
    with pytest.raises(ValueError, match="transfer"):
        quiremark.dask.stamp_many(client, backgrounds, stamp, tmp_path / "b", transfer="ftp")
    with pytest.raises(ValueError, match="would both write"):
        quiremark.dask.run_many(client, [(backgrounds[0], stamp, tmp_path / "x.pdf"),
                                         (backgrounds[1], stamp, tmp_path / "x.pdf")], stamp=True)
    assert not (tmp_path / "a").exists() and not (tmp_path / "b").exists()


def test_small_files_are_grouped(tmp_path: Path):
    small = tmp_path / "small.pdf"
    small.write_bytes(b"%PDF-1.4\n" + b" " * 1000)
    large = tmp_path / "large.pdf"
    large.write_bytes(b"%PDF-1.4\n" + b" " * 3_000_000)
    work = [(small, small, tmp_path / f"o{n}.pdf") for n in range(100)]
    groups = quiremark.dask.group_jobs(work)
    # Every job once, in order; each task but the last worth at least about 5 ms.
    assert [k for g in groups for k in g] == list(range(100))
    assert 1 < len(groups) < 100
    assert all(len(g) >= 10 for g in groups[:-1])
    # A large file is a task of its own.
    mixed = [(small, small, tmp_path / "a.pdf"), (large, small, tmp_path / "b.pdf"),
             (large, small, tmp_path / "c.pdf")]
    assert quiremark.dask.group_jobs(mixed) == [[0, 1], [2]]
