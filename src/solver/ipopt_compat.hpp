// The few places where the Ipopt API differs between the releases we build
// against (3.11 on Debian 12, 3.14 on Debian 13). Nothing else in the tree
// looks at the Ipopt version.
#pragma once

#include <IpoptConfig.h>
#include <IpBlas.hpp>
#include <IpRegOptions.hpp>

#include <string>

namespace vornel::compat {

#if IPOPT_VERSION_MAJOR > 3 || (IPOPT_VERSION_MAJOR == 3 && IPOPT_VERSION_MINOR >= 14)
inline void blas_copy(Ipopt::Index n, const Ipopt::Number* x, Ipopt::Number* y) {
  Ipopt::IpBlasCopy(n, x, 1, y, 1);
}
inline std::string category_name(const Ipopt::RegisteredOption& option) {
  return option.RegisteringCategory().Name();
}
#else
inline void blas_copy(Ipopt::Index n, const Ipopt::Number* x, Ipopt::Number* y) {
  Ipopt::IpBlasDcopy(n, x, 1, y, 1);
}
inline std::string category_name(const Ipopt::RegisteredOption& option) {
  return option.RegisteringCategory();
}
#endif

}  // namespace vornel::compat
