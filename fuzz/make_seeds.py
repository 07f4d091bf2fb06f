#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: fuzz/seeds/{inflate,load,job}/.

The seeds are the project's own fixtures: the two sample documents of scripts/make_samples.py and
small hand-assembled PDFs that between them hold every structure the reader knows (object
streams and cross-reference streams, incremental updates, nested page trees with inherited boxes,
rotation and resources, content arrays, indirect lengths, every supported filter and predictor,
resource chains and loops) and the damaged variants that it must survive. The inflate seeds are
zlib streams of every block type and strategy, plus hand-made damaged ones. Everything is
deterministic: running the script again rewrites the same files.

Usage: make_seeds.py [output directory, default: the seeds folder next to this script]
"""
import importlib.util
import os
import shutil
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def load_samples():
    path = os.path.join(HERE, "..", "scripts", "make_samples.py")
    module_spec = importlib.util.spec_from_file_location("make_samples", path)
    mod = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(mod)
    return mod


# ---------------------------------------------------------------------------------------------
# PDF assembly


def pdf(objects, root=1, trailer_extra=b"", header=b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n", xref=True):
    """objects: dict number -> value bytes. A file with a correct classic cross-reference table."""
    out = bytearray(header)
    offsets = {}
    for num in sorted(objects):
        offsets[num] = len(out)
        out += b"%d 0 obj\n" % num + objects[num] + b"\nendobj\n"
    if not xref:
        return bytes(out)
    size = max(objects) + 1
    pos = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % size
    for n in range(1, size):
        out += (b"%010d 00000 n \n" % offsets[n]) if n in offsets else b"0000000000 00000 f \n"
    out += b"trailer\n<< /Size %d /Root %d 0 R %s>>\nstartxref\n%d\n%%%%EOF\n" % (
        size, root, trailer_extra, pos)
    return bytes(out)


def stream(data, extra=b"", length=None):
    n = len(data) if length is None else length
    return b"<< /Length %s %s>>\nstream\n" % (str(n).encode() if isinstance(n, int) else n, extra) + \
        data + b"\nendstream"


def flate(data, extra=b""):
    return stream(zlib.compress(data, 9), b"/Filter /FlateDecode " + extra)


def ahx(data):
    return data.hex().upper().encode() + b">"


def a85(data):
    out = bytearray(b"<~")
    for i in range(0, len(data), 4):
        chunk = data[i:i + 4]
        n = len(chunk)
        v = struct.unpack(">I", chunk + b"\0" * (4 - n))[0]
        if v == 0 and n == 4:
            out += b"z"
            continue
        digits = []
        for _ in range(5):
            digits.append(v % 85)
            v //= 85
        enc = bytes(d + 33 for d in reversed(digits))
        out += enc[:n + 1]
    return bytes(out + b"~>")


def runlength(data):
    out = bytearray()
    for i in range(0, len(data), 100):
        chunk = data[i:i + 100]
        out.append(len(chunk) - 1)
        out += chunk
    return bytes(out + b"\x80")


def lzw(data):
    """LZW as PDF writes it: 8-bit symbols, clear 256, end 257, early change."""
    table = {bytes([i]): i for i in range(256)}
    nxt, width = 258, 9
    bits = []

    def emit(code):
        for k in range(width - 1, -1, -1):
            bits.append((code >> k) & 1)

    emit(256)
    w = b""
    for c in data:
        wc = w + bytes([c])
        if wc in table:
            w = wc
            continue
        emit(table[w])
        table[wc] = nxt
        nxt += 1
        if nxt + 1 > (1 << width) and width < 12:
            width += 1
        w = bytes([c])
    if w:
        emit(table[w])
    emit(257)
    bits += [0] * (-len(bits) % 8)
    return bytes(int("".join(map(str, bits[i:i + 8])), 2) for i in range(0, len(bits), 8))


def png_up(data, columns):
    """PNG predictor 'Up' (filter type 2) on rows of `columns` bytes."""
    out, prev = bytearray(), bytes(columns)
    for i in range(0, len(data), columns):
        row = data[i:i + columns].ljust(columns, b" ")
        out.append(2)
        out += bytes((row[k] - prev[k]) & 0xFF for k in range(columns))
        prev = row
    return bytes(out)


CONTENT = b"q 0.5 g 10 10 100 100 re f Q\nBT /F1 12 Tf 72 700 Td (Hello) Tj ET\n"
FONT = b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"


def simple(pages=1, content=CONTENT):
    objs = {1: b"<< /Type /Catalog /Pages 2 0 R >>", 9: FONT}
    kids = b""
    for k in range(pages):
        kids += b"%d 0 R " % (3 + 2 * k)
        objs[3 + 2 * k] = (b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents %d 0 R "
                           b"/Resources << /Font << /F1 9 0 R >> >> >>" % (4 + 2 * k))
        objs[4 + 2 * k] = stream(content + b"%% page %d\n" % (k + 1))
    objs[2] = b"<< /Type /Pages /Kids [%s] /Count %d >>" % (kids, pages)
    return pdf(objs)


def nested_tree():
    objs = {
        1: b"<< /Type /Catalog /Pages 2 0 R >>",
        2: b"<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 4 /Rotate 90 /MediaBox [0 0 500 700] "
           b"/Resources << /Font << /F1 20 0 R >> /ExtGState << /G 22 0 R >> >> >>",
        3: b"<< /Type /Pages /Parent 2 0 R /Kids [5 0 R 6 0 R] /Count 2 /Rotate 180 "
           b"/MediaBox [10 20 622 812] >>",
        4: b"<< /Type /Pages /Parent 2 0 R /Kids [7 0 R 5 0 R] /Count 2 >>",
        5: b"<< /Type /Page /Parent 3 0 R /Contents [10 0 R 11 0 R] /CropBox [50 50 300 400] >>",
        6: b"<< /Type /Page /Parent 3 0 R /Contents 12 0 R /Rotate -90 "
           b"/Resources 21 0 R >>",
        7: b"<< /Type /Page /Parent 4 0 R /Contents 13 0 R /Rotate 270 /MediaBox [0 0 200 100] "
           b"/Resources << /XObject << /X1 23 0 R >> >> >>",
        10: stream(b"q 1 0 0 RG\n"),
        11: flate(b"0 0 m 100 100 l S Q\n"),
        12: stream(b"BT /F1 9 Tf (indirect length) Tj ET\n", length=b"14 0 R"),
        13: stream(b"/X1 Do\n"),
        14: b"%d" % len(b"BT /F1 9 Tf (indirect length) Tj ET\n"),
        20: b"<< /Type /Font /Subtype /Type1 /BaseFont /Times-Roman /FontDescriptor 24 0 R >>",
        21: b"<< /Font << /F1 20 0 R /F2 25 0 R >> >>",
        22: b"<< /Type /ExtGState /ca 0.5 /SMask /None >>",
        23: stream(b"0 0 10 10 re f\n", b"/Type /XObject /Subtype /Form /BBox [0 0 10 10] "
                   b"/Resources << /XObject << /Self 23 0 R >> /Font << /F1 20 0 R >> >> "),
        24: b"<< /Type /FontDescriptor /FontName /Times-Roman /FontFile 26 0 R /Flags 32 >>",
        25: b"<< /Type /Font /Subtype /Type1 /BaseFont /Courier /Widths 27 0 R >>",
        26: flate(b"\x80\x01fake font program" * 4, b"/Length1 68 "),
        27: b"[600 600 600 28 0 R]",
        28: b"600",
    }
    return pdf(objs)


def objstm_xref_stream(prev_chain=False):
    """PDF 1.5 layout: most objects in a Flate object stream, a cross-reference stream."""
    inner = {
        1: b"<< /Type /Catalog /Pages 2 0 R >>",
        2: b"<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 2 >>",
        3: b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 400 400] /Contents 6 0 R "
           b"/Resources << /Font << /F1 5 0 R >> >> >>",
        4: b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 500] /Rotate 90 /Contents 8 0 R "
           b"/Resources 9 0 R >>",
        5: FONT,
        8: b"[6 0 R 10 0 R]",
        9: b"<< /Font << /F1 5 0 R >> >>",
    }
    head, body = b"", b""
    for num in sorted(inner):
        head += b"%d %d " % (num, len(body))
        body += inner[num] + b"\n"
    first = len(head)
    objstm = zlib.compress(head + body, 9)
    out = bytearray(b"%PDF-1.5\n%\xe2\xe3\xcf\xd3\n")
    offsets = {}
    offsets[7] = len(out)
    out += b"7 0 obj\n<< /Type /ObjStm /N %d /First %d /Filter /FlateDecode /Length %d >>\nstream\n" % (
        len(inner), first, len(objstm)) + objstm + b"\nendstream\nendobj\n"
    for num, data in ((6, zlib.compress(CONTENT, 9)), (10, zlib.compress(b"0 0 1 rg 5 5 20 20 re f\n"))):
        offsets[num] = len(out)
        out += b"%d 0 obj\n<< /Length %d /Filter /FlateDecode >>\nstream\n" % (num, len(data)) + data + \
            b"\nendstream\nendobj\n"
    xref_num = 11
    size = 12
    rows = bytearray()
    index_of = {n: i for i, n in enumerate(sorted(inner))}
    for n in range(size):
        if n == 0:
            rows += bytes([0, 0, 0, 0xFF])
        elif n in inner:
            rows += bytes([2, 0, 7, index_of[n]])
        elif n in offsets:
            rows += bytes([1]) + struct.pack(">H", offsets[n]) + bytes([0])
        elif n == xref_num:
            rows += bytes([1]) + struct.pack(">H", len(out)) + bytes([0])
        else:
            rows += bytes([0, 0, 0, 0])
    data = zlib.compress(bytes(rows))
    pos = len(out)
    prev = b" /Prev %d" % pos if prev_chain else b""
    out += b"%d 0 obj\n<< /Type /XRef /Size %d /W [1 2 1] /Root 1 0 R%s /Filter /FlateDecode /Length %d >>\nstream\n" % (
        xref_num, size, prev, len(data)) + data + b"\nendstream\nendobj\n"
    out += b"startxref\n%d\n%%%%EOF\n" % pos
    return bytes(out)


def uncompressed_objstm():
    inner = {3: b"<< /Type /Page /Parent 2 0 R /Contents 4 0 R >>", 5: FONT}
    head, body = b"", b""
    for num in sorted(inner):
        head += b"%d %d " % (num, len(body))
        body += inner[num] + b" "
    objs = {
        1: b"<< /Type /Catalog /Pages 2 0 R >>",
        2: b"<< /Type /Pages /Kids [3 0 R] /Count 1 /Resources << /Font << /F1 5 0 R >> >> >>",
        4: stream(CONTENT),
        6: stream(head + body, b"/Type /ObjStm /N 2 /First %d " % len(head)),
    }
    return pdf(objs)


def incremental():
    base = simple(2)
    update = bytearray(base)
    off5 = len(update)
    update += b"5 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 300] /Contents 12 0 R >>\nendobj\n"
    off12 = len(update)
    update += b"12 0 obj\n" + stream(b"1 0 0 rg 0 0 300 300 re f\n") + b"\nendobj\n"
    prev = base.rindex(b"startxref")
    prev_pos = int(base[prev + 10:].split(b"\n")[0])
    x = len(update)
    update += b"xref\n0 1\n0000000000 65535 f \n5 1\n%010d 00000 n \n12 1\n%010d 00000 n \n" % (off5, off12)
    update += b"trailer\n<< /Size 13 /Root 1 0 R /Prev %d >>\nstartxref\n%d\n%%%%EOF\n" % (prev_pos, x)
    return bytes(update)


def filters():
    text = CONTENT * 3
    objs = {
        1: b"<< /Type /Catalog /Pages 2 0 R >>",
        2: b"<< /Type /Pages /Kids [3 0 R 4 0 R 5 0 R] /Count 3 /Resources << /Font << /F1 9 0 R >> >> >>",
        3: b"<< /Type /Page /Parent 2 0 R /Contents [10 0 R 11 0 R 12 0 R] >>",
        4: b"<< /Type /Page /Parent 2 0 R /Contents [13 0 R 14 0 R] >>",
        5: b"<< /Type /Page /Parent 2 0 R /Contents 15 0 R >>",
        9: FONT,
        10: stream(ahx(text), b"/Filter /ASCIIHexDecode "),
        11: stream(a85(text), b"/Filter /A85 "),
        12: stream(runlength(text), b"/Filter /RunLengthDecode "),
        13: stream(lzw(text), b"/Filter /LZWDecode "),
        14: stream(ahx(zlib.compress(text)), b"/Filter [/AHx /Fl] "),
        15: stream(zlib.compress(png_up(text, 8)),
                   b"/Filter /FlateDecode /DecodeParms << /Predictor 12 /Columns 8 >> "),
    }
    return pdf(objs)


def page_is_root():
    return pdf({
        1: b"<< /Type /Catalog /Pages 3 0 R >>",
        3: b"<< /Type /Page /MediaBox [0 0 200 200] /Contents 4 0 R >>",
        4: stream(b"0 0 200 200 re S\n"),
    })


def no_root_catalog_search():
    objs = {
        4: b"<< /Type /Catalog /Pages 5 0 R >>",
        5: b"<< /Type /Pages /Kids [6 0 R] /Count 1 >>",
        6: b"<< /Type /Page /Parent 5 0 R /Contents 7 0 R /Resources << /Font << /F1 8 0 R >> >> >>",
        7: stream(CONTENT),
        8: FONT,
    }
    body = pdf(objs, xref=False)
    return b"garbage before the header\n" + body + b"trailer\n<< /Size 9 >>\n%%EOF\n"


def encrypted():
    return pdf({1: b"<< /Type /Catalog /Pages 2 0 R >>", 2: b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                3: b"<< /Type /Page /Parent 2 0 R >>", 4: b"<< /Filter /Standard /V 1 /R 2 >>"},
               trailer_extra=b"/Encrypt 4 0 R ")


def inline_kids():
    return pdf({1: b"<< /Type /Catalog /Pages 2 0 R >>",
                2: b"<< /Type /Pages /Kids [<< /Type /Page >>] /Count 1 >>"})


def kids_loop():
    return pdf({1: b"<< /Type /Catalog /Pages 2 0 R >>",
                2: b"<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 2 >>",
                3: b"<< /Type /Page /Parent 3 0 R /Contents 5 0 R /Resources << /Font << /F1 6 0 R >> >> >>",
                4: b"<< /Type /Pages /Kids [2 0 R] /Parent 4 0 R >>",
                5: stream(CONTENT),
                6: b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Self 6 0 R /Next 7 0 R >>",
                7: b"<< /Back 6 0 R /Chain [7 0 R 6 0 R 1 0 R] >>"})


def damaged(base):
    """A few classic damages of one document."""
    out = {}
    out["no_endobj"] = base.replace(b"endobj", b"endobx", 2)
    out["no_endstream"] = base.replace(b"endstream", b"endstrea", 1)
    out["long_length"] = base.replace(b"/Length ", b"/Length 9", 1)
    out["truncated_half"] = base[:len(base) // 2]
    out["self_prev"] = base.replace(b"/Root 1 0 R", b"/Root 1 0 R /Prev %d" % base.rindex(b"xref"))
    out["huge_numbers"] = base.replace(b"612", b"99999999999999999999", 1).replace(b"3 0 R", b"2147483647 0 R", 1)
    return out


def bogus_objstm():
    good = objstm_xref_stream()
    return {
        "objstm_bad_n": good.replace(b"/N 7", b"/N 99999"),
        "objstm_bad_first": good.replace(b"/First", b"/First 999999 /Fx"),
        "objstm_neg_first": good.replace(b"/First", b"/First -1 /Fx"),
    }


def flate_bomb():
    # A content stream and an object stream that inflate far beyond 20 and 8 times their size.
    bomb = zlib.compress(b"0" * 300000, 9)
    objs = {1: b"<< /Type /Catalog /Pages 2 0 R >>", 2: b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
            3: b"<< /Type /Page /Parent 2 0 R /Contents 4 0 R >>",
            4: stream(bomb, b"/Filter /FlateDecode "),
            5: stream(bomb, b"/Type /ObjStm /N 1 /First 0 /Filter /FlateDecode ")}
    return pdf(objs)


def pdf_fixtures():
    samples = load_samples()
    docs = {
        "letter": samples.letter(),
        "draft_stamp": samples.draft_stamp(),
        "simple1": simple(1),
        "simple3": simple(3),
        "nested_tree": nested_tree(),
        "objstm_xref": objstm_xref_stream(),
        "objstm_xref_self_prev": objstm_xref_stream(True),
        "objstm_uncompressed": uncompressed_objstm(),
        "incremental": incremental(),
        "filters": filters(),
        "page_is_root": page_is_root(),
        "catalog_search": no_root_catalog_search(),
        "encrypted": encrypted(),
        "inline_kids": inline_kids(),
        "kids_loop": kids_loop(),
        "flate_bomb": flate_bomb(),
    }
    for k, v in damaged(simple(2)).items():
        docs["damaged_" + k] = v
    docs.update(bogus_objstm())
    return docs


# ---------------------------------------------------------------------------------------------
# Inflate seeds: one control byte (capacity choice), then a zlib stream.


def zlib_with(data, level=6, strategy=zlib.Z_DEFAULT_STRATEGY, flushes=1):
    c = zlib.compressobj(level, zlib.DEFLATED, 15, 8, strategy)
    out = b""
    step = max(1, len(data) // flushes)
    for i in range(0, len(data), step):
        out += c.compress(data[i:i + step])
        if flushes > 1:
            out += c.flush(zlib.Z_FULL_FLUSH)
    return out + c.flush()


def prng_bytes(n, seed=12345):
    out, x = bytearray(), seed
    for _ in range(n):
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out.append((x >> 16) & 0xFF)
    return bytes(out)


def inflate_seeds():
    payloads = {
        "empty": b"",
        "byte": b"a",
        "text": CONTENT * 20,
        "zeros": b"\0" * 70000,
        "random": prng_bytes(3000),
        "pdf": simple(1),
    }
    strategies = {"default": zlib.Z_DEFAULT_STRATEGY, "fixed": zlib.Z_FIXED,
                  "huffman": zlib.Z_HUFFMAN_ONLY, "rle": zlib.Z_RLE, "filtered": zlib.Z_FILTERED}
    seeds = {}
    ctrl = 0
    for pname, p in payloads.items():
        for level in (0, 1, 9):
            if level == 0 and len(p) > 20000:
                continue
            seeds["%s_l%d" % (pname, level)] = bytes([ctrl & 7]) + zlib_with(p, level)
            ctrl += 1
        for sname, s in strategies.items():
            seeds["%s_%s" % (pname, sname)] = bytes([ctrl & 7]) + zlib_with(p, 6, s)
            ctrl += 1
        seeds["%s_blocks" % pname] = bytes([3]) + zlib_with(p, 6, flushes=4)
    good = zlib.compress(CONTENT * 4)
    seeds.update({
        "empty_fixed_block": b"\x03\x78\x9c\x03\x00",
        "no_adler": b"\x00" + good[:-4],
        "bad_adler": b"\x00" + good[:-4] + b"\0\0\0\0",
        "truncated": b"\x03" + good[: len(good) // 2],
        "preset_dict": b"\x03\x78\xbb" + good[2:],
        "method9": b"\x03\x79" + good[1:],
        "window15": b"\x03\xf8" + good[1:],
        "type3_second_block": b"\x03\x78\x9c\x00\x01\x00\xfe\xff" + b"x" + b"\x07",
        "bad_nlen": b"\x03\x78\x01\x01\x05\x00\x00\x00hello",
        "stored_empty": b"\x00\x78\x01\x01\x00\x00\xff\xff",
        "far_distance": b"\x03\x78\x9c" + bytes([0x63, 0x00, 0x02, 0x00]),
        "capacity_limit": b"\x07" + good,
        "capacity_over": b"\x0e" + good,
    })
    return seeds


# ---------------------------------------------------------------------------------------------


def write_dir(path, files):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    for name, data in sorted(files.items()):
        with open(os.path.join(path, name), "wb") as f:
            f.write(data)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "seeds")
    docs = pdf_fixtures()
    write_dir(os.path.join(out, "load"), {k + ".pdf": v for k, v in docs.items()})
    write_dir(os.path.join(out, "inflate"), {k + ".bin": v for k, v in inflate_seeds().items()})
    # Job seeds: control byte (job kind, mode, in place, compact output), opacity byte,
    # background, QMSPLIT, foreground.
    pairs = [
        ("letter", "draft_stamp", 0x00, 216), ("letter", "draft_stamp", 0x01, 216),
        ("letter", "draft_stamp", 0x06, 116), ("draft_stamp", "letter", 0x04, 216),
        ("simple3", "nested_tree", 0x02, 0), ("nested_tree", "objstm_xref", 0x00, 216),
        ("objstm_xref", "filters", 0x05, 216), ("incremental", "page_is_root", 0x0a, 255),
        ("catalog_search", "simple1", 0x08, 216), ("filters", "kids_loop", 0x00, 216),
        ("encrypted", "simple1", 0x00, 216), ("simple1", "inline_kids", 0x00, 216),
        ("objstm_uncompressed", "damaged_no_endstream", 0x03, 216),
        ("damaged_long_length", "damaged_self_prev", 0x01, 216),
        ("damaged_huge_numbers", "objstm_bad_n", 0x00, 216),
        ("flate_bomb", "simple1", 0x00, 216), ("simple1", "simple1", 0xf0, 216),
        # Compact output (bit 4).
        ("letter", "draft_stamp", 0x11, 216), ("letter", "draft_stamp", 0x16, 116),
        ("filters", "kids_loop", 0x10, 216), ("objstm_xref", "filters", 0x15, 216),
        ("catalog_search", "simple1", 0x18, 216), ("flate_bomb", "simple1", 0x10, 216),
    ]
    job = {}
    for bg, fg, c0, c1 in pairs:
        job["%s__%s_%02x.bin" % (bg, fg, c0)] = bytes([c0, c1]) + docs[bg] + b"QMSPLIT" + docs[fg]
    write_dir(os.path.join(out, "job"), job)


if __name__ == "__main__":
    main()
