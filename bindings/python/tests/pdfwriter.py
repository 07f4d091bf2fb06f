"""A tiny PDF writer for the test fixtures: pages of a chosen size with a little drawing.

Each document is laid out as

    1 0 obj  catalog              << /Type /Catalog /Pages 2 0 R >>
    2 0 obj  page tree            << /Type /Pages /Kids [3 0 R ...] /Count n >>
    3..      one page object each, followed by the page's content stream
    xref, trailer, startxref      a correct classic cross-reference table

An encrypted document only gets an /Encrypt entry in its trailer (and a dummy dictionary for it to
name): that is all a reader needs to see to refuse it.
"""

from __future__ import annotations

import zlib
from dataclasses import dataclass
from typing import Dict, List, Optional, Sequence


@dataclass
class Page:
    width: float = 200
    height: float = 100
    content: bytes = b"0 0 1 rg 10 10 50 30 re f\n"
    rotate: Optional[int] = None


def _num(v: float) -> bytes:
    return (b"%d" % v) if float(v).is_integer() else (b"%.4f" % v)


def assemble(objects: Dict[int, bytes], trailer_extra: bytes = b"", root: int = 1) -> bytes:
    """File bytes for the given objects (number -> value text), with a correct xref table."""
    out = bytearray(b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n")
    offsets = {}
    for num in sorted(objects):
        offsets[num] = len(out)
        out += b"%d 0 obj\n" % num + objects[num] + b"\nendobj\n"
    size = max(objects) + 1
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % size
    for n in range(1, size):
        out += (b"%010d 00000 n \n" % offsets[n]) if n in offsets else b"0000000000 00000 f \n"
    out += b"trailer\n<< /Size %d /Root %d 0 R%s >>\nstartxref\n%d\n%%%%EOF\n" % (
        size, root, (b" " + trailer_extra) if trailer_extra else b"", xref)
    return bytes(out)


def stream(data: bytes, compress: bool = False) -> bytes:
    extra = b""
    if compress:
        data = zlib.compress(data)
        extra = b"/Filter /FlateDecode "
    return b"<< " + extra + b"/Length %d >>\nstream\n" % len(data) + data + b"\nendstream"


def document(pages: Sequence[Page], *, encrypted: bool = False, compress: bool = False) -> bytes:
    """A document with the given pages (an empty sequence gives a page tree without kids)."""
    objects: Dict[int, bytes] = {1: b"<< /Type /Catalog /Pages 2 0 R >>"}
    kids: List[bytes] = []
    num = 3
    for page in pages:
        kids.append(b"%d 0 R" % num)
        rotate = b" /Rotate %d" % page.rotate if page.rotate is not None else b""
        objects[num] = (b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %s %s]%s /Contents %d 0 R >>"
                        % (_num(page.width), _num(page.height), rotate, num + 1))
        objects[num + 1] = stream(page.content, compress)
        num += 2
    objects[2] = b"<< /Type /Pages /Kids [%s] /Count %d >>" % (b" ".join(kids), len(kids))
    extra = b""
    if encrypted:
        objects[num] = b"<< /Filter /Standard /V 1 /R 2 /O <00> /U <00> /P -4 >>"
        extra = b"/Encrypt %d 0 R" % num
    return assemble(objects, extra)


def pages(n: int, **kw: object) -> List[Page]:
    """n pages of the same kind."""
    return [Page(**kw) for _ in range(n)]  # type: ignore[arg-type]
