// The solver objects of one problem: the Ipopt application and the adapter
// it solves, with typed option setting.
#pragma once

#include <Python.h>

#include <IpIpoptApplication.hpp>
#include <IpTNLP.hpp>

#include <variant>

namespace vornel {

// One option value, typed by the Python type it came from. The text is
// borrowed for the duration of the call.
using OptionValue = std::variant<int, double, char*>;

struct OptionVisitor {
  Ipopt::SmartPtr<Ipopt::OptionsList> options;
  const char* name;
  bool operator()(int value) const;
  bool operator()(double value) const;
  bool operator()(char* value) const;
};

class NlpBundle {
 public:
  NlpBundle();

  // False when the factory gave no application; nothing else may be called
  // on such a bundle.
  explicit operator bool() const { return Ipopt::IsValid(app); }

  Ipopt::ApplicationReturnStatus optimize();
  // The solver's answer: false when it refuses the name or the value.
  bool set_option(const char* name, const OptionValue& value);
  // Switches the solver to the limited-memory Hessian approximation.
  void without_hess();

  Ipopt::SmartPtr<Ipopt::TNLP> nlp;
  Ipopt::SmartPtr<Ipopt::IpoptApplication> app;
};

// Applies every entry of a dict (null or None apply nothing). Stops at the
// first failing entry with TypeError or ValueError set; the entries before
// it stay applied.
bool set_options_from_dict(NlpBundle& bundle, PyObject* options);

}  // namespace vornel
