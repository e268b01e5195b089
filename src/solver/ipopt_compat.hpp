// The few places where the Ipopt API differs between the releases we build
// against (3.11 on Debian 12, 3.14 on Debian 13). Nothing else in the tree
// looks at the Ipopt version.
#pragma once

#include <IpoptConfig.h>
#include <IpBlas.hpp>
#include <IpRegOptions.hpp>

#include <map>
#include <string>

namespace vornel::compat {

#if IPOPT_VERSION_MAJOR > 3 || (IPOPT_VERSION_MAJOR == 3 && IPOPT_VERSION_MINOR >= 14)
inline void blas_copy(Ipopt::Index n, const Ipopt::Number* x, Ipopt::Number* y) {
  Ipopt::IpBlasCopy(n, x, 1, y, 1);
}
// An option registered outside any category has no category object, which
// RegisteringCategory() would dereference; the categories' own lists are
// safe to walk.
inline std::map<std::string, std::string> option_categories(
    const Ipopt::RegisteredOptions& registered) {
  std::map<std::string, std::string> categories;
  for (const auto& entry : registered.RegisteredCategories()) {
    for (const auto& option : entry.second->RegisteredOptions()) {
      categories[option->Name()] = entry.second->Name();
    }
  }
  return categories;
}
#else
inline void blas_copy(Ipopt::Index n, const Ipopt::Number* x, Ipopt::Number* y) {
  Ipopt::IpBlasDcopy(n, x, 1, y, 1);
}
inline std::map<std::string, std::string> option_categories(
    const Ipopt::RegisteredOptions& registered) {
  std::map<std::string, std::string> categories;
  for (const auto& entry : registered.RegisteredOptionsList()) {
    categories[entry.first] = entry.second->RegisteringCategory();
  }
  return categories;
}
#endif

}  // namespace vornel::compat
