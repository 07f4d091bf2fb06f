"""Jobs on several threads: each job reports its own outcome, and runs without the interpreter
lock."""

from __future__ import annotations

import subprocess
import sys
import threading
from pathlib import Path

import pytest

import quiremark
from conftest import page_count, python_env

THREADS = 8
ROUNDS = 40


def test_each_thread_gets_its_own_message(make_pdf, tmp_path: Path):
    good = make_pdf("good.pdf", 2)
    stamp = make_pdf("stamp.pdf")
    good_bytes = good.read_bytes()
    results: dict = {}
    start = threading.Barrier(THREADS)

    def worker(index: int) -> None:
        start.wait()
        seen = []
        for round_ in range(ROUNDS):
            # Threads 1 and 5 succeed on paths, 3 and 7 in memory; even threads fail, each
            # naming a file of its own.
            if index % 4 == 1:
                out = tmp_path / f"out-{index}-{round_}.pdf"
                quiremark.stamp(good, stamp, out)
                seen.append(page_count(out))
            elif index % 4 == 3:
                seen.append(quiremark.stamp(good_bytes, stamp, None).count(b"/Type /Page "))
            else:
                missing = tmp_path / f"missing-{index}-{round_}.pdf"
                try:
                    quiremark.stamp(missing, stamp, tmp_path / f"never-{index}.pdf")
                except quiremark.InputError as exc:
                    seen.append((str(exc), exc.path) == (f"cannot open {missing}", str(missing)))
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
        assert seen == [2 if index % 2 else True] * ROUNDS, index


# A job whose input is a named pipe waits in open() until a writer comes. The writer here is the
# main thread: it can only get to run if the job released the interpreter lock, and the job can
# only finish once the main thread has written. Run in a child process with a time limit, so that
# a lock held by mistake fails the test instead of hanging it.
FIFO_CHILD = r"""
import os, sys, threading
import quiremark

fifo, fg, pdf_path = sys.argv[1:4]
pdf = open(pdf_path, "rb").read()
result = {}

def job():
    result["pdf"] = quiremark.stamp(fifo, fg, None)

t = threading.Thread(target=job)
t.start()
with open(fifo, "wb") as w:   # blocks until the job has opened the pipe for reading
    for i in range(0, len(pdf), 1000):
        w.write(pdf[i:i + 1000])
        w.flush()
t.join()
print(result["pdf"].count(b"/Type /Page "))
"""


@pytest.mark.skipif(sys.platform == "win32", reason="needs named pipes")
def test_jobs_release_the_interpreter_lock_and_read_pipes_whole(make_pdf, tmp_path: Path):
    import os

    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)
    bg = make_pdf("bg.pdf", 3)
    done = subprocess.run([sys.executable, "-c", FIFO_CHILD, str(fifo), str(make_pdf("fg.pdf")),
                           str(bg)], env=python_env(), capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "3"


def test_returned_bytes_on_one_thread_match_the_files_whatever_ran_before(make_pdf, tmp_path: Path):
    # A thread sizes the bytes object of its next returned PDF by its last one: a job after a
    # smaller one, after a much larger one, after a failed one and after one written to a file
    # gives exactly the bytes that the same job writes to a file. Past about 100 KB the room
    # ends with the last PDF's last page: 310 pages after 300 do not fit in it, 301 after 310
    # do.
    stamp = make_pdf("stamp.pdf")
    docs = [make_pdf(f"doc{n}.pdf", n) for n in (1, 400, 2, 60, 300, 310, 301)]
    missing = tmp_path / "missing.pdf"
    expected = []
    for k, doc in enumerate(docs):
        out = tmp_path / f"expected{k}.pdf"
        quiremark.stamp(doc, stamp, out)
        expected.append(out.read_bytes())
    got: list = []
    failures: list = []

    def worker() -> None:
        for round_ in range(2):
            for k, doc in enumerate(docs):
                got.append((k, quiremark.stamp(doc, stamp, None)))
                try:
                    quiremark.stamp(missing, stamp, None)
                except quiremark.Error as e:
                    failures.append(e)
                quiremark.stamp(doc, stamp, tmp_path / f"side{round_}{k}.pdf")

    thread = threading.Thread(target=worker)
    thread.start()
    thread.join()
    assert len(got) == 2 * len(docs) and len(failures) == 2 * len(docs)
    for k, data in got:
        assert isinstance(data, bytes)
        assert data == expected[k], f"document {k}"
    assert len(expected[1]) > 4 * len(expected[3]) > 4 * len(expected[0])
    assert 100_000 < len(expected[4]) < len(expected[6]) < len(expected[4]) + 4096 < len(expected[5])
