#!/usr/bin/env python3
"""Benchmark of the Legendre-basis evaluation of zorv.

Measures, in one run, on 10^6 float64 times (degree 3, n_t 1000, random dofs):

1. ``LegendreBasisEvaluator.evaluate_many`` against ``ndarray.tolist()`` of the
   same array: building a list of 10^6 Python floats is the floor of any
   function that returns one.
2. ``evaluate_many`` against the same values computed with NumPy and turned into
   a list: (a) ``numpy.polynomial.legendre.legval`` with per-point coefficients,
   (b) a hand-vectorised three-term recurrence.
3. ``evaluate_at(t)`` in a Python loop against ``math.fabs(t)`` in the same loop.
4. The compute cost (``evaluate_many`` minus the list floor, on batches below the
   parallel threshold so that the calling thread does all the work) at degree 20
   against degree 2: a recurrence run once per point grows linearly.
5. The extra peak memory of ``evaluate_many`` over a baseline that builds the
   same list with ``tolist()`` (process peak RSS, one subprocess per run).
6. ``set_dofs`` of 10^6 dofs given as a float64 ndarray against the same values
   given as a list.
7. ``LegendreBasis.evaluate_at(t, dofs)`` with 1,000 dofs given as a float64
   ndarray against the same values given as a list.
8. Thread scaling: ``evaluate_many`` of 2048, 4096 and 8192 times at degrees 3 and
   20, and of 10^6 times at degree 20, in a process whose pool has 2 threads
   against one whose pool has 1 (RAYON_NUM_THREADS), one subprocess each,
   alternating; the figure is the ratio of the medians over the subprocesses
   (two-thread times are bimodal across processes on a shared machine), printed
   with the load average at the time. From the parallel threshold on, a call must
   be at least as fast on two threads as on one (>= 0.95, noise), and 8192 times at
   degree 20 at least 1.3x faster.
9. Idle cost of the pool: CPU seconds per wall second of a program that evaluates
   4096 times every 200 us and every 1 ms, with a pool of 8 threads and one of as
   many threads as processors, against the same program with a pool of 1 thread
   (one subprocess each, alternating). Waiting workers must not burn the machine.

Timings are the best and the median of several repeats; every ratio compares
two measurements taken in the same run. Nothing here asserts a timing.

Usage: python3 bench/bench_legendre.py [--repeats N] [--points N] [--pool-only]
(--pool-only: measurements 8 and 9 only)
"""

import argparse
import gc
import math
import os
import platform
import resource
import statistics
import subprocess
import sys
import time

import numpy as np
from numpy.polynomial import legendre as npleg

import zorv

T_END = 2.0
N_T = 1000
DEGREE = 3


# ---------------------------------------------------------------- timing helpers


class Timing:
    """Best and median wall time of repeated calls, in seconds."""

    def __init__(self, samples, faults=()):
        self.samples = sorted(samples)
        self.best = self.samples[0]
        self.median = statistics.median(self.samples)
        # minor page faults per call: fresh memory is expensive on some virtual machines
        self.faults = statistics.median(faults) if faults else 0


def measure(function, repeats):
    """Times `function()` `repeats` times (after one warm-up call).

    The result of each call is dropped outside the timed region, so freeing a
    big list is not charged to the next call; the cyclic collector is off while
    timing, as in timeit.
    """
    result = function()
    del result
    samples, faults = [], []
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeats):
            faults_before = minor_faults()
            start = time.perf_counter()
            result = function()
            elapsed = time.perf_counter() - start
            faults.append(minor_faults() - faults_before)
            del result
            samples.append(elapsed)
    finally:
        if was_enabled:
            gc.enable()
    return Timing(samples, faults)


def minor_faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def measure_pair(first, second, repeats):
    """Times two functions interleaved, so drifts of a noisy machine hit both."""
    first_runs = []
    second_runs = []
    for _ in range(repeats):
        first_runs.append(measure(first, 1))
        second_runs.append(measure(second, 1))
    return merge(first_runs), merge(second_runs)


