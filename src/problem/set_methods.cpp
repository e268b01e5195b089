#include <utility>
#include <vector>

#include "convert/conversions.hpp"
#include "convert/entry_guard.hpp"
#include "problem/converters.hpp"
#include "problem/problem_object.hpp"

namespace vornel {

const char py_set_doc[] =
    "\n"
    "set(**kwargs) -> None\n"
    "\n"
    "Set one or more Ipopt options. The Python type of each value has to match\n"
    "the type of the option (str, float or int). Refer to the Ipopt documentation\n"
    "or call get_ipopt_options for the list of available options.\n";

const char py_set_problem_scaling_doc[] =
    "\n"
    "set_problem_scaling(obj_scaling: float, x_scaling: Optional[numpy.ndarray] = None, "
    "g_scaling: Optional[numpy.ndarray] = None) -> None\n"
    "\n"
    "Set scaling parameters for the NLP.\n"
    "\n"
    "The scaling only takes effect if nlp_scaling_method=\"user-scaling\" is set\n"
    "through set or the ipopt_options argument. When x_scaling or g_scaling is\n"
    "omitted or None, the variables resp. the constraints are not scaled.\n"
    "Corresponds to Ipopt's `TNLP::get_scaling_parameters`_ method.\n"
    "\n"
    ".. _TNLP::get_scaling_parameters: "
    "https://coin-or.github.io/Ipopt/classIpopt_1_1TNLP.html\n";

namespace {

PyObject* set(ProblemObject* problem, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t positional = PyTuple_GET_SIZE(args);
  if (positional != 0) {
    PyErr_Format(PyExc_TypeError, "%s() takes 0 positional arguments but %d %s given", "set",
                 static_cast<int>(positional), positional == 1 ? "was" : "were");
    return nullptr;
  }
  if (!check_not_solved_elsewhere(problem,
                                  "set() called on a problem that another thread is solving; "
                                  "options change between solves") ||
      !set_options_from_dict(*problem->bundle, kwargs)) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* set_problem_scaling(ProblemObject* problem, PyObject* args, PyObject* kwargs) {
  NlpData& data = *problem->nlp_data;
  static const char* keywords[] = {"obj_scaling", "x_scaling", "g_scaling", nullptr};
  double obj_scaling = 0.0;
  std::vector<double> x_scaling;
  std::vector<double> g_scaling;
  const bool ok =
      PyArg_ParseTupleAndKeywords(args, kwargs, "d|O&O&;", const_cast<char**>(keywords),
                                  &obj_scaling, convert_x_scaling, &x_scaling, convert_g_scaling,
                                  &g_scaling) &&
      check_vector_size(x_scaling, static_cast<unsigned>(data.n_ref), "argument x_scaling") &&
      check_vector_size(g_scaling, static_cast<unsigned>(data.m_ref), "argument g_scaling") &&
      check_scaling(obj_scaling, x_scaling, g_scaling);
  if (!ok) {
    py_error_context("vornel.Problem.set_problem_scaling()");
    return nullptr;
  }
  // Checked after the arguments: converting them runs Python code, which
  // lets other threads start a solve.
  if (!check_not_solved_elsewhere(problem,
                                  "set_problem_scaling() called on a problem that another thread "
                                  "is solving; the scaling changes between solves")) {
    return nullptr;
  }
  data.x_scaling = std::move(x_scaling);
  data.g_scaling = std::move(g_scaling);
  data.obj_scaling = obj_scaling;
  Py_RETURN_NONE;
}

}  // namespace

PyObject* py_set(PyObject* self, PyObject* args, PyObject* kwargs) {
  return problem_entry<PyObject*>(
      nullptr, self, [&](ProblemObject& problem) { return set(&problem, args, kwargs); });
}

PyObject* py_set_problem_scaling(PyObject* self, PyObject* args, PyObject* kwargs) {
  return problem_entry<PyObject*>(nullptr, self, [&](ProblemObject& problem) {
    return set_problem_scaling(&problem, args, kwargs);
  });
}

}  // namespace vornel
