#!/usr/bin/env python3
"""Stamp many PDFs on a Dask cluster.

    stamp_on_dask.py [--scheduler ADDRESS] [--workers N] [--bytes] STAMP OUT_DIR PDF...

Without --scheduler, a cluster of N worker processes (default 2) is started on this machine. To
use a real cluster, start a scheduler and workers where you like, each worker with this quiremark
package installed:

    dask scheduler                                   # prints tcp://HOST:8786
    dask worker tcp://HOST:8786 --nthreads 1         # on each machine, one per core or two

and pass --scheduler tcp://HOST:8786. With a file system that the workers share (NFS...), the
default sends them paths; --bytes sends the PDFs themselves and writes the outputs here instead.
"""

from __future__ import annotations

import argparse
import sys

from dask.distributed import Client, LocalCluster

import quiremark.dask


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("stamp")
    parser.add_argument("out_dir")
    parser.add_argument("pdfs", nargs="+")
    parser.add_argument("--scheduler", help="a running scheduler, e.g. tcp://host:8786")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes")
    parser.add_argument("--bytes", action="store_true", help="send the PDFs, not their paths")
    args = parser.parse_args()

    if args.scheduler:
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1,
                               dashboard_address=None)
        client = Client(cluster)
    with client:
        results = quiremark.dask.stamp_many(client, args.pdfs, args.stamp, args.out_dir,
                                            transfer="bytes" if args.bytes else "paths")
    failed = 0
    for r in results:
        if r.ok:
            print(f"{r.background} -> {r.output} ({r.pages} pages)")
        else:
            failed += 1
            print(f"{r.background}: {r.error}", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
