#!/usr/bin/env python3
"""Stamps a watermark on every page of one or more PDF files with the quiremark Python binding.

Usage: stamp_watermark.py [--under] WATERMARK OUTDIR INPUT...

The first page of WATERMARK is drawn, centred and unscaled, on every page of each INPUT; the result
is written to OUTDIR (created if needed) under the input's own file name. With --under the
watermark goes underneath the page content instead of on top.

Example, with the package installed (see docs/python.md), or from a checkout built in build/:

    PYTHONPATH=build/python python3 examples/stamp_watermark.py samples/draft-stamp.pdf out samples/letter.pdf
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import quiremark


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Stamp a watermark on every page of PDF files.")
    parser.add_argument("--under", action="store_true", help="put the watermark under the page")
    parser.add_argument("watermark", type=Path, help="PDF whose first page is the watermark")
    parser.add_argument("outdir", type=Path, help="folder for the stamped files")
    parser.add_argument("inputs", type=Path, nargs="+", help="PDF files to stamp")
    args = parser.parse_args(argv)

    args.outdir.mkdir(parents=True, exist_ok=True)
    failed = False
    for source in args.inputs:
        target = args.outdir / source.name
        try:
            quiremark.stamp(source, args.watermark, target, underlay=args.under)
        except quiremark.EncryptedError:
            print(f"{source}: skipped, encrypted PDFs cannot be stamped", file=sys.stderr)
            failed = True
        except quiremark.Error as err:
            # err.kind says what failed, err.role which file ("background" is the input here).
            print(f"{source}: {err}", file=sys.stderr)
            failed = True
        else:
            print(f"{source} -> {target}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
