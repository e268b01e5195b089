// User scaling: what the adapter tells the solver, and that the solver
// applies it when asked for user scaling.
#include <gtest/gtest.h>

#include <IpIpoptApplication.hpp>
#include <IpIpoptCalculatedQuantities.hpp>
#include <IpIpoptData.hpp>
#include <IpIpoptNLP.hpp>
#include <IpNLPScaling.hpp>
#include <IpSmartPtr.hpp>
#include <IpTNLP.hpp>

#include <array>
#include <string>
#include <tuple>
#include <vector>

#include "hs071.hpp"
#include "solver.hpp"

namespace vornel_test {
namespace {

constexpr double kUntouched = -777.0;

// Whether x_scaling and g_scaling are given.
using ScalingCase = std::tuple<bool, bool>;

class ScalingParameters : public ::testing::TestWithParam<ScalingCase> {};

TEST_P(ScalingParameters, HandTheRecordsFactorsToTheSolver) {
  const auto [with_x, with_g] = GetParam();
  const BuiltNlp built = build_hs071(true);
  const Ipopt::SmartPtr<Ipopt::TNLP> owner = built.tnlp;
  const std::vector<double> x_factors = {0.5, 2.0, 4.0, 8.0};
  const std::vector<double> g_factors = {0.01, 3.0};
  built.data->obj_scaling = -2.5;
  if (with_x) built.data->x_scaling = x_factors;
  if (with_g) built.data->g_scaling = g_factors;

  double obj_scaling = 0.0;
  bool use_x = !with_x;
  bool use_g = !with_g;
  std::vector<double> x_out(kHs071N, kUntouched);
  std::vector<double> g_out(kHs071M, kUntouched);
  ASSERT_TRUE(built.tnlp->get_scaling_parameters(obj_scaling, use_x, kHs071N, x_out.data(), use_g,
                                                 kHs071M, g_out.data()));

  EXPECT_EQ(obj_scaling, -2.5);
  EXPECT_EQ(use_x, with_x);
  EXPECT_EQ(use_g, with_g);
  EXPECT_EQ(x_out, with_x ? x_factors : std::vector<double>(kHs071N, kUntouched));
  EXPECT_EQ(g_out, with_g ? g_factors : std::vector<double>(kHs071M, kUntouched));
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutVectors, ScalingParameters,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<ScalingCase>& info) {
                           return std::string(std::get<0>(info.param) ? "X" : "NoX") +
                                  (std::get<1>(info.param) ? "G" : "NoG");
                         });

// The solver's own view of the first iterate: each ratio is the factor
// between its scaled and its unscaled quantity.
struct FirstIterate {
  bool seen = false;
  double obj_ratio = 0.0;
  double x_ratio = 0.0;
  double equality_ratio = 0.0;
  double inequality_ratio = 0.0;
};

bool record_first_iterate(Ipopt::AlgorithmMode, int iter, double, double, double, double, double,
                          double, double, double, int, const Ipopt::IpoptData* ip_data,
                          Ipopt::IpoptCalculatedQuantities* ip_cq, void* user_data) {
  auto* first = static_cast<FirstIterate*>(user_data);
  if (iter != 0 || ip_data == nullptr || ip_cq == nullptr) return true;
  first->seen = true;
  first->obj_ratio = ip_cq->curr_f() / ip_cq->unscaled_curr_f();
  const Ipopt::SmartPtr<const Ipopt::Vector> x = ip_data->curr()->x();
  const Ipopt::SmartPtr<Ipopt::NLPScalingObject> scaling = ip_cq->GetIpoptNLP()->NLP_scaling();
  first->x_ratio = x->Amax() / scaling->unapply_vector_scaling_x(x)->Amax();
  // HS071's second constraint is its equality (c), the first its
  // inequality (d).
  first->equality_ratio = ip_cq->curr_c()->Amax() / ip_cq->unscaled_curr_c()->Amax();
  first->inequality_ratio = ip_cq->curr_d()->Amax() / ip_cq->unscaled_curr_d()->Amax();
  return true;
}

struct MethodCase {
  const char* method;
  bool applies_user_factors;
};

class UserScalingEffect : public ::testing::TestWithParam<MethodCase> {};

TEST_P(UserScalingEffect, SolverScalesByTheUsersFactorsOnlyUnderUserScaling) {
  const MethodCase method = GetParam();
  NlpBundle bundle;
  ASSERT_TRUE(bundle);
  make_quiet(bundle);
  ASSERT_TRUE(set_text(bundle, "nlp_scaling_method", method.method));
  FirstIterate first;
  IntermediateCallbackVariant intermediate = CIntermediate(untyped(record_first_iterate), &first);
  NlpData* data = attach(bundle, build_hs071(true, intermediate), true);
  data->obj_scaling = 3.0;
  data->x_scaling = {2.0, 2.0, 2.0, 2.0};
  data->g_scaling = {0.5, 5.0};
  std::array<double, kHs071N> x = kHs071X0;
  data->set_initial_values(x.data(), nullptr, nullptr, nullptr);

  ASSERT_EQ(bundle.optimize(), Ipopt::Solve_Succeeded);

  ASSERT_TRUE(first.seen);
  const bool user = method.applies_user_factors;
  EXPECT_DOUBLE_EQ(first.obj_ratio, user ? 3.0 : 1.0);
  EXPECT_DOUBLE_EQ(first.x_ratio, user ? 2.0 : 1.0);
  EXPECT_DOUBLE_EQ(first.equality_ratio, user ? 5.0 : 1.0);
  EXPECT_DOUBLE_EQ(first.inequality_ratio, user ? 0.5 : 1.0);
  // Scaling changes the path, not the answer reported in the user's units.
  for (int i = 0; i < kHs071N; ++i) EXPECT_NEAR(x[i], kHs071XOpt[i], 1e-6) << "x[" << i << "]";
  EXPECT_NEAR(data->obj_value_ref, kHs071FOpt, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(ScalingMethods, UserScalingEffect,
                         ::testing::Values(MethodCase{"user-scaling", true},
                                           MethodCase{"none", false}),
                         [](const ::testing::TestParamInfo<MethodCase>& info) {
                           return std::string(info.param.applies_user_factors ? "User" : "None");
                         });

}  // namespace
}  // namespace vornel_test
