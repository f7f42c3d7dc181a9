#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "piecewise_polynomials/lagrange_basis.hpp"
#include "support/stop.hpp"

namespace zorv {

namespace {

/// A fine node closer than this to a reference node takes that node's value exactly.
constexpr double coincidence_tolerance = 1e-14;

/// floor(s) as an index, saturating: negative or NaN gives 0, beyond the index range
/// gives the largest index (a plain cast would be undefined there).
std::size_t floor_to_index(double s) noexcept {
    const double floored = std::floor(s);
    if (!(floored >= 0.0)) return 0;
    constexpr double index_limit = 18446744073709551616.0;  // 2^64, exact in a double
    if (floored >= index_limit) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(floored);
}

/// Values at ξ of the cardinal functions of the reference nodes, written into `row`
/// (one value per node). A node within the tolerance gets exactly 1 and the others 0;
/// otherwise the barycentric formula of the second kind, v_j = w_j / (ξ - x_j) over
/// their sum, the sum added in increasing j from 0.0.
void cardinal_values(double xi, std::span<const double> nodes, std::span<const double> weights,
                     std::span<double> row) noexcept {
    for (double& value : row) value = 0.0;
    for (std::size_t k = 0; k < nodes.size(); ++k) {
        if (std::fabs(xi - nodes[k]) < coincidence_tolerance) {
            row[k] = 1.0;
            return;
        }
    }
    double sum = 0.0;
    for (std::size_t j = 0; j < nodes.size(); ++j) {
        row[j] = weights[j] / (xi - nodes[j]);
        sum += row[j];
    }
    for (std::size_t j = 0; j < nodes.size(); ++j) {
        row[j] = row[j] / sum;
    }
}

}  // namespace

std::vector<double> barycentric_weights(std::span<const double> nodes) {
    std::vector<double> weights(nodes.size());
    for (std::size_t k = 0; k < nodes.size(); ++k) {
        double product = 1.0;
        for (std::size_t j = 0; j < nodes.size(); ++j) {
            if (j != k) product *= nodes[k] - nodes[j];
        }
        weights[k] = 1.0 / product;
    }
    return weights;
}

CsrMatrix LagrangeBasis::get_prolongation_matrix_to(std::size_t nt_fine) const {
    if (degree_ == 0) stop("Lagrange prolongation requires polynomial degree at least 1");
    if (n_t_ == 0) stop("Lagrange prolongation requires at least one coarse interval");
    if (nt_fine == 0) stop("Lagrange prolongation requires at least one fine interval");

    const std::size_t p = degree_;
    // Sizes first, so that counts that cannot work fail before any O(p^2) work.
    const std::size_t fine_rows = lagrange_node_count(p, nt_fine, periodic_);
    const std::size_t coarse_nodes = points_.size();
    std::size_t max_entries = 0;
    if (__builtin_mul_overflow(fine_rows, p + 1, &max_entries)) {  // p + 1 fits: p nodes per element exist
        throw CountOverflow("Lagrange prolongation entry count does not fit in a machine word");
    }
    CsrBuilder matrix(fine_rows, coarse_nodes, max_entries);

    const std::vector<double> nodes = equidistant_points_on_interval(-1.0, 1.0, p);
    const std::vector<double> weights = barycentric_weights(nodes);
    // nt_fine * p fits: it is at most the fine node count computed above.
    const double fine_positions = static_cast<double>(nt_fine * p);
    const double coarse_elements = static_cast<double>(n_t_);

    std::vector<double> row(nodes.size());
    for (std::size_t r = 0; r < fine_rows; ++r) {
        // Position in coarse element widths: the division first, then the product.
        const double s = (static_cast<double>(r) / fine_positions) * coarse_elements;
        std::size_t element = floor_to_index(s);
        if (element >= n_t_) element = n_t_ - 1;
        const double offset = s - static_cast<double>(element);
        const double xi = (offset + offset) + (-1.0);

        cardinal_values(xi, nodes, weights, row);
        // element < n_t, so element*p + k <= n_t*p, which fits (the node count did).
        const std::size_t first_column = element * p;
        for (std::size_t k = 0; k <= p; ++k) {
            if (row[k] == 0.0) continue;
            const std::size_t column = first_column + k;
            matrix.push(periodic_ ? column % coarse_nodes : column, row[k]);
        }
        matrix.finish_row();  // orders the periodic wrap to column 0 and merges it
    }
    return std::move(matrix).finish();
}

}  // namespace zorv
