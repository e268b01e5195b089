// The catalogue of every option the linked solver library registers.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vornel {

struct IpoptOption {
  enum class Type : std::int32_t { Number = 0, Integer = 1, String = 2, Unknown = 3 };
  std::string name;
  Type type;
  std::string description_short;
  std::string description_long;
  std::string category;
};

// Every registered option, ordered by name.
std::vector<IpoptOption> get_ipopt_options();

// The linear solver the loaded Ipopt library uses unless told otherwise:
// the default it registers for linear_solver.
std::string default_linear_solver();

extern "C" PyObject* py_get_ipopt_options(PyObject* self, PyObject* args);
extern const char py_get_ipopt_options_doc[];

extern "C" PyObject* py_linear_solvers(PyObject* self, PyObject* args);
extern const char py_linear_solvers_doc[];

}  // namespace vornel
