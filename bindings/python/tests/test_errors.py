"""Failed jobs: each kind of failure raises its exception with the library's message, the file it
concerns, and for a failed system call the matching OSError."""

from __future__ import annotations

import errno
import os
import pickle
from pathlib import Path

import pytest

import quiremark
from quiremark import _errors
from quiremark._errors import MESSAGE_LIMIT, error_from_result

NOT_A_PDF = "no PDF objects found \u2014 not a PDF: "


def _write(path: Path, data: bytes) -> Path:
    path.write_bytes(data)
    return path


@pytest.fixture
def files(make_pdf, tmp_path: Path):
    """A good PDF and one file of each broken kind."""
    (tmp_path / "folder").mkdir()
    return {
        "good": make_pdf("good.pdf"),
        "encrypted": make_pdf("encrypted.pdf", encrypted=True),
        "no_pages": make_pdf("nopages.pdf", []),
        "empty": _write(tmp_path / "empty.pdf", b""),
        "text": _write(tmp_path / "text.pdf", b"just some text, no objects here\n"),
        "missing": tmp_path / "missing.pdf",
        "folder": tmp_path / "folder",
        "no_catalog_pages": _write(tmp_path / "nocatalogpages.pdf",
                                   b"%PDF-1.4\n1 0 obj\n<< /Type /Catalog >>\nendobj\n"
                                   b"trailer\n<< /Root 1 0 R >>\n%%EOF\n"),
    }


# (broken file, expected class, OSError class or None, kind, message before the path)
INPUT_CASES = [
    ("missing", quiremark.InputError, FileNotFoundError, "input", "cannot open "),
    ("folder", quiremark.InputError, IsADirectoryError, "input", "cannot open "),
    ("empty", quiremark.InputError, None, "input", "empty input file: "),
    ("text", quiremark.InputError, None, "input", NOT_A_PDF),
    ("encrypted", quiremark.EncryptedError, None, "encrypted",
     "encrypted PDFs are not supported: "),
]


@pytest.mark.parametrize("job", ["stamp", "merge"])
@pytest.mark.parametrize("role", ["background", "foreground"])
@pytest.mark.parametrize("broken, cls, os_cls, kind, head", INPUT_CASES)
def test_input_failures(files, tmp_path: Path, job, role, broken, cls, os_cls, kind, head):
    out = tmp_path / "out.pdf"
    args = {"background": files["good"], "foreground": files["good"]}
    args[role] = files[broken]
    with pytest.raises(cls) as info:
        getattr(quiremark, job)(args["background"], args["foreground"], out)
    err = info.value
    assert isinstance(err, quiremark.Error)
    assert str(err) == err.message == head + str(files[broken])
    assert (err.kind, err.role, err.path) == (kind, role, str(files[broken]))
    if os_cls is None:
        assert not isinstance(err, OSError)
    else:
        assert isinstance(err, os_cls)
        assert err.errno == {FileNotFoundError: errno.ENOENT,
                             IsADirectoryError: errno.EISDIR}[os_cls]
        assert err.strerror == os.strerror(err.errno)
        assert err.filename == str(files[broken])
    assert not out.exists()


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_unreadable_input_is_a_permission_error(files, tmp_path: Path):
    locked = _write(tmp_path / "locked.pdf", files["good"].read_bytes())
    locked.chmod(0)
    with pytest.raises(PermissionError) as info:
        quiremark.stamp(files["good"], locked, tmp_path / "out.pdf")
    err = info.value
    assert isinstance(err, quiremark.InputError)
    assert (str(err), err.role, err.errno) == (f"cannot open {locked}", "foreground",
                                               errno.EACCES)


@pytest.mark.parametrize("role", ["background", "foreground"])
def test_failures_that_name_no_file_still_tell_which(files, tmp_path: Path, role):
    args = {"background": files["good"], "foreground": files["good"]}
    args[role] = files["no_pages"]
    with pytest.raises(quiremark.NoPagesError) as info:
        quiremark.stamp(args["background"], args["foreground"], tmp_path / "out.pdf")
    # The loader refuses a page tree without pages before the job counts pages.
    err = info.value
    assert str(err) == "document has no pages"
    assert (err.kind, err.role, err.path) == ("no_pages", role, str(files["no_pages"]))
    assert not isinstance(err, OSError)


def test_broken_catalog(files, tmp_path: Path):
    with pytest.raises(quiremark.PageTreeError) as info:
        quiremark.merge(files["good"], files["no_catalog_pages"], tmp_path / "out.pdf")
    err = info.value
    assert str(err) == "catalog (obj 1) has no /Pages reference"
    assert (err.kind, err.role, err.path) == ("page_tree", "foreground",
                                              str(files["no_catalog_pages"]))


