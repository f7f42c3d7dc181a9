#include "piecewise_polynomials/legendre_basis.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "piecewise_polynomials/basis_detail.hpp"
#include "piecewise_polynomials/kernels/lanes.hpp"
#include "piecewise_polynomials/kernels/location.hpp"
#include "support/parallel.hpp"
#include "support/stop.hpp"

// The design matrix of LegendreBasis at many times, and the L2 projection from
// samples at the quadrature times of every element.

namespace zorv {

using namespace basis_detail;

template <class Index>
void LegendreBasis::basis_matrix_entries(bool derivative, std::span<const double> times, std::span<Index> columns,
                                         std::span<double> values) const {
    if (n_t_ == 0) stop_no_element();
    const std::size_t n_dofs = dof_count();
    if (n_dofs - 1 > static_cast<std::size_t>(std::numeric_limits<Index>::max())) stop("capacity overflow");
    const std::size_t per_row = degree_ + 1;
    const std::size_t entries = mul_or_capacity_stop(times.size(), per_row);
    if (columns.size() != entries) {
        stop(assert_eq_message("basis_matrix_entries: degree + 1 columns per time", columns.size(), entries));
    }
    if (values.size() != entries) {
        stop(assert_eq_message("basis_matrix_entries: degree + 1 values per time", values.size(), entries));
    }
    const double width = element_width();
    const double reciprocal = 1.0 / width;
    batch_for(times.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const ElementPosition position = locate_in_grid(times[i]);
            double* const row_values = values.data() + i * per_row;
            Index* const row_columns = columns.data() + i * per_row;
            reference_basis(position.xi, derivative, {row_values, per_row});
            for (std::size_t k = 0; k < per_row; ++k) {
                if (derivative) exact_derivative_scale(row_values[k], width, reciprocal, row_values[k]);
                row_columns[k] = static_cast<Index>(position.element + n_t_ * k);
            }
        }
    });
}

template void LegendreBasis::basis_matrix_entries<std::int32_t>(bool, std::span<const double>, std::span<std::int32_t>,
                                                                std::span<double>) const;
template void LegendreBasis::basis_matrix_entries<std::int64_t>(bool, std::span<const double>, std::span<std::int64_t>,
                                                                std::span<double>) const;

std::vector<double> LegendreBasis::quadrature_times(std::span<const double> nodes) const {
    if (n_t_ == 0) stop_no_element();
    const std::size_t q = nodes.size();
    const std::size_t count = mul_or_capacity_stop(n_t_, q);
    check_capacity(count, sizeof(double));
    std::vector<double> times(count);
    const double w = element_width();
    for (std::size_t e = 0; e < n_t_; ++e) {
        double left;
        double right;
        ElementRule::edges(w, static_cast<double>(e), left, right);
        const double middle = -midpoint_negated(left, right);
        const double half = (right - left) * 0.5;
        for (std::size_t j = 0; j < q; ++j) times[e * q + j] = middle + nodes[j] * half;
    }
    return times;
}

void LegendreBasis::project(std::span<const double> nodes, std::span<const double> weights,
                            std::span<const double> samples, std::size_t functions, std::span<double> dofs) const {
    if (n_t_ == 0) stop_no_element();
    const std::size_t q = nodes.size();
    if (weights.size() != q) stop(assert_eq_message("project: one weight per node", weights.size(), q));
    const std::size_t n_dofs = dof_count();
    const std::size_t per_function = mul_or_capacity_stop(n_t_, q);
    const std::size_t sample_count = mul_or_capacity_stop(functions, per_function);
    if (samples.size() != sample_count) {
        stop(assert_eq_message("project: one sample per function and quadrature time", samples.size(), sample_count));
    }
    const std::size_t dof_values = mul_or_capacity_stop(functions, n_dofs);
    if (dofs.size() != dof_values) {
        stop(assert_eq_message("project: n_t * (degree + 1) dofs per function", dofs.size(), dof_values));
    }
    // moments[j * columns + k] = ((2k + 1) / 2) w_j P_k(x_j): the coefficient of P_k of
    // the projection is the quadrature of f P_k over the reference interval divided
    // by the norm 2 / (2k + 1) of P_k.
    const std::size_t columns = degree_ + 1;
    std::vector<double> moments(mul_or_capacity_stop(q, columns));
    for (std::size_t j = 0; j < q; ++j) {
        const std::span<double> row(moments.data() + j * columns, columns);
        reference_basis(nodes[j], false, row);
        double kf = 0.0;
        for (std::size_t k = 0; k < columns; ++k) {
            row[k] = (((kf + kf) + 1.0) * 0.5) * (weights[j] * row[k]);
            kf = kf + 1.0;
        }
    }
    batch_for(mul_or_capacity_stop(functions, n_t_), [&](std::size_t begin, std::size_t end) {
        for (std::size_t index = begin; index < end; ++index) {
            const std::size_t f = index / n_t_;
            const std::size_t e = index % n_t_;
            const double* const s = samples.data() + f * per_function + e * q;
            double* const d = dofs.data() + f * n_dofs + e;
            for (std::size_t k = 0; k < columns; ++k) {
                double sum = 0.0;
                for (std::size_t j = 0; j < q; ++j) sum = sum + moments[j * columns + k] * s[j];
                d[n_t_ * k] = sum;
            }
        }
    });
}

}  // namespace zorv
