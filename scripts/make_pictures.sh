#!/usr/bin/env bash
# Renders the README's pictures into docs/ from the sample PDFs:
#   docs/stamp.png     samples/draft-stamp.pdf stamped on every page of samples/letter.pdf
#                      (portrait, landscape, and a page turned by /Rotate 90)
#   docs/underlay.png  the letter's first page, the stamp, and the stamp laid under that page at
#                      opacity 0.35 (quiremark merge --underlay --opacity 0.35)
# Usage: scripts/make_pictures.sh [PATH_TO_QUIREMARK]   (default: build the tool into build/)
# Needs pdftoppm (poppler-utils) and python3; the pictures are plain PNG files written here.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-}
if [ -z "$bin" ]; then
  ./scripts/deps.sh
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQUIREMARK_BUILD_TESTS=OFF >/dev/null
  cmake --build build -j2 --target quiremark_cli >/dev/null
  bin=build/quiremark
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpi=40

"$bin" stamp samples/letter.pdf samples/draft-stamp.pdf "$work/stamp.pdf"
"$bin" merge samples/letter.pdf samples/draft-stamp.pdf "$work/underlay.pdf" --underlay --opacity 0.35
pdftoppm -r $dpi "$work/stamp.pdf" "$work/stamp"
pdftoppm -r $dpi -f 1 -l 1 samples/letter.pdf "$work/letter"
pdftoppm -r $dpi samples/draft-stamp.pdf "$work/draft"
pdftoppm -r $dpi -f 1 -l 1 "$work/underlay.pdf" "$work/underlay"

# Lays PPM page images side by side, bottom-aligned, each with a thin frame, on a light
# background, and writes the row as a PNG. Pure Python: PPM in, zlib out.
row() {
  python3 - "$@" <<'PY'
import struct, sys, zlib

def read_ppm(path):
    data = open(path, "rb").read()
    fields, pos = [], 0
    while len(fields) < 4:  # magic, width, height, maxval, separated by white space
        while data[pos:pos + 1].isspace():
            pos += 1
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(data[start:pos])
    assert fields[0] == b"P6" and fields[3] == b"255", path
    w, h = int(fields[1]), int(fields[2])
    pix = data[pos + 1:pos + 1 + 3 * w * h]
    return w, h, [pix[3 * w * y:3 * w * (y + 1)] for y in range(h)]

def png(path, w, h, rows):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    raw = b"".join(b"\0" + bytes(r) for r in rows)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))

out, images = sys.argv[1], [read_ppm(p) for p in sys.argv[2:]]
gap, back, frame = 16, (236, 239, 243), (120, 120, 120)
height = max(h for _, h, _ in images) + 2 * gap + 2
width = sum(w + 2 for w, _, _ in images) + gap * (len(images) + 1)
canvas = [bytearray(bytes(back) * width) for _ in range(height)]
x = gap
for w, h, rows in images:
    top = height - gap - h - 2
    for y in range(h + 2):  # frame, then the page inside it
        line = canvas[top + y]
        if y in (0, h + 1):
            line[3 * x:3 * (x + w + 2)] = bytes(frame) * (w + 2)
        else:
            line[3 * x:3 * x + 3] = bytes(frame)
            line[3 * (x + 1):3 * (x + 1 + w)] = rows[y - 1]
            line[3 * (x + w + 1):3 * (x + w + 2)] = bytes(frame)
    x += w + 2 + gap
png(out, width, height, canvas)
PY
}
mkdir -p docs
row docs/stamp.png "$work"/stamp-*.ppm
row docs/underlay.png "$work"/letter-*.ppm "$work"/draft-*.ppm "$work"/underlay-*.ppm
echo "wrote docs/stamp.png and docs/underlay.png"
