#include "piecewise_polynomials/legendre_calculus.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include <Eigen/Dense>

#include "piecewise_polynomials/calculus_detail.hpp"
#include "support/parallel.hpp"
#include "support/stop.hpp"

namespace zorv {

using namespace calculus_detail;
namespace {

/// Pivots of the Cholesky factor below this fraction of their diagonal entry mark
/// nearly dependent columns: the normal equations would lose about twice as many
/// digits as the design block, so that element is solved by QR instead.
constexpr double kPivotFloor = 1e-8;

/// The stop of a fit with elements that cannot be determined.
[[noreturn]] void stop_underdetermined(const std::vector<std::size_t>& elements, std::size_t columns) {
    std::string text = elements.size() == 1 ? "fit: element " : "fit: elements ";
    constexpr std::size_t kListed = 5;
    for (std::size_t j = 0; j < elements.size() && j < kListed; ++j) {
        if (j > 0) text += ", ";
        text += std::to_string(elements[j]);
    }
    if (elements.size() > kListed) text += " and " + std::to_string(elements.size() - kListed) + " more";
    text += elements.size() == 1 ? " has" : " have";
    text += " fewer than " + std::to_string(columns) + " distinct sample times of positive weight";
    stop(text);
}

}  // namespace

void fit(const LegendreBasis& basis, std::span<const double> t, std::span<const double> y, std::size_t functions,
         std::span<const double> weights, std::span<double> out) {
    if (basis.n_t() == 0) stop_no_element();
    const std::size_t n_t = basis.n_t();
    const std::size_t degree = basis.degree();
    const std::size_t columns = degree + 1;
    const std::size_t n_dofs = basis.n_dofs();
    const std::size_t n = t.size();
    const std::size_t samples = mul_or_capacity_stop(functions, n);
    if (y.size() != samples) stop(assert_eq_message("fit: one sample per function and time", y.size(), samples));
    if (!weights.empty() && weights.size() != n) stop(assert_eq_message("fit: one weight per time", weights.size(), n));
    const std::size_t dof_values = mul_or_capacity_stop(functions, n_dofs);
    if (out.size() != dof_values) {
        stop(assert_eq_message("fit: n_t * (degree + 1) dofs per function", out.size(), dof_values));
    }
    const double T = basis.T();
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(t[i])) stop("fit: time " + shortest(t[i]) + " at position " + std::to_string(i) + " is not finite");
        if (outside(t[i], T)) stop("fit: " + outside_message(t[i], T));
    }
    for (std::size_t i = 0; i < weights.size(); ++i) {
        if (!(weights[i] >= 0.0) || std::isinf(weights[i])) {
            stop("fit: weight " + shortest(weights[i]) + " at position " + std::to_string(i) +
                 " is not a finite non-negative number");
        }
    }
    for (std::size_t f = 0; f < functions; ++f) {
        for (std::size_t i = 0; i < n; ++i) {
            const double value = y[f * n + i];
            if (!std::isfinite(value)) {
                stop("fit: sample " + shortest(value) + " of function " + std::to_string(f) + " at position " +
                     std::to_string(i) + " is not finite");
            }
        }
    }
    const auto weight = [&](std::size_t i) { return weights.empty() ? 1.0 : weights[i]; };

    // The samples of positive weight, grouped by element (a counting sort), with
    // their basis values P_0 .. P_degree in one row each.
    std::vector<std::size_t> start(n_t + 1, 0);
    std::vector<ElementPosition> position(n);
    for (std::size_t i = 0; i < n; ++i) {
        position[i] = basis.locate(t[i]);
        if (weight(i) > 0.0) ++start[position[i].element + 1];
    }
    std::vector<std::size_t> underdetermined;
    for (std::size_t e = 0; e < n_t; ++e) {
        if (start[e + 1] < columns) underdetermined.push_back(e);
        start[e + 1] += start[e];
    }
    if (!underdetermined.empty()) stop_underdetermined(underdetermined, columns);
    const std::size_t used = start[n_t];
    std::vector<std::size_t> order(used);
    {
        std::vector<std::size_t> next(start.begin(), start.end() - 1);
        for (std::size_t i = 0; i < n; ++i) {
            if (weight(i) > 0.0) order[next[position[i].element]++] = i;
        }
    }
    require_allocatable(mul_or_capacity_stop(used, columns), sizeof(double));
    std::vector<double> rows(used * columns);
    const std::size_t gram_size = mul_or_capacity_stop(columns, columns);
    require_allocatable(mul_or_capacity_stop(n_t, gram_size), sizeof(double));
    std::vector<double> gram(n_t * gram_size);
    std::vector<unsigned char> needs_qr(n_t, 0);

    batch_for(used, [&](std::size_t begin, std::size_t end) {
        for (std::size_t s = begin; s < end; ++s) {
            legendre_derivatives(position[order[s]].xi, degree, 0, {rows.data() + s * columns, columns});
        }
    });
    batch_for(n_t, [&](std::size_t begin, std::size_t end) {
        for (std::size_t e = begin; e < end; ++e) {
            // The lower triangle of G = sum_s w_s p_s p_s^T, and the right-hand sides
            // sum_s w_s y_s p_s in the output (function f's column of element e).
            double* const g = gram.data() + e * gram_size;
            std::fill(g, g + gram_size, 0.0);
            for (std::size_t s = start[e]; s < start[e + 1]; ++s) {
                const double* const p = rows.data() + s * columns;
                const double ws = weight(order[s]);
                for (std::size_t j = 0; j < columns; ++j) {
                    const double wp = ws * p[j];
                    for (std::size_t k = 0; k <= j; ++k) g[j * columns + k] += wp * p[k];
                }
            }
            for (std::size_t f = 0; f < functions; ++f) {
                double* const rhs = out.data() + f * n_dofs + e;
                for (std::size_t k = 0; k < columns; ++k) rhs[k * n_t] = 0.0;
                for (std::size_t s = start[e]; s < start[e + 1]; ++s) {
                    const double* const p = rows.data() + s * columns;
                    const double wy = weight(order[s]) * y[f * n + order[s]];
                    for (std::size_t k = 0; k < columns; ++k) rhs[k * n_t] += wy * p[k];
                }
            }
            // G = L L^T in place (lower triangle).
            bool accepted = true;
            for (std::size_t j = 0; j < columns && accepted; ++j) {
                double pivot = g[j * columns + j];
                for (std::size_t m = 0; m < j; ++m) pivot -= g[j * columns + m] * g[j * columns + m];
                if (!(pivot > kPivotFloor * g[j * columns + j])) {
                    accepted = false;
                    break;
                }
                const double l = std::sqrt(pivot);
                g[j * columns + j] = l;
                for (std::size_t i = j + 1; i < columns; ++i) {
                    double value = g[i * columns + j];
                    for (std::size_t m = 0; m < j; ++m) value -= g[i * columns + m] * g[j * columns + m];
                    g[i * columns + j] = value / l;
                }
            }
            if (!accepted) {
                needs_qr[e] = 1;
                continue;
            }
            for (std::size_t f = 0; f < functions; ++f) {
                double* const x = out.data() + f * n_dofs + e;
                for (std::size_t j = 0; j < columns; ++j) {  // L z = rhs
                    double value = x[j * n_t];
                    for (std::size_t m = 0; m < j; ++m) value -= g[j * columns + m] * x[m * n_t];
                    x[j * n_t] = value / g[j * columns + j];
                }
                for (std::size_t j = columns; j-- > 0;) {  // L^T x = z
                    double value = x[j * n_t];
                    for (std::size_t m = j + 1; m < columns; ++m) value -= g[m * columns + j] * x[m * n_t];
                    x[j * n_t] = value / g[j * columns + j];
                }
            }
        }
    });

    // Nearly dependent columns: a column-pivoted QR of the weighted design block, on
    // the calling thread; fewer distinct times than columns cannot be fitted.
    for (std::size_t e = 0; e < n_t; ++e) {
        if (needs_qr[e] == 0) continue;
        const std::size_t count = start[e + 1] - start[e];
        std::vector<double> distinct;
        for (std::size_t s = start[e]; s < start[e + 1]; ++s) distinct.push_back(position[order[s]].xi);
        std::sort(distinct.begin(), distinct.end());
        if (static_cast<std::size_t>(std::unique(distinct.begin(), distinct.end()) - distinct.begin()) < columns) {
            underdetermined.push_back(e);
            continue;
        }
        Eigen::MatrixXd design(count, columns);
        Eigen::MatrixXd right(count, functions);
        for (std::size_t s = 0; s < count; ++s) {
            const std::size_t i = order[start[e] + s];
            const double root = std::sqrt(weight(i));
            for (std::size_t k = 0; k < columns; ++k) design(s, k) = root * rows[(start[e] + s) * columns + k];
            for (std::size_t f = 0; f < functions; ++f) right(s, f) = root * y[f * n + i];
        }
        const Eigen::MatrixXd solution = design.colPivHouseholderQr().solve(right);
        for (std::size_t f = 0; f < functions; ++f) {
            for (std::size_t k = 0; k < columns; ++k) out[f * n_dofs + e + k * n_t] = solution(k, f);
        }
    }
    if (!underdetermined.empty()) stop_underdetermined(underdetermined, columns);
}

}  // namespace zorv
