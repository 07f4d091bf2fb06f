#!/usr/bin/env python3
"""Deterministic benchmark inputs: text documents, image pages, object streams, a stamp.

Every file is a function of its role and page count only (each role has its own seeded random
stream), so two runs on one machine give identical bytes. Only the standard library is used.

Roles (file names carry the page count):
  stamp.pdf            one A4 page: a large rotated word, a frame; Helvetica-Bold; Flate content
  text_N.pdf           N text pages: five standard Type1 fonts shared by all pages through each
                       page's /Resources, about 2 KB of Flate content per page, a page tree with
                       up to 100 kids per node
  fg_N.pdf             N foreground pages for a page-by-page merge: running header, footer, margin
                       note, own fonts
  images_N.pdf         N pages, each with its own Flate RGB image XObject (tens of KB, distinct)
                       and a caption
  objstm_N.pdf         the text_N pages with every non-stream object inside /Type /ObjStm streams
                       and a cross-reference stream in place of the classic table
  rotated_N.pdf        the text_N pages under a page tree root with /Rotate 90
  tiny_N.pdf           N tiny pages (a short uncompressed content stream each), for scaling runs

Usage:
  gen_inputs.py OUTDIR                       the standard set (1k, 10k, 200 images, ...)
  gen_inputs.py OUTDIR --quick               the same roles at tiny sizes
  gen_inputs.py OUTDIR --tiny 100000 --tiny 1000000
  gen_inputs.py OUTDIR --check               also run `qpdf --check` on every file written
"""

import argparse
import os
import random
import shutil
import subprocess
import sys
import zlib

FANOUT = 100  # kids per page-tree node
FONTS = [  # resource name, base font
    (b"F1", b"Helvetica"),
    (b"F2", b"Helvetica-Bold"),
    (b"F3", b"Times-Roman"),
    (b"F4", b"Times-Italic"),
    (b"F5", b"Courier"),
]
A4 = b"[0 0 595 842]"

STANDARD_SIZES = {"text": 1000, "large": 10000, "images": 200}
QUICK_SIZES = {"text": 12, "large": 40, "images": 3}


def role_rng(role, n):
    """The random stream of one file, fixed by its role and size."""
    return random.Random(zlib.crc32(("quiremark-bench:%s:%d" % (role, n)).encode()))


# ---------------------------------------------------------------------------------------------
# Writing