# (how the output path is broken, OSError class, errno)
OUTPUT_CASES = [
    ("no such dir/out.pdf", FileNotFoundError, errno.ENOENT),
    ("good.pdf/out.pdf", NotADirectoryError, errno.ENOTDIR),  # a file where a folder should be
    ("folder", IsADirectoryError, errno.EISDIR),
]


@pytest.mark.parametrize("name, os_cls, code", OUTPUT_CASES)
def test_output_cannot_be_created(files, tmp_path: Path, name, os_cls, code):
    out = tmp_path / name
    with pytest.raises(quiremark.OutputError) as info:
        quiremark.stamp(files["good"], files["good"], out)
    err = info.value
    assert isinstance(err, os_cls)
    assert str(err) == f"cannot open {out} for writing"
    assert (err.kind, err.role, err.path) == ("output", "output", str(out))
    assert (err.errno, err.strerror, err.filename) == (code, os.strerror(code), str(out))


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_write_error(make_pdf):
    from pdfwriter import Page

    big = make_pdf("big.pdf", [Page(content=b"0 0 m 100 100 l S\n" * 20000)])
    with pytest.raises(quiremark.OutputError) as info:
        quiremark.stamp(big, big, "/dev/full")
    err = info.value
    assert str(err) == "write error on /dev/full"
    assert (err.role, err.path) == ("output", "/dev/full")
    assert isinstance(err, OSError) and err.errno == errno.ENOSPC


def test_first_failure_wins_and_success_clears(files, tmp_path: Path):
    # Both inputs are broken: the background is loaded first, so its failure is the one reported.
    with pytest.raises(quiremark.InputError) as info:
        quiremark.stamp(files["missing"], files["encrypted"], tmp_path / "out.pdf")
    assert info.value.role == "background"
    quiremark.stamp(files["good"], files["good"], tmp_path / "out.pdf")  # raises nothing


def test_long_path_message_is_cut_but_still_classified(files, tmp_path: Path):
    # A message is cut after 1023 bytes: " for writing" is lost, the kind is not.
    out = tmp_path / ("d" * 200) / ("d" * 200) / ("d" * 200) / ("d" * 200) / ("x" * 200 + ".pdf")
    with pytest.raises(quiremark.OutputError) as info:
        quiremark.stamp(files["good"], files["good"], out)
    expected = f"cannot open {out} for writing".encode()[:MESSAGE_LIMIT].decode()
    assert str(info.value) == expected
    assert info.value.role == "output" and info.value.path == str(out)
    assert isinstance(info.value, OSError)


# The classifier alone, over every message the library writes.
# (message, role the job reports, class)
MESSAGES = [
    (b"cannot open /bg.pdf", "background", quiremark.InputError),
    (b"empty input file: /fg.pdf", "foreground", quiremark.InputError),
    (b"read error on /bg.pdf", "background", quiremark.InputError),
    (NOT_A_PDF.encode() + b"/bg.pdf", "background", quiremark.InputError),
    (b"encrypted PDFs are not supported: /fg.pdf", "foreground", quiremark.EncryptedError),
    (b"cannot open /out.pdf for writing", "output", quiremark.OutputError),
    (b"write error on /out.pdf", "output", quiremark.OutputError),
    (b"document has no pages", "background", quiremark.NoPagesError),
    (b"background PDF has no pages", "background", quiremark.NoPagesError),
    (b"foreground PDF has no pages", "foreground", quiremark.NoPagesError),
    (b"catalog (obj 12) has no /Pages reference", "foreground", quiremark.PageTreeError),
    ("page tree uses inline page dictionaries in /Kids \u2014 pages must be indirect objects"
     .encode(), "background", quiremark.PageTreeError),
    (b"could not resolve the page tree (obj 2 is not a /Pages or /Page object, or tree is broken)",
     "background", quiremark.PageTreeError),
    (b"invalid total page count: 1000001", None, quiremark.LimitError),
    (b"too many objects for one output file: 9000000", "output", quiremark.LimitError),
    (b"output too large for /out.pdf: objects beyond byte 9999999999 cannot be listed in the "
     b"cross-reference table", "output", quiremark.LimitError),
    (b"out of memory", None, quiremark.OutOfMemoryError),
    (b"failed to build form XObject for background page 3", "background",
     quiremark.OutOfMemoryError),
    (b"failed to build form XObject for foreground page 1", "foreground",
     quiremark.OutOfMemoryError),
    (b"failed to build stamp form XObject", "foreground", quiremark.OutOfMemoryError),
]


@pytest.mark.parametrize("raw, role, cls", MESSAGES)
def test_classifier(raw: bytes, role, cls):
    err = error_from_result(raw, role, "/given.pdf" if role else None)
    assert type(err) is cls
    assert err.kind == cls.kind
    assert err.message == raw.decode()
    assert (err.role, err.path) == (role, "/given.pdf" if role else None)


