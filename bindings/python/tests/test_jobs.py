"""Successful jobs: page counts, layer order, opacity, and the options reaching the job."""

from __future__ import annotations

import inspect
import math
import re
import zlib
from decimal import Decimal
from fractions import Fraction
from pathlib import Path

import pytest

import quiremark
from conftest import page_contents, page_count
from pdfwriter import Page

BG_FIRST = [b"/Bg Do", b"/Fg Do"]
FG_FIRST = [b"/Fg Do", b"/Bg Do"]


def layer_order(content: bytes) -> list:
    """The XObjects that a page's content draws, in drawing order."""
    names = []
    for line in content.splitlines():
        names += [name for name in (b"/Bg Do", b"/Fg Do") if name in line]
    return names


@pytest.mark.parametrize(
    "job, bg_pages, fg_pages, expected",
    [
        ("stamp", 3, 2, 3),  # one output page per background page
        ("stamp", 1, 4, 1),
        ("merge", 3, 2, 3),  # as many pages as the longer input
        ("merge", 2, 5, 5),
        ("merge", 1, 1, 1),
    ],
)
def test_page_counts(make_pdf, tmp_path: Path, job, bg_pages, fg_pages, expected):
    out = tmp_path / "out.pdf"
    getattr(quiremark, job)(make_pdf("bg.pdf", bg_pages), make_pdf("fg.pdf", fg_pages), out)
    assert page_count(out) == expected


def test_stamp_draws_the_stamp_over_every_page(make_pdf, tmp_path: Path):
    out = tmp_path / "out.pdf"
    assert quiremark.stamp(make_pdf("bg.pdf", 3), make_pdf("fg.pdf", 2), out) is None
    assert [layer_order(c) for c in page_contents(out)] == [BG_FIRST] * 3


def test_merge_pages_beyond_the_shorter_input_carry_one_layer(make_pdf, tmp_path: Path):
    out = tmp_path / "out.pdf"
    quiremark.merge(make_pdf("bg.pdf", 1), make_pdf("fg.pdf", 3), out)
    assert [layer_order(c) for c in page_contents(out)] == [BG_FIRST, [b"/Fg Do"], [b"/Fg Do"]]


@pytest.mark.parametrize("underlay, expected", [(False, BG_FIRST), (True, FG_FIRST)])
@pytest.mark.parametrize("job", ["stamp", "merge"])
def test_underlay_draws_the_foreground_first(make_pdf, tmp_path: Path, job, underlay, expected):
    out = tmp_path / "out.pdf"
    getattr(quiremark, job)(make_pdf("bg.pdf", 2), make_pdf("fg.pdf", 2), out, underlay=underlay)
    assert [layer_order(c) for c in page_contents(out)] == [expected] * 2


@pytest.mark.parametrize(
    "opacity, written",
    [
        (None, None),  # opaque, no transparency state
        (0.5, b"0.5000"),
        (0.25, b"0.2500"),
        (0, b"0"),
        (0.0, b"0"),
        (Fraction(3, 4), b"0.7500"),  # any real number
        (0.998, b"0.9980"),
        (0.999, None),  # counts as opaque
        (1, None),
        (1.0, None),
    ],
)
@pytest.mark.parametrize("job", ["merge", "stamp"])
def test_opacity(make_pdf, tmp_path: Path, job, opacity, written):
    out = tmp_path / "out.pdf"
    getattr(quiremark, job)(make_pdf("bg.pdf"), make_pdf("fg.pdf"), out, opacity=opacity)
    data = out.read_bytes()
    if written is None:
        assert b"/GSovl" not in data
    else:
        assert b"/ca %s /CA %s >>" % (written, written) in data
        assert b"q /GSovl gs " in page_contents(out)[0]
    assert page_count(out) == 1


def test_opacity_with_underlay(make_pdf, tmp_path: Path):
    out = tmp_path / "out.pdf"
    quiremark.merge(make_pdf("bg.pdf"), make_pdf("fg.pdf"), out, underlay=True, opacity=0.5)
    (content,) = page_contents(out)
    assert layer_order(content) == FG_FIRST
    assert content.startswith(b"q /GSovl gs ")


@pytest.mark.parametrize("opacity", [-0.25, 1.5, -0.0001, 1.0001, math.nan, math.inf, -math.inf,
                                     2, Fraction(3, 2)])
@pytest.mark.parametrize("job", ["merge", "stamp"])
def test_opacity_outside_0_to_1_is_refused(make_pdf, tmp_path: Path, job, opacity):
    with pytest.raises(ValueError, match="opacity must be from 0 to 1"):
        getattr(quiremark, job)(make_pdf("bg.pdf"), make_pdf("fg.pdf"), tmp_path / "o.pdf",
                                opacity=opacity)
    assert not (tmp_path / "o.pdf").exists()