class PdfWriter:
    """Writes objects straight to a file, keeping each object's offset for the xref."""

    def __init__(self, path, version=b"1.5"):
        self.path = path
        self.f = open(path, "wb", buffering=1 << 20)
        self.pos = 0
        self.offsets = {}
        self._w(b"%PDF-" + version + b"\n%\xe2\xe3\xcf\xd3\n")

    def _w(self, b):
        self.f.write(b)
        self.pos += len(b)

    def obj(self, num, body):
        self.offsets[num] = self.pos
        self._w(b"%d 0 obj\n%s\nendobj\n" % (num, body))

    def stream(self, num, dict_keys, data):
        self.offsets[num] = self.pos
        self._w(b"%d 0 obj\n<< %s /Length %d >>\nstream\n" % (num, dict_keys, len(data)))
        self._w(data)
        self._w(b"\nendstream\nendobj\n")

    def finish_classic(self, root, size):
        xref = self.pos
        out = [b"xref\n0 %d\n0000000000 65535 f \n" % size]
        for n in range(1, size):
            off = self.offsets.get(n)
            out.append(b"%010d 00000 n \n" % off if off is not None else b"0000000000 65535 f \n")
        self._w(b"".join(out))
        self._w(b"trailer\n<< /Size %d /Root %d 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (size, root, xref))
        self.f.close()

    def finish_xref_stream(self, root, size, entries):
        """Cross-reference stream; `entries` maps number -> (objstm number, index) for objects
        stored in object streams, every other written object gets its file offset."""
        num = size
        size += 1
        self.offsets[num] = self.pos
        rows = [b"\x00\x00\x00\x00\x00\xff\xff"]
        for n in range(1, size):
            if n in entries:
                stm, idx = entries[n]
                rows.append(b"\x02" + stm.to_bytes(4, "big") + idx.to_bytes(2, "big"))
            elif n in self.offsets:
                rows.append(b"\x01" + self.offsets[n].to_bytes(4, "big") + b"\x00\x00")
            else:
                rows.append(b"\x00\x00\x00\x00\x00\xff\xff")
        data = zlib.compress(b"".join(rows), 6)
        xref = self.pos
        self._w(b"%d 0 obj\n<< /Type /XRef /Size %d /W [1 4 2] /Root %d 0 R /Filter /FlateDecode "
                b"/Length %d >>\nstream\n" % (num, size, root, len(data)))
        self._w(data)
        self._w(b"\nendstream\nendobj\nstartxref\n%d\n%%%%EOF\n" % xref)
        self.f.close()


class Numbers:
    def __init__(self, first=1):
        self.next = first

    def take(self, count=1):
        n = self.next
        self.next += count
        return n


def page_tree(alloc, page_nums, root):
    """Balanced tree over the page numbers, at most FANOUT kids per node.

    Returns (nodes, parent_of_page): nodes lists (number, kid numbers, parent number) with the
    root first (parent None), then the other nodes level by level from the lowest;
    parent_of_page[i] is the /Parent of page i."""
    parent = [root] * len(page_nums)
    nodes = []
    level = list(page_nums)
    level_is_pages = True
    while len(level) > FANOUT:
        groups = [level[i:i + FANOUT] for i in range(0, len(level), FANOUT)]
        nums = [alloc.take() for _ in groups]
        if level_is_pages:
            parent = [nums[i // FANOUT] for i in range(len(page_nums))]
        else:  # the nodes of the level below were appended last: give them their parent
            start = len(nodes) - len(level)
            for j in range(len(level)):
                n, kids, _ = nodes[start + j]
                nodes[start + j] = (n, kids, nums[j // FANOUT])
        nodes.extend((nums[gi], g, root) for gi, g in enumerate(groups))
        level = nums
        level_is_pages = False
    return [(root, level, None)] + nodes, parent


def write_tree(w, nodes, total, extra_root=b""):
    """Writes the /Pages nodes; extra_root is added to the root's dictionary."""
    counts = {}
    for n, kids, _ in nodes[1:] + nodes[:1]:  # children before parents
        counts[n] = sum(counts.get(k, 1) for k in kids)
    assert counts[nodes[0][0]] == total
    for n, kids, par in nodes:
        refs = b" ".join(b"%d 0 R" % k for k in kids)
        extra = extra_root if par is None else b" /Parent %d 0 R" % par
        w.obj(n, b"<< /Type /Pages /Kids [%s] /Count %d%s >>" % (refs, counts[n], extra))


# ---------------------------------------------------------------------------------------------
# Content


SYLLABLES = ("ta re mi lo pon qua vel sit am et dor lex pri nus gra tion ber col dun fer hal ist "
             "jor kin lum mor nex ost pul rix sar tem ub var wes ny yor zen ca de fi go hu").split()


def vocabulary(rng, n=3000):
    words = set()
    while len(words) < n:
        words.add("".join(rng.choice(SYLLABLES) for _ in range(rng.randint(1, 4))))
    words = sorted(words)
    rng.shuffle(words)
    cum, total = [], 0.0
    for rank in range(len(words)):  # Zipf-like word frequencies, as in natural text
        total += 1.0 / (rank + 1)
        cum.append(total)
    return [w.encode() for w in words], cum


def text_page(rng, vocab, pageno, npages):
    """About 6 KB of content operators (about 2 KB after Flate): running header and footer,
    headings, justified body lines with kerned TJ arrays in three fonts, a code block."""
    words, cum = vocab
    choose = rng.choices
    out = [b"q 0.4 w 0.5 G 56 60 m 539 60 l S 56 790 m 539 790 l S Q\n",
           b"BT\n/F2 9 Tf\n1 0 0 1 56 800 Tm\n(Quire benchmark) Tj\n/F1 9 Tf\n"
           b"1 0 0 1 480 46 Tm\n(Page %d of %d) Tj\nET\n" % (pageno, npages)]
    y = 764.0
    out.append(b"BT\n")
    while y > 90:
        kind = rng.random()
        if kind < 0.12:
            head = b" ".join(choose(words, cum_weights=cum, k=rng.randint(2, 6))).capitalize()
            out.append(b"/F2 14 Tf\n1 0 0 1 56 %.2f Tm\n(%s) Tj\n" % (y, head))
            y -= 22
        elif kind < 0.22:
            out.append(b"/F5 8.5 Tf\n10 TL\n1 0 0 1 72 %.2f Tm\n" % y)
            for _ in range(rng.randint(2, 5)):
                code = b" ".join(choose(words, cum_weights=cum, k=rng.randint(3, 8)))
                out.append(b"(%s\\(%d\\);) Tj\nT*\n" % (code, rng.randint(0, 999)))
                y -= 10
            y -= 6
        else:
            font = b"/F4" if kind > 0.9 else b"/F3"
            out.append(b"%s 10.5 Tf\n12.6 TL\n1 0 0 1 56 %.2f Tm\n" % (font, y))
            for _ in range(rng.randint(3, 8)):
                line = choose(words, cum_weights=cum, k=rng.randint(7, 10))
                cut = rng.randint(2, len(line) - 2)
                out.append(b"%.3f Tw\n[(%s) %d (%s)] TJ\nT*\n" % (
                    rng.random() * 1.5, b" ".join(line[:cut]), rng.randint(-60, 60),
                    b" ".join(line[cut:])))
                y -= 12.6
                if y <= 90:
                    break
            y -= 8
    out.append(b"ET\n")
    return b"".join(out)


def font_objects(w, nums):
    for (name, base), n in zip(FONTS, nums):
        w.obj(n, b"<< /Type /Font /Subtype /Type1 /BaseFont /%s /Encoding /WinAnsiEncoding >>"
              % base)


def font_resources(nums):
    return b"/Font << %s >>" % b" ".join(b"/%s %d 0 R" % (f[0], n) for f, n in zip(FONTS, nums))


# ---------------------------------------------------------------------------------------------
# Documents


def gen_text(path, npages, rotate=False, objstm=False, seed_role="text"):
    """The text document; `rotate` puts /Rotate 90 on the tree root; `objstm` stores every
    non-stream object in object streams and writes a cross-reference stream."""
    rng = role_rng(seed_role, npages)
    vocab = vocabulary(rng)
    alloc = Numbers(1)
    catalog, root = alloc.take(), alloc.take()
    fonts = [alloc.take() for _ in FONTS]
    first_page = alloc.take(2 * npages)
    page_nums = [first_page + 2 * i for i in range(npages)]
    nodes, parent = page_tree(alloc, page_nums, root)
    res = b"/Resources << %s /ProcSet [/PDF /Text] >>" % font_resources(fonts)
    w = PdfWriter(path)
    root_extra = b" /Rotate 90" if rotate else b""

    if not objstm:
        w.obj(catalog, b"<< /Type /Catalog /Pages %d 0 R >>" % root)
        write_tree(w, nodes, npages, root_extra)
        font_objects(w, fonts)
        for i, pn in enumerate(page_nums):
            w.obj(pn, b"<< /Type /Page /Parent %d 0 R /MediaBox %s %s /Contents %d 0 R >>"
                  % (parent[i], A4, res, pn + 1))
            w.stream(pn + 1, b"/Filter /FlateDecode",
                     zlib.compress(text_page(rng, vocab, i + 1, npages), 6))
        w.finish_classic(catalog, alloc.next)
        return

    # Object-stream layout: collect the small objects as text, pack them 100 to a stream.
    small = [(catalog, b"<< /Type /Catalog /Pages %d 0 R >>" % root)]

    class Collect:
        def obj(self, n, body):
            small.append((n, body))

    write_tree(Collect(), nodes, npages, root_extra)
    for (name, base), n in zip(FONTS, fonts):
        small.append((n, b"<< /Type /Font /Subtype /Type1 /BaseFont /%s /Encoding "
                         b"/WinAnsiEncoding >>" % base))
    contents = []
    for i, pn in enumerate(page_nums):
        small.append((pn, b"<< /Type /Page /Parent %d 0 R /MediaBox %s %s /Contents %d 0 R >>"
                      % (parent[i], A4, res, pn + 1)))
        contents.append((pn + 1, zlib.compress(text_page(rng, vocab, i + 1, npages), 6)))
    entries = {}
    per_stream = 100
    content_iter = iter(contents)
    for s in range(0, len(small), per_stream):
        chunk = small[s:s + per_stream]
        stm = alloc.take()
        header, body, off = [], [], 0
        for idx, (n, text) in enumerate(chunk):
            header.append(b"%d %d" % (n, off))
            body.append(text)
            off += len(text) + 1
            entries[n] = (stm, idx)
        head = b" ".join(header) + b"\n"
        data = head + b"\n".join(body) + b"\n"
        w.stream(stm, b"/Type /ObjStm /N %d /First %d /Filter /FlateDecode" % (len(chunk), len(head)),
                 zlib.compress(data, 6))
        # Interleave the content streams with the object streams, as writers usually do.
        for _ in range(per_stream // 2):
            c = next(content_iter, None)
            if c is None:
                break
            w.stream(c[0], b"/Filter /FlateDecode", c[1])
    for c in content_iter:
        w.stream(c[0], b"/Filter /FlateDecode", c[1])
    w.finish_xref_stream(catalog, alloc.next, entries)


def gen_stamp(path):
    content = (b"q\n0.85 0.1 0.1 rg\n0.7071 0.7071 -0.7071 0.7071 297.5 421 cm\n"
               b"BT\n/F1 72 Tf\n-262 -26 Td\n(CONFIDENTIAL) Tj\nET\nQ\n"
               b"q\n0.85 0.1 0.1 RG\n3 w\n24 24 547 794 re\nS\nQ\n"
               b"BT\n/F2 10 Tf\n0.3 g\n40 32 Td\n(quiremark benchmark stamp) Tj\nET\n")
    w = PdfWriter(path, b"1.4")
    w.obj(1, b"<< /Type /Catalog /Pages 2 0 R >>")
    w.obj(2, b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    w.obj(3, b"<< /Type /Page /Parent 2 0 R /MediaBox %s /Resources << /Font << /F1 5 0 R "
             b"/F2 6 0 R >> /ProcSet [/PDF /Text] >> /Contents 4 0 R >>" % A4)
    w.stream(4, b"/Filter /FlateDecode", zlib.compress(content, 9))
    w.obj(5, b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica-Bold "
             b"/Encoding /WinAnsiEncoding >>")
    w.obj(6, b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>")
    w.finish_classic(1, 7)


def gen_foreground(path, npages):
    rng = role_rng("fg", npages)
    alloc = Numbers(1)
    catalog, root, f1, f2 = [alloc.take() for _ in range(4)]
    first_page = alloc.take(2 * npages)
    page_nums = [first_page + 2 * i for i in range(npages)]
    nodes, parent = page_tree(alloc, page_nums, root)
    w = PdfWriter(path)
    w.obj(catalog, b"<< /Type /Catalog /Pages %d 0 R >>" % root)
    write_tree(w, nodes, npages)
    w.obj(f1, b"<< /Type /Font /Subtype /Type1 /BaseFont /Courier-Bold "
              b"/Encoding /WinAnsiEncoding >>")
    w.obj(f2, b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica-Oblique "
              b"/Encoding /WinAnsiEncoding >>")
    for i, pn in enumerate(page_nums):
        note = b" ".join(b"%08x" % rng.getrandbits(32) for _ in range(6))
        content = (b"q 0.1 0.3 0.8 RG 1.5 w 30 30 m 565 30 l S 30 812 m 565 812 l S Q\n"
                   b"BT\n0.1 0.3 0.8 rg\n/Q1 11 Tf\n1 0 0 1 36 818 Tm\n(DRAFT %d/%d) Tj\n"
                   b"/Q2 8 Tf\n1 0 0 1 36 18 Tm\n(revision %s) Tj\n"
                   b"0 1 -1 0 580 200 Tm\n(reviewed page %d - %s) Tj\nET\n"
                   % (i + 1, npages, note[:17], i + 1, note))
        w.obj(pn, b"<< /Type /Page /Parent %d 0 R /MediaBox %s /Resources << /Font << /Q1 %d 0 R "
                  b"/Q2 %d 0 R >> >> /Contents %d 0 R >>" % (parent[i], A4, f1, f2, pn + 1))
        w.stream(pn + 1, b"/Filter /FlateDecode", zlib.compress(content, 6))
    w.finish_classic(catalog, alloc.next)


def gen_images(path, npages, width=200, height=150):
    """Each page draws its own RGB image: a vertical gradient under 5-bit noise, so each
    compresses to roughly 55 KB and no two are alike."""
    rng = role_rng("images", npages)
    tables = [bytes(min(255, (b & 31) + (y * 224) // height) for b in range(256))
              for y in range(height)]
    alloc = Numbers(1)
    catalog, root, font = [alloc.take() for _ in range(3)]
    first_page = alloc.take(3 * npages)
    page_nums = [first_page + 3 * i for i in range(npages)]
    nodes, parent = page_tree(alloc, page_nums, root)
    w = PdfWriter(path)
    w.obj(catalog, b"<< /Type /Catalog /Pages %d 0 R >>" % root)
    write_tree(w, nodes, npages)
    w.obj(font, b"<< /Type /Font /Subtype /Type1 /BaseFont /Times-Bold "
                b"/Encoding /WinAnsiEncoding >>")
    row = width * 3
    for i, pn in enumerate(page_nums):
        noise = rng.randbytes(row * height)
        pixels = b"".join(noise[y * row:(y + 1) * row].translate(tables[y]) for y in range(height))
        content = (b"q\n480 0 0 360 57.5 380 cm\n/Im%d Do\nQ\nBT\n/T1 12 Tf\n57.5 356 Td\n"
                   b"(Figure %d: sample %d) Tj\nET\n" % (i + 1, i + 1, rng.getrandbits(24)))
        w.obj(pn, b"<< /Type /Page /Parent %d 0 R /MediaBox %s /Resources << /Font << /T1 %d 0 R "
                  b">> /XObject << /Im%d %d 0 R >> /ProcSet [/PDF /Text /ImageC] >> "
                  b"/Contents %d 0 R >>" % (parent[i], A4, font, i + 1, pn + 2, pn + 1))
        w.stream(pn + 1, b"/Filter /FlateDecode", zlib.compress(content, 6))
        w.stream(pn + 2, b"/Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace "
                         b"/DeviceRGB /BitsPerComponent 8 /Filter /FlateDecode" % (width, height),
                 zlib.compress(pixels, 6))
    w.finish_classic(catalog, alloc.next)


def gen_tiny(path, npages):
    """N small pages for scaling runs: an uncompressed one-line content stream each."""
    alloc = Numbers(1)
    catalog, root, font = [alloc.take() for _ in range(3)]
    first_page = alloc.take(2 * npages)
    page_nums = [first_page + 2 * i for i in range(npages)]
    nodes, parent = page_tree(alloc, page_nums, root)
    w = PdfWriter(path)
    w.obj(catalog, b"<< /Type /Catalog /Pages %d 0 R >>" % root)
    write_tree(w, nodes, npages, b" /MediaBox [0 0 420 595]")
    w.obj(font, b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    for i, pn in enumerate(page_nums):
        w.obj(pn, b"<< /Type /Page /Parent %d 0 R /Resources << /Font << /F1 %d 0 R >> >> "
                  b"/Contents %d 0 R >>" % (parent[i], font, pn + 1))
        w.stream(pn + 1, b"", b"BT /F1 24 Tf 72 500 Td (%d) Tj ET" % (i + 1))
    w.finish_classic(catalog, alloc.next)


# ---------------------------------------------------------------------------------------------
# Driver


def plan(sizes, tiny=()):
    """Role -> (file name, generator) for one set of sizes."""
    t, big, img = sizes["text"], sizes["large"], sizes["images"]
    files = {
        "stamp": ("stamp.pdf", gen_stamp),
        "text": ("text_%d.pdf" % t, lambda p: gen_text(p, t)),
        "large": ("text_%d.pdf" % big, lambda p: gen_text(p, big)),
        "fg": ("fg_%d.pdf" % t, lambda p: gen_foreground(p, t)),
        "images": ("images_%d.pdf" % img, lambda p: gen_images(p, img)),
        "objstm": ("objstm_%d.pdf" % t, lambda p: gen_text(p, t, objstm=True)),
        "rotated": ("rotated_%d.pdf" % t, lambda p: gen_text(p, t, rotate=True)),
    }
    for n in tiny:
        files["tiny_%d" % n] = ("tiny_%d.pdf" % n, lambda p, n=n: gen_tiny(p, n))
    return files


def generate(outdir, sizes=None, tiny=(), force=False, roles=None, log=None):
    """Writes the missing inputs (all of them with force) and returns role -> path."""
    os.makedirs(outdir, exist_ok=True)
    paths = {}
    for role, (name, fn) in plan(sizes or STANDARD_SIZES, tiny).items():
        if roles is not None and role not in roles:
            continue
        path = os.path.join(outdir, name)
        paths[role] = path
        if force or not os.path.exists(path):
            if log:
                log("generating %s" % path)
            tmp = path + ".part"
            fn(tmp)
            os.replace(tmp, path)
    return paths


def qpdf_check(path):
    r = subprocess.run(["qpdf", "--check", path], capture_output=True, text=True)
    return r.returncode == 0, (r.stdout + r.stderr).strip().splitlines()[-1:]


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("outdir")
    ap.add_argument("--quick", action="store_true", help="tiny sizes, for a smoke run")
    ap.add_argument("--tiny", type=int, action="append", default=[], metavar="N",
                    help="also write tiny_N.pdf with N small pages (repeatable)")
    ap.add_argument("--only", action="append", metavar="ROLE", help="write only these roles")
    ap.add_argument("--force", action="store_true", help="rewrite files that exist")
    ap.add_argument("--check", action="store_true", help="run qpdf --check on every file")
    a = ap.parse_args(argv)
    sizes = QUICK_SIZES if a.quick else STANDARD_SIZES
    roles = set(a.only) | {"tiny_%d" % n for n in a.tiny} if a.only else None
    paths = generate(a.outdir, sizes, a.tiny, a.force, roles,
                     log=lambda m: print(m, file=sys.stderr))
    bad = 0
    for role, path in paths.items():
        line = "%-10s %12d  %s" % (role, os.path.getsize(path), path)
        if a.check:
            if shutil.which("qpdf") is None:
                print("qpdf not found: cannot check", file=sys.stderr)
                return 2
            ok, last = qpdf_check(path)
            line += "  qpdf --check: %s" % ("ok" if ok else "FAILED " + " ".join(last))
            bad += not ok
        print(line)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
