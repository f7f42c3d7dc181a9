#!/usr/bin/env python3
"""Evaluating Legendre functions at more times than one machine holds, with Dask.

The times are kept as a chunked dask array and each chunk is evaluated where it lives.
A zorv_arrays.LegendreSpace pickles as its three numbers, so the space and the dofs go
to the workers as they are: map_blocks calls space.evaluate on every block.

Usage:
    python3 examples/dask_evaluate.py                      # a local cluster of 2 processes
    python3 examples/dask_evaluate.py --scheduler tcp://scheduler:8786
Every worker needs zorv installed.
"""

from __future__ import annotations

import argparse
import time

import dask.array as da
import numpy as np
import numpy.typing as npt
from dask.distributed import Client, LocalCluster

import zorv_arrays

FloatArray = npt.NDArray[np.float64]


def evaluate_lazily(space: zorv_arrays.LegendreSpace, dofs: FloatArray, times: da.Array) -> da.Array:
    """A dask array of the values of the function `dofs` at `times`, chunked like `times`;
    nothing runs until computed. Each task carries the pickled space and dofs."""
    values: da.Array = da.map_blocks(lambda block: space.evaluate(dofs, block), times, dtype=np.float64)
    return values


def report(client: Client, times: da.Array, values: da.Array) -> None:
    start = time.perf_counter()
    total = float(values.sum().compute())
    workers = len(client.scheduler_info()["workers"])
    print(f"{times.size} times in {times.numblocks[0]} blocks on {workers} workers: "
          f"sum of the values {total:.6f} in {time.perf_counter() - start:.2f} s")


def main() -> None:
    parser = argparse.ArgumentParser(description="Evaluate a Legendre function on a Dask cluster")
    parser.add_argument("--scheduler", help="address of an existing scheduler (default: start a local cluster)")
    parser.add_argument("--times", type=int, default=10**7, help="number of times (default 10^7)")
    parser.add_argument("--chunk", type=int, default=10**6, help="times per block (default 10^6)")
    args = parser.parse_args()

    space = zorv_arrays.LegendreSpace(4, 1000, 100.0)
    dofs = np.random.default_rng(7).standard_normal(space.n_dofs)
    times = da.random.default_rng(8).uniform(0.0, space.T, size=args.times, chunks=args.chunk)
    values = evaluate_lazily(space, dofs, times)

    if args.scheduler:
        with Client(args.scheduler) as client:
            report(client, times, values)
    else:
        # One thread per worker process, and one thread for the worker pool in each.
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                          env={"RAYON_NUM_THREADS": "1"}) as cluster, Client(cluster) as client:
            report(client, times, values)


if __name__ == "__main__":
    main()
