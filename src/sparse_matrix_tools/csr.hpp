#pragma once
/// @file
/// The two sparse matrix types of the core: a coordinate entry list (`CooMatrix`)
/// used to collect entries in any order, and the compressed sparse row matrix
/// (`CsrMatrix`) every operation returns.
///
/// Rules both types keep:
///   - indices are unsigned machine words, values are doubles;
///   - a stored entry may hold 0.0 and is never dropped because of its value;
///   - a `CsrMatrix` lists each row's entries by strictly increasing column.

#include <cstddef>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace zorv {

/// Which rule of the CSR format raw arrays broke.
enum class SparseFormatErrorKind {
    InvalidStructure,
    IndexOutOfBounds,
    DuplicateEntry,
};

/// Reported by `CsrMatrix::try_from_csr_data` for the first broken rule.
class SparseFormatError : public std::runtime_error {
public:
    SparseFormatError(SparseFormatErrorKind kind, const std::string& message)
        : std::runtime_error(message), kind_(kind) {}

    SparseFormatErrorKind kind() const noexcept { return kind_; }

private:
    SparseFormatErrorKind kind_;
};

/// Coordinate entry list: three parallel arrays (row, column, value), one element
/// per entry, in the order the entries were pushed. Positions may repeat.
class CooMatrix {
public:
    /// An empty list of shape nrows x ncols.
    CooMatrix(std::size_t nrows, std::size_t ncols) noexcept : nrows_(nrows), ncols_(ncols) {}

    /// Appends the entry (i, j, v).
    /// Stops with "assertion failed: i < self.nrows" when i >= nrows, and with
    /// "assertion failed: j < self.ncols" when j >= ncols (row checked first).
    void push(std::size_t i, std::size_t j, double v);

    /// Makes room for `count` entries; throws std::bad_alloc when the arrays of that
    /// many entries could never be allocated.
    void reserve(std::size_t count);

    std::size_t nrows() const noexcept { return nrows_; }
    std::size_t ncols() const noexcept { return ncols_; }
    std::size_t nnz() const noexcept { return values_.size(); }
    const std::vector<std::size_t>& row_indices() const noexcept { return rows_; }
    const std::vector<std::size_t>& col_indices() const noexcept { return cols_; }
    const std::vector<double>& values() const noexcept { return values_; }

private:
    std::size_t nrows_;
    std::size_t ncols_;
    std::vector<std::size_t> rows_;
    std::vector<std::size_t> cols_;
    std::vector<double> values_;
};

/// The stored entries of one CSR row: parallel views of column indices
/// (strictly increasing) and values, valid while the matrix lives.
struct CsrRow {
    std::span<const std::size_t> cols;
    std::span<const double> values;
};

/// Compressed sparse row matrix of doubles. Always valid: it is only made by
/// `try_from_csr_data` (which checks every invariant) or by `from_coo`.
///
/// Layout: `row_offsets` has nrows + 1 elements; the entries of row i are positions
/// row_offsets[i] .. row_offsets[i+1]-1 of `col_indices` and `values`.
class CsrMatrix {
public:
    /// Checks the raw arrays and takes them over.
    ///
    /// The rules, checked in this order, the first violation being thrown as a
    /// `SparseFormatError`:
    ///   1. offsets has nrows + 1 elements                          (InvalidStructure)
    ///   2. offsets[0] == 0 and offsets[nrows] == cols.size()       (InvalidStructure)
    ///   then row by row in ascending order:
    ///   3. the row's end offset is not below its start             (InvalidStructure)
    ///   4-6. left to right: column < ncols (IndexOutOfBounds), not equal to its
    ///      predecessor (DuplicateEntry), not below it (InvalidStructure)
    ///   7. values.size() == cols.size()                            (InvalidStructure)
    /// An offset beyond the number of column indices is reported as rule 3: since
    /// the last offset equals that number, the offsets must decrease somewhere.
    static CsrMatrix try_from_csr_data(std::size_t nrows, std::size_t ncols,
                                       std::vector<std::size_t> offsets,
                                       std::vector<std::size_t> cols,
                                       std::vector<double> values);

    /// Converts an entry list: entries are grouped by row keeping their push order,
    /// each row is stably ordered by column, and each run of equal columns becomes
    /// one entry holding the sum of its values (added in push order). Zeros, pushed
    /// or produced by a merge, stay stored. The result has the list's shape.
    static CsrMatrix from_coo(const CooMatrix& coo);

    /// The entry list of all stored entries, row by row, ascending column; zeros included.
    CooMatrix to_coo() const;

    std::size_t nrows() const noexcept { return nrows_; }
    std::size_t ncols() const noexcept { return ncols_; }
    std::size_t nnz() const noexcept { return values_.size(); }
    const std::vector<std::size_t>& row_offsets() const noexcept { return offsets_; }
    const std::vector<std::size_t>& col_indices() const noexcept { return cols_; }
    const std::vector<double>& values() const noexcept { return values_; }

    /// The stored entries of row i; i must be below nrows (stops otherwise).
    CsrRow row(std::size_t i) const;

    /// Hands out the column and value arrays; the matrix is left without entries
    /// and must not be used afterwards.
    std::pair<std::vector<std::size_t>, std::vector<double>> release_entries() && {
        return {std::move(cols_), std::move(values_)};
    }

private:
    friend class CsrBuilder;
    CsrMatrix(std::size_t nrows, std::size_t ncols, std::vector<std::size_t> offsets,
              std::vector<std::size_t> cols, std::vector<double> values) noexcept
        : nrows_(nrows), ncols_(ncols), offsets_(std::move(offsets)), cols_(std::move(cols)),
          values_(std::move(values)) {}

    std::size_t nrows_;
    std::size_t ncols_;
    std::vector<std::size_t> offsets_;
    std::vector<std::size_t> cols_;
    std::vector<double> values_;
};

/// @brief Builds a CsrMatrix row by row, with the rules of the conversion from an
/// entry list: within a row entries may come in any order and repeat a column; a
/// finished row is stably ordered by column and each run of equal columns becomes
/// one entry holding the sum of its values (added in push order). Zeros stay stored.
///
/// For builders that produce their entries row after row, this gives exactly the
/// matrix that pushing them to a CooMatrix and converting it would, without the
/// intermediate list.
class CsrBuilder {
public:
    /// @param expected_entries room to reserve (a hint; std::bad_alloc when it can
    ///        never be allocated).
    CsrBuilder(std::size_t nrows, std::size_t ncols, std::size_t expected_entries);

    /// Adds (current row, j, v). Stops with "assertion failed: i < self.nrows" when
    /// every row is already finished, "assertion failed: j < self.ncols" when j >= ncols.
    void push(std::size_t j, double v);

    /// Closes the current row (ordering and merging it); the next push goes to the
    /// following row.
    void finish_row();

    /// The matrix; rows not finished yet are finished (empty ones stay empty).
    CsrMatrix finish() &&;

private:
    std::size_t nrows_;
    std::size_t ncols_;
    std::vector<std::size_t> offsets_;  // offsets_.size() - 1 rows are finished
    std::vector<std::size_t> cols_;
    std::vector<double> values_;
};

}  // namespace zorv
