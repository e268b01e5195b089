// HS071 solved end to end through the bundle with compiled and absent kinds.
#include <gtest/gtest.h>

#include <IpIpoptApplication.hpp>
#include <IpSolveStatistics.hpp>

#include <array>
#include <cmath>
#include <string>

#include "hs071.hpp"
#include "solver.hpp"

namespace vornel_test {
namespace {

struct IterationLog {
  int calls = 0;
  int last_iter = -1;
  double last_obj = 0.0;
  int stop_at_call = -1;
};

bool log_iteration(Ipopt::AlgorithmMode, int iter, double obj_value, double, double, double, double,
                   double, double, double, int, const Ipopt::IpoptData*,
                   Ipopt::IpoptCalculatedQuantities*, void* user_data) {
  auto* log = static_cast<IterationLog*>(user_data);
  ++log->calls;
  log->last_iter = iter;
  log->last_obj = obj_value;
  return log->calls != log->stop_at_call;
}

struct KindsCase {
  bool with_hessian;
  bool with_intermediate;
};

std::string kinds_name(const ::testing::TestParamInfo<KindsCase>& info) {
  return std::string(info.param.with_hessian ? "CompiledHessian" : "AbsentHessian") +
         (info.param.with_intermediate ? "CompiledIntermediate" : "AbsentIntermediate");
}

class Hs071Kinds : public ::testing::TestWithParam<KindsCase> {};

TEST_P(Hs071Kinds, ReachesTheKnownSolution) {
  const KindsCase kinds = GetParam();
  NlpBundle bundle;
  ASSERT_TRUE(bundle);
  make_quiet(bundle);
  IterationLog log;
  IntermediateCallbackVariant intermediate = null::IntermediateCallback{};
  if (kinds.with_intermediate) intermediate = CIntermediate(untyped(log_iteration), &log);
  NlpData* data = attach(bundle, build_hs071(kinds.with_hessian, intermediate), kinds.with_hessian);
  std::array<double, kHs071N> x = kHs071X0;
  data->set_initial_values(x.data(), nullptr, nullptr, nullptr);

  ASSERT_EQ(bundle.optimize(), Ipopt::Solve_Succeeded);

  for (int i = 0; i < kHs071N; ++i) EXPECT_NEAR(x[i], kHs071XOpt[i], 1e-6) << "x[" << i << "]";
  EXPECT_NEAR(data->obj_value_ref, kHs071FOpt, 1e-6);
  if (kinds.with_intermediate) {
    // Called for iteration 0 and after every iteration.
    EXPECT_EQ(log.calls, data->n_iter + 1);
    EXPECT_EQ(log.last_iter, data->n_iter);
    EXPECT_DOUBLE_EQ(log.last_obj, data->obj_value_ref);
  }
}

INSTANTIATE_TEST_SUITE_P(AllOptionalKinds, Hs071Kinds,
                         ::testing::Values(KindsCase{true, false}, KindsCase{true, true},
                                           KindsCase{false, false}, KindsCase{false, true}),
                         kinds_name);

TEST(Hs071IntermediateCallback, FalseStopsTheRunAtThatIteration) {
  NlpBundle bundle;
  ASSERT_TRUE(bundle);
  make_quiet(bundle);
  IterationLog log;
  log.stop_at_call = 3;
  IntermediateCallbackVariant intermediate = CIntermediate(untyped(log_iteration), &log);
  NlpData* data = attach(bundle, build_hs071(true, intermediate), true);
  std::array<double, kHs071N> x = kHs071X0;
  data->set_initial_values(x.data(), nullptr, nullptr, nullptr);

  EXPECT_EQ(bundle.optimize(), Ipopt::User_Requested_Stop);
  EXPECT_EQ(log.calls, 3);
  EXPECT_EQ(data->n_iter, 2);
}

// Multiplier buffers, each filled with a sentinel before the solve.
struct Buffers {
  static constexpr double kSentinel = -1234.5;
  std::array<double, kHs071N> x = kHs071X0;
  std::array<double, kHs071M> mult_g;
  std::array<double, kHs071N> mult_x_L;
  std::array<double, kHs071N> mult_x_U;
  Buffers() {
    mult_g.fill(kSentinel);
    mult_x_L.fill(kSentinel);
    mult_x_U.fill(kSentinel);
  }
};

bool all_sentinel(const double* values, int size) {
  for (int i = 0; i < size; ++i) {
    if (values[i] != Buffers::kSentinel) return false;
  }
  return true;
}

Ipopt::ApplicationReturnStatus solve_hs071(Buffers& buffers, bool bind_g, bool bind_x_L,
                                           bool bind_x_U) {
  NlpBundle bundle;
  EXPECT_TRUE(bundle);
  make_quiet(bundle);
  NlpData* data = attach(bundle, build_hs071(true), true);
  data->set_initial_values(buffers.x.data(), bind_g ? buffers.mult_g.data() : nullptr,
                           bind_x_L ? buffers.mult_x_L.data() : nullptr,
                           bind_x_U ? buffers.mult_x_U.data() : nullptr);
  return bundle.optimize();
}

// The final multipliers satisfy the first-order conditions of HS071 at the
// final point: grad f + J^T lambda - z_L + z_U = 0, with z_L, z_U >= 0 and
// complementary to the bounds.
TEST(Hs071Multipliers, BoundBuffersReceiveTheFinalMultipliers) {
  Buffers b;
  ASSERT_EQ(solve_hs071(b, true, true, true), Ipopt::Solve_Succeeded);

  std::array<double, kHs071N> grad_f;
  std::array<double, std::size_t{2} * kHs071N> jac;
  hs071_grad_f(kHs071N, b.x.data(), grad_f.data(), nullptr);
  hs071_jac_g(kHs071N, b.x.data(), kHs071M, 2 * kHs071N, jac.data(), nullptr);
  for (int i = 0; i < kHs071N; ++i) {
    const double stationarity = grad_f[i] + jac[i] * b.mult_g[0] + jac[kHs071N + i] * b.mult_g[1] -
                                b.mult_x_L[i] + b.mult_x_U[i];
    EXPECT_NEAR(stationarity, 0.0, 1e-6) << "component " << i;
    EXPECT_GE(b.mult_x_L[i], 0.0);
    EXPECT_GE(b.mult_x_U[i], 0.0);
    EXPECT_NEAR(b.mult_x_L[i] * (b.x[i] - 1.0), 0.0, 1e-6);
    EXPECT_NEAR(b.mult_x_U[i] * (5.0 - b.x[i]), 0.0, 1e-6);
  }
  // x1 sits on its lower bound with a strictly positive multiplier, and
  // both constraints are active: the buffers hold values, not leftovers.
  EXPECT_GT(b.mult_x_L[0], 0.1);
  EXPECT_GT(std::abs(b.mult_g[0]), 0.1);
  EXPECT_GT(std::abs(b.mult_g[1]), 0.1);
}

struct Binding {
  bool g;
  bool x_L;
  bool x_U;
};

class Hs071Binding : public ::testing::TestWithParam<Binding> {};

TEST_P(Hs071Binding, OnlyBoundBuffersAreWritten) {
  const Binding bind = GetParam();
  Buffers reference;
  ASSERT_EQ(solve_hs071(reference, true, true, true), Ipopt::Solve_Succeeded);
  Buffers b;
  ASSERT_EQ(solve_hs071(b, bind.g, bind.x_L, bind.x_U), Ipopt::Solve_Succeeded);

  for (int i = 0; i < kHs071N; ++i) EXPECT_DOUBLE_EQ(b.x[i], reference.x[i]);
  auto check = [](bool bound, const double* got, const double* want, int size, const char* what) {
    if (!bound) {
      EXPECT_TRUE(all_sentinel(got, size)) << what << " was written while unbound";
      return;
    }
    for (int i = 0; i < size; ++i) EXPECT_DOUBLE_EQ(got[i], want[i]) << what << "[" << i << "]";
  };
  check(bind.g, b.mult_g.data(), reference.mult_g.data(), kHs071M, "mult_g");
  check(bind.x_L, b.mult_x_L.data(), reference.mult_x_L.data(), kHs071N, "mult_x_L");
  check(bind.x_U, b.mult_x_U.data(), reference.mult_x_U.data(), kHs071N, "mult_x_U");
}

INSTANTIATE_TEST_SUITE_P(EverySubset, Hs071Binding,
                         ::testing::Values(Binding{false, false, false},
                                           Binding{true, false, false}, Binding{false, true, false},
                                           Binding{false, false, true}, Binding{true, true, false},
                                           Binding{false, true, true}, Binding{true, false, true}),
                         [](const ::testing::TestParamInfo<Binding>& info) {
                           std::string name;
                           if (info.param.g) name += "G";
                           if (info.param.x_L) name += "XL";
                           if (info.param.x_U) name += "XU";
                           return name.empty() ? std::string("None") : name;
                         });

TEST(Hs071Multipliers, RebindingWithoutMultipliersLeavesEarlierBuffersAlone) {
  NlpBundle bundle;
  ASSERT_TRUE(bundle);
  make_quiet(bundle);
  NlpData* data = attach(bundle, build_hs071(true), true);
  Buffers first;
  data->set_initial_values(first.x.data(), first.mult_g.data(), first.mult_x_L.data(),
                           first.mult_x_U.data());
  ASSERT_EQ(bundle.optimize(), Ipopt::Solve_Succeeded);
  first = Buffers();

  std::array<double, kHs071N> x = kHs071X0;
  data->set_initial_values(x.data(), nullptr, nullptr, nullptr);
  ASSERT_EQ(bundle.optimize(), Ipopt::Solve_Succeeded);

  EXPECT_NEAR(x[1], kHs071XOpt[1], 1e-6);
  EXPECT_TRUE(first.x == kHs071X0);
  EXPECT_TRUE(all_sentinel(first.mult_g.data(), kHs071M));
  EXPECT_TRUE(all_sentinel(first.mult_x_L.data(), kHs071N));
  EXPECT_TRUE(all_sentinel(first.mult_x_U.data(), kHs071N));
}

// A warm start asks for the bound multipliers; without all of them the
// adapter refuses the starting point and the run cannot start.
TEST(Hs071Multipliers, WarmStartNeedsEveryMultiplierBuffer) {
  Buffers solved;
  ASSERT_EQ(solve_hs071(solved, true, true, true), Ipopt::Solve_Succeeded);
  for (const bool complete : {true, false}) {
    NlpBundle bundle;
    ASSERT_TRUE(bundle);
    make_quiet(bundle);
    ASSERT_TRUE(set_text(bundle, "warm_start_init_point", "yes"));
    NlpData* data = attach(bundle, build_hs071(true), true);
    Buffers b = solved;
    data->set_initial_values(b.x.data(), b.mult_g.data(), b.mult_x_L.data(),
                             complete ? b.mult_x_U.data() : nullptr);
    const Ipopt::ApplicationReturnStatus status = bundle.optimize();
    if (complete) {
      EXPECT_EQ(status, Ipopt::Solve_Succeeded);
    } else {
      EXPECT_NE(status, Ipopt::Solve_Succeeded);
      EXPECT_NE(status, Ipopt::Solved_To_Acceptable_Level);
    }
  }
}

class Hs071Statistics : public ::testing::TestWithParam<bool> {};

TEST_P(Hs071Statistics, EqualTheSolversOwnCounters) {
  const bool with_hessian = GetParam();
  NlpBundle bundle;
  ASSERT_TRUE(bundle);
  make_quiet(bundle);
  NlpData* data = attach(bundle, build_hs071(with_hessian), with_hessian);
  EXPECT_EQ(data->n_iter, -1.0);
  EXPECT_EQ(data->n_eval_f, -1.0);
  EXPECT_EQ(data->obj_value_ref, 0.0);

  // The second run is shorter: the record must hold its counters, not a sum.
  for (const int max_iter : {3000, 4}) {
    ASSERT_TRUE(bundle.set_option("max_iter", OptionValue(max_iter)));
    std::array<double, kHs071N> x = kHs071X0;
    data->set_initial_values(x.data(), nullptr, nullptr, nullptr);
    bundle.optimize();

    Ipopt::SmartPtr<Ipopt::SolveStatistics> stats = bundle.app->Statistics();
    ASSERT_TRUE(Ipopt::IsValid(stats));
    Ipopt::Index obj = 0;
    Ipopt::Index constr = 0;
    Ipopt::Index obj_grad = 0;
    Ipopt::Index constr_jac = 0;
    Ipopt::Index hess = 0;
    stats->NumberOfEvaluations(obj, constr, obj_grad, constr_jac, hess);
    EXPECT_EQ(data->n_iter, stats->IterationCount());
    EXPECT_EQ(data->n_eval_f, obj);
    EXPECT_EQ(data->n_eval_grad_f, obj_grad);
    EXPECT_EQ(data->n_eval_g_eq, constr);
    EXPECT_EQ(data->n_eval_jac_g_eq, constr_jac);
    EXPECT_EQ(data->n_eval_h, hess);
    // HS071 has one equality and one inequality; the solver evaluates both
    // parts together.
    EXPECT_EQ(data->n_eval_g_ineq, data->n_eval_g_eq);
    EXPECT_EQ(data->n_eval_jac_g_ineq, data->n_eval_jac_g_eq);
    EXPECT_GT(data->n_eval_f, 0.0);
    if (!with_hessian) {
      EXPECT_EQ(data->n_eval_h, 0.0);
    }
  }
  EXPECT_EQ(data->n_iter, 4.0);
}

INSTANTIATE_TEST_SUITE_P(ExactAndLimitedMemory, Hs071Statistics, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "ExactHessian" : "LimitedMemory");
                         });

}  // namespace
}  // namespace vornel_test
