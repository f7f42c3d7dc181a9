#include "piecewise_polynomials/lagrange_basis.hpp"

#include <utility>

#include "support/stop.hpp"

namespace zorv {

double equidistant_point(double a, double b, std::size_t k, std::size_t n) noexcept {
    const double width = b - a;
    const double scaled = width * static_cast<double>(k);
    const double step = scaled / static_cast<double>(n);
    return a + step;
}

std::vector<double> equidistant_points_on_interval(double a, double b, std::size_t n) {
    std::size_t count = 0;
    if (__builtin_add_overflow(n, std::size_t{1}, &count)) {
        throw CountOverflow("equidistant point count does not fit in a machine word");
    }
    require_allocatable(count, sizeof(double));
    std::vector<double> points(count);
    for (std::size_t k = 0; k < count; ++k) {
        points[k] = equidistant_point(a, b, k, n);
    }
    return points;
}

std::size_t lagrange_node_count(std::size_t degree, std::size_t n_t, bool periodic) {
    std::size_t count = 0;
    const bool overflow = __builtin_mul_overflow(n_t, degree, &count) ||
                          (!periodic && __builtin_add_overflow(count, std::size_t{1}, &count));
    if (overflow) {
        throw CountOverflow("Lagrange basis node count does not fit in a machine word");
    }
    return count;
}

LagrangeBasis LagrangeBasis::create(std::size_t degree, std::size_t n_t, double T, bool periodic) {
    if (periodic) {
        if (degree == 0) stop("Periodic Lagrange bases require polynomial degree at least 1");
        if (n_t == 0) stop("Periodic Lagrange bases require at least one interval");
    }
    const std::size_t node_count = lagrange_node_count(degree, n_t, periodic);
    require_allocatable(node_count, sizeof(double));
    std::vector<double> points;
    points.reserve(node_count);

    // With degree 0 each element's only equidistant point would be 0/0, which is
    // dropped as the element's right end, so no element contributes a node.
    if (degree != 0 && n_t != 0) {
        const double h = T / static_cast<double>(n_t);
        for (std::size_t i = 0; i < n_t; ++i) {
            const double left = h * static_cast<double>(i);
            const double right = h + left;  // not h * (i + 1): the two differ in the last bit
            for (std::size_t k = 0; k < degree; ++k) {
                points.push_back(equidistant_point(left, right, k, degree));
            }
        }
    }
    if (!periodic) {
        points.push_back(T);
    }
    return LagrangeBasis(std::move(points), degree, n_t, periodic);
}

std::vector<std::size_t> LagrangeBasis::get_dofs_for_interval(std::size_t i) const {
    if (i >= n_t_) stop("Element index out of bounds.");
    std::vector<std::size_t> dofs(degree_ + 1);
    for (std::size_t k = 0; k <= degree_; ++k) dofs[k] = global_node(i, k);
    return dofs;
}

}  // namespace zorv
