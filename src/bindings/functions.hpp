#pragma once
/// @file
/// The module-level functions, in registration order.

#include "bindings/py_ref.hpp"

#include <span>

namespace zorv::py {

/// sum_as_string, lagrange_to_legendre_basis_transformation,
/// lagrange_prolongation_matrix, get_lagrange_points.
std::span<PyMethodDef> module_functions();

}  // namespace zorv::py
