// The few places where the Ipopt API differs between the releases we build
// against (3.11 on Debian 12, 3.14 on Debian 13). Nothing else in the tree
// looks at the Ipopt version.
#pragma once

#include <IpoptConfig.h>
#include <IpBlas.hpp>
#include <IpIpoptApplication.hpp>
#include <IpOptionsList.hpp>
#include <IpRegOptions.hpp>

#include <map>
#include <string>

#if IPOPT_VERSION_MAJOR > 3 || (IPOPT_VERSION_MAJOR == 3 && IPOPT_VERSION_MINOR >= 14)
#define VORNEL_IPOPT_3_14 1
#include <IpLinearSolvers.h>
#include <IpLibraryLoader.hpp>
#else
// The linear-solver loader's interface, which 3.14 replaced.
#include <HSLLoader.h>
#endif

namespace vornel::compat {

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

// 3.14.13 lets the caller choose between truncating and appending.
inline bool open_output_file(Ipopt::IpoptApplication& app, const std::string& name,
                             Ipopt::EJournalLevel level, bool append) {
#if IPOPT_VERSION_MAJOR > 3 || IPOPT_VERSION_MINOR > 14 || \
    (IPOPT_VERSION_MINOR == 14 && IPOPT_VERSION_RELEASE >= 13)
  return app.OpenOutputFile(name, level, append);
#else
  static_cast<void>(append);
  return app.OpenOutputFile(name, level);
#endif
}

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
