"""Inputs and outputs that are not paths: PDFs as bytes-like objects and file objects, and the new
PDF as bytes or written to a file object."""

from __future__ import annotations

import array
import io
from pathlib import Path

import pytest

import quiremark
from conftest import page_count

# Each form of an input, made from the PDF's bytes and a scratch folder.
INPUT_FORMS = {
    "bytes": lambda data, tmp: data,
    "bytearray": lambda data, tmp: bytearray(data),
    "memoryview": lambda data, tmp: memoryview(data),
    "memoryview slice": lambda data, tmp: memoryview(b"xx" + data + b"yy")[2:-2],
    "strided memoryview": lambda data, tmp: memoryview(bytes(b for c in data for b in (c, 0)))[::2],
    "BytesIO": lambda data, tmp: io.BytesIO(data),
    "open file": lambda data, tmp: _opened(tmp, data),
}


_OPENED: list = []


def _opened(tmp: Path, data: bytes):
    path = tmp / "opened.pdf"
    path.write_bytes(data)
    f = open(path, "rb")
    _OPENED.append(f)
    return f


@pytest.fixture(autouse=True)
def _close_opened():
    yield
    while _OPENED:
        _OPENED.pop().close()


@pytest.fixture
def pdfs(make_pdf):
    return make_pdf("bg.pdf", 3).read_bytes(), make_pdf("fg.pdf", 1).read_bytes()


@pytest.fixture
def reference(pdfs, tmp_path: Path) -> bytes:
    """The output of the same stamp job with both inputs given as paths."""
    (tmp_path / "r-bg.pdf").write_bytes(pdfs[0])
    (tmp_path / "r-fg.pdf").write_bytes(pdfs[1])
    quiremark.stamp(tmp_path / "r-bg.pdf", tmp_path / "r-fg.pdf", tmp_path / "ref.pdf")
    return (tmp_path / "ref.pdf").read_bytes()


@pytest.mark.parametrize("form", INPUT_FORMS)
@pytest.mark.parametrize("role", ["background", "foreground"])
def test_input_forms_give_the_same_pdf(pdfs, reference, tmp_path: Path, form, role):
    args = {"background": tmp_path / "r-bg.pdf", "foreground": tmp_path / "r-fg.pdf"}
    index = 0 if role == "background" else 1
    args[role] = INPUT_FORMS[form](pdfs[index], tmp_path)
    out = tmp_path / "out.pdf"
    quiremark.stamp(args["background"], args["foreground"], out)
    assert out.read_bytes() == reference


def test_both_inputs_in_memory_and_output_as_bytes(pdfs, reference):
    data = quiremark.stamp(pdfs[0], bytearray(pdfs[1]), None)
    assert type(data) is bytes
    assert data == reference


def test_memoryview_of_wider_items(pdfs):
    data = pdfs[0] + b"\n" * (-len(pdfs[0]) % 2)  # whitespace after %%EOF changes nothing
    words = array.array("H")
    words.frombytes(data)
    assert quiremark.stamp(memoryview(words), pdfs[1], None) == quiremark.stamp(data, pdfs[1],
                                                                                 None)


def test_file_object_is_read_from_where_it_stands(pdfs, reference):
    f = io.BytesIO(b"junk that is skipped" + pdfs[0])
    f.seek(len(b"junk that is skipped"))
    assert quiremark.stamp(f, pdfs[1], None) == reference
    assert f.tell() == len(f.getvalue())


class RawWriter(io.RawIOBase):
    """A raw binary stream that stores at most 1000 bytes per write() and says how many."""

    def __init__(self) -> None:
        self.data = bytearray()
        self.calls = 0

    def writable(self) -> bool:
        return True

    def write(self, b) -> int:  # type: ignore[override]
        self.calls += 1
        chunk = bytes(b[:1000])
        self.data += chunk
        return len(chunk)


