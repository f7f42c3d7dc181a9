#!/usr/bin/env python3
"""Benchmark of zorv_arrays against its peers, measured in the same run.

1. evaluate, one function, degree 3, n_t 1000, 10^6 times, to an array, against
   zorv.LegendreBasisEvaluator.evaluate_many to a list (target <= 0.25x) and against
   numpy.polynomial.legendre.legval element by element (target >= 10x faster).
   On one thread (a subprocess with RAYON_NUM_THREADS=1), into a given out: ns per
   time, against NumPy streaming the same arrays, np.multiply(t, 2.0, out=out)
   (target <= 6x), and against a vectorised NumPy peer: element index, xi,
   coefficient gather, legval(xi, c, tensor=False) (target >= 12x faster).
2. Thread scaling of 1 at 10^6 and 10^7 times, into a given out: a process whose pool
   has 2 threads against one with 1 (RAYON_NUM_THREADS), one subprocess each
   (target >= 1.8x).
3. Many functions: dofs (1000, n_dofs), degree 3, n_t 1000, 1000 times, against
   basis_matrix(t) @ dofs.T with SciPy (target >= 5x faster).
4. basis_matrix at 10^6 times against building the same csr_array from prepared NumPy
   arrays (target <= 1.5x): from (data, (rows, cols)), the way users assemble it, and,
   for information, from (data, indices, indptr), which only checks the arrays.
5. Peak memory of evaluate beyond its output (given as out), in a fresh subprocess:
   the growth of the peak resident set while it runs (target < 1 MB).
6. Calculus: fit of 10^5 samples at degree 4 against scipy.sparse.linalg.lsqr on the
   design matrix (target >= 10x faster) and against the sparse normal equations solved
   by spsolve (target >= 2x faster); evaluate with derivative=2 and integrate of 10^6
   bounds against evaluate with derivative=1 (targets <= 1.5x).

Timings are the best of several repeats; nothing here asserts a timing.
Usage: python3 bench/bench_arrays.py [--repeats N]
"""

import argparse
import os
import subprocess
import sys
import time

import numpy as np
import scipy.sparse as sp
from numpy.polynomial import legendre

import zorv
import zorv_arrays

DEGREE, N_T, T = 3, 1000, 2.0


