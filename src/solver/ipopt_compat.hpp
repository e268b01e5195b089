// The few places where the Ipopt API differs between the releases we build
// against (3.11 on Debian 12, 3.14 on Debian 13). Nothing else in the tree
// looks at the Ipopt version.
#pragma once

#include <IpoptConfig.h>
#include <IpBlas.hpp>
#include <IpIpoptApplication.hpp>
#include <IpIpoptCalculatedQuantities.hpp>
#include <IpIpoptData.hpp>
#include <IpOptionsList.hpp>
#include <IpOrigIpoptNLP.hpp>
#include <IpRegOptions.hpp>
#include <IpReturnCodes.hpp>
#include <IpTNLP.hpp>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#if IPOPT_VERSION_MAJOR > 3 || (IPOPT_VERSION_MAJOR == 3 && IPOPT_VERSION_MINOR >= 14)
#define VORNEL_IPOPT_3_14 1
#include <IpLinearSolvers.h>
#include <IpLibraryLoader.hpp>
#else
// The linear-solver loader's interface, which 3.14 replaced.
#include <HSLLoader.h>
#include <IpTNLPAdapter.hpp>
#endif

namespace vornel::compat {

struct NamedStatus {
  const char* name;
  int value;
};

// Whether solves of different problems may run at the same time. From 3.14
// on, Ipopt serialises its own calls into MUMPS, the one part of it that
// keeps global state; before, two solves at once corrupt each other.
#ifdef VORNEL_IPOPT_3_14
inline constexpr bool parallel_solves = true;
#else
inline constexpr bool parallel_solves = false;
#endif

#ifdef VORNEL_IPOPT_3_14
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

struct LinearSolver {
  const char* name;
  // "built in", or what makes the library load at run time.
  const char* source;
};

#ifdef VORNEL_IPOPT_3_14
// What the library was linked with, and what its loader can open at run time
// when the option naming the library (hsllib, pardisolib) is set.
inline std::vector<LinearSolver> linear_solvers() {
  struct Bit {
    const char* name;
    IpoptLinearSolver bit;
    const char* loaded_by;
  };
  static const Bit bits[] = {
      {"ma27", IPOPTLINEARSOLVER_MA27, "hsllib"},
      {"ma57", IPOPTLINEARSOLVER_MA57, "hsllib"},
      {"ma77", IPOPTLINEARSOLVER_MA77, "hsllib"},
      {"ma86", IPOPTLINEARSOLVER_MA86, "hsllib"},
      {"ma97", IPOPTLINEARSOLVER_MA97, "hsllib"},
      {"mumps", IPOPTLINEARSOLVER_MUMPS, nullptr},
      {"pardiso", IPOPTLINEARSOLVER_PARDISO, "pardisolib"},
      {"pardisomkl", IPOPTLINEARSOLVER_PARDISOMKL, nullptr},
      {"spral", IPOPTLINEARSOLVER_SPRAL, nullptr},
      {"wsmp", IPOPTLINEARSOLVER_WSMP, nullptr},
  };
  const IpoptLinearSolver linked = IpoptGetAvailableLinearSolvers(1);
  const IpoptLinearSolver usable = IpoptGetAvailableLinearSolvers(0);
  std::vector<LinearSolver> solvers;
  for (const Bit& b : bits) {
    if ((linked & b.bit) != 0) {
      solvers.push_back({b.name, "built in"});
    } else if ((usable & b.bit) != 0 && b.loaded_by != nullptr) {
      solvers.push_back({b.name, b.loaded_by});
    }
  }
  return solvers;
}
#else
// 3.11 has no query: its loaders open libraries of fixed names through the
// dynamic loader, and the solvers it was linked with are registered as
// values of linear_solver (MUMPS, on every build vornel supports).
inline std::vector<LinearSolver> linear_solvers() {
  std::vector<LinearSolver> solvers;
  for (const char* hsl : {"ma27", "ma57", "ma77", "ma86", "ma97"}) {
    solvers.push_back({hsl, "libhsl.so"});
  }
  solvers.push_back({"mumps", "built in"});
  solvers.push_back({"pardiso", "libpardiso.so"});
  return solvers;
}
#endif

namespace detail {

inline bool equal_insensitive(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    const auto lower = [](char c) {
      return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return i == a.size() && b[i] == '\0';
}

}  // namespace detail

#ifdef VORNEL_IPOPT_3_14
// 3.14 loads the HSL library through a loader that throws, and a solve whose
// library is missing ends with a status, except for HSL_MA97: its solver's
// clean-up after the refusal calls a routine that was never loaded
// (segmentation fault, seen on 3.14.17). Returns why the options in force
// cannot be served, or an empty string.
inline std::string unavailable_routine(const Ipopt::OptionsList& options) {
  std::string linear_solver;
  options.GetStringValue("linear_solver", linear_solver, "");
  if (!detail::equal_insensitive(linear_solver, "ma97") ||
      (IpoptGetAvailableLinearSolvers(1) & IPOPTLINEARSOLVER_MA97) != 0) {
    return {};
  }
  std::string library;
  options.GetStringValue("hsllib", library, "");
  Ipopt::SmartPtr<Ipopt::LibraryLoader> loader = new Ipopt::LibraryLoader(library);
  try {
    loader->loadLibrary();
  } catch (const Ipopt::IpoptException& error) {
    std::string reason = "linear_solver=\"" + linear_solver;
    reason += "\" needs the HSL library ";
    reason += library;
    reason += ", which cannot be loaded: ";
    reason += error.Message();
    return reason;
  }
  return {};
}
#else
namespace detail {

struct HslRoutine {
  const char* name;
  int (*available)();
};

// Tries to make `routine` available the way Ipopt does, by loading the HSL
// library, and says why it could not.
inline bool hsl_available(const HslRoutine& routine, std::string& reason) {
  if (routine.available() != 0) return true;
  char message[256] = "";
  const int failed = LSL_loadHSL(nullptr, message, static_cast<int>(sizeof(message)) - 1);
  if (routine.available() != 0) return true;
  reason = std::string("the HSL routine ") + routine.name + ", which is not available: " +
           (failed != 0 ? std::string(message)
                        : std::string(LSL_HSLLibraryName()) + " does not provide it");
  return false;
}

}  // namespace detail

// Ipopt 3.11 reaches the HSL routines through stubs that load the library on
// first use and call exit() when a routine is missing, and some paths reach
// them unchecked (the HSL_MA97 solver's clean-up after Ipopt refused it,
// equilibration-based scaling, any routine missing from a library that
// loads). Returns why the options in force cannot be served, or an empty
// string when every routine they select can be had.
inline std::string unavailable_routine(const Ipopt::OptionsList& options) {
  using detail::equal_insensitive;
  struct Need {
    const char* option;
    const char* value;
    detail::HslRoutine routine;
  };
  static const Need table[] = {
      {"linear_solver", "ma27", {"MA27", LSL_isMA27available}},
      {"linear_solver", "ma57", {"MA57", LSL_isMA57available}},
      {"linear_solver", "ma77", {"HSL_MA77", LSL_isMA77available}},
      {"linear_solver", "ma77", {"HSL_MC68", LSL_isMC68available}},
      {"linear_solver", "ma86", {"HSL_MA86", LSL_isMA86available}},
      {"linear_solver", "ma86", {"HSL_MC68", LSL_isMC68available}},
      {"linear_solver", "ma97", {"HSL_MA97", LSL_isMA97available}},
      {"linear_system_scaling", "mc19", {"MC19", LSL_isMC19available}},
      {"nlp_scaling_method", "equilibration-based", {"MC19", LSL_isMC19available}},
      {"dependency_detector", "ma28", {"MA28", LSL_isMA28available}},
  };
  std::string linear_solver;
  options.GetStringValue("linear_solver", linear_solver, "");
  std::string reason;
  for (const Need& need : table) {
    std::string value;
    const bool set = options.GetStringValue(need.option, value, "");
    if (!equal_insensitive(value, need.value)) continue;
    // Ipopt's own rule: MC19 scales the system of the HSL solvers other than
    // HSL_MA97 unless the option says otherwise, and never a custom solver's.
    if (std::string(need.option) == "linear_system_scaling" &&
        (equal_insensitive(linear_solver, "custom") ||
         !(set || equal_insensitive(linear_solver, "ma27") ||
           equal_insensitive(linear_solver, "ma57") || equal_insensitive(linear_solver, "ma77") ||
           equal_insensitive(linear_solver, "ma86")))) {
      continue;
    }
    if (!detail::hsl_available(need.routine, reason)) {
      std::string setting = std::string(need.option) + "=\"";
      setting += value;
      setting += "\" needs ";
      setting += reason;
      return setting;
    }
  }
  return {};
}
#endif

}  // namespace vornel::compat