def merge(timings):
    return Timing([t.samples[0] for t in timings], [t.faults for t in timings])


def format_time(seconds):
    if seconds >= 1.0:
        return f"{seconds:.3f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:.2f} us"
    return f"{seconds * 1e9:.1f} ns"


class Table:
    """Rows of: measurement, zorv, peer, ratio, target, met?"""

    HEADER = ("measurement", "zorv", "peer", "ratio", "target", "met?")

    def __init__(self):
        self.rows = []

    def add(self, measurement, zorv_value, peer_value, ratio, target, met):
        self.rows.append((measurement, zorv_value, peer_value, ratio, target, "yes" if met else "NO"))

    def print(self):
        widths = [max(len(str(row[i])) for row in [self.HEADER] + self.rows) for i in range(6)]
        line = "  ".join("{:<%d}" % w for w in widths)
        print(line.format(*self.HEADER))
        print(line.format(*("-" * w for w in widths)))
        for row in self.rows:
            print(line.format(*row))


# ---------------------------------------------------------------- NumPy peers


def dofs_by_degree(dofs, n_t):
    """The flat Legendre dof vector (index e + n_t*k) as an array [k, e]."""
    return np.asarray(dofs, dtype=np.float64).reshape(-1, n_t)


def locate(times, n_t, t_end):
    """Element index and reference coordinate of every time, as zorv locates them."""
    width = t_end / n_t
    element = np.floor(times / width)
    np.clip(element, 0, n_t - 1, out=element)  # NaN-free input: no saturation needed
    element = element.astype(np.intp)
    left = width * element
    right = width + left
    xi = (2.0 * (times + (left + right) * -0.5)) / (right - left)
    np.clip(xi, -1.0, 1.0, out=xi)
    return element, xi


def numpy_legval_values(times, coefficients, n_t, t_end):
    element, xi = locate(times, n_t, t_end)
    per_point = coefficients[:, element]  # shape (degree+1, npoints)
    return npleg.legval(xi, per_point, tensor=False)


def numpy_legval_list(times, coefficients, n_t, t_end):
    """(a) legval with the coefficients of each point's element gathered per point."""
    return numpy_legval_values(times, coefficients, n_t, t_end).tolist()


def numpy_recurrence_values(times, coefficients, n_t, t_end):
    element, xi = locate(times, n_t, t_end)
    degree = coefficients.shape[0] - 1
    previous = np.ones_like(xi)
    current = xi
    total = coefficients[0][element].copy()
    if degree >= 1:
        total += current * coefficients[1][element]
    for k in range(1, degree):
        following = (current * (xi * (2 * k + 1)) - previous * k) / (k + 1)
        previous, current = current, following
        total += current * coefficients[k + 1][element]
    return total


def numpy_recurrence_list(times, coefficients, n_t, t_end):
    """(b) a hand-vectorised recurrence over all points."""
    return numpy_recurrence_values(times, coefficients, n_t, t_end).tolist()


# ---------------------------------------------------------------- peak memory

MEMORY_CHILD = r"""
import sys
import numpy as np
import zorv

def peak_kib():
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    import resource
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # KiB on Linux

mode, points, degree, n_t, t_end = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5])
rng = np.random.default_rng(7)
evaluator = zorv.LegendreBasisEvaluator(degree, n_t, t_end)
evaluator.set_dofs(rng.standard_normal(n_t * (degree + 1)).tolist())
evaluator.evaluate_many(np.linspace(0.0, t_end, 4096))  # start the worker pool in both modes
times = rng.random(points)
times *= t_end
before = peak_kib()
if mode == "zorv":
    result = evaluator.evaluate_many(times)
else:
    result = times.tolist()
print(before, peak_kib(), len(result))
"""


