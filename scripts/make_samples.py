#!/usr/bin/env python3
"""Writes the two sample PDFs that ship with quiremark (samples/letter.pdf, samples/draft-stamp.pdf).

The files are small, deterministic and hand-assembled: a three-page letter with text in Helvetica
(the second page landscape, the third page rotated by its /Rotate key) and a one-page "DRAFT"
watermark drawn in translucent-looking red outline letters. Run it again to regenerate them.
"""
import os
import sys
import zlib


def pdf(objects, root=1):
    """objects: dict number -> bytes (the value). Returns the file bytes with a correct xref."""
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
    out += b"trailer\n<< /Size %d /Root %d 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (size, root, xref)
    return bytes(out)


def stream(data, extra=b"", compress=True):
    if compress:
        data = zlib.compress(data, 9)
        extra = b"/Filter /FlateDecode " + extra
    return b"<< " + extra + b"/Length %d >>\nstream\n" % len(data) + data + b"\nendstream"


def text_page(lines, x, y, size=12, lead=16):
    ops = [b"BT", b"/F1 %d Tf" % size, b"%d TL" % lead, b"%d %d Td" % (x, y)]
    for i, line in enumerate(lines):
        esc = line.replace("\\", "\\\\").replace("(", "\\(").replace(")", "\\)").encode("latin-1")
        ops.append((b"(" + esc + b") Tj") if i == 0 else (b"T* (" + esc + b") Tj"))
    ops.append(b"ET")
    return b"\n".join(ops) + b"\n"


def letter():
    body = [
        "Dear reader,",
        "",
        "this letter is a sample document for quiremark, a small library that lays",
        "the pages of one PDF over the pages of another. Stamp the word DRAFT on",
        "every page of it with the command in the README, then open the result.",
        "",
        "Each page of this letter is drawn unchanged as a Form XObject; the stamp",
        "is centred on it, never scaled, and follows the page's rotation.",
        "",
        "Kind regards,",
        "The quiremark developers",
    ]
    p1 = b"0.2 0.3 0.6 rg 72 720 468 2 re f 0 g\n" + text_page(["Page 1 of 3: portrait Letter"], 72, 740, 18) + \
        text_page(body, 72, 690)
    p2 = b"0.85 0.9 1 rg 36 36 720 540 re f 0 g\n" + text_page(["Page 2 of 3: landscape Letter"], 72, 540, 18) + \
        text_page(["A wide page: the stamp is centred on it as on every other page."], 72, 500)
    p3 = text_page(["Page 3 of 3: portrait A4, shown turned by /Rotate 90"], 60, 780, 16) + \
        text_page(["The page carries /Rotate 90, so viewers show it landscape;",
                   "the output page takes the rotated size and the stamp stays upright."], 60, 740)
    objs = {
        1: b"<< /Type /Catalog /Pages 2 0 R >>",
        2: b"<< /Type /Pages /Kids [3 0 R 4 0 R 5 0 R] /Count 3 /Resources << /Font << /F1 9 0 R >> >> >>",
        3: b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 6 0 R >>",
        4: b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 792 612] /Contents 7 0 R >>",
        5: b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Rotate 90 /Contents 8 0 R >>",
        6: stream(p1),
        7: stream(p2),
        8: stream(p3),
        9: b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>",
    }
    return pdf(objs)


def draft_stamp():
    # Large outline letters turned 45 degrees about the page centre, in red.
    content = (b"q 1 0 0 RG 4 w 1 0.85 0.85 rg\n"
               b"0.7071 0.7071 -0.7071 0.7071 297.5 421 cm\n"
               b"BT /F1 140 Tf 2 Tr -230 -50 Td (DRAFT) Tj ET Q\n"
               b"q 1 0 0 RG 2 w 20 20 555 802 re S Q\n")
    objs = {
        1: b"<< /Type /Catalog /Pages 2 0 R >>",
        2: b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        3: b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R "
           b"/Resources << /Font << /F1 5 0 R >> >> >>",
        4: stream(content),
        5: b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica-Bold >>",
    }
    return pdf(objs)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "samples")
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "letter.pdf"), "wb") as f:
        f.write(letter())
    with open(os.path.join(out, "draft-stamp.pdf"), "wb") as f:
        f.write(draft_stamp())


if __name__ == "__main__":
    main()