def best(call, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def best_interleaved(calls, rounds):
    """The best time of each call, the calls taking turns in every round, so that a
    slow spell of a shared machine falls on all of them alike."""
    times = [float("inf")] * len(calls)
    for _ in range(rounds):
        for index, call in enumerate(calls):
            start = time.perf_counter()
            call()
            times[index] = min(times[index], time.perf_counter() - start)
    return times


def legval_per_element(coefficients, times):
    width = T / N_T
    element = np.clip(np.floor(times / width), 0, N_T - 1).astype(np.intp)
    xi = np.clip(2.0 * (times - width * element) / width - 1.0, -1.0, 1.0)
    values = np.empty_like(times)
    for e in range(N_T):
        on_e = element == e
        values[on_e] = legendre.legval(xi[on_e], coefficients[e])
    return values


def vectorised_peer(coefficients, times):
    """The same values with NumPy alone: element, xi, gathered coefficients, legval."""
    width = T / N_T
    element = np.clip(np.floor(times / width), 0, N_T - 1).astype(np.intp)
    xi = np.clip(2.0 * (times - width * element) / width - 1.0, -1.0, 1.0)
    return legendre.legval(xi, coefficients[element].T, tensor=False)


def single_process_evaluate_time(repeats, count):
    """The time of the one-function evaluate of `count` times in this process."""
    rng = np.random.default_rng(1)
    space = zorv_arrays.LegendreSpace(DEGREE, N_T, T)
    dofs = rng.standard_normal(space.n_dofs)
    times = rng.uniform(0.0, T, count)
    out = np.empty_like(times)
    space.evaluate(dofs, times, out=out)
    return best(lambda: space.evaluate(dofs, times, out=out), repeats)


def one_thread_figures(repeats):
    """ns per time of evaluate, NumPy streaming and the vectorised peer, interleaved."""
    rng = np.random.default_rng(3)
    space = zorv_arrays.LegendreSpace(DEGREE, N_T, T)
    coefficients = rng.standard_normal((N_T, DEGREE + 1))
    dofs = coefficients.ravel(order="F")
    times = rng.uniform(0.0, T, 10**6)
    out = np.empty_like(times)
    assert np.allclose(vectorised_peer(coefficients, times), space.evaluate(dofs, times), rtol=1e-9, atol=1e-9)
    ours, stream, peer = [], [], []
    for _ in range(repeats):
        ours.append(best(lambda: space.evaluate(dofs, times, out=out), 3))
        stream.append(best(lambda: np.multiply(times, 2.0, out=out), 3))
        peer.append(best(lambda: vectorised_peer(coefficients, times), 1))
    return [min(ours) * 1e3, min(stream) * 1e3, min(peer) * 1e3, float(np.median(ours)) * 1e3,
            float(np.median(stream)) * 1e3]


def peak_memory_beyond_output():
    rng = np.random.default_rng(2)
    space = zorv_arrays.LegendreSpace(DEGREE, N_T, T)
    dofs = rng.standard_normal((4, space.n_dofs))
    times = rng.uniform(0.0, T, 10**6)
    out = np.ones((4, times.size))  # written, so that its pages are resident before the measurement
    space.evaluate(dofs[:1], times[:4096])  # starts the pool and its threads

    def status(field):
        with open("/proc/self/status") as file:
            return next(int(line.split()[1]) for line in file if line.startswith(field))

    with open("/proc/self/clear_refs", "w") as file:
        file.write("5")  # resets the peak resident set to the current one
    before = status("VmRSS:")
    space.evaluate(dofs, times, out=out)
    return (status("VmHWM:") - before) * 1024


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--child", choices=["scaling", "scaling7", "one", "memory"])
    args = parser.parse_args()
    if args.child in ("scaling", "scaling7"):
        print(single_process_evaluate_time(args.repeats, 10**6 if args.child == "scaling" else 10**7))
        return
    if args.child == "one":
        print(*one_thread_figures(args.repeats))
        return
    if args.child == "memory":
        print(peak_memory_beyond_output())
        return

    rng = np.random.default_rng(0)
    space = zorv_arrays.LegendreSpace(DEGREE, N_T, T)
    coefficients = rng.standard_normal((N_T, DEGREE + 1))
    dofs = coefficients.ravel(order="F")
    times = rng.uniform(0.0, T, 10**6)
    evaluator = zorv.LegendreBasisEvaluator(DEGREE, N_T, T)
    evaluator.set_dofs(dofs)
    space.evaluate(dofs, times)
    evaluator.evaluate_many(times)

    ours = best(lambda: space.evaluate(dofs, times), args.repeats)
    to_list = best(lambda: evaluator.evaluate_many(times), args.repeats)
    by_legval = best(lambda: legval_per_element(coefficients, times), max(1, args.repeats // 3))
    print(f"1. evaluate, 10^6 times: {ours * 1e3:.1f} ms; zorv evaluate_many to a list {to_list * 1e3:.1f} ms "
          f"-> {ours / to_list:.2f}x (target <= 0.25x); legval per element {by_legval * 1e3:.0f} ms "
          f"-> {by_legval / ours:.0f}x faster (target >= 10x)")

    def child(kind, threads, repeats=args.repeats):
        environment = dict(os.environ, RAYON_NUM_THREADS=str(threads))
        result = subprocess.run([sys.executable, __file__, "--child", kind, "--repeats", str(repeats)],
                                env=environment, capture_output=True, text=True, check=True)
        return [float(x) for x in result.stdout.split()]

    # One thread, 10^6 times (ms per 10^6 times = ns per time).
    ours1, stream, peer, ours_median, stream_median = child("one", 1, max(5, args.repeats))
    print(f"1b. one thread, 10^6 times: evaluate {ours1:.2f} ns per time (median {ours_median:.2f}); "
          f"np.multiply(t, 2.0, out=out) {stream:.2f} ns (median {stream_median:.2f}) -> {ours1 / stream:.1f}x "
          f"(target <= 6x; of medians {ours_median / stream_median:.1f}x); vectorised NumPy peer {peer:.1f} ns "
          f"-> {peer / ours1:.1f}x faster (target >= 12x)")

    for kind, label in (("scaling", "10^6"), ("scaling7", "10^7")):
        one, two = [], []
        for _ in range(3):  # alternating, so that load from the neighbours hits both alike
            one += child(kind, 1)
            two += child(kind, 2)
        print(f"2. threads, {label} times: 1 thread {min(one) * 1e3:.1f} ms, 2 threads {min(two) * 1e3:.1f} ms "
              f"-> {min(one) / min(two):.2f}x (target >= 1.8x)")

    many = rng.standard_normal((1000, space.n_dofs))
    few_times = rng.uniform(0.0, T, 1000)
    ours_many = best(lambda: space.evaluate(many, few_times), args.repeats)
    by_matrix = best(lambda: space.basis_matrix(few_times) @ many.T, args.repeats)
    assert np.allclose((space.basis_matrix(few_times) @ many.T).T, space.evaluate(many, few_times))
    print(f"3. 1000 functions x 1000 times: {ours_many * 1e3:.1f} ms; basis_matrix(t) @ dofs.T "
          f"{by_matrix * 1e3:.1f} ms -> {by_matrix / ours_many:.2f}x faster (target >= 5x)")

    matrix = space.basis_matrix(times)
    data, indices, indptr = matrix.data.copy(), matrix.indices.copy(), matrix.indptr.copy()
    rows = np.repeat(np.arange(times.size), DEGREE + 1)
    ours_matrix = best(lambda: space.basis_matrix(times), args.repeats)
    from_coo = best(lambda: sp.csr_array((data, (rows, indices)), shape=matrix.shape), args.repeats)
    from_csr = best(lambda: sp.csr_array((data, indices, indptr), shape=matrix.shape), args.repeats)
    print(f"4. basis_matrix, 10^6 times: {ours_matrix * 1e3:.1f} ms; csr_array from prepared "
          f"(data, (rows, cols)) {from_coo * 1e3:.1f} ms -> {ours_matrix / from_coo:.2f}x (target <= 1.5x); "
          f"from prepared (data, indices, indptr) {from_csr * 1e3:.2f} ms")

    peaks = [child("memory", 2)[0] for _ in range(3)]
    print(f"5. peak memory of evaluate beyond its 32 MB output (4 functions x 10^6 times): "
          f"{min(peaks) / 1024:.0f} KiB (max of 3 runs {max(peaks) / 1024:.0f} KiB; target < 1024 KiB)")

    from scipy.sparse.linalg import lsqr, spsolve
    fit_space = zorv_arrays.LegendreSpace(4, 1000, T)
    samples_t = rng.uniform(0.0, T, 10**5)
    samples_y = np.sin(3 * samples_t) + 0.1 * rng.standard_normal(samples_t.size)
    ours_fit = best(lambda: fit_space.fit(samples_t, samples_y), args.repeats)

    def normal_equations():
        design = fit_space.basis_matrix(samples_t)
        return spsolve((design.T @ design).tocsc(), design.T @ samples_y)

    by_normal = best(normal_equations, max(1, args.repeats // 2))
    by_lsqr = best(lambda: lsqr(fit_space.basis_matrix(samples_t), samples_y, atol=1e-12, btol=1e-12), 1)
    assert np.allclose(fit_space.fit(samples_t, samples_y), normal_equations(), rtol=0, atol=1e-10)
    print(f"6. fit, 10^5 samples, degree 4: {ours_fit * 1e3:.1f} ms; lsqr {by_lsqr * 1e3:.0f} ms -> "
          f"{by_lsqr / ours_fit:.0f}x faster (target >= 10x); normal equations {by_normal * 1e3:.1f} ms -> "
          f"{by_normal / ours_fit:.1f}x faster (target >= 2x)")
    lower = rng.uniform(0.0, T, times.size)
    first, second, integrals = best_interleaved([lambda: space.evaluate(dofs, times, derivative=1),
                                                 lambda: space.evaluate(dofs, times, derivative=2),
                                                 lambda: space.integrate(dofs, lower, times)], 3 * args.repeats)
    print(f"   10^6 times: derivative=1 {first * 1e3:.1f} ms; derivative=2 {second * 1e3:.1f} ms -> "
          f"{second / first:.2f}x; integrate {integrals * 1e3:.1f} ms -> {integrals / first:.2f}x (targets <= 1.5x)")


if __name__ == "__main__":
    main()
