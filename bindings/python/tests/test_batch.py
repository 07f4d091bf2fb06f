"""Many jobs at once: stamp_many, merge_many, run_many and iter_many on a pool of threads."""

from __future__ import annotations

from pathlib import Path

import pytest

import quiremark
from conftest import page_count


@pytest.fixture
def batch_files(make_pdf, tmp_path: Path):
    """Five backgrounds of 1 to 5 pages, one of them not a PDF, and a one-page stamp."""
    (tmp_path / "in").mkdir()
    backgrounds = []
    for n in range(1, 6):
        path = make_pdf(f"in/doc{n}.pdf", n)
        backgrounds.append(path)
    broken = backgrounds[2]
    broken.write_bytes(b"not a PDF at all")
    return backgrounds, broken, make_pdf("stamp.pdf")


def test_a_failing_file_does_not_stop_the_others(batch_files, tmp_path: Path):
    backgrounds, broken, stamp = batch_files
    out_dir = tmp_path / "out" / "nested"  # made when missing
    results = quiremark.stamp_many(backgrounds, stamp, out_dir, jobs=3)

    assert [r.background for r in results] == backgrounds  # in input order
    assert [r.ok for r in results] == [True, True, False, True, True]
    for n, r in enumerate(results, start=1):
        assert r.foreground == stamp
        assert r.output == str(out_dir / f"doc{n}.pdf")
        assert r.seconds >= 0
        if r.ok:
            assert r.error is None
            assert r.pages == n == page_count(Path(r.output))
            # The same bytes as the job on its own.
            assert Path(r.output).read_bytes() == quiremark.stamp(r.background, stamp, None)
        else:
            assert isinstance(r.error, quiremark.InputError)
            assert r.error.path == str(broken)
            assert r.pages == 0
            assert not Path(r.output).exists()
    # Nothing else was left in the folder: no temporary file.
    assert sorted(p.name for p in out_dir.iterdir()) == ["doc1.pdf", "doc2.pdf", "doc4.pdf",
                                                         "doc5.pdf"]


def test_merge_many_and_options(make_pdf, tmp_path: Path):
    backgrounds = [make_pdf(f"b{n}", n) for n in (1, 3)]  # outputs b1.pdf, b3.pdf
    foreground = make_pdf("fg.pdf", 2)
    results = quiremark.merge_many(backgrounds, foreground, tmp_path / "o", jobs=2,
                                   underlay=True, opacity=0.5, compact=True)
    assert [(r.ok, r.pages) for r in results] == [(True, 2), (True, 3)]
    for r in results:
        assert Path(r.output).name == Path(r.background).name + ".pdf"
        expected = quiremark.merge(r.background, foreground, None, underlay=True, opacity=0.5,
                                   compact=True)
        assert Path(r.output).read_bytes() == expected


def test_run_many_and_iter_many(make_pdf, tmp_path: Path):
    stamp = make_pdf("s.pdf")
    triples = [(make_pdf(f"b{n}.pdf", n), stamp, tmp_path / f"o{n}.pdf") for n in range(1, 9)]
    triples.append((tmp_path / "missing.pdf", stamp, tmp_path / "o-missing.pdf"))

    results = quiremark.run_many(triples, stamp=True, jobs=4)
    assert [(r.background, r.foreground, r.output) for r in results] == triples
    assert [r.pages for r in results] == list(range(1, 9)) + [0]
    assert isinstance(results[-1].error, FileNotFoundError)

    for _, _, out in triples[:-1]:
        out.unlink()
    seen = list(quiremark.iter_many(iter(triples), stamp=True, jobs=3))
    def summary(rs):
        return sorted((str(r.output), r.ok, r.pages) for r in rs)

    assert len(seen) == len(triples)
    assert summary(seen) == summary(results)
    for _, _, out in triples[:-1]:
        assert out.exists()


@pytest.mark.parametrize(
    "call, error, match",
    [
        (lambda b, s, o: quiremark.stamp_many(b, s, o, bogus=1), TypeError,
         r"stamp_many\(\) got an unexpected keyword argument 'bogus'"),
        (lambda b, s, o: quiremark.merge_many(b, s, o, opacity=2), ValueError, "opacity"),
        (lambda b, s, o: quiremark.stamp_many(b, s, o, jobs=0), ValueError, "jobs"),
        (lambda b, s, o: quiremark.run_many([(b[0], s, o / "x.pdf")], stamp=True, underlay=1,
                                            colour="red"), TypeError, "colour"),
        # iter_many checks when called, not when first iterated.
        (lambda b, s, o: quiremark.iter_many([(b[0], s, o / "x.pdf")], stamp=False, bogus=1),
         TypeError, "bogus"),
        (lambda b, s, o: quiremark.run_many([(b[0], s)], stamp=True), TypeError, "triple"),
        (lambda b, s, o: quiremark.stamp_many([b"<pdf bytes>"], s, o), TypeError, "path"),
        (lambda b, s, o: quiremark.stamp_many(b[0], s, o), TypeError, "iterable of paths"),
    ],
)
def test_refused_before_any_job(make_pdf, tmp_path: Path, call, error, match):
    backgrounds = [make_pdf("a.pdf", 1)]
    stamp = make_pdf("s.pdf")
    out_dir = tmp_path / "out"
    with pytest.raises(error, match=match):
        call(backgrounds, stamp, out_dir)
    assert not out_dir.exists()


def test_conflicts_refused_before_any_job(make_pdf, tmp_path: Path):
    (tmp_path / "x").mkdir()
    (tmp_path / "y").mkdir()
    first = make_pdf("x/report.pdf", 1)
    second = make_pdf("y/report", 1)  # report.pdf too
    stamp = make_pdf("s.pdf")
    out_dir = tmp_path / "out"
    with pytest.raises(ValueError, match=r"x/report.pdf and .*y/report would both write "
                                         r".*out/report.pdf"):
        quiremark.stamp_many([first, second], stamp, out_dir)
    assert not out_dir.exists()
    # An output that is an input, even by another name.
    with pytest.raises(ValueError, match=r"would overwrite the input .*s.pdf"):
        quiremark.run_many([(first, stamp, tmp_path / "x" / ".." / "s.pdf")], stamp=True)
    with pytest.raises(ValueError, match="would overwrite the input"):
        quiremark.stamp_many([first], stamp, tmp_path / "x")
    assert stamp.read_bytes().startswith(b"%PDF")


def test_results_carry_no_exception_raised(make_pdf, tmp_path: Path):
    """A batch of failing jobs returns; nothing is raised."""
    stamp = make_pdf("s.pdf")
    missing = [tmp_path / f"none{n}.pdf" for n in range(4)]
    results = quiremark.stamp_many(missing, stamp, tmp_path / "o", jobs=2)
    assert [r.ok for r in results] == [False] * 4
    assert all(isinstance(r.error, quiremark.InputError) for r in results)
    assert [r.error.path for r in results] == [str(p) for p in missing]
