"""Failed jobs: each kind of failure raises its exception with the library's message."""

from __future__ import annotations

import os
import pickle
from pathlib import Path

import pytest

import quiremark
from quiremark._errors import MESSAGE_LIMIT, error_from_message

NOT_A_PDF = "no PDF objects found \u2014 not a PDF: "


@pytest.fixture
def files(make_pdf, tmp_path: Path):
    """A good PDF and one file of each broken kind."""
    (tmp_path / "empty.pdf").write_bytes(b"")
    (tmp_path / "text.pdf").write_bytes(b"just some text, no objects here\n")
    return {
        "good": make_pdf("good.pdf"),
        "encrypted": make_pdf("encrypted.pdf", encrypted=True),
        "no_pages": make_pdf("nopages.pdf", []),
        "empty": tmp_path / "empty.pdf",
        "text": tmp_path / "text.pdf",
        "missing": tmp_path / "missing.pdf",
        "no_catalog_pages": _write(tmp_path / "nocatalogpages.pdf",
                                   b"%PDF-1.4\n1 0 obj\n<< /Type /Catalog >>\nendobj\n"
                                   b"trailer\n<< /Root 1 0 R >>\n%%EOF\n"),
    }


def _write(path: Path, data: bytes) -> Path:
    path.write_bytes(data)
    return path


# (broken file, which input it is, expected class, kind, message before the path)
INPUT_CASES = [
    ("missing", "background", quiremark.InputError, "input", "cannot open "),
    ("missing", "foreground", quiremark.InputError, "input", "cannot open "),
    ("empty", "background", quiremark.InputError, "input", "empty input file: "),
    ("text", "foreground", quiremark.InputError, "input", NOT_A_PDF),
    ("encrypted", "background", quiremark.EncryptedError, "encrypted",
     "encrypted PDFs are not supported: "),
    ("encrypted", "foreground", quiremark.EncryptedError, "encrypted",
     "encrypted PDFs are not supported: "),
]


@pytest.mark.usefixtures("library")
@pytest.mark.parametrize("job", ["stamp", "merge"])
@pytest.mark.parametrize("broken, role, cls, kind, head", INPUT_CASES)
def test_input_failures(files, tmp_path: Path, job, broken, role, cls, kind, head):
    out = tmp_path / "out.pdf"
    args = {"background": files["good"], "foreground": files["good"]}
    args[role] = files[broken]
    with pytest.raises(cls) as info:
        getattr(quiremark, job)(args["background"], args["foreground"], out)
    err = info.value
    assert isinstance(err, quiremark.Error)
    assert str(err) == err.message == head + str(files[broken])
    assert (err.kind, err.role, err.path) == (kind, role, str(files[broken]))
    assert not out.exists()


@pytest.mark.usefixtures("library")
@pytest.mark.parametrize("role", ["background", "foreground"])
def test_document_without_pages(files, tmp_path: Path, role):
    args = {"background": files["good"], "foreground": files["good"]}
    args[role] = files["no_pages"]
    with pytest.raises(quiremark.NoPagesError) as info:
        quiremark.stamp(args["background"], args["foreground"], tmp_path / "out.pdf")
    # The loader refuses a page tree without pages before the job counts pages.
    assert str(info.value) == "document has no pages"
    assert info.value.kind == "no_pages"


@pytest.mark.usefixtures("library")
def test_broken_catalog(files, tmp_path: Path):
    with pytest.raises(quiremark.PageTreeError) as info:
        quiremark.merge(files["no_catalog_pages"], files["good"], tmp_path / "out.pdf")
    assert str(info.value) == "catalog (obj 1) has no /Pages reference"
    assert info.value.kind == "page_tree"


@pytest.mark.usefixtures("library")
def test_output_cannot_be_created(files, tmp_path: Path):
    out = tmp_path / "no such dir" / "out.pdf"
    with pytest.raises(quiremark.OutputError) as info:
        quiremark.stamp(files["good"], files["good"], out)
    err = info.value
    assert str(err) == f"cannot open {out} for writing"
    assert (err.kind, err.role, err.path) == ("output", "output", str(out))


@pytest.mark.usefixtures("library")
@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_write_error(make_pdf):
    # The output must be larger than the C library's stream buffer, so that the one write call
    # reaches the device and comes back short.
    from pdfwriter import Page

    big = make_pdf("big.pdf", [Page(content=b"0 0 m 100 100 l S\n" * 20000)])
    with pytest.raises(quiremark.OutputError) as info:
        quiremark.stamp(big, big, "/dev/full")
    assert str(info.value) == "write error on /dev/full"
    assert info.value.role == "output"


@pytest.mark.usefixtures("library")
def test_first_failure_wins_and_success_clears(files, tmp_path: Path):
    # Both inputs are broken: the background is loaded first, so its message is the one reported.
    with pytest.raises(quiremark.InputError) as info:
        quiremark.stamp(files["missing"], files["encrypted"], tmp_path / "out.pdf")
    assert info.value.role == "background"
    quiremark.stamp(files["good"], files["good"], tmp_path / "out.pdf")  # raises nothing


@pytest.mark.usefixtures("library")
def test_long_path_message_is_cut_but_still_classified(files, tmp_path: Path):
    # A message is cut after 1023 bytes: " for writing" is lost, the kind is not.
    out = tmp_path / ("d" * 200) / ("d" * 200) / ("d" * 200) / ("d" * 200) / ("x" * 200 + ".pdf")
    with pytest.raises(quiremark.OutputError) as info:
        quiremark.stamp(files["good"], files["good"], out)
    expected = f"cannot open {out} for writing".encode()[:MESSAGE_LIMIT].decode()
    assert str(info.value) == expected
    assert info.value.role == "output" and info.value.path == str(out)


