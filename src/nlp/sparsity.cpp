#include "nlp/sparsity.hpp"

#include <cmath>
#include <cstring>

#include "solver/ipopt_compat.hpp"

namespace vornel {

void arr_copy(const double* src, double* dst, std::size_t n) {
  if (n == 0) return;
  compat::blas_copy(static_cast<Ipopt::Index>(n), src, dst);
}

static void copy_indices(const std::vector<int>& from, int* to) {
  if (!from.empty()) std::memmove(to, from.data(), from.size() * sizeof(int));
}

void copy_sparsity(const SparsityIndices& indices, int* iRow, int* jCol) {
  copy_indices(std::get<0>(indices), iRow);
  copy_indices(std::get<1>(indices), jCol);
}

bool all_finite(const double* values, int count) {
  for (int i = 0; i < count; ++i) {
    if (!std::isfinite(values[i])) return false;
  }
  return true;
}

}  // namespace vornel
