"""Jobs on several threads: each failing job reports its own message."""

from __future__ import annotations

import threading
from pathlib import Path

import pytest

import quiremark
from conftest import page_count

pytestmark = pytest.mark.usefixtures("library")

THREADS = 8
ROUNDS = 40


def test_each_thread_gets_its_own_message(make_pdf, tmp_path: Path):
    good = make_pdf("good.pdf", 2)
    stamp = make_pdf("stamp.pdf")
    results: dict = {}
    start = threading.Barrier(THREADS)

    def worker(index: int) -> None:
        start.wait()
        seen = []
        for round_ in range(ROUNDS):
            # Odd threads succeed, even threads fail, each naming a file of its own.
            if index % 2:
                out = tmp_path / f"out-{index}-{round_}.pdf"
                quiremark.stamp(good, stamp, out)
                seen.append(out)
            else:
                missing = tmp_path / f"missing-{index}-{round_}.pdf"
                try:
                    quiremark.stamp(missing, stamp, tmp_path / f"never-{index}.pdf")
                except quiremark.InputError as exc:
                    seen.append((str(exc), f"cannot open {missing}"))
                else:
                    seen.append("no exception")
        results[index] = seen

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()

    assert sorted(results) == list(range(THREADS))
    for index, seen in results.items():
        assert len(seen) == ROUNDS
        for item in seen:
            if index % 2:
                assert page_count(item) == 2
            else:
                got, expected = item
                assert got == expected


def test_lock_is_released_after_a_failure(make_pdf, tmp_path: Path):
    # A failing job must not leave the lock held: a job on another thread still runs.
    with pytest.raises(quiremark.InputError):
        quiremark.stamp(tmp_path / "missing.pdf", make_pdf("fg.pdf"), tmp_path / "o.pdf")
    done = []
    t = threading.Thread(target=lambda: done.append(
        quiremark.stamp(make_pdf("bg.pdf"), make_pdf("fg.pdf"), tmp_path / "o.pdf")))
    t.start()
    t.join(60)
    assert done == [None]
