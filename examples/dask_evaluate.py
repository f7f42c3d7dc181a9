#!/usr/bin/env python3
"""Evaluating a Legendre function at more times than one machine holds, with Dask.

10^9 times as a list of Python floats take about 32 GB, so the times are kept as a chunked
dask array and each chunk is evaluated where it lives. zorv's classes cannot be pickled:
every block builds its own evaluator from (degree, n_t, T, dofs), which are plain values.

Usage:
    python3 examples/dask_evaluate.py                      # a local cluster of 2 processes
    python3 examples/dask_evaluate.py --scheduler tcp://scheduler:8786
Every worker needs zorv installed. Run as a script, this file's functions travel with the
tasks; imported from another module, the workers must import it too (client.upload_file sends it).
"""

from __future__ import annotations

import argparse
import time
from typing import Sequence

import dask.array as da
import numpy as np
import numpy.typing as npt
from dask.distributed import Client, LocalCluster

import zorv

FloatArray = npt.NDArray[np.float64]


def evaluate_block(times: FloatArray, degree: int, n_t: int, T: float, dofs: Sequence[float]) -> FloatArray:
    """One block, on a worker: a fresh evaluator, its list of values as a float64 array."""
    # A block that arrived from another process may lie unaligned in its message buffer,
    # which zorv refuses (BufferError); np.require copies only in that case.
    aligned = np.require(times, dtype=np.float64, requirements="A")
    evaluator = zorv.LegendreBasisEvaluator(degree, n_t, T)
    evaluator.set_dofs(dofs)
    values = evaluator.evaluate_many(aligned)
    return np.fromiter(values, dtype=np.float64, count=times.size).reshape(times.shape)


def evaluate_lazily(times: da.Array, degree: int, n_t: int, T: float, dofs: Sequence[float]) -> da.Array:
    """A dask array of the values at `times`, chunked like `times`; nothing runs until computed."""
    values: da.Array = da.map_blocks(evaluate_block, times, degree, n_t, T, list(dofs), dtype=np.float64)
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

    degree, n_t, T = 4, 1000, 100.0
    dofs = np.random.default_rng(7).standard_normal(n_t * (degree + 1)).tolist()
    times = da.random.default_rng(8).uniform(0.0, T, size=args.times, chunks=args.chunk)
    values = evaluate_lazily(times, degree, n_t, T, dofs)

    if args.scheduler:
        with Client(args.scheduler) as client:
            report(client, times, values)
    else:
        # One thread per worker process, and one thread for zorv's own pool in each.
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                          env={"RAYON_NUM_THREADS": "1"}) as cluster, Client(cluster) as client:
            report(client, times, values)


if __name__ == "__main__":
    main()
