#include "solver/nlp_bundle.hpp"

#include <string>

namespace vornel {

bool OptionVisitor::operator()(int value) const {
  return options->SetIntegerValue(std::string(name), value, true, false);
}

bool OptionVisitor::operator()(double value) const {
  return options->SetNumericValue(std::string(name), value, true, false);
}

bool OptionVisitor::operator()(char* value) const {
  return options->SetStringValue(std::string(name), std::string(value), true, false);
}

// Application output is left exactly as the factory sets it up: no options
// file is read and Initialize() is not called.
NlpBundle::NlpBundle() : nlp(nullptr), app(IpoptApplicationFactory()) {}

Ipopt::ApplicationReturnStatus NlpBundle::optimize() { return app->OptimizeTNLP(nlp); }

bool NlpBundle::set_option(const char* name, const OptionValue& value) {
  return std::visit(OptionVisitor{app->Options(), name}, value);
}

void NlpBundle::without_hess() {
  app->Options()->SetStringValue("hessian_approximation", "limited-memory", true, false);
}

}  // namespace vornel
