// Typed option setting through the bundle, read back from the solver's own
// options list.
#include <gtest/gtest.h>

#include <IpIpoptApplication.hpp>
#include <IpOptionsList.hpp>

#include <array>
#include <cmath>
#include <string>
#include <variant>

#include "hs071.hpp"
#include "solver.hpp"

namespace vornel_test {
namespace {

// An option value as a test writes it; text is turned into the bundle's
// mutable C string only for the call.
using Value = std::variant<int, double, std::string>;

bool set_value(NlpBundle& bundle, const char* name, const Value& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return set_text(bundle, name, *text);
  if (const auto* integer = std::get_if<int>(&value)) {
    return bundle.set_option(name, OptionValue(*integer));
  }
  return bundle.set_option(name, OptionValue(std::get<double>(value)));
}

struct OptionCase {
  const char* label;
  const char* name;
  Value value;
  bool accepted;
};

class TypedOption : public ::testing::TestWithParam<OptionCase> {};

// Whether the options list holds a value of its own for `name` (the list
// prints one right-aligned "name = value" line per option set).
bool is_set(NlpBundle& bundle, const std::string& name) {
  std::string list;
  bundle.app->Options()->PrintList(list);
  return list.find(" " + name + " = ") != std::string::npos;
}

TEST_P(TypedOption, ReachesTheMatchingSetter) {
  const OptionCase option = GetParam();
  NlpBundle bundle;
  ASSERT_TRUE(bundle);
  make_quiet(bundle);
  // A refusal is explained to the caller, not printed.
  ::testing::internal::CaptureStdout();
  const bool accepted = set_value(bundle, option.name, option.value);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(accepted, option.accepted) << bundle.refusal();
  EXPECT_EQ(bundle.refusal().empty(), option.accepted) << bundle.refusal();
  EXPECT_EQ(is_set(bundle, option.name), option.accepted);
  if (!option.accepted) return;

  // Read back through the getter of the value's own type.
  const Ipopt::SmartPtr<Ipopt::OptionsList> options = bundle.app->Options();
  if (const auto* integer = std::get_if<int>(&option.value)) {
    Ipopt::Index stored = 0;
    ASSERT_TRUE(options->GetIntegerValue(option.name, stored, ""));
    EXPECT_EQ(stored, *integer);
  } else if (const auto* number = std::get_if<double>(&option.value)) {
    Ipopt::Number stored = 0.0;
    ASSERT_TRUE(options->GetNumericValue(option.name, stored, ""));
    EXPECT_EQ(stored, *number);
  } else {
    std::string stored;
    ASSERT_TRUE(options->GetStringValue(option.name, stored, ""));
    EXPECT_EQ(stored, std::get<std::string>(option.value));
  }
}

INSTANTIATE_TEST_SUITE_P(
    AcceptedAndRefused, TypedOption,
    ::testing::Values(
        OptionCase{"IntegerOption", "max_iter", Value(17), true},
        OptionCase{"NumericOption", "tol", Value(1e-5), true},
        OptionCase{"StringOption", "mu_strategy", Value(std::string("adaptive")), true},
        // No widening: an int for a numeric option goes to the integer
        // setter, which refuses it, and a double is not truncated for an
        // integer option.
        OptionCase{"IntegerForNumeric", "tol", Value(1), false},
        OptionCase{"NumericForInteger", "max_iter", Value(3.0), false},
        OptionCase{"StringForInteger", "max_iter", Value(std::string("3")), false},
        OptionCase{"UnknownInteger", "no_such_option", Value(1), false},
        OptionCase{"UnknownNumeric", "no_such_option", Value(1.0), false},
        OptionCase{"UnknownString", "no_such_option", Value(std::string("yes")), false},
        OptionCase{"StringNotInList", "hessian_approximation", Value(std::string("bogus")), false},
        OptionCase{"IntegerOutOfRange", "max_iter", Value(-1), false},
        // A NaN passes every range comparison; infinity only fits a side
        // of the range without a bound.
        OptionCase{"NotANumber", "tol", Value(std::nan("")), false},
        OptionCase{"InfinityAboveABound", "bound_frac", Value(HUGE_VAL), false},
        OptionCase{"InfinityWithoutABound", "max_cpu_time", Value(HUGE_VAL), true}),
    [](const ::testing::TestParamInfo<OptionCase>& info) { return std::string(info.param.label); });

TEST(TypedOption, ExactHessianIsRefusedOnceTheProblemHasNone) {
  NlpBundle bundle;
  ASSERT_TRUE(bundle);
  ASSERT_TRUE(set_text(bundle, "hessian_approximation", "exact"));
  bundle.without_hess();
  EXPECT_FALSE(set_text(bundle, "hessian_approximation", "exact"));
  EXPECT_NE(bundle.refusal().find("eval_h"), std::string::npos) << bundle.refusal();
  EXPECT_TRUE(set_text(bundle, "hessian_approximation", "limited-memory"));
  std::string stored;
  ASSERT_TRUE(bundle.app->Options()->GetStringValue("hessian_approximation", stored, ""));
  EXPECT_EQ(stored, "limited-memory");
}

TEST(TypedOption, LaterValueReplacesEarlierOne) {
  NlpBundle bundle;
  ASSERT_TRUE(bundle);
  make_quiet(bundle);
  ASSERT_TRUE(bundle.set_option("tol", OptionValue(1e-3)));
  ASSERT_TRUE(bundle.set_option("tol", OptionValue(1e-9)));
  Ipopt::Number tol = 0.0;
  ASSERT_TRUE(bundle.app->Options()->GetNumericValue("tol", tol, ""));
  EXPECT_EQ(tol, 1e-9);
}

// Options stay in force for every later run on the same bundle.
TEST(TypedOption, SetOptionGovernsEveryLaterRun) {
  NlpBundle bundle;
  ASSERT_TRUE(bundle);
  make_quiet(bundle);
  ASSERT_TRUE(bundle.set_option("max_iter", OptionValue(3)));
  NlpData* data = attach(bundle, build_hs071(true), true);
  for (int run = 0; run < 2; ++run) {
    std::array<double, kHs071N> x = kHs071X0;
    data->set_initial_values(x.data(), nullptr, nullptr, nullptr);
    EXPECT_EQ(bundle.optimize(), Ipopt::Maximum_Iterations_Exceeded) << "run " << run;
    EXPECT_EQ(data->n_iter, 3.0) << "run " << run;
  }
}

std::string hessian_approximation(NlpBundle& bundle, const char* prefix = "") {
  std::string value;
  EXPECT_TRUE(bundle.app->Options()->GetStringValue("hessian_approximation", value, prefix));
  return value;
}

TEST(WithoutHess, OverridesAnEarlierHessianApproximation) {
  NlpBundle bundle;
  ASSERT_TRUE(bundle);
  make_quiet(bundle);
  ASSERT_TRUE(set_text(bundle, "hessian_approximation", "exact"));
  ASSERT_TRUE(set_text(bundle, "resto.hessian_approximation", "exact"));
  ASSERT_EQ(hessian_approximation(bundle, "resto."), "exact");
  bundle.without_hess();
  EXPECT_EQ(hessian_approximation(bundle), "limited-memory");
  EXPECT_EQ(hessian_approximation(bundle, "resto."), "limited-memory");
  EXPECT_FALSE(set_text(bundle, "resto.hessian_approximation", "exact"));
}

// Without a Hessian routine the run needs the approximation; it then never
// asks for Hessian values.
TEST(WithoutHess, LetsAProblemWithoutHessianSolve) {
  NlpBundle bundle;
  ASSERT_TRUE(bundle);
  make_quiet(bundle);
  ASSERT_TRUE(set_text(bundle, "hessian_approximation", "exact"));
  Hs071Calls calls;
  NlpData* data = attach(bundle, build_hs071(false, null::IntermediateCallback{}, &calls), false);
  std::array<double, kHs071N> x = kHs071X0;
  data->set_initial_values(x.data(), nullptr, nullptr, nullptr);
  EXPECT_EQ(bundle.optimize(), Ipopt::Solve_Succeeded);
  EXPECT_NEAR(data->obj_value_ref, kHs071FOpt, 1e-6);
  EXPECT_GT(calls.f, 0);
  EXPECT_EQ(data->n_eval_h, 0.0);
}

}  // namespace
}  // namespace vornel_test