@pytest.mark.parametrize("raw", [b"NULL path argument",
                                 b"invalid mode 2: must be 0 (foreground on top) or 1 (underlay)"])
def test_argument_messages(raw: bytes):
    err = error_from_result(raw)
    assert type(err) is quiremark.Error and err.kind == "argument"


def test_unknown_internal_and_empty_messages():
    assert error_from_result(b"something new").kind == "unknown"
    assert error_from_result(b"internal error: bad_cast").kind == "internal"
    assert str(error_from_result(b"")) == "the job failed without a message"
    assert error_from_result(b"something new", "nonsense").role is None


@pytest.mark.parametrize("code, os_cls", [(errno.ENOENT, FileNotFoundError),
                                          (errno.EACCES, PermissionError),
                                          (errno.EPERM, PermissionError),
                                          (errno.EISDIR, IsADirectoryError),
                                          (errno.ENOTDIR, NotADirectoryError),
                                          (errno.EIO, OSError),
                                          (errno.ENOSPC, OSError)])
@pytest.mark.parametrize("raw, role, base", [(b"cannot open /x.pdf", "background",
                                              quiremark.InputError),
                                             (b"read error on /x.pdf", "foreground",
                                              quiremark.InputError),
                                             (b"cannot open /x.pdf for writing", "output",
                                              quiremark.OutputError)])
def test_system_errors_are_also_os_errors(code, os_cls, raw, role, base):
    err = error_from_result(raw, role, "/x.pdf", code)
    assert isinstance(err, base) and isinstance(err, os_cls)
    assert type(err).__module__ == "quiremark._errors"
    assert (err.errno, err.strerror, err.filename) == (code, os.strerror(code), "/x.pdf")
    assert str(err) == raw.decode()


def test_an_errno_does_not_turn_other_kinds_into_os_errors():
    err = error_from_result(b"document has no pages", "background", "/x.pdf", errno.EIO)
    assert type(err) is quiremark.NoPagesError


def test_out_of_memory_is_a_memory_error():
    assert isinstance(error_from_result(b"out of memory"), MemoryError)


def test_non_utf8_path_round_trips():
    path = b"/tmp/caf\xe9.pdf"  # Latin-1, not UTF-8
    err = error_from_result(b"cannot open " + path, "background", os.fsdecode(path))
    assert os.fsencode(err.path) == path
    assert err.message.encode("utf-8", "surrogateescape") == b"cannot open " + path


def test_cut_message_inside_a_utf8_sequence():
    path = ("\u00e9" * 600).encode()  # 1200 bytes; the cut falls inside a two-byte sequence
    raw = (b"cannot open " + path)[:MESSAGE_LIMIT]
    err = error_from_result(raw, "background")
    assert type(err) is quiremark.InputError and err.role == "background"
    assert err.message.encode("utf-8", "surrogateescape") == raw


@pytest.mark.parametrize("raw, role, code", [
    (b"encrypted PDFs are not supported: /fg.pdf", "foreground", 0),
    (b"document has no pages", "background", 0),
    (b"cannot open /fg.pdf", "foreground", errno.ENOENT),
    (b"cannot open /o.pdf for writing", "output", errno.EACCES),
    (b"write error on /o.pdf", "output", errno.ENOSPC),
    (b"out of memory", None, 0),
])
def test_exceptions_pickle_with_their_details(raw, role, code):
    err = error_from_result(raw, role, "/path.pdf" if role else None, code)
    err.kind = err.kind  # an attribute set on the instance survives as well
    copy = pickle.loads(pickle.dumps(err))
    assert type(copy) is type(err)
    assert (str(copy), copy.kind, copy.role, copy.path) == (str(err), err.kind, err.role, err.path)
    if code:
        assert (copy.errno, copy.strerror, copy.filename) == (code, os.strerror(code),
                                                              "/path.pdf")


def test_a_real_failure_pickles(files, tmp_path: Path):
    with pytest.raises(quiremark.InputError) as info:
        quiremark.merge(files["missing"], files["good"], tmp_path / "o.pdf")
    copy = pickle.loads(pickle.dumps(info.value))
    assert isinstance(copy, FileNotFoundError)
    assert (str(copy), copy.role, copy.errno) == (str(info.value), "background", errno.ENOENT)


def test_hierarchy():
    for cls in (quiremark.InputError, quiremark.EncryptedError, quiremark.NoPagesError,
                quiremark.PageTreeError, quiremark.LimitError, quiremark.OutputError,
                quiremark.OutOfMemoryError):
        assert issubclass(cls, quiremark.Error)
    assert issubclass(_errors.InputFileNotFoundError, FileNotFoundError)
    assert issubclass(_errors.OutputPermissionError, quiremark.OutputError)
    assert not issubclass(quiremark.EncryptedError, OSError)
