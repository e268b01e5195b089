#include <cstdint>

#include "convert/conversions.hpp"
#include "convert/entry_guard.hpp"
#include "convert/py_ref.hpp"
#include "problem/problem_object.hpp"

namespace vornel {

const char problem_doc[] =
    "\n"
    "Ipopt problem type in python\n"
    "\n"
    "Problem(n: int, x_l: numpy.ndarray[numpy.float64], x_u: numpy.ndarray[numpy.float64], m: "
    "int, g_l: numpy.ndarray[numpy.float64], g_u: numpy.ndarray[numpy.float64], "
    "sparsity_indices_jac_g: Optional[Union[tuple[Sequence[int], Sequence[int]], "
    "scipy.sparse.sparray]], "
    "sparsity_indices_h: Optional[Union[tuple[Sequence[int], Sequence[int]], "
    "scipy.sparse.sparray]], eval_f: Union[Callable[[numpy.ndarray], float], "
    "PyCapsule, scipy.LowLevelCallable], eval_grad_f: Union[Callable[[numpy.ndarray, "
    "numpy.ndarray], Any], PyCapsule, scipy.LowLevelCallable], eval_g: "
    "Optional[Union[Callable[[numpy.ndarray, numpy.ndarray], Any], PyCapsule, "
    "scipy.LowLevelCallable]], eval_jac_g: Optional[Union[Callable[[numpy.ndarray, "
    "numpy.ndarray], Any], PyCapsule, scipy.LowLevelCallable]], eval_h: "
    "Optional[Union[Callable[[numpy.ndarray, numpy.ndarray, "
    "float, numpy.ndarray], Any], PyCapsule, scipy.LowLevelCallable]] = None, "
    "intermediate_callback: Optional[Union[Callable[[int, int, float, float, float, float, "
    "float, float, float, float, int], Any], PyCapsule, scipy.LowLevelCallable]] = None, "
    "obj_scaling: float = 1., x_scaling: Optional[numpy.ndarray[numpy.float64]] = None, "
    "g_scaling: Optional[numpy.ndarray[numpy.float64]] = None, ipopt_options: "
    "Optional[dict[str, Union[int, float, str]]] = None) -> Problem\n"
    "\n"
    "Args:\n"
    "    n: Number of variables.\n"
    "    x_l: Lower bounds of the variables, an array of length n.\n"
    "    x_u: Upper bounds of the variables, an array of length n.\n"
    "    m: Number of constraints; 0 for a problem without constraints (g_l and\n"
    "        g_u are then empty; sparsity_indices_jac_g, eval_g and eval_jac_g may\n"
    "        be left out).\n"
    "    g_l: Lower bounds of the constraints, an array of length m.\n"
    "    g_u: Upper bounds of the constraints, an array of length m.\n"
    "    sparsity_indices_jac_g: Positions of the nonzeros of the constraint Jacobian, a\n"
    "        tuple of two sequences of integers: the first holds the row (constraint)\n"
    "        indices, the second the column (variable) indices, both 0-based and of\n"
    "        equal length. The k-th pair is the position of the k-th value that\n"
    "        eval_jac_g writes. A scipy.sparse matrix or array (any object with a\n"
    "        tocoo() method) is taken as the pattern of its coordinate form,\n"
    "        coo = matrix.tocoo(): the k-th value is that at (coo.row[k],\n"
    "        coo.col[k]), explicit zeros included. May be omitted, or None, when m\n"
    "        is 0.\n"
    "    sparsity_indices_h: Positions of the nonzeros of the lower triangle of the\n"
    "        Hessian of the Lagrangian, in the same form (first sequence row indices,\n"
    "        second column indices, or a scipy.sparse matrix). Not read when eval_h\n"
    "        is not given: pass None.\n"
    "    eval_f: The objective. As a Python callable ``eval_f(x: numpy.ndarray) ->\n"
    "        float`` returns the objective value at x. As a compiled function (a\n"
    "        `PyCapsule`_ or a `scipy.LowLevelCallable`_ holding a C function and its\n"
    "        user data) it has the signature\n"
    "        ``bool f(int n, double* x, double *obj_value, void *user_data)``,\n"
    "        writes the value into ``*obj_value`` and returns true on success.\n"
    "    eval_grad_f: The gradient of the objective. As a Python callable\n"
    "        ``eval_grad_f(x: numpy.ndarray, out: numpy.ndarray) -> Any`` writes the n\n"
    "        gradient values into out; its return value is ignored. As a compiled\n"
    "        function: ``bool grad_f(int n, double* x, double *out, void *user_data)``.\n"
    "    eval_g: The constraints. As a Python callable\n"
    "        ``eval_g(x: numpy.ndarray, out: numpy.ndarray) -> Any`` writes the m\n"
    "        constraint values into out; its return value is ignored. As a compiled\n"
    "        function: ``bool g(int n, double* x, int m, double *out, void *user_data)``.\n"
    "        May be omitted, or None, when m is 0.\n"
    "    eval_jac_g: The constraint Jacobian. As a Python callable\n"
    "        ``eval_jac_g(x: numpy.ndarray, out: numpy.ndarray) -> Any`` writes the\n"
    "        values of the nonzeros into out, in the order of sparsity_indices_jac_g;\n"
    "        its return value is ignored. As a compiled function:\n"
    "        ``bool jac_g(int n, double* x, int m, int nele_jac, double *out, void "
    "*user_data)``. May be omitted, or None, when m is 0.\n"
    "    eval_h: The Hessian of the Lagrangian, obj_factor times the objective's\n"
    "        Hessian plus the constraints' Hessians weighted by lagrange. As a Python\n"
    "        callable ``eval_h(x: numpy.ndarray, lagrange: numpy.ndarray, obj_factor:\n"
    "        float, out: numpy.ndarray) -> Any`` writes the values of the nonzeros into\n"
    "        out, in the order of sparsity_indices_h; its return value is ignored. As a\n"
    "        compiled function: ``bool h(int n, double* x, double obj_value, int m, "
    "double *lagrange, int nele_hess, double *out, void *user_data)``\n"
    "        (its third argument receives obj_factor). Without eval_h the solver\n"
    "        approximates the Hessian (hessian_approximation=\"limited-memory\",\n"
    "        whatever ipopt_options says) and sparsity_indices_h is ignored.\n"
    "    intermediate_callback: Called once per iteration. As a Python callable\n"
    "        ``intermediate_callback(mode: int, iter: int, obj_value: float, inf_pr:\n"
    "        float, inf_du: float, mu: float, d_norm: float, regularization_size:\n"
    "        float, alpha_du: float, alpha_pr: float, ls_trials: int) -> Any`` returns\n"
    "        True (or a non-zero integer) to go on, or False (0) to ask the solver\n"
    "        for an early stop. An exception it raises is printed and stops the\n"
    "        solver; a return value that is not an integer stops it and makes solve\n"
    "        raise RuntimeError. As a compiled function: ``bool\n"
    "        intermediate_callback(int algorithm_mode, int iter, double obj_value, "
    "double inf_pr, double inf_du, double mu, double d_norm, double regularization_size, "
    "double alpha_du, double alpha_pr, int ls_trails, const void *ip_data, void *ip_cq, void "
    "*userdata)``.\n"
    "    obj_scaling: Scaling factor of the objective (see set_problem_scaling).\n"
    "    x_scaling: Scaling factors of the variables, an array of length n, or None\n"
    "        for no scaling (see set_problem_scaling).\n"
    "    g_scaling: Scaling factors of the constraints, an array of length m, or None\n"
    "        for no scaling (see set_problem_scaling).\n"
    "    ipopt_options: Solver options, a dict from option name to value; the value's\n"
    "        type must match the option's (str, float or int). See\n"
    "        get_ipopt_options for the list of options.\n"
    "\n"
    "The arrays that Python callbacks receive view the solver's own memory for\n"
    "the duration of the call; x and lagrange are read-only (a write into them\n"
    "makes solve raise ValueError), so copy them to use them as scratch space.\n"
    "An argument array kept beyond the call (for\n"
    "example appended to a list) is given a copy of its data when the call\n"
    "returns (when memory for it is exhausted, solve raises MemoryError and the\n"
    "kept array is left empty); a slice or other view taken of it cannot be\n"
    "moved, so copy such slices (``x[1:].copy()``) before keeping them.\n"
    "\n"
    "A Python evaluation callback (eval_f to eval_h) that cannot evaluate its\n"
    "point raises vornel.EvaluationError: the solver is told that the evaluation\n"
    "failed, as by a compiled function's false, and cuts the step; any other\n"
    "exception stops the solve and is raised from solve. On the first call of\n"
    "each solve, entries of out that a Python callback leaves unwritten, and a\n"
    "value other than None or out that it returns, give a RuntimeWarning (once\n"
    "per problem and callback).\n"
    "\n"
    ".. _PyCapsule: https://docs.python.org/3/c-api/capsule.html\n"
    ".. _scipy.LowLevelCallable: "
    "https://docs.scipy.org/doc/scipy/reference/generated/scipy.LowLevelCallable.html\n";

ProblemObject* initialised_problem(PyObject* self) {
  auto* problem = reinterpret_cast<ProblemObject*>(self);
  if (problem->bundle != nullptr && problem->nlp_data != nullptr) return problem;
  PyErr_SetString(PyExc_RuntimeError, "vornel.Problem is not initialised");
  return nullptr;
}

bool check_not_solved_elsewhere(const ProblemObject* problem, const char* message) {
  if (!problem->solving || problem->solving_thread == PyThread_get_thread_ident()) return true;
  PyErr_SetString(PyExc_RuntimeError, message);
  return false;
}

namespace {

constexpr int StatsCount = 8;

// The keys of `stats`, made once: fresh strings on every read would come
// and go in the interpreter's table of interned strings, whose block is
// reallocated as it grows and shrinks. Null with an exception set when one
// cannot be made (the next read tries again).
PyObject* const* stats_keys() {
  static const char* const names[StatsCount] = {
      "n_eval_f",      "n_eval_grad_f",     "n_eval_g_eq", "n_eval_jac_g_eq",
      "n_eval_g_ineq", "n_eval_jac_g_ineq", "n_eval_h",    "n_iter"};
  static PyObject* keys[StatsCount] = {};
  for (int i = 0; i < StatsCount; ++i) {
    if (keys[i] == nullptr && (keys[i] = PyUnicode_InternFromString(names[i])) == nullptr) {
      return nullptr;
    }
  }
  return keys;
}

ProblemObject* as_problem(PyObject* self) { return reinterpret_cast<ProblemObject*>(self); }

int py_problem_traverse(PyObject* self, visitproc visit, void* arg) {
  for (PyObject* obj : as_problem(self)->callback_objects) Py_VISIT(obj);
  return 0;
}

int py_problem_clear(PyObject* self) {
  for (PyObject*& obj : as_problem(self)->callback_objects) Py_CLEAR(obj);
  return 0;
}

void py_problem_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  py_problem_clear(self);
  ProblemObject* problem = as_problem(self);
  // The callables are gone before the adapter that points at them; the
  // adapter never touches them while it is destroyed.
  delete_bundle(problem->bundle);
  problem->bundle = nullptr;
  Py_TYPE(self)->tp_free(self);
}

PyGetSetDef problem_getset[] = {
    {"stats", py_get_stats, nullptr, "dict[str, int]: Stats about an optimization run", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

extern "C" {

// Only the object header is set here; init_VornelProblemType fills the
// slots and every other field starts zero.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject VornelProblemType = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

PyMethodDef problem_methods[] = {
    {"solve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_solve)),
     METH_VARARGS | METH_KEYWORDS, py_solve_doc},
    {"set", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_set)),
     METH_VARARGS | METH_KEYWORDS, py_set_doc},
    {"set_problem_scaling",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_set_problem_scaling)),
     METH_VARARGS | METH_KEYWORDS, py_set_problem_scaling_doc},
    {nullptr, nullptr, 0, nullptr},
};

