// A problem without constraints (m = 0): the adapter reports empty
// constraint data and the solver still runs through the compiled kinds.
#include <gtest/gtest.h>

#include <IpIpoptApplication.hpp>
#include <IpTNLP.hpp>

#include <array>
#include <string>
#include <variant>
#include <vector>

#include "solver.hpp"

namespace vornel_test {
namespace {

// f(x) = sum (x_i - c_i)^2 with the minimum at c, no bounds.
constexpr int kN = 3;
constexpr std::array<double, kN> kCentre = {1.0, -2.0, 3.0};

// What the constraint routines were handed, if they were called at all.
struct ConstraintCalls {
  int largest_m = 0;
};

bool quad_f(int n, const double* x, double* obj_value, void*) {
  *obj_value = 0.0;
  for (int i = 0; i < n; ++i) *obj_value += (x[i] - kCentre[i]) * (x[i] - kCentre[i]);
  return true;
}

bool quad_grad_f(int n, const double* x, double* grad_f, void*) {
  for (int i = 0; i < n; ++i) grad_f[i] = 2.0 * (x[i] - kCentre[i]);
  return true;
}

bool quad_g(int, const double*, int m, double*, void* user_data) {
  auto* calls = static_cast<ConstraintCalls*>(user_data);
  if (m > calls->largest_m) calls->largest_m = m;
  return true;
}

bool quad_jac_g(int, const double*, int m, int nele_jac, double*, void* user_data) {
  auto* calls = static_cast<ConstraintCalls*>(user_data);
  if (m + nele_jac > calls->largest_m) calls->largest_m = m + nele_jac;
  return true;
}

bool quad_h(int n, const double*, double obj_factor, int, const double*, int, double* values,
            void*) {
  for (int i = 0; i < n; ++i) values[i] = 2.0 * obj_factor;
  return true;
}

BuiltNlp build_quadratic(bool with_hessian, ConstraintCalls* calls) {
  FVariant f = c::F(untyped(quad_f), nullptr);
  GradFVariant grad_f = std::variant_alternative_t<1, GradFVariant>(untyped(quad_grad_f), nullptr);
  GVariant g = std::variant_alternative_t<1, GVariant>(untyped(quad_g), calls);
  JacGVariant jac_g = std::variant_alternative_t<1, JacGVariant>(untyped(quad_jac_g), calls);
  HVariant h = null::H{};
  SparsityIndices h_indices;
  if (with_hessian) {
    h = std::variant_alternative_t<2, HVariant>(untyped(quad_h), nullptr);
    h_indices = {{0, 1, 2}, {0, 1, 2}};
  }
  IntermediateCallbackVariant intermediate = null::IntermediateCallback{};
  auto [tnlp, data] =
      build_nlp(f, grad_f, g, jac_g, SparsityIndices{}, h, std::move(h_indices), intermediate,
                std::vector<double>(kN, -2.0e19), std::vector<double>(kN, 2.0e19), {}, {});
  data->obj_scaling = 1.0;
  return {tnlp, data};
}

class Unconstrained : public ::testing::TestWithParam<bool> {};

TEST_P(Unconstrained, ReportsNoConstraintsAndSolves) {
  const bool with_hessian = GetParam();
  NlpBundle bundle;
  ASSERT_TRUE(bundle);
  make_quiet(bundle);
  ConstraintCalls calls;
  const BuiltNlp built = build_quadratic(with_hessian, &calls);
  NlpData* data = attach(bundle, built, with_hessian);

  Ipopt::Index n = -1;
  Ipopt::Index m = -1;
  Ipopt::Index nnz_jac_g = -1;
  Ipopt::Index nnz_h_lag = -1;
  Ipopt::TNLP::IndexStyleEnum style = Ipopt::TNLP::FORTRAN_STYLE;
  ASSERT_TRUE(built.tnlp->get_nlp_info(n, m, nnz_jac_g, nnz_h_lag, style));
  EXPECT_EQ(n, kN);
  EXPECT_EQ(m, 0);
  EXPECT_EQ(nnz_jac_g, 0);
  EXPECT_EQ(nnz_h_lag, with_hessian ? kN : 0);
  EXPECT_EQ(style, Ipopt::TNLP::C_STYLE);

  std::array<double, kN> x = {0.0, 0.0, 0.0};
  std::array<double, kN> mult_x_L;
  std::array<double, kN> mult_x_U;
  mult_x_L.fill(-1.0);
  mult_x_U.fill(-1.0);
  data->set_initial_values(x.data(), nullptr, mult_x_L.data(), mult_x_U.data());
  ASSERT_EQ(bundle.optimize(), Ipopt::Solve_Succeeded);

  for (int i = 0; i < kN; ++i) EXPECT_NEAR(x[i], kCentre[i], 1e-7) << "x[" << i << "]";
  EXPECT_NEAR(data->obj_value_ref, 0.0, 1e-12);
  // Without bounds the final bound multipliers are zero.
  for (int i = 0; i < kN; ++i) {
    EXPECT_EQ(mult_x_L[i], 0.0);
    EXPECT_EQ(mult_x_U[i], 0.0);
  }
  EXPECT_EQ(calls.largest_m, 0) << "constraint routines got non-empty buffers";
}

INSTANTIATE_TEST_SUITE_P(ExactAndLimitedMemory, Unconstrained, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "ExactHessian" : "LimitedMemory");
                         });

}  // namespace
}  // namespace vornel_test
