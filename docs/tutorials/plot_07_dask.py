"""
Beyond one machine with Dask
============================

A :class:`zorv_arrays.LegendreSpace` pickles as its three numbers, and its
methods pickle by name with their space, so Dask carries them to its workers as
they are. Here a ``dask.distributed.LocalCluster`` of two worker processes
evaluates a function at times held in a chunked dask array, block by block, and
the result is compared with the same evaluation in this process. On a real
cluster, ``Client("tcp://scheduler:8786")`` replaces the local one; every
worker needs ``zorv`` installed.
"""

# %%
# What travels to the workers
# ---------------------------
# The space pickles as ``(degree, n_t, T)``; a bound method with its space, and
# a ``functools.partial`` of it with the dofs, pickle too.
import functools
import logging
import os
import pickle
import time

import dask.array as da
import numpy as np
from dask.distributed import Client, LocalCluster

import zorv_arrays as za

space = za.LegendreSpace(4, 200, 10.0)
dofs = space.project(
    lambda t: np.sin(t) * np.exp(-0.1 * t) + 0.2 * np.cos(7 * t))
evaluate = functools.partial(space.evaluate, dofs)
assert pickle.loads(pickle.dumps(space)) == space
assert len(pickle.dumps(space)) < 100
travelled = pickle.loads(pickle.dumps(evaluate))
assert np.array_equal(travelled([1.0, 2.5]), evaluate([1.0, 2.5]))

# %%
# A small local cluster
# ---------------------
# Two worker processes with one thread each. Each worker's own pool gets one
# thread too (``RAYON_NUM_THREADS=1``), or the pools of all workers would
# compete for the same cores. Workers inherit this process's environment
# (``PYTHONPATH`` included), so they import the same ``zorv``.
#
# ``da.map_blocks`` calls ``evaluate(block)`` on each chunk of the times where
# the chunk lives; nothing runs until ``compute``. A second, tiny
# ``map_blocks`` asks each block which process computed it, and a third
# integrates the function from 0 to every time.


def on_local_cluster(times):
    """The values at `times`, the process id per block, the sum of the
    integrals, and the seconds taken to start the cluster and to compute the
    values."""
    start = time.perf_counter()
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=":0", silence_logs=logging.ERROR,
                      env={"RAYON_NUM_THREADS": "1"}) as cluster, \
            Client(cluster) as client:
        startup_seconds = time.perf_counter() - start
        assert len(client.scheduler_info()["workers"]) == 2
        start = time.perf_counter()
        values = da.map_blocks(evaluate, times, dtype=np.float64).compute()
        compute_seconds = time.perf_counter() - start
        pids = da.map_blocks(lambda block: np.array([os.getpid()]), times,
                             chunks=(1,), dtype=np.int64).compute()
        integral_from_0 = functools.partial(space.integrate, dofs, 0.0)
        integrals = da.map_blocks(integral_from_0, times, dtype=np.float64)
        total = integrals.sum().compute()
    return values, pids, total, startup_seconds, compute_seconds


# %%
# Run it, and compare with this process
# -------------------------------------
# Worker processes start a fresh interpreter that imports this script, as
# ``multiprocessing`` does: the ``if __name__ == "__main__"`` guard keeps them
# from starting clusters of their own. The values computed on the cluster equal
# those computed here bit for bit, whichever process computed a block.
times = da.random.default_rng(8).uniform(0.0, space.T, size=2_000_000,
                                         chunks=250_000)

if __name__ == "__main__":
    # imported here, not at the top: the worker processes need not import it
    import matplotlib.pyplot as plt

    (on_cluster, pids, total,
     startup_seconds, cluster_seconds) = on_local_cluster(times)
    local_times = times.compute()
    start = time.perf_counter()
    in_process = space.evaluate(dofs, local_times)
    local_seconds = time.perf_counter() - start

    assert np.array_equal(on_cluster, in_process)
    in_process_total = np.sum(space.integrate(dofs, 0.0, local_times))
    assert np.isclose(total, in_process_total, rtol=1e-12)
    workers = sorted(set(pids.tolist()))
    assert os.getpid() not in workers and len(workers) <= 2
    print(f"cluster of 2 worker processes started in {startup_seconds:.1f} s")
    print(f"{times.size} times in {times.numblocks[0]} blocks: "
          f"cluster {cluster_seconds * 1e3:.0f} ms, "
          f"in process {local_seconds * 1e3:.0f} ms "
          f"(the cluster also draws the random times and sends "
          f"{on_cluster.nbytes / 1e6:.0f} MB of values back)")
    blocks = {pid: int(np.sum(pids == pid)) for pid in workers}
    print("blocks per worker process:", blocks)

    # Left: a sample of every block, coloured by the worker process that
    # evaluated it; the blocks hold random times, so both workers' points lie
    # along the whole function. Right: where the time went (this page's build,
    # on its machine).
    fig, (left, right) = plt.subplots(1, 2, figsize=(9, 3.4),
                                      layout="constrained",
                                      width_ratios=[3, 2])
    block_size = times.chunks[0][0]
    for block, pid in enumerate(pids):
        sample = slice(block * block_size, block * block_size + 300)
        left.plot(local_times[sample], on_cluster[sample], ".", ms=2,
                  color=f"C{workers.index(pid)}")
    for index, pid in enumerate(workers):
        left.plot([], [], "o", color=f"C{index}",
                  label=f"worker {index + 1}: {blocks[pid]} blocks")
    left.legend(loc="upper right", fontsize=8)
    left.set_xlabel("t")
    left.set_ylabel("u(t)")
    left.set_title(f"{times.numblocks[0]} blocks of {block_size} times "
                   "on 2 worker processes")

    labels = ["start the cluster", "evaluate on it", "evaluate here"]
    seconds = [startup_seconds, cluster_seconds, local_seconds]
    right.barh(labels, seconds, color=["0.6", "C0", "C2"])
    for row, value in enumerate(seconds):
        right.text(value, row, f" {value:.2f} s", va="center", fontsize=8)
    right.set_xlim(0, 1.3 * max(seconds))
    right.invert_yaxis()
    right.set_xlabel("seconds")
    right.set_title(f"{times.size} times")
    plt.show()
