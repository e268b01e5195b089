// A solver bundle set up as the tests need it: quiet, with an adapter.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "hs071.hpp"
#include "solver/nlp_bundle.hpp"

namespace vornel_test {

// The bundle's text alternative is a mutable C string; this keeps one alive
// for the call.
inline bool set_text(NlpBundle& bundle, const char* name, std::string value) {
  return bundle.set_option(name, OptionValue(value.data()));
}

// Only the solver's own errors reach the output.
inline void make_quiet(NlpBundle& bundle) {
  ASSERT_TRUE(bundle.set_option("print_level", OptionValue(0)));
  ASSERT_TRUE(set_text(bundle, "sb", "yes"));
}

// Assigns the adapter to the bundle and, when it has no Hessian, switches
// the solver to limited memory as Problem construction does.
inline NlpData* attach(NlpBundle& bundle, const BuiltNlp& built, bool with_hessian) {
  bundle.nlp = built.tnlp;
  if (!with_hessian) bundle.without_hess();
  return built.data;
}

}  // namespace vornel_test