def child_peak_bytes(mode, points, degree):
    output = subprocess.run(
        [sys.executable, "-c", MEMORY_CHILD, mode, str(points), str(degree), str(N_T), str(T_END)],
        check=True,
        capture_output=True,
        text=True,
        env=os.environ.copy(),
    ).stdout.split()
    before_kib, peak_kib, length = (int(x) for x in output)
    assert length == points
    return before_kib * 1024, peak_kib * 1024


def serial_compute_cost(degree, times, repeats, rng, batch=2047):
    """(evaluate_many - tolist, evaluate_many, tolist) per 10^6 points, from batches
    below the parallel threshold (computed on the calling thread only)."""
    evaluator, _ = make_evaluator(degree, rng)
    batches = [times[start:start + batch] for start in range(0, len(times) - batch + 1, batch)]

    def evaluate_all():
        for chunk in batches:
            evaluator.evaluate_many(chunk)

    def tolist_all():
        for chunk in batches:
            chunk.tolist()

    many, floor = measure_pair(evaluate_all, tolist_all, repeats)
    scale = len(times) / (len(batches) * batch)
    return (many.median - floor.median) * scale, many.median * scale, floor.median * scale


SCALING_CHILD = r"""
import statistics, sys, time
import numpy as np
import zorv
degree, points, repeats = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
rng = np.random.default_rng(11)
evaluator = zorv.LegendreBasisEvaluator(degree, 1000, 2.0)
evaluator.set_dofs(rng.standard_normal(1000 * (degree + 1)))
times = rng.random(points) * 2.0
inner = max(1, 2_000_000 // points)  # enough calls per sample to time a small batch
evaluator.evaluate_many(times)
samples = []
for _ in range(repeats):
    elapsed = 0.0
    for _ in range(inner):
        start = time.perf_counter()
        result = evaluator.evaluate_many(times)
        elapsed += time.perf_counter() - start
        del result  # freeing the list is not the call's work (as in measure())
    samples.append(elapsed / inner)
print(statistics.median(samples))
"""


def scaling_time(threads, degree, points, repeats):
    env = {k: v for k, v in os.environ.items() if k != "RAYON_RS_NUM_CPUS"}
    env["RAYON_NUM_THREADS"] = str(threads)
    output = subprocess.run([sys.executable, "-c", SCALING_CHILD, str(degree), str(points), str(repeats)],
                            check=True, capture_output=True, text=True, env=env).stdout
    return float(output)


def measure_scaling(degree, points, repeats, runs=5):
    """Medians over `runs` subprocess pairs (1 thread, 2 threads), alternating."""
    one, two = [], []
    for _ in range(runs):
        one.append(scaling_time(1, degree, points, repeats))
        two.append(scaling_time(2, degree, points, repeats))
    return statistics.median(one), statistics.median(two)


def load_average():
    return f"load {os.getloadavg()[0]:.2f}" if hasattr(os, "getloadavg") else "load unknown"


IDLE_CHILD = r"""
import resource, sys, time
import numpy as np
import zorv
period, duration = float(sys.argv[1]), float(sys.argv[2])
evaluator = zorv.LegendreBasisEvaluator(3, 1000, 2.0)
evaluator.set_dofs(np.random.default_rng(5).standard_normal(4000))
times = np.linspace(0.0, 2.0, 4096)
evaluator.evaluate_many(times)  # the pool is started before measuring
def cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)  # every thread of the process
    return usage.ru_utime + usage.ru_stime
wall_start, cpu_start = time.perf_counter(), cpu()
next_batch = wall_start
while next_batch < wall_start + duration:
    evaluator.evaluate_many(times)
    next_batch += period
    delay = next_batch - time.perf_counter()
    if delay > 0:
        time.sleep(delay)
print((cpu() - cpu_start) / (time.perf_counter() - wall_start))
"""


def idle_cpu_per_second(threads, period, duration=1.0):
    env = {k: v for k, v in os.environ.items() if k != "RAYON_RS_NUM_CPUS"}
    env["RAYON_NUM_THREADS"] = str(threads)
    output = subprocess.run([sys.executable, "-c", IDLE_CHILD, str(period), str(duration)],
                            check=True, capture_output=True, text=True, env=env).stdout
    return float(output)


