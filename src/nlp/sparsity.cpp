#include "nlp/sparsity.hpp"

#include <cmath>
#include <cstring>

#include "solver/ipopt_compat.hpp"

namespace vornel {

// The BLAS copy routine is not instrumented, so AddressSanitizer cannot see
// a copy that runs past a buffer through it; a sanitized build copies with
// memcpy, which the sanitizer checks.
#if defined(__SANITIZE_ADDRESS__)
#define VORNEL_INSTRUMENTED_COPY 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VORNEL_INSTRUMENTED_COPY 1
#endif
#endif

void arr_copy(const double* src, double* dst, std::size_t n) {
  if (n == 0) return;
#ifdef VORNEL_INSTRUMENTED_COPY
  std::memcpy(dst, src, n * sizeof(double));
#else
  compat::blas_copy(static_cast<Ipopt::Index>(n), src, dst);
#endif
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
