#pragma once

#include <cstddef>
#include <tuple>
#include <vector>

namespace vornel {

// Row indices (element 0) and column indices (element 1) of a sparse
// matrix's nonzeros, 0-based, in the order the callback delivers values.
using SparsityIndices = std::tuple<std::vector<int>, std::vector<int>>;

// Copies `n` doubles with the solver library's BLAS copy.
void arr_copy(const double* src, double* dst, std::size_t n);

// Copies the row and column indices into the solver's structure arrays.
void copy_sparsity(const SparsityIndices& indices, int* iRow, int* jCol);

// Ipopt passes derivative values to the linear solver unchecked (unless its
// check_derivatives_for_naninf option is on), and MUMPS's analysis crashes
// the process on a Jacobian holding NaN or an infinity. A derivative
// evaluation that produced one is therefore reported to the solver as failed.
bool all_finite(const double* values, int count);

}  // namespace vornel