def measure_idle_cost(period, pool_sizes, runs):
    """Median CPU per wall second over `runs` subprocesses per pool size, alternating;
    the first pool size is the sequential peer."""
    samples = {size: [] for size in pool_sizes}
    for _ in range(runs):
        for size in pool_sizes:
            samples[size].append(idle_cpu_per_second(size, period))
    return {size: statistics.median(values) for size, values in samples.items()}


def measure_peak_memory(points, runs):
    """Smallest peak over `runs` subprocesses, zorv and baseline alternating."""
    zorv_peaks, base_peaks = [], []
    for _ in range(runs):
        zorv_peaks.append(child_peak_bytes("zorv", points, DEGREE)[1])
        base_peaks.append(child_peak_bytes("tolist", points, DEGREE)[1])
    return min(zorv_peaks), min(base_peaks)


# ---------------------------------------------------------------- benchmark


def make_evaluator(degree, rng):
    evaluator = zorv.LegendreBasisEvaluator(degree, N_T, T_END)
    dofs = rng.standard_normal(N_T * (degree + 1))
    evaluator.set_dofs(dofs.tolist())
    return evaluator, dofs


def pool_measurements(table, points, repeats):
    """Adds measurements 8 and 9 to `table`; returns the scaling timings."""
    # -- 8. thread scaling, from the parallel threshold on
    scaling = {}
    cases = [(degree, count, 0.95) for degree in (3, 20) for count in (2048, 4096, 8192)]
    cases[-1] = (20, 8192, 1.3)
    cases.append((20, points, 1.7))
    for degree, count, target in cases:
        one, two = measure_scaling(degree, count, repeats)
        scaling[(degree, count)] = (one, two)
        table.add(f"8. evaluate_many {count} times deg {degree}: 1 thread / 2 ({load_average()})",
                  format_time(two), format_time(one), f"{one / two:.2f}x", f">= {target}x",
                  one / two >= target)

    # -- 9. CPU per wall second of periodic small batches, against the sequential run
    processors = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    for period in (200e-6, 1e-3):
        cost = measure_idle_cost(period, (1, 8, processors), runs=max(3, repeats // 2))
        for size in (8, processors):
            ratio = cost[size] / cost[1]
            table.add(f"9. CPU/s, 4096 times every {period * 1e6:.0f} us: {size} threads / 1 ({load_average()})",
                      f"{cost[size]:.3f} CPU-s/s", f"{cost[1]:.3f} CPU-s/s", f"{ratio:.2f}x", "<= 1.3x",
                      ratio <= 1.3)
    return scaling


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=7, help="repeats per timing (default 7)")
    parser.add_argument("--points", type=int, default=10**6, help="number of times (default 10^6)")
    parser.add_argument("--loop-points", type=int, default=200_000,
                        help="times in the Python loop of measurement 3 (default 200000)")
    parser.add_argument("--memory-runs", type=int, default=3, help="subprocesses per memory figure")
    parser.add_argument("--pool-only", action="store_true", help="only the pool's measurements 8 and 9")
    args = parser.parse_args()
    repeats, points = args.repeats, args.points
    if args.pool_only:
        table = Table()
        pool_measurements(table, points, repeats)
        table.print()
        return

    print(f"zorv from {zorv.__file__}")
    print(f"python {platform.python_version()}, numpy {np.__version__}, "
          f"{os.cpu_count()} processors, {platform.machine()}")
    print(f"{points} float64 times in [0, {T_END}], n_t {N_T}, degree {DEGREE}, "
          f"best/median of {repeats}\n")

    rng = np.random.default_rng(12345)
    times = rng.random(points) * T_END
    evaluator, dofs = make_evaluator(DEGREE, rng)
    coefficients = dofs_by_degree(dofs, N_T)
    table = Table()

    # -- correctness of the peers against zorv (before any timing)
    reference = np.array(evaluator.evaluate_many(times))
    legval_values = numpy_legval_values(times, coefficients, N_T, T_END)
    recurrence_values = numpy_recurrence_values(times, coefficients, N_T, T_END)
    scale = max(1.0, float(np.max(np.abs(reference))))
    legval_error = float(np.max(np.abs(legval_values - reference))) / scale
    recurrence_error = float(np.max(np.abs(recurrence_values - reference))) / scale
    print(f"max |legval - zorv| / max|zorv|     = {legval_error:.2e}")
    print(f"max |recurrence - zorv| / max|zorv| = {recurrence_error:.2e}")
    if legval_error > 1e-12 or recurrence_error > 1e-12:
        print("WARNING: the NumPy peers do not agree with zorv to 1e-12")
    print()

    # -- 1. evaluate_many vs the list floor
    zorv_time, floor_time = measure_pair(lambda: evaluator.evaluate_many(times), times.tolist, repeats)
    ratio = zorv_time.median / floor_time.median
    table.add("1. evaluate_many / tolist (floor)", format_time(zorv_time.median),
              format_time(floor_time.median), f"{ratio:.2f}x", "<= 1.15x", ratio <= 1.15)

    # -- 2. evaluate_many vs NumPy then tolist
    legval_time = measure(lambda: numpy_legval_list(times, coefficients, N_T, T_END), repeats)
    recurrence_time = measure(lambda: numpy_recurrence_list(times, coefficients, N_T, T_END), repeats)
    speedup_a = legval_time.median / zorv_time.median
    speedup_b = recurrence_time.median / zorv_time.median
    legval_compute = measure(lambda: numpy_legval_values(times, coefficients, N_T, T_END), repeats)
    recurrence_compute = measure(lambda: numpy_recurrence_values(times, coefficients, N_T, T_END), repeats)
    table.add("2a. numpy legval+tolist / evaluate_many", format_time(zorv_time.median),
              format_time(legval_time.median), f"{speedup_a:.2f}x faster", ">= 1.8x", speedup_a >= 1.8)
    table.add("2b. numpy recurrence+tolist / evaluate_many", format_time(zorv_time.median),
              format_time(recurrence_time.median), f"{speedup_b:.2f}x faster", ">= 1.3x",
              speedup_b >= 1.3)

    # -- 3. evaluate_at in a Python loop vs math.fabs in the same loop
    loop_times = times[: args.loop_points].tolist()

    def loop_evaluate_at():
        evaluate_at = evaluator.evaluate_at
        for t in loop_times:
            evaluate_at(t)

    def loop_fabs():
        fabs = math.fabs
        for t in loop_times:
            fabs(t)

    def loop_empty():
        for t in loop_times:
            pass

    call_time, fabs_time = measure_pair(loop_evaluate_at, loop_fabs, repeats)
    empty_time = measure(loop_empty, repeats)
    per_call = call_time.median / len(loop_times)
    per_fabs = fabs_time.median / len(loop_times)
    ratio = per_call / per_fabs
    table.add("3. evaluate_at(t) / math.fabs(t) per call", format_time(per_call), format_time(per_fabs),
              f"{ratio:.2f}x", "<= 1.5x (stretch)", ratio <= 1.5)
    per_empty = empty_time.median / len(loop_times)
    net_ratio = (per_call - per_empty) / max(per_fabs - per_empty, 1e-12)

    # -- 4. compute cost, degree 20 vs degree 2 (list floor subtracted)
    # A large batch computes on the pool while its list is built, so its compute cost
    # hides behind the list. Batches of 2047 times run on the calling thread alone:
    # many of them, minus the same lists from tolist(), give the computation itself.
    costs = {degree: serial_compute_cost(degree, times, repeats, rng) for degree in (2, 20)}
    cost_ratio = costs[20][0] / costs[2][0] if costs[2][0] > 0 else float("inf")
    table.add("4. compute cost degree 20 / degree 2", format_time(costs[20][0]), format_time(costs[2][0]),
              f"{cost_ratio:.1f}x", "~7-10x (linear)", cost_ratio <= 12.0)

    # -- 5. peak memory
    zorv_peak, base_peak = measure_peak_memory(points, args.memory_runs)
    extra = zorv_peak - base_peak
    expected = 2 * 8 * points
    table.add("5. extra peak RSS of evaluate_many", f"{zorv_peak / 2**20:.1f} MiB",
              f"{base_peak / 2**20:.1f} MiB", f"+{extra / 1e6:.1f} MB",
              f"<= {expected / 1e6:.0f} MB (2x8 MB)", extra <= expected + 2 * 2**20)

    # -- 6. set_dofs from an ndarray vs from a list, 10^6 dofs
    dof_array = rng.standard_normal(10**6)
    dof_list = dof_array.tolist()
    big = zorv.LegendreBasisEvaluator(0, len(dof_array), T_END)
    array_set, list_set = measure_pair(lambda: big.set_dofs(dof_array), lambda: big.set_dofs(dof_list), repeats)
    ratio = array_set.median / list_set.median
    table.add("6. set_dofs(ndarray) / set_dofs(list), 10^6", format_time(array_set.median),
              format_time(list_set.median), f"{ratio:.2f}x", "<= 1x", ratio <= 1.0)
    del big

    # -- 7. LegendreBasis.evaluate_at with 1,000 dofs from an ndarray vs from a list
    basis = zorv.LegendreBasis(DEGREE, 250, T_END)
    small_array = rng.standard_normal(1000)
    small_list = small_array.tolist()
    calls = 2000

    def calls_with(values):
        def run():
            evaluate_at = basis.evaluate_at
            for _ in range(calls):
                evaluate_at(0.7, values)
        return run

    array_call, list_call = measure_pair(calls_with(small_array), calls_with(small_list), repeats)
    ratio = array_call.median / list_call.median
    table.add("7. LegendreBasis.evaluate_at ndarray / list, 1000 dofs", format_time(array_call.median / calls),
              format_time(list_call.median / calls), f"{ratio:.2f}x", "<= 1.2x", ratio <= 1.2)

    scaling = pool_measurements(table, points, repeats)
    table.print()
    print()
    print("details:")
    print(f"  1. best: evaluate_many {format_time(zorv_time.best)}, tolist {format_time(floor_time.best)} "
          f"({zorv_time.best / floor_time.best:.2f}x); compute part (median difference) "
          f"{format_time(zorv_time.median - floor_time.median)}")
    print(f"  1. minor page faults per call: evaluate_many {zorv_time.faults:.0f}, tolist {floor_time.faults:.0f}")
    print(f"  2. best: legval {format_time(legval_time.best)}, recurrence {format_time(recurrence_time.best)}; "
          f"NumPy compute alone (median, no list): legval {format_time(legval_compute.median)}, "
          f"recurrence {format_time(recurrence_compute.median)}")
    print(f"  3. empty loop {format_time(per_empty)} per item; with it subtracted evaluate_at / fabs = "
          f"{net_ratio:.2f}x")
    for degree in (2, 20):
        cost, many, floor = costs[degree]
        print(f"  4. degree {degree:2d}: evaluate_many {format_time(many)}, tolist {format_time(floor)}, "
              f"compute {format_time(cost)} ({cost / points * 1e9:.1f} ns per point, calling thread only)")
    print(f"  5. peak RSS zorv {zorv_peak} B, baseline {base_peak} B, extra {extra} B "
          f"(copy of times and result vector: {expected} B at most)")
    for (degree, count), (one, two) in scaling.items():
        print(f"  8. {count} times at degree {degree}: {one / count * 1e9:.1f} ns per time with 1 thread, "
              f"{two / count * 1e9:.1f} ns with 2 (list building included)")


if __name__ == "__main__":
    main()