void init_VornelProblemType() {
  VornelProblemType.tp_name = "vornel.Problem";
  VornelProblemType.tp_basicsize = sizeof(ProblemObject);
  VornelProblemType.tp_dealloc = py_problem_dealloc;
  VornelProblemType.tp_flags = Py_TPFLAGS_HAVE_GC;
  VornelProblemType.tp_doc = problem_doc;
  VornelProblemType.tp_traverse = py_problem_traverse;
  VornelProblemType.tp_clear = py_problem_clear;
  VornelProblemType.tp_methods = problem_methods;
  VornelProblemType.tp_getset = problem_getset;
  VornelProblemType.tp_new = py_problem_new;
}

PyObject* py_get_stats(PyObject* self, void*) {
  return problem_entry<PyObject*>(nullptr, self, [](const ProblemObject& problem) -> PyObject* {
    PyObject* const* keys = stats_keys();
    if (keys == nullptr) return nullptr;
    const NlpData& data = *problem.nlp_data;
    const double values[StatsCount] = {
        data.n_eval_f,      data.n_eval_grad_f,     data.n_eval_g_eq, data.n_eval_jac_g_eq,
        data.n_eval_g_ineq, data.n_eval_jac_g_ineq, data.n_eval_h,    data.n_iter};
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (int i = 0; i < StatsCount; ++i) {
      const PyRef value = PyRef::steal(PyLong_FromLong(static_cast<std::int32_t>(values[i])));
      if (!value || PyDict_SetItem(dict.get(), keys[i], value.get()) < 0) return nullptr;
    }
    return dict.release();
  });
}

}  // extern "C"

}  // namespace vornel
