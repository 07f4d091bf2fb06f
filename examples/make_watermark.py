#!/usr/bin/env python3
"""Writes a one-page watermark PDF: a line of text across the page, turned and translucent.

Usage: make_watermark.py TEXT OUTPUT [--size a4|letter|WIDTHxHEIGHT] [--angle DEG]
                         [--font-size PT] [--color R,G,B] [--alpha A]

The page has the size of the pages it will be stamped on (A4 by default); quiremark centres the
watermark page on every page, so the text lands in the middle. The translucency (--alpha) is part
of the watermark page itself, so plain stamping keeps it. Needs nothing but Python.

    python3 examples/make_watermark.py CONFIDENTIAL confidential.pdf --size letter --alpha 0.25
"""

from __future__ import annotations

import argparse
import math
import sys

SIZES = {"a4": (595, 842), "letter": (612, 792), "legal": (612, 1008), "a3": (842, 1191)}

# Advance widths of Helvetica-Bold (one of the 14 standard fonts every viewer has), in thousandths
# of the font size, for the characters 32 to 126 in WinAnsiEncoding.
_WIDTHS = [
    278, 333, 474, 556, 556, 889, 722, 238, 333, 333, 389, 584, 278, 333, 278, 278,  # space - /
    556, 556, 556, 556, 556, 556, 556, 556, 556, 556, 333, 333, 584, 584, 584, 611,  # 0 - ?
    975, 722, 722, 722, 722, 667, 611, 778, 722, 278, 556, 722, 611, 833, 722, 778,  # @ - O
    667, 778, 722, 667, 611, 722, 667, 944, 667, 667, 611, 333, 278, 333, 584, 556,  # P - _
    333, 556, 611, 556, 611, 556, 333, 611, 611, 278, 278, 556, 278, 889, 611, 611,  # ` - o
    611, 611, 389, 556, 333, 611, 556, 778, 556, 556, 500, 389, 280, 389, 584,  # p - ~
]


def text_width(text: bytes, size: float) -> float:
    """Width of the text in points; characters outside the table count as a digit's width."""
    return sum(_WIDTHS[c - 32] if 32 <= c <= 126 else 556 for c in text) * size / 1000


def pdf_string(text: bytes) -> bytes:
    return b"(" + text.replace(b"\\", b"\\\\").replace(b"(", b"\\(").replace(b")", b"\\)") + b")"


def watermark(text: str, width: float, height: float, angle: float, size: float,
              color: tuple, alpha: float) -> bytes:
    raw = text.encode("cp1252")  # WinAnsiEncoding
    rad = math.radians(angle)
    cos, sin = math.cos(rad), math.sin(rad)
    half = text_width(raw, size) / 2
    # Turn about the page centre, then start the text half its width to the left of it and a
    # third of the font size below it, so that the line is centred both ways.
    content = b"\n".join([
        b"q /Translucent gs",
        b"%.4f %.4f %.4f rg" % color,
        b"%.4f %.4f %.4f %.4f %.4f %.4f cm" % (cos, sin, -sin, cos, width / 2, height / 2),
        b"BT /F1 %.2f Tf %.4f %.4f Td %s Tj ET" % (size, -half, -size / 3, pdf_string(raw)),
        b"Q",
    ]) + b"\n"
    objects = {
        1: b"<< /Type /Catalog /Pages 2 0 R >>",
        2: b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        3: b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %g %g] /Contents 4 0 R /Resources "
           b"<< /Font << /F1 5 0 R >> /ExtGState << /Translucent 6 0 R >> >> >>" % (width, height),
        4: b"<< /Length %d >>\nstream\n" % len(content) + content + b"endstream",
        5: b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica-Bold /Encoding /WinAnsiEncoding >>",
        6: b"<< /Type /ExtGState /ca %.4f /CA %.4f >>" % (alpha, alpha),
    }
    out = bytearray(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
    offsets = []
    for num in sorted(objects):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % num + objects[num] + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    out += b"".join(b"%010d 00000 n \n" % off for off in offsets)
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1,
                                                                              xref)
    return bytes(out)


def parse_size(value: str) -> tuple:
    if value.lower() in SIZES:
        return SIZES[value.lower()]
    try:
        w, h = (float(x) for x in value.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a page size: {value}") from None
    if w <= 0 or h <= 0:
        raise argparse.ArgumentTypeError(f"not a page size: {value}")
    return (w, h)


def parse_color(value: str) -> tuple:
    try:
        rgb = tuple(float(x) for x in value.split(","))
    except ValueError:
        rgb = ()
    if len(rgb) != 3 or not all(0 <= c <= 1 for c in rgb):
        raise argparse.ArgumentTypeError("colour must be R,G,B with each from 0 to 1")
    return rgb


def main(argv: list | None = None) -> int:
    parser = argparse.ArgumentParser(description="Write a one-page text watermark PDF.")
    parser.add_argument("text")
    parser.add_argument("output")
    parser.add_argument("--size", type=parse_size, default=SIZES["a4"],
                        help="a4 (default), letter, legal, a3 or WIDTHxHEIGHT in points")
    parser.add_argument("--angle", type=float, default=None,
                        help="degrees anticlockwise; default: along the page diagonal")
    parser.add_argument("--font-size", type=float, default=None,
                        help="points; default: the text spans most of the diagonal")
    parser.add_argument("--color", type=parse_color, default=(0.8, 0.1, 0.1), help="R,G,B in 0..1")
    parser.add_argument("--alpha", type=float, default=0.3, help="opacity from 0 to 1 (0.3)")
    args = parser.parse_args(argv)
    try:
        raw = args.text.encode("cp1252")
    except UnicodeEncodeError:
        parser.error("the text must be writable in Windows-1252 (Western European letters)")
    width, height = args.size
    angle = args.angle if args.angle is not None else math.degrees(math.atan2(height, width))
    size = args.font_size
    if size is None:
        diagonal = math.hypot(width, height)
        size = min(0.7 * diagonal / max(text_width(raw, 1), 0.1), height / 4)
    data = watermark(args.text, width, height, angle, size, args.color,
                     min(max(args.alpha, 0.0), 1.0))
    with open(args.output, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
