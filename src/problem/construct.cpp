#include <utility>
#include <variant>

#include "convert/conversions.hpp"
#include "convert/entry_guard.hpp"
#include "nlp/build_nlp.hpp"
#include "problem/converters.hpp"
#include "problem/problem_object.hpp"

namespace vornel {

namespace {

constexpr const char* context = "vornel.Problem()";

// Parse targets of one construction.
struct ProblemArgs {
  int n = 0;
  int m = 0;
  std::vector<double> x_l, x_u, g_l, g_u, x_scaling, g_scaling;
  PyObject* sparsity_jac_g = nullptr;
  PyObject* sparsity_h = nullptr;
  SparsityIndices jac_g_indices;
  SparsityIndices h_indices;
  CallbackArg<FVariant> eval_f;
  CallbackArg<GradFVariant> eval_grad_f;
  CallbackArg<GVariant> eval_g;
  CallbackArg<JacGVariant> eval_jac_g;
  PyObject* eval_g_obj = nullptr;
  PyObject* eval_jac_g_obj = nullptr;
  CallbackArg<HVariant> eval_h;
  CallbackArg<IntermediateCallbackVariant> intermediate_callback;
  double obj_scaling = 1.0;
  PyObject* ipopt_options = nullptr;

  bool has_hessian() const { return !std::holds_alternative<null::H>(eval_h.callback); }
};

bool parse(PyObject* args, PyObject* kwargs, ProblemArgs& a) {
  static const char* keywords[] = {"n",
                                   "x_l",
                                   "x_u",
                                   "m",
                                   "g_l",
                                   "g_u",
                                   "sparsity_indices_jac_g",
                                   "sparsity_indices_h",
                                   "eval_f",
                                   "eval_grad_f",
                                   "eval_g",
                                   "eval_jac_g",
                                   "eval_h",
                                   "intermediate_callback",
                                   "obj_scaling",
                                   "x_scaling",
                                   "g_scaling",
                                   "ipopt_options",
                                   nullptr};
  // Everything from sparsity_indices_jac_g on is optional to the parser:
  // whether that argument and the constraint routines are required depends
  // on m, so required_arguments() says which are missing.
  return PyArg_ParseTupleAndKeywords(
             args, kwargs, "iO&O&iO&O&|OOO&O&OOO&O&dO&O&O;", const_cast<char**>(keywords), &a.n,
             convert_x_l, &a.x_l, convert_x_u, &a.x_u, &a.m, convert_g_l, &a.g_l, convert_g_u,
             &a.g_u, &a.sparsity_jac_g, &a.sparsity_h, convert_eval_f, &a.eval_f,
             convert_eval_grad_f, &a.eval_grad_f, &a.eval_g_obj, &a.eval_jac_g_obj, convert_eval_h,
             &a.eval_h, convert_intermediate_callback, &a.intermediate_callback, &a.obj_scaling,
             convert_x_scaling, &a.x_scaling, convert_g_scaling, &a.g_scaling,
             &a.ipopt_options) != 0;
}

bool present(const void* arg, const char* name, int position) {
  if (arg != nullptr) return true;
  PyErr_Format(PyExc_TypeError, "function missing required argument '%s' (pos %d)", name, position);
  return false;
}

// Without constraints nothing asks for their values: an omitted (or None)
// constraint routine is one that succeeds without writing anything.
bool no_constraints(int, const double*, int, double*, void*) { return true; }
bool no_constraint_jacobian(int, const double*, int, int, double*, void*) { return true; }

template <class Variant, class Function>
bool constraint_callback(PyObject* obj, int m, int (*convert)(PyObject*, void*),
                         CallbackArg<Variant>& arg, Function none, const char* name, int position) {
  if (m == 0 && (obj == nullptr || obj == Py_None)) {
    arg.callback.template emplace<1>().function = none;
    return true;
  }
  return present(obj, name, position) && convert(obj, &arg) != 0;
}

// The arguments the parser took as optional but the problem needs, in the
// parser's order, and the constraint routines' conversion; an unconstrained
// problem (m = 0) needs neither sparsity_indices_jac_g nor eval_g and
// eval_jac_g.
bool required_arguments(ProblemArgs& a) {
  const bool constrained = a.m != 0;
  if (!constrained && a.sparsity_jac_g == Py_None) a.sparsity_jac_g = nullptr;
  return (!constrained || present(a.sparsity_jac_g, "sparsity_indices_jac_g", 7)) &&
         present(a.sparsity_h, "sparsity_indices_h", 8) && present(a.eval_f.source, "eval_f", 9) &&
         present(a.eval_grad_f.source, "eval_grad_f", 10) &&
         constraint_callback(a.eval_g_obj, a.m, convert_eval_g, a.eval_g, no_constraints, "eval_g",
                             11) &&
         constraint_callback(a.eval_jac_g_obj, a.m, convert_eval_jac_g, a.eval_jac_g,
                             no_constraint_jacobian, "eval_jac_g", 12);
}

bool check_not_negative(int value, const char* name) {
  if (value >= 0) return true;
  PyErr_Format(PyExc_ValueError, "%s can't be negative", name);
  return false;
}

bool check_length(const std::vector<double>& v, int expected, const char* name) {
  if (v.size() == static_cast<std::size_t>(expected)) return true;
  PyErr_Format(PyExc_ValueError, "%s has wrong size %d (expected: %d)", name,
               static_cast<int>(v.size()), expected);
  return false;
}

bool check_options_type(PyObject* options) {
  if (options == nullptr || options == Py_None || PyDict_Check(options)) return true;
  PyErr_Format(PyExc_TypeError, "Wrong type for %s. Required: %s", "ipopt_options",
               "Optional[dict]]");
  return false;
}

// Every step that can fail with a Python exception, in order. Nothing here
// takes a reference or builds the adapter.
bool validate(ProblemArgs& a, NlpBundle& bundle) {
  if (a.sparsity_jac_g != nullptr &&
      !sparsity_from_py(a.sparsity_jac_g, a.jac_g_indices, "sparsity_indices_jac_g")) {
    return false;
  }
  if (!check_not_negative(a.n, "n") || !check_not_negative(a.m, "m")) return false;
  if (!check_length(a.x_l, a.n, "argument x_L") || !check_length(a.x_u, a.n, "argument x_U") ||
      !check_length(a.g_l, a.m, "argument g_L") || !check_length(a.g_u, a.m, "argument g_U")) {
    return false;
  }
  if (!check_bounds(a.x_l, a.x_u, a.g_l, a.g_u)) return false;
  if (!check_sparsity_range(a.jac_g_indices, a.m, a.n, "sparsity_indices_jac_g")) return false;
  if (a.has_hessian()) {
    if (!sparsity_from_py(a.sparsity_h, a.h_indices, "sparsity_indices_h")) return false;
    if (!check_sparsity_range(a.h_indices, a.n, a.n, "sparsity_indices_h")) return false;
  }
  if (!check_options_type(a.ipopt_options)) return false;
  if (!check_vector_size(a.x_scaling, static_cast<unsigned>(a.n), "argument x_scaling") ||
      !check_vector_size(a.g_scaling, static_cast<unsigned>(a.m), "argument g_scaling") ||
      !check_scaling(a.obj_scaling, a.x_scaling, a.g_scaling)) {
    return false;
  }
  if (!set_options_from_dict(bundle, a.ipopt_options)) return false;
  // After the options, so that it overrides a hessian_approximation among
  // them: one options dict may serve problems with and without eval_h.
  if (!a.has_hessian()) bundle.without_hess();
  return true;
}

void keep_callback_objects(ProblemObject* problem, const ProblemArgs& a) {
  PyObject* sources[CallbackCount] = {a.eval_f.source, a.eval_grad_f.source,
                                      a.eval_g.source, a.eval_jac_g.source,
                                      a.eval_h.source, a.intermediate_callback.source};
  for (int i = 0; i < CallbackCount; ++i) {
    Py_XINCREF(sources[i]);
    problem->callback_objects[i] = sources[i];
  }
}

// What is made before construction can fail: released on every path.
struct PartialProblem {
  ProblemObject* problem;
  ~PartialProblem() {
    if (problem == nullptr) return;
    delete problem->bundle;
    problem->bundle = nullptr;
    problem->nlp_data = nullptr;
    Py_DECREF(problem);
  }
};

PyObject* new_problem(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  auto* problem = reinterpret_cast<ProblemObject*>(type->tp_alloc(type, 0));
  if (problem == nullptr) return nullptr;
  for (PyObject*& obj : problem->callback_objects) obj = nullptr;
  problem->nlp_data = nullptr;
  problem->solving = false;
  // From here on the instance is released on every path, exhausted memory
  // included, until it is handed out complete.
  PartialProblem partial{problem};
  problem->bundle = new NlpBundle;
  if (!*problem->bundle) {
    PyErr_SetString(PyExc_MemoryError, "Cannot create IpoptProblem instance");
    return nullptr;
  }

  ProblemArgs a;
  if (!parse(args, kwargs, a) || !required_arguments(a) || !validate(a, *problem->bundle)) {
    py_error_context(context);
    return nullptr;
  }

  keep_callback_objects(problem, a);
  auto [tnlp, nlp_data] =
      build_nlp(a.eval_f.callback, a.eval_grad_f.callback, a.eval_g.callback, a.eval_jac_g.callback,
                std::move(a.jac_g_indices), a.eval_h.callback, std::move(a.h_indices),
                a.intermediate_callback.callback, std::move(a.x_l), std::move(a.x_u),
                std::move(a.g_l), std::move(a.g_u));
  problem->nlp_data = nlp_data;
  problem->bundle->nlp = tnlp;
  nlp_data->x_scaling = std::move(a.x_scaling);
  nlp_data->g_scaling = std::move(a.g_scaling);
  nlp_data->obj_scaling = a.obj_scaling;
  partial.problem = nullptr;
  return reinterpret_cast<PyObject*>(problem);
}

}  // namespace

PyObject* py_problem_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard_entry<PyObject*>(nullptr, [&] { return new_problem(type, args, kwargs); });
}

}  // namespace vornel
