// The few places where the Ipopt API differs between the releases we build
// against (3.11 on Debian 12, 3.14 on Debian 13). Nothing else in the tree
// looks at the Ipopt version.
#pragma once

#include <IpoptConfig.h>
#include <IpBlas.hpp>
#include <IpIpoptCalculatedQuantities.hpp>
#include <IpIpoptData.hpp>
#include <IpOrigIpoptNLP.hpp>
#include <IpRegOptions.hpp>
#include <IpReturnCodes.hpp>
#include <IpTNLP.hpp>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#if !(IPOPT_VERSION_MAJOR > 3 || (IPOPT_VERSION_MAJOR == 3 && IPOPT_VERSION_MINOR >= 14))
#include <IpTNLPAdapter.hpp>
#endif

namespace vornel::compat {

struct NamedStatus {
  const char* name;
  int value;
};

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

inline std::vector<NamedStatus> newer_return_statuses() {
  return {{"Maximum_WallTime_Exceeded", Ipopt::Maximum_WallTime_Exceeded}};
}

// The current iterate in the caller's order and unscaled, as Ipopt computes
// it for this purpose. Null on success, otherwise why it is not available.
inline const char* current_iterate(Ipopt::TNLP& tnlp, const Ipopt::IpoptData* ip_data,
                                   Ipopt::IpoptCalculatedQuantities* ip_cq, Ipopt::Index n,
                                   Ipopt::Number* x, Ipopt::Index m, Ipopt::Number* g) {
  std::vector<Ipopt::Number> z_L(static_cast<std::size_t>(n));
  std::vector<Ipopt::Number> z_U(static_cast<std::size_t>(n));
  std::vector<Ipopt::Number> lambda(static_cast<std::size_t>(m));
  if (!tnlp.get_curr_iterate(ip_data, ip_cq, false, n, x, z_L.data(), z_U.data(), m, g,
                             lambda.data())) {
    return "Ipopt did not provide the current iterate";
  }
  return nullptr;
}

inline const char* current_violations(Ipopt::TNLP& tnlp, const Ipopt::IpoptData* ip_data,
                                      Ipopt::IpoptCalculatedQuantities* ip_cq, Ipopt::Index n,
                                      const Ipopt::Number*, Ipopt::Number* x_L_violation,
                                      Ipopt::Number* x_U_violation, Ipopt::Index m,
                                      const Ipopt::Number*, Ipopt::Number* g_violation) {
  std::vector<Ipopt::Number> compl_x_L(static_cast<std::size_t>(n));
  std::vector<Ipopt::Number> compl_x_U(static_cast<std::size_t>(n));
  std::vector<Ipopt::Number> grad_lag_x(static_cast<std::size_t>(n));
  std::vector<Ipopt::Number> compl_g(static_cast<std::size_t>(m));
  if (!tnlp.get_curr_violations(ip_data, ip_cq, false, n, x_L_violation, x_U_violation,
                                compl_x_L.data(), compl_x_U.data(), grad_lag_x.data(), m,
                                g_violation, compl_g.data())) {
    return "Ipopt did not provide the current violations";
  }
  return nullptr;
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

inline std::vector<NamedStatus> newer_return_statuses() { return {}; }

// Ipopt 3.11 has no accessor for the current iterate: x is taken from the
// solver's data, unscaled and put back into the caller's order (fixed
// variables included) by the TNLP adapter, and g is evaluated at it with
// the problem's own eval_g. In the restoration phase the solver's data
// belong to another problem, so nothing is available then.
inline const char* current_iterate(Ipopt::TNLP& tnlp, const Ipopt::IpoptData* ip_data,
                                   Ipopt::IpoptCalculatedQuantities* ip_cq, Ipopt::Index n,
                                   Ipopt::Number* x, Ipopt::Index m, Ipopt::Number* g) {
  auto* orig = dynamic_cast<Ipopt::OrigIpoptNLP*>(Ipopt::GetRawPtr(ip_cq->GetIpoptNLP()));
  if (orig == nullptr) return "with Ipopt 3.11 it is not available in the restoration phase";
  auto* adapter = dynamic_cast<Ipopt::TNLPAdapter*>(Ipopt::GetRawPtr(orig->nlp()));
  if (adapter == nullptr || !Ipopt::IsValid(ip_data->curr())) {
    return "Ipopt did not provide the current iterate";
  }
  const Ipopt::SmartPtr<const Ipopt::Vector> unscaled =
      orig->NLP_scaling()->unapply_vector_scaling_x(ip_data->curr()->x());
  adapter->ResortX(*unscaled, x);
  if (!tnlp.eval_g(n, x, true, m, g)) return "eval_g failed at the current iterate";
  return nullptr;
}

// Violations of the bounds at the point and constraint values given.
inline const char* current_violations(Ipopt::TNLP& tnlp, const Ipopt::IpoptData*,
                                      Ipopt::IpoptCalculatedQuantities*, Ipopt::Index n,
                                      const Ipopt::Number* x, Ipopt::Number* x_L_violation,
                                      Ipopt::Number* x_U_violation, Ipopt::Index m,
                                      const Ipopt::Number* g, Ipopt::Number* g_violation) {
  std::vector<Ipopt::Number> x_l(static_cast<std::size_t>(n));
  std::vector<Ipopt::Number> x_u(static_cast<std::size_t>(n));
  std::vector<Ipopt::Number> g_l(static_cast<std::size_t>(m));
  std::vector<Ipopt::Number> g_u(static_cast<std::size_t>(m));
  tnlp.get_bounds_info(n, x_l.data(), x_u.data(), m, g_l.data(), g_u.data());
  for (Ipopt::Index i = 0; i < n; ++i) {
    x_L_violation[i] = std::max(0.0, x_l[i] - x[i]);
    x_U_violation[i] = std::max(0.0, x[i] - x_u[i]);
  }
  for (Ipopt::Index j = 0; j < m; ++j) {
    g_violation[j] = std::max({0.0, g_l[j] - g[j], g[j] - g_u[j]});
  }
  return nullptr;
}
#endif

}  // namespace vornel::compat
