"""Path arguments: str and os.PathLike (giving str or bytes) name the same files."""

from __future__ import annotations

import os
import sys
from pathlib import Path

import pytest

import quiremark
from conftest import page_count


class BytesPathLike:
    """An os.PathLike whose __fspath__ gives bytes."""

    def __init__(self, path: Path) -> None:
        self.path = path

    def __fspath__(self) -> bytes:
        return os.fsencode(self.path)


FORMS = {
    "str": str,
    "pathlib": Path,
    "bytes PathLike": BytesPathLike,
}


@pytest.mark.parametrize("form", FORMS)
def test_path_forms(make_pdf, tmp_path: Path, form):
    convert = FORMS[form]
    out = tmp_path / "out.pdf"
    assert quiremark.stamp(convert(make_pdf("bg.pdf", 2)), convert(make_pdf("fg.pdf")),
                           convert(out)) is None
    assert page_count(out) == 2


@pytest.mark.parametrize("form", FORMS)
def test_path_forms_in_messages(tmp_path: Path, form):
    missing = tmp_path / "missing.pdf"
    with pytest.raises(quiremark.InputError) as info:
        quiremark.merge(FORMS[form](missing), FORMS[form](missing), FORMS[form](tmp_path / "o"))
    assert str(info.value) == f"cannot open {missing}"
    assert info.value.path == str(missing)


def test_mixed_forms(make_pdf, tmp_path: Path):
    out = tmp_path / "out.pdf"
    quiremark.merge(str(make_pdf("bg.pdf")), BytesPathLike(make_pdf("fg.pdf")), out, opacity=0.5)
    assert page_count(out) == 1


def test_unicode_names(make_pdf, tmp_path: Path):
    bg = make_pdf("Hintergrund \u00e4\u00f6\u00fc \u2615.pdf", 2)
    out = tmp_path / "Ergebnis \u00df \u2014 \u65e5\u672c.pdf"
    quiremark.stamp(bg, make_pdf("f\u00f6rgrund.pdf"), out)
    assert page_count(out) == 2
    missing = tmp_path / "fehlt \u2615.pdf"
    with pytest.raises(quiremark.InputError) as info:
        quiremark.stamp(missing, bg, out)
    assert str(info.value) == f"cannot open {missing}"


@pytest.mark.skipif(sys.platform in ("darwin", "win32"), reason="needs byte file names")
def test_file_name_that_is_not_utf8(make_pdf, tmp_path: Path):
    name = os.fsencode(tmp_path) + b"/caf\xe9.pdf"  # Latin-1 bytes
    with open(name, "wb") as f:
        f.write(make_pdf("source.pdf", 3).read_bytes())
    out = os.fsencode(tmp_path) + b"/out-\xff.pdf"
    # Byte names reach the job through os.fsdecode (surrogate escapes) and come out unchanged.
    quiremark.stamp(os.fsdecode(name), make_pdf("fg.pdf"), os.fsdecode(out))
    assert page_count(Path(os.fsdecode(out))) == 3
    missing = os.fsencode(tmp_path) + b"/missing-\xe9.pdf"
    with pytest.raises(quiremark.InputError) as info:
        quiremark.stamp(make_pdf("bg.pdf"), os.fsdecode(missing), os.fsdecode(out))
    assert info.value.path == os.fsdecode(missing)
    assert os.fsencode(info.value.message) == b"cannot open " + missing


@pytest.mark.parametrize("role", [0, 1, 2])
def test_nul_in_path_is_refused(make_pdf, tmp_path: Path, role):
    args = [make_pdf("bg.pdf"), make_pdf("fg.pdf"), tmp_path / "out.pdf"]
    args[role] = "a\0b.pdf"
    with pytest.raises(ValueError, match=("background", "foreground", "output")[role]):
        quiremark.stamp(*args)
    assert not (tmp_path / "out.pdf").exists()


@pytest.mark.parametrize("role", ["background", "foreground"])
@pytest.mark.parametrize("bad", [None, 42, 1.5, ["a.pdf"]])
def test_other_input_types_are_refused(make_pdf, tmp_path: Path, role, bad):
    args = {"background": make_pdf("bg.pdf"), "foreground": make_pdf("fg.pdf")}
    args[role] = bad
    with pytest.raises(TypeError, match=f"{role} must be a path .*, not {type(bad).__name__}"):
        quiremark.merge(args["background"], args["foreground"], tmp_path / "o.pdf")


@pytest.mark.parametrize("bad", [42, ["a.pdf"], b"a.pdf", bytearray(b"a.pdf")])
def test_other_output_types_are_refused(make_pdf, tmp_path: Path, bad):
    # bytes are a PDF, not a path: as output they mean nothing.
    with pytest.raises(TypeError, match="output must be a path .*, a binary file object or None"):
        quiremark.merge(make_pdf("bg.pdf"), make_pdf("fg.pdf"), bad)


def test_empty_path_fails_in_the_job(make_pdf, tmp_path: Path):
    with pytest.raises(quiremark.InputError) as info:
        quiremark.stamp("", make_pdf("fg.pdf"), tmp_path / "out.pdf")
    assert str(info.value) == "cannot open "
    assert info.value.role == "background"
    assert isinstance(info.value, FileNotFoundError)
