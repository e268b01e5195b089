// The adapter's starting point, asked for directly with every combination of
// requested groups and bound caller buffers.
#include <gtest/gtest.h>

#include <IpSmartPtr.hpp>
#include <IpTNLP.hpp>

#include <array>
#include <string>
#include <tuple>

#include "hs071.hpp"

namespace vornel_test {
namespace {

constexpr double kUntouched = -777.0;

// init_z, init_lambda, then whether mult_x_L, mult_x_U, mult_g are bound.
using StartCase = std::tuple<bool, bool, bool, bool, bool>;

std::string start_case_name(const ::testing::TestParamInfo<StartCase>& info) {
  const auto [init_z, init_lambda, x_L, x_U, g] = info.param;
  std::string bound = std::string(x_L ? "L" : "") + (x_U ? "U" : "") + (g ? "G" : "");
  return std::string(init_z ? "Z" : "NoZ") + (init_lambda ? "Lambda" : "NoLambda") + "_Bound" +
         (bound.empty() ? "None" : bound);
}

class StartingPoint : public ::testing::TestWithParam<StartCase> {};

TEST_P(StartingPoint, ServesRequestedGroupsFromBoundBuffers) {
  const auto [init_z, init_lambda, bind_x_L, bind_x_U, bind_g] = GetParam();
  const BuiltNlp built = build_hs071(true);
  const Ipopt::SmartPtr<Ipopt::TNLP> owner = built.tnlp;

  std::array<double, kHs071N> x = {2.0, 3.0, 4.0, 1.5};
  std::array<double, kHs071N> mult_x_L = {0.1, 0.2, 0.3, 0.4};
  std::array<double, kHs071N> mult_x_U = {1.1, 1.2, 1.3, 1.4};
  std::array<double, kHs071M> mult_g = {-2.5, 0.75};
  built.data->set_initial_values(x.data(), bind_g ? mult_g.data() : nullptr,
                                 bind_x_L ? mult_x_L.data() : nullptr,
                                 bind_x_U ? mult_x_U.data() : nullptr);

  std::array<double, kHs071N> x_out;
  std::array<double, kHs071N> z_L;
  std::array<double, kHs071N> z_U;
  std::array<double, kHs071M> lambda;
  x_out.fill(kUntouched);
  z_L.fill(kUntouched);
  z_U.fill(kUntouched);
  lambda.fill(kUntouched);
  const bool served =
      built.tnlp->get_starting_point(kHs071N, true, x_out.data(), init_z, z_L.data(), z_U.data(),
                                     kHs071M, init_lambda, lambda.data());

  const bool z_complete = bind_x_L && bind_x_U;
  const bool expected = (!init_z || z_complete) && (!init_lambda || bind_g);
  EXPECT_EQ(served, expected);
  EXPECT_TRUE(x_out == x);
  // A requested, bound buffer is copied even when another one is missing.
  std::array<double, kHs071N> none_n;
  std::array<double, kHs071M> none_m;
  none_n.fill(kUntouched);
  none_m.fill(kUntouched);
  EXPECT_TRUE(z_L == (init_z && bind_x_L ? mult_x_L : none_n));
  EXPECT_TRUE(z_U == (init_z && bind_x_U ? mult_x_U : none_n));
  EXPECT_TRUE(lambda == (init_lambda && bind_g ? mult_g : none_m));
}

INSTANTIATE_TEST_SUITE_P(EveryRequestAndBinding, StartingPoint,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool(), ::testing::Bool(),
                                            ::testing::Bool(), ::testing::Bool()),
                         start_case_name);

}  // namespace
}  // namespace vornel_test