# The classifier alone, over every message the library writes; no library needed.
P = [("background", b"/bg.pdf"), ("foreground", b"/fg.pdf"), ("output", b"/out.pdf")]

# (message, class, role, path)
MESSAGES = [
    (b"cannot open /bg.pdf", quiremark.InputError, "background", "/bg.pdf"),
    (b"cannot open /fg.pdf", quiremark.InputError, "foreground", "/fg.pdf"),
    (b"empty input file: /fg.pdf", quiremark.InputError, "foreground", "/fg.pdf"),
    (b"read error on /bg.pdf", quiremark.InputError, "background", "/bg.pdf"),
    (NOT_A_PDF.encode() + b"/bg.pdf", quiremark.InputError, "background", "/bg.pdf"),
    (b"encrypted PDFs are not supported: /fg.pdf", quiremark.EncryptedError, "foreground",
     "/fg.pdf"),
    (b"cannot open /out.pdf for writing", quiremark.OutputError, "output", "/out.pdf"),
    (b"write error on /out.pdf", quiremark.OutputError, "output", "/out.pdf"),
    (b"document has no pages", quiremark.NoPagesError, None, None),
    (b"background PDF has no pages", quiremark.NoPagesError, "background", None),
    (b"foreground PDF has no pages", quiremark.NoPagesError, "foreground", None),
    (b"catalog (obj 12) has no /Pages reference", quiremark.PageTreeError, None, None),
    ("page tree uses inline page dictionaries in /Kids \u2014 pages must be indirect objects"
     .encode(), quiremark.PageTreeError, None, None),
    (b"could not resolve the page tree (obj 2 is not a /Pages or /Page object, or tree is broken)",
     quiremark.PageTreeError, None, None),
    (b"invalid total page count: 1000001", quiremark.LimitError, None, None),
    (b"too many objects for one output file: 9000000", quiremark.LimitError, None, None),
    (b"output too large for /out.pdf: objects beyond byte 9999999999 cannot be listed in the "
     b"cross-reference table", quiremark.LimitError, "output", "/out.pdf"),
    (b"out of memory", quiremark.OutOfMemoryError, None, None),
    (b"failed to build form XObject for background page 3", quiremark.OutOfMemoryError,
     "background", None),
    (b"failed to build form XObject for foreground page 1", quiremark.OutOfMemoryError,
     "foreground", None),
    (b"failed to build stamp form XObject", quiremark.OutOfMemoryError, "foreground", None),
    # Messages naming a file that is none of the job's paths still get their kind.
    (b"cannot open /elsewhere.pdf", quiremark.InputError, None, None),
    (b"cannot open /elsewhere.pdf for writing", quiremark.OutputError, "output", None),
    (b"encrypted PDFs are not supported: /elsewhere.pdf", quiremark.EncryptedError, None, None),
]


@pytest.mark.parametrize("raw, cls, role, path", MESSAGES)
def test_classifier(raw: bytes, cls, role, path):
    err = error_from_message(raw, P)
    assert type(err) is cls
    assert err.kind == cls.kind
    assert err.message == raw.decode()
    assert (err.role, err.path) == (role, path)


def test_same_file_as_both_inputs_is_reported_as_the_background():
    err = error_from_message(b"cannot open /x.pdf", [("background", b"/x.pdf"),
                                                     ("foreground", b"/x.pdf"),
                                                     ("output", b"/o.pdf")])
    assert err.role == "background"


@pytest.mark.parametrize("raw", [b"NULL path argument",
                                 b"invalid mode 2: must be 0 (foreground on top) or 1 (underlay)"])
def test_argument_messages(raw: bytes):
    err = error_from_message(raw, P)
    assert type(err) is quiremark.Error and err.kind == "argument"


def test_unknown_internal_and_empty_messages():
    assert error_from_message(b"something new", P).kind == "unknown"
    assert error_from_message(b"internal error: bad_cast", P).kind == "internal"
    assert str(error_from_message(b"", P)) == "the job failed without a message"


def test_out_of_memory_is_a_memory_error():
    assert isinstance(error_from_message(b"out of memory"), MemoryError)


def test_non_utf8_path_round_trips():
    path = b"/tmp/caf\xe9.pdf"  # Latin-1, not UTF-8
    err = error_from_message(b"cannot open " + path, [("background", path)])
    assert err.path == os.fsdecode(path)
    assert os.fsencode(err.path) == path
    assert err.message.encode("utf-8", "surrogateescape") == b"cannot open " + path


def test_cut_message_inside_a_utf8_sequence():
    path = ("\u00e9" * 600).encode()  # 1200 bytes; the cut falls inside a two-byte sequence
    raw = (b"cannot open " + path)[:MESSAGE_LIMIT]
    err = error_from_message(raw, [("background", path)])
    assert type(err) is quiremark.InputError and err.role == "background"
    assert err.message.encode("utf-8", "surrogateescape") == raw


def test_exceptions_pickle_with_their_details():
    err = error_from_message(b"encrypted PDFs are not supported: /fg.pdf", P)
    copy = pickle.loads(pickle.dumps(err))
    assert type(copy) is quiremark.EncryptedError
    assert (str(copy), copy.role, copy.path) == (str(err), "foreground", "/fg.pdf")


def test_hierarchy():
    for cls in (quiremark.InputError, quiremark.EncryptedError, quiremark.NoPagesError,
                quiremark.PageTreeError, quiremark.LimitError, quiremark.OutputError,
                quiremark.OutOfMemoryError):
        assert issubclass(cls, quiremark.Error)
    assert not issubclass(quiremark.LibraryNotFoundError, quiremark.Error)