@pytest.mark.parametrize("opacity", ["0.5", b"1", [0.5], complex(0.5), True, False, Decimal("0.5")])
def test_opacity_must_be_a_real_number(make_pdf, tmp_path: Path, opacity):
    with pytest.raises(TypeError, match="opacity must be a real number or None"):
        quiremark.merge(make_pdf("bg.pdf"), make_pdf("fg.pdf"), tmp_path / "o.pdf",
                        opacity=opacity)
    assert not (tmp_path / "o.pdf").exists()


def test_output_page_takes_the_rotated_background_size(make_pdf, tmp_path: Path):
    out = tmp_path / "out.pdf"
    bg = make_pdf("bg.pdf", [Page(300, 200), Page(300, 200, rotate=90)])
    quiremark.stamp(bg, make_pdf("fg.pdf", [Page(50, 50)]), out)
    data = out.read_bytes()
    assert b"/MediaBox [0 0 300 200]" in data
    assert b"/MediaBox [0 0 200 300]" in data


def test_output_may_replace_an_input(make_pdf):
    bg = make_pdf("bg.pdf", 2)
    before = bg.read_bytes()
    quiremark.stamp(bg, make_pdf("fg.pdf"), bg)
    assert bg.read_bytes() != before
    assert page_count(bg) == 2


def test_compressed_content_is_accepted(make_pdf, tmp_path: Path):
    out = tmp_path / "out.pdf"
    quiremark.stamp(make_pdf("bg.pdf", 2, compress=True), make_pdf("fg.pdf", compress=True), out)
    assert page_count(out) == 2


@pytest.mark.parametrize("job", ["merge", "stamp"])
def test_options_are_keywords_only(make_pdf, tmp_path: Path, job):
    run = getattr(quiremark, job)
    bg, fg, out = make_pdf("bg.pdf"), make_pdf("fg.pdf"), tmp_path / "o.pdf"
    with pytest.raises(TypeError):
        run(bg, fg, out, True)
    with pytest.raises(TypeError, match=f"{job}\\(\\) got an unexpected keyword argument 'opacty'"):
        run(bg, fg, out, opacty=0.5)
    with pytest.raises(TypeError):
        run(bg, fg)  # the output is not optional
    assert not out.exists()


@pytest.mark.parametrize("job", ["merge", "stamp"])
def test_signature_names_every_option(job):
    params = inspect.signature(getattr(quiremark, job)).parameters
    assert list(params) == [
        "background",
        "foreground",
        "output",
        "underlay",
        "opacity",
        "compact",
        "keep_interactive",
    ]
    assert params["underlay"].kind is inspect.Parameter.KEYWORD_ONLY
    assert (params["underlay"].default, params["opacity"].default) == (False, None)


@pytest.mark.parametrize("job", ["merge", "stamp"])
def test_compact_draws_the_same(make_pdf, tmp_path: Path, job):
    run = getattr(quiremark, job)
    bg = make_pdf("bg.pdf", 3, compress=True)
    fg = make_pdf("fg.pdf", 2)
    plain = run(bg, fg, None)
    small = run(bg, fg, None, compact=True)
    assert b"/Filter /FlateDecode" in small and b"/Filter /FlateDecode" not in plain
    for out, data in (("plain.pdf", plain), ("small.pdf", small)):
        (tmp_path / out).write_bytes(data)
    assert page_contents(tmp_path / "small.pdf") == page_contents(tmp_path / "plain.pdf")
    assert form_contents(small) == form_contents(plain)
    assert run(bg, fg, None, compact=False) == plain


def form_contents(pdf: bytes) -> list:
    """Every Form XObject's content as drawn, inflated where the XObject is compressed."""
    forms = []
    head = rb"<< /Type /XObject /Subtype /Form [^\n]*?/Length (\d+)( /Filter /FlateDecode)?[^\n]*>> stream\n"
    for match in re.finditer(head, pdf):
        data = pdf[match.end():match.end() + int(match.group(1))]
        forms.append(zlib.decompress(data) if match.group(2) else data)
    assert forms
    return forms


@pytest.mark.parametrize("job", ["merge", "stamp"])
def test_keep_interactive_carries_a_link(make_pdf, job):
    from pdfwriter import assemble, stream

    linked = assemble(
        {
            1: b"<< /Type /Catalog /Pages 2 0 R >>",
            2: b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
            3: b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R "
            b"/Annots [5 0 R] >>",
            4: stream(b"0 g 0 0 10 10 re f\n"),
            5: b"<< /Type /Annot /Subtype /Link /Rect [10 10 100 50] /Border [0 0 0] "
            b"/A << /S /URI /URI (https://example.com/) >> >>",
        }
    )
    run = getattr(quiremark, job)
    plain = run(linked, make_pdf("fg.pdf"), None)
    kept = run(linked, make_pdf("fg.pdf"), None, keep_interactive=True)
    assert b"/Annots" not in plain
    assert b"/Annots" in kept and b"(https://example.com/)" in kept
