// Hock-Schittkowski problem 71 as compiled routines with the signatures of
// the C callback kinds, and the adapter built from them. Known solution from
// the problem collection: x* = (1, 4.743, 3.82115, 1.37941), f* = 17.0140173.
#pragma once

#include <IpTNLP.hpp>

#include <array>
#include <utility>
#include <variant>
#include <vector>

#include "nlp/build_nlp.hpp"
#include "nlp/callback_kinds.hpp"
#include "nlp/nlp_data.hpp"

namespace vornel_test {

using namespace vornel;

inline constexpr int kHs071N = 4;
inline constexpr int kHs071M = 2;
inline constexpr std::array<double, kHs071N> kHs071X0 = {1.0, 5.0, 5.0, 1.0};
inline constexpr std::array<double, kHs071N> kHs071XOpt = {1.0, 4.74299963, 3.82114998, 1.37940829};
inline constexpr double kHs071FOpt = 17.0140173;

// Calls seen by the routines through their user data.
struct Hs071Calls {
  int f = 0;
  int grad_f = 0;
  int g = 0;
  int jac_g = 0;
  int h = 0;
};

inline bool hs071_f(int, const double* x, double* obj_value, void* user_data) {
  if (user_data != nullptr) ++static_cast<Hs071Calls*>(user_data)->f;
  *obj_value = x[0] * x[3] * (x[0] + x[1] + x[2]) + x[2];
  return true;
}

inline bool hs071_grad_f(int, const double* x, double* grad_f, void* user_data) {
  if (user_data != nullptr) ++static_cast<Hs071Calls*>(user_data)->grad_f;
  grad_f[0] = x[0] * x[3] + x[3] * (x[0] + x[1] + x[2]);
  grad_f[1] = x[0] * x[3];
  grad_f[2] = x[0] * x[3] + 1.0;
  grad_f[3] = x[0] * (x[0] + x[1] + x[2]);
  return true;
}

inline bool hs071_g(int, const double* x, int, double* g, void* user_data) {
  if (user_data != nullptr) ++static_cast<Hs071Calls*>(user_data)->g;
  g[0] = x[0] * x[1] * x[2] * x[3];
  g[1] = x[0] * x[0] + x[1] * x[1] + x[2] * x[2] + x[3] * x[3];
  return true;
}

inline bool hs071_jac_g(int, const double* x, int, int, double* values, void* user_data) {
  if (user_data != nullptr) ++static_cast<Hs071Calls*>(user_data)->jac_g;
  values[0] = x[1] * x[2] * x[3];
  values[1] = x[0] * x[2] * x[3];
  values[2] = x[0] * x[1] * x[3];
  values[3] = x[0] * x[1] * x[2];
  values[4] = 2.0 * x[0];
  values[5] = 2.0 * x[1];
  values[6] = 2.0 * x[2];
  values[7] = 2.0 * x[3];
  return true;
}

// Lower triangle of the Lagrangian's Hessian, row by row.
inline bool hs071_h(int, const double* x, double obj_factor, int, const double* lambda, int,
                    double* values, void* user_data) {
  if (user_data != nullptr) ++static_cast<Hs071Calls*>(user_data)->h;
  values[0] = obj_factor * 2.0 * x[3] + lambda[1] * 2.0;
  values[1] = obj_factor * x[3] + lambda[0] * x[2] * x[3];
  values[2] = lambda[1] * 2.0;
  values[3] = obj_factor * x[3] + lambda[0] * x[1] * x[3];
  values[4] = lambda[0] * x[0] * x[3];
  values[5] = lambda[1] * 2.0;
  values[6] = obj_factor * (2.0 * x[0] + x[1] + x[2]) + lambda[0] * x[1] * x[2];
  values[7] = obj_factor * x[0] + lambda[0] * x[0] * x[2];
  values[8] = obj_factor * x[0] + lambda[0] * x[0] * x[1];
  values[9] = lambda[1] * 2.0;
  return true;
}

// The C kinds are built from untyped pointers, as they arrive from a capsule.
template <class Function>
void* untyped(Function* function) {
  return reinterpret_cast<void*>(function);
}

struct BuiltNlp {
  Ipopt::TNLP* tnlp;
  NlpData* data;
};

// The Hessian is compiled when `with_hessian`, otherwise absent (the solver
// must then be switched to limited memory).
inline BuiltNlp build_hs071(bool with_hessian,
                            IntermediateCallbackVariant intermediate = null::IntermediateCallback{},
                            Hs071Calls* calls = nullptr) {
  FVariant f = c::F(untyped(hs071_f), calls);
  GradFVariant grad_f = std::variant_alternative_t<1, GradFVariant>(untyped(hs071_grad_f), calls);
  GVariant g = std::variant_alternative_t<1, GVariant>(untyped(hs071_g), calls);
  JacGVariant jac_g = std::variant_alternative_t<1, JacGVariant>(untyped(hs071_jac_g), calls);
  HVariant h = null::H{};
  SparsityIndices h_indices;
  if (with_hessian) {
    h = std::variant_alternative_t<2, HVariant>(untyped(hs071_h), calls);
    h_indices = {{0, 1, 1, 2, 2, 2, 3, 3, 3, 3}, {0, 0, 1, 0, 1, 2, 0, 1, 2, 3}};
  }
  auto [tnlp, data] =
      build_nlp(f, grad_f, g, jac_g, {{0, 0, 0, 0, 1, 1, 1, 1}, {0, 1, 2, 3, 0, 1, 2, 3}}, h,
                std::move(h_indices), intermediate, std::vector<double>(kHs071N, 1.0),
                std::vector<double>(kHs071N, 5.0), {25.0, 40.0}, {2.0e19, 40.0});
  // Problem construction always sets the objective factor; 1 leaves the
  // objective as it is under user scaling.
  data->obj_scaling = 1.0;
  return {tnlp, data};
}

using CIntermediate = std::variant_alternative_t<2, IntermediateCallbackVariant>;

}  // namespace vornel_test
