#include "sparse_matrix_tools/csr.hpp"

#include <algorithm>
#include <limits>
#include <tuple>
#include <utility>

#include "support/stop.hpp"

namespace zorv {

namespace {

/// nrows + 1, the length of a row offset array; an array that long could never be
/// allocated when the sum wraps, so that case is out of memory too.
std::size_t offsets_length(std::size_t nrows) {
    if (nrows == std::numeric_limits<std::size_t>::max()) throw std::bad_alloc();
    require_allocatable(nrows + 1, sizeof(std::size_t));
    return nrows + 1;
}

[[noreturn]] void invalid_structure(const char* message) {
    throw SparseFormatError(SparseFormatErrorKind::InvalidStructure, message);
}

/// Rules 4 to 6 over the column indices of one row.
void check_row_columns(std::span<const std::size_t> row_cols, std::size_t ncols) {
    for (std::size_t position = 0; position < row_cols.size(); ++position) {
        const std::size_t col = row_cols[position];
        if (col >= ncols) {
            throw SparseFormatError(SparseFormatErrorKind::IndexOutOfBounds,
                                    "Column indices are out of bounds.");
        }
        if (position == 0) continue;
        const std::size_t previous = row_cols[position - 1];
        if (col < previous) {
            invalid_structure("Column indices are not monotonically increasing (sorted) within each row.");
        }
        if (col == previous) {
            throw SparseFormatError(SparseFormatErrorKind::DuplicateEntry,
                                    "Matrix data contains duplicate entries.");
        }
    }
}

/// Stably orders the entries [first, last) of `cols` and `values` by column and
/// merges runs of equal columns into their sum; returns the new end. Rows are short
/// and often already in order: those cost one pass and no allocation.
std::size_t order_and_merge_row(std::vector<std::size_t>& cols, std::vector<double>& values, std::size_t first,
                                std::size_t last) {
    if (!std::is_sorted(cols.begin() + static_cast<std::ptrdiff_t>(first),
                        cols.begin() + static_cast<std::ptrdiff_t>(last))) {
        constexpr std::size_t kShortRow = 32;
        if (last - first <= kShortRow) {
            for (std::size_t current = first + 1; current < last; ++current) {  // insertion sort: stable
                const std::size_t col = cols[current];
                const double value = values[current];
                std::size_t hole = current;
                for (; hole > first && col < cols[hole - 1]; --hole) {
                    cols[hole] = cols[hole - 1];
                    values[hole] = values[hole - 1];
                }
                cols[hole] = col;
                values[hole] = value;
            }
        } else {
            std::vector<std::pair<std::size_t, double>> row;
            row.reserve(last - first);
            for (std::size_t position = first; position < last; ++position) row.emplace_back(cols[position], values[position]);
            std::stable_sort(row.begin(), row.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
            for (std::size_t position = first; position < last; ++position) {
                std::tie(cols[position], values[position]) = row[position - first];
            }
        }
    }
    std::size_t end = first;
    for (std::size_t position = first; position < last; ++position) {
        if (end > first && cols[position] == cols[end - 1]) {
            values[end - 1] += values[position];
        } else {
            cols[end] = cols[position];
            values[end] = values[position];
            ++end;
        }
    }
    return end;
}

/// Positions of the entries of `coo`, grouped by row (a counting sort, so each row
/// keeps push order).
/// `offsets` receives the row ranges into the returned permutation.
std::vector<std::size_t> order_entries(const CooMatrix& coo, std::vector<std::size_t>& offsets) {
    const auto& rows = coo.row_indices();
    offsets.assign(offsets_length(coo.nrows()), 0);
    for (const std::size_t row : rows) {
        ++offsets[row + 1];
    }
    // Running sum; each partial sum counts entries, so it stays below nnz.
    for (std::size_t i = 0; i < coo.nrows(); ++i) {
        offsets[i + 1] += offsets[i];
    }

    std::vector<std::size_t> order(coo.nnz());
    std::vector<std::size_t> cursor(offsets.begin(), offsets.end() - 1);
    for (std::size_t entry = 0; entry < rows.size(); ++entry) {
        order[cursor[rows[entry]]++] = entry;
    }

    return order;
}

}  // namespace

void CooMatrix::push(std::size_t i, std::size_t j, double v) {
    if (i >= nrows_) stop("assertion failed: i < self.nrows");
    if (j >= ncols_) stop("assertion failed: j < self.ncols");
    rows_.push_back(i);
    cols_.push_back(j);
    values_.push_back(v);
}

void CooMatrix::reserve(std::size_t count) {
    require_allocatable(count, sizeof(std::size_t));
    rows_.reserve(count);
    cols_.reserve(count);
    values_.reserve(count);
}

CsrMatrix CsrMatrix::try_from_csr_data(std::size_t nrows, std::size_t ncols,
                                       std::vector<std::size_t> offsets,
                                       std::vector<std::size_t> cols,
                                       std::vector<double> values) {
    // Written as size - 1 != nrows so that nrows = SIZE_MAX cannot wrap.
    if (offsets.empty() || offsets.size() - 1 != nrows) {
        invalid_structure("Length of row offset array is not equal to nrows + 1.");
    }
    if (offsets.front() != 0 || offsets.back() != cols.size()) {
        invalid_structure("First or last row offset is inconsistent with format specification.");
    }
    const std::span<const std::size_t> all_cols(cols);
    for (std::size_t i = 0; i < nrows; ++i) {
        const std::size_t start = offsets[i];
        const std::size_t end = offsets[i + 1];
        if (end < start || end > cols.size()) {
            invalid_structure("Row offsets are not monotonically increasing.");
        }
        check_row_columns(all_cols.subspan(start, end - start), ncols);
    }
    if (values.size() != cols.size()) {
        invalid_structure("Number of values and column indices must be the same");
    }
    return CsrMatrix(nrows, ncols, std::move(offsets), std::move(cols), std::move(values));
}

CsrMatrix CsrMatrix::from_coo(const CooMatrix& coo) {
    std::vector<std::size_t> offsets;
    const std::vector<std::size_t> order = order_entries(coo, offsets);
    const auto& cols = coo.col_indices();
    const auto& values = coo.values();
    CsrBuilder builder(coo.nrows(), coo.ncols(), coo.nnz());
    for (std::size_t i = 0; i < coo.nrows(); ++i) {
        for (std::size_t position = offsets[i]; position < offsets[i + 1]; ++position) {
            builder.push(cols[order[position]], values[order[position]]);
        }
        builder.finish_row();
    }
    return std::move(builder).finish();
}

CsrBuilder::CsrBuilder(std::size_t nrows, std::size_t ncols, std::size_t expected_entries)
    : nrows_(nrows), ncols_(ncols) {
    offsets_.reserve(offsets_length(nrows));
    offsets_.push_back(0);
    require_allocatable(expected_entries, sizeof(std::size_t));
    cols_.reserve(expected_entries);
    values_.reserve(expected_entries);
}

void CsrBuilder::push(std::size_t j, double v) {
    if (offsets_.size() > nrows_) stop("assertion failed: i < self.nrows");
    if (j >= ncols_) stop("assertion failed: j < self.ncols");
    cols_.push_back(j);
    values_.push_back(v);
}

void CsrBuilder::finish_row() {
    const std::size_t end = order_and_merge_row(cols_, values_, offsets_.back(), cols_.size());
    cols_.resize(end);
    values_.resize(end);
    offsets_.push_back(end);
}

CsrMatrix CsrBuilder::finish() && {
    if (cols_.size() > offsets_.back() && offsets_.size() <= nrows_) finish_row();
    while (offsets_.size() <= nrows_) offsets_.push_back(cols_.size());
    try {
        return CsrMatrix::try_from_csr_data(nrows_, ncols_, std::move(offsets_), std::move(cols_),
                                            std::move(values_));
    } catch (const SparseFormatError& error) {
        // NOT_REACHED: every row was ordered and merged when it was finished.
        stop(std::string("Internal error: Invalid CSR data during COO->CSR conversion: ") + error.what());
    }
}

CooMatrix CsrMatrix::to_coo() const {
    CooMatrix coo(nrows_, ncols_);
    coo.reserve(nnz());
    for (std::size_t i = 0; i < nrows_; ++i) {
        const CsrRow entries = row(i);
        for (std::size_t position = 0; position < entries.cols.size(); ++position) {
            coo.push(i, entries.cols[position], entries.values[position]);
        }
    }
    return coo;
}

CsrRow CsrMatrix::row(std::size_t i) const {
    if (i >= nrows_) stop("CSR row index out of bounds");
    const std::size_t start = offsets_[i];
    const std::size_t count = offsets_[i + 1] - start;
    return CsrRow{std::span<const std::size_t>(cols_).subspan(start, count),
                  std::span<const double>(values_).subspan(start, count)};
}

}  // namespace zorv
