"""Overlay peer on pypdf: lays the pages of FG over (or under) the pages of BG.

    python3 pypdf_overlay.py stamp|merge over|under BG FG OUT

stamp: FG's first page merged into every BG page; merge: FG page i into BG page i (pages
without a partner are copied as they are). PageObject.merge_transformed_page with the identity
matrix, `over` choosing the layer.
"""
import sys

from pypdf import PdfReader, PdfWriter, Transformation


def main(mode, layer, bg_path, fg_path, out_path):
    bg = PdfReader(bg_path)
    fg = PdfReader(fg_path)
    over = layer != "under"
    identity = Transformation()
    writer = PdfWriter()
    stamp = fg.pages[0] if mode == "stamp" else None
    nfg = len(fg.pages)
    for i, page in enumerate(bg.pages):
        other = stamp if stamp is not None else (fg.pages[i] if i < nfg else None)
        if other is not None:
            page.merge_transformed_page(other, identity, over=over)
        writer.add_page(page)
    with open(out_path, "wb") as f:
        writer.write(f)


if __name__ == "__main__":
    main(*sys.argv[1:6])
