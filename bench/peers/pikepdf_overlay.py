"""Overlay peer on pikepdf: lays the pages of FG over (or under) the pages of BG.

    python3 pikepdf_overlay.py stamp|merge over|under BG FG OUT

stamp: FG's first page, made a Form XObject once, on every BG page; merge: FG page i on BG
page i (pages without a partner are left as they are). Page.add_overlay / add_underlay place
the form into each page's box.
"""
import sys

import pikepdf


def main(mode, layer, bg_path, fg_path, out_path):
    bg = pikepdf.open(bg_path)
    fg = pikepdf.open(fg_path)
    add = pikepdf.Page.add_underlay if layer == "under" else pikepdf.Page.add_overlay
    if mode == "stamp":
        form = bg.copy_foreign(pikepdf.Page(fg.pages[0]).as_form_xobject())
        for page in bg.pages:
            add(pikepdf.Page(page), form)
    else:
        for page, fpage in zip(bg.pages, fg.pages):
            add(pikepdf.Page(page), bg.copy_foreign(pikepdf.Page(fpage).as_form_xobject()))
    bg.save(out_path)


if __name__ == "__main__":
    main(*sys.argv[1:6])