def test_output_to_file_objects(pdfs, reference, tmp_path: Path):
    buffer = io.BytesIO()
    assert quiremark.stamp(pdfs[0], pdfs[1], buffer) is None
    assert buffer.getvalue() == reference

    raw = RawWriter()
    quiremark.stamp(pdfs[0], pdfs[1], raw)
    assert bytes(raw.data) == reference
    assert raw.calls == -(-len(reference) // 1000)

    with open(tmp_path / "via-file.pdf", "wb") as f:
        quiremark.stamp(pdfs[0], pdfs[1], f)
    assert (tmp_path / "via-file.pdf").read_bytes() == reference
    assert page_count(tmp_path / "via-file.pdf") == 3


def test_failed_job_writes_nothing_to_the_file_object(pdfs):
    buffer = io.BytesIO()
    with pytest.raises(quiremark.InputError):
        quiremark.stamp(b"not a pdf", pdfs[1], buffer)
    assert buffer.getvalue() == b""


# (input, message); bytes-like inputs are named "<bytes>" in messages, file objects by their name
FAILURES = [
    (lambda tmp: b"", "empty input file: <bytes>"),
    (lambda tmp: bytearray(b"hello"), "no PDF objects found \u2014 not a PDF: <bytes>"),
    (lambda tmp: io.BytesIO(b"hello"), "no PDF objects found \u2014 not a PDF: <file>"),
    (lambda tmp: _opened(tmp, b"hello"),
     "no PDF objects found \u2014 not a PDF: {tmp}/opened.pdf"),
]


@pytest.mark.parametrize("make, message", FAILURES)
def test_failures_of_inputs_in_memory(pdfs, tmp_path: Path, make, message):
    with pytest.raises(quiremark.InputError) as info:
        quiremark.merge(pdfs[0], make(tmp_path), None)
    err = info.value
    assert str(err) == message.format(tmp=tmp_path)
    # The role is known; there is no path, since none was given.
    assert (err.role, err.path) == ("foreground", None)
    assert not isinstance(err, OSError)


def test_memory_input_without_pages(make_pdf):
    with pytest.raises(quiremark.NoPagesError) as info:
        quiremark.stamp(make_pdf("nopages.pdf", []).read_bytes(), make_pdf("fg.pdf"), None)
    assert (str(info.value), info.value.role, info.value.path) == (
        "document has no pages", "background", None)


class Unreadable:
    def read(self):
        raise OSError(5, "Input/output error")


@pytest.mark.parametrize("role", ["background", "foreground"])
def test_text_streams_and_bad_readers_are_refused(pdfs, tmp_path: Path, role):
    def call(bad):
        args = {"background": pdfs[0], "foreground": pdfs[1]}
        args[role] = bad
        return quiremark.stamp(args["background"], args["foreground"], None)

    with pytest.raises(TypeError, match=f"{role} file object must be opened in binary mode"):
        call(io.StringIO("%PDF-1.4"))

    class TextReader:  # not an io.TextIOBase, but read() gives str
        def read(self):
            return "%PDF-1.4"

    with pytest.raises(TypeError, match=f"{role} file object must be opened in binary mode"):
        call(TextReader())

    class NumberReader:
        def read(self):
            return 42

    with pytest.raises(TypeError, match=r"read\(\) must return bytes, not int"):
        call(NumberReader())
    with pytest.raises(OSError, match="Input/output error"):  # the file object's own error
        call(Unreadable())


def test_text_output_is_refused_before_anything_is_read(pdfs):
    source = io.BytesIO(pdfs[0])
    with pytest.raises(TypeError, match="output file object must be opened in binary mode"):
        quiremark.stamp(source, pdfs[1], io.StringIO())
    assert source.tell() == 0


def test_a_refused_input_leaves_the_other_file_object_unread(pdfs):
    source = io.BytesIO(pdfs[0])
    with pytest.raises(TypeError):
        quiremark.stamp(source, 42, None)
    assert source.tell() == 0


def test_bytearray_is_released_after_the_job(pdfs, reference):
    # The job reads the caller's bytes in place, holding the bytearray's buffer (which locks it
    # against resizing) for the job's duration only.
    data = bytearray(pdfs[0])
    assert quiremark.stamp(data, pdfs[1], None) == reference
    data += b"\n"  # resizable again once the job is over
    assert quiremark.stamp(data, pdfs[1], None) == reference
