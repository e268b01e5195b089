#include "problem/layer_entries.hpp"

#include <IpReturnCodes.hpp>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "convert/entry_guard.hpp"
#include "convert/numpy_api.hpp"
#include "convert/py_ref.hpp"
#include "nlp/column_groups.hpp"
#include "problem/problem_object.hpp"
#include "solver/ipopt_compat.hpp"

namespace vornel {

namespace {

// The problem that an entry works on, refused unless it is complete, as
// the type's own methods refuse it.
ProblemObject* problem_arg(PyObject* obj) {
  if (!PyObject_TypeCheck(obj, &VornelProblemType)) {
    PyErr_Format(PyExc_TypeError, "expected a vornel.Problem, not %s", Py_TYPE(obj)->tp_name);
    return nullptr;
  }
  return initialised_problem(obj);
}

PyObject* py_array(const double* values, std::size_t length) {
  npy_intp dims[1] = {static_cast<npy_intp>(length)};
  PyObject* array = PyArray_SimpleNew(1, dims, NPY_DOUBLE);
  if (array != nullptr && length > 0) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), values,
                length * sizeof(double));
  }
  return array;
}

PyObject* py_array(const std::vector<double>& values) {
  return py_array(values.data(), values.size());
}

// Sets dict[key] = value and releases value; false when either failed.
bool put(PyObject* dict, const char* key, PyObject* value) {
  const PyRef owned = PyRef::steal(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

// A float64 array of the given length, C-contiguous and aligned; writable
// when asked.
double* buffer_arg(PyObject* obj, npy_intp length, bool writable, const char* name) {
  if (!PyArray_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be a numpy.ndarray", name);
    return nullptr;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(array) != 1 || PyArray_DIM(array, 0) != length ||
      PyArray_TYPE(array) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(array) ||
      !PyArray_ISCARRAY_RO(array) || (writable && !PyArray_ISWRITEABLE(array))) {
    PyErr_Format(PyExc_ValueError, "%s must be a contiguous float64 array of length %zd", name,
                 static_cast<Py_ssize_t>(length));
    return nullptr;
  }
  return static_cast<double*>(PyArray_DATA(array));
}

struct Sizes {
  Ipopt::Index n = 0;
  Ipopt::Index m = 0;
  Ipopt::Index nnz_jac = 0;
  Ipopt::Index nnz_h = 0;
};

Sizes sizes_of(Ipopt::TNLP& tnlp) {
  Sizes sizes;
  Ipopt::TNLP::IndexStyleEnum style{};
  tnlp.get_nlp_info(sizes.n, sizes.m, sizes.nnz_jac, sizes.nnz_h, style);
  return sizes;
}

PyObject* py_return_statuses(PyObject*, PyObject*) {
  std::vector<compat::NamedStatus> statuses = {
      {"Solve_Succeeded", Ipopt::Solve_Succeeded},
      {"Solved_To_Acceptable_Level", Ipopt::Solved_To_Acceptable_Level},
      {"Infeasible_Problem_Detected", Ipopt::Infeasible_Problem_Detected},
      {"Search_Direction_Becomes_Too_Small", Ipopt::Search_Direction_Becomes_Too_Small},
      {"Diverging_Iterates", Ipopt::Diverging_Iterates},
      {"User_Requested_Stop", Ipopt::User_Requested_Stop},
      {"Feasible_Point_Found", Ipopt::Feasible_Point_Found},
      {"Maximum_Iterations_Exceeded", Ipopt::Maximum_Iterations_Exceeded},
      {"Restoration_Failed", Ipopt::Restoration_Failed},
      {"Error_In_Step_Computation", Ipopt::Error_In_Step_Computation},
      {"Maximum_CpuTime_Exceeded", Ipopt::Maximum_CpuTime_Exceeded},
      {"Not_Enough_Degrees_Of_Freedom", Ipopt::Not_Enough_Degrees_Of_Freedom},
      {"Invalid_Problem_Definition", Ipopt::Invalid_Problem_Definition},
      {"Invalid_Option", Ipopt::Invalid_Option},
      {"Invalid_Number_Detected", Ipopt::Invalid_Number_Detected},
      {"Unrecoverable_Exception", Ipopt::Unrecoverable_Exception},
      {"NonIpopt_Exception_Thrown", Ipopt::NonIpopt_Exception_Thrown},
      {"Insufficient_Memory", Ipopt::Insufficient_Memory},
      {"Internal_Error", Ipopt::Internal_Error},
  };
  for (const auto& newer : compat::newer_return_statuses()) statuses.push_back(newer);
  PyRef result = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(statuses.size())));
  if (!result) return nullptr;
  for (std::size_t i = 0; i < statuses.size(); ++i) {
    PyObject* pair = Py_BuildValue("(si)", statuses[i].name, statuses[i].value);
    if (pair == nullptr) return nullptr;
    PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return result.release();
}

// Sets a member of the Problem type from the package's Python modules (the
// type is static, so Python code cannot).
PyObject* py_add_problem_member(PyObject*, PyObject* args) {
  const char* name = nullptr;
  PyObject* value = nullptr;
  if (!PyArg_ParseTuple(args, "sO", &name, &value)) return nullptr;
  if (PyDict_SetItemString(VornelProblemType.tp_dict, name, value) < 0) return nullptr;
  PyType_Modified(&VornelProblemType);
  Py_RETURN_NONE;
}

PyObject* py_last_solve(PyObject*, PyObject* arg) {
  ProblemObject* problem = problem_arg(arg);
  if (problem == nullptr) return nullptr;
  // While a solve runs, the record is half-way between two solves.
  if (problem->solving) {
    PyErr_SetString(PyExc_RuntimeError,
                    "Problem.result is not available while solve() runs; use "
                    "current_iterate() in intermediate_callback");
    return nullptr;
  }
  const SolveRecord& record = problem->nlp_data->last_solve;
  if (!record.present) Py_RETURN_NONE;
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const bool ok = put(d, "finalized", PyBool_FromLong(record.finalized ? 1 : 0)) &&
                  put(d, "status", PyLong_FromLong(record.status)) &&
                  put(d, "x", py_array(record.x)) && put(d, "g", py_array(record.g)) &&
                  put(d, "mult_g", py_array(record.mult_g)) &&
                  put(d, "mult_x_L", py_array(record.mult_x_L)) &&
                  put(d, "mult_x_U", py_array(record.mult_x_U)) &&
                  put(d, "objective", PyFloat_FromDouble(record.obj_value)) &&
                  put(d, "iterations", PyLong_FromLong(record.iterations)) &&
                  put(d, "evaluation_errors", PyLong_FromLong(record.evaluation_errors)) &&
                  put(d, "primal_infeasibility", PyFloat_FromDouble(record.primal_infeasibility)) &&
                  put(d, "dual_infeasibility", PyFloat_FromDouble(record.dual_infeasibility)) &&
                  put(d, "complementarity", PyFloat_FromDouble(record.complementarity)) &&
                  put(d, "wall_time", PyFloat_FromDouble(record.wall_time)) &&
                  put(d, "cpu_time", PyFloat_FromDouble(record.cpu_time));
  return ok ? dict.release() : nullptr;
}

PyObject* py_current_iterate(PyObject*, PyObject* arg) {
  ProblemObject* problem = problem_arg(arg);
  if (problem == nullptr) return nullptr;
  NlpData& data = *problem->nlp_data;
  const IterateView view = data.iterate;
  // Another thread would read the solver's data while the solving thread
  // goes on with it.
  if (!view || problem->solving_thread != PyThread_get_thread_ident()) {
    PyErr_SetString(PyExc_RuntimeError,
                    "current_iterate() is available only while intermediate_callback runs "
                    "(on the thread that solves)");
    return nullptr;
  }
  const auto n = static_cast<std::size_t>(data.n);
  const auto m = static_cast<std::size_t>(data.m);
  std::vector<double> x(n);
  std::vector<double> g(m);
  std::vector<double> x_L_violation(n);
  std::vector<double> x_U_violation(n);
  std::vector<double> g_violation(m);
  Ipopt::TNLP& tnlp = *problem->bundle->nlp;
  const char* why =
      compat::current_iterate(tnlp, view.ip_data, view.ip_cq, data.n, x.data(), data.m, g.data());
  if (why == nullptr) {
    why = compat::current_violations(tnlp, view.ip_data, view.ip_cq, data.n, x.data(),
                                     x_L_violation.data(), x_U_violation.data(), data.m, g.data(),
                                     g_violation.data());
  }
  if (PyErr_Occurred() != nullptr) return nullptr;
  if (why != nullptr) {
    PyErr_Format(PyExc_RuntimeError, "current_iterate(): %s", why);
    return nullptr;
  }
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const bool ok = put(d, "x", py_array(x)) && put(d, "g", py_array(g)) &&
                  put(d, "x_L_violation", py_array(x_L_violation)) &&
                  put(d, "x_U_violation", py_array(x_U_violation)) &&
                  put(d, "g_violation", py_array(g_violation));
  return ok ? dict.release() : nullptr;
}

// check() evaluates the callbacks itself; a compiled one that is not
// reentrant must not run on two threads at once.
constexpr const char* check_while_solved =
    "check() called on a problem that another thread is solving; check it between solves";

// The objects passed for the callbacks, for check(), which calls them.
PyObject* py_callbacks(PyObject*, PyObject* arg) {
  ProblemObject* problem = problem_arg(arg);
  if (problem == nullptr || !check_not_solved_elsewhere(problem, check_while_solved)) {
    return nullptr;
  }
  PyRef result = PyRef::steal(PyTuple_New(CallbackCount));
  if (!result) return nullptr;
  for (int i = 0; i < CallbackCount; ++i) {
    PyObject* obj =
        problem->callback_objects[i] != nullptr ? problem->callback_objects[i] : Py_None;
    Py_INCREF(obj);
    PyTuple_SET_ITEM(result.get(), i, obj);
  }
  return result.release();
}

// Sizes, bounds and patterns as the solver sees them.
PyObject* py_structure(PyObject*, PyObject* arg) {
  ProblemObject* problem = problem_arg(arg);
  if (problem == nullptr) return nullptr;
  Ipopt::TNLP& tnlp = *problem->bundle->nlp;
  const auto [n, m, nnz_jac, nnz_h] = sizes_of(tnlp);
  const auto un = static_cast<std::size_t>(n);
  const auto um = static_cast<std::size_t>(m);
  std::vector<double> x_l(un);
  std::vector<double> x_u(un);
  std::vector<double> g_l(um);
  std::vector<double> g_u(um);
  tnlp.get_bounds_info(n, x_l.data(), x_u.data(), m, g_l.data(), g_u.data());
  std::vector<Ipopt::Index> jac_rows(static_cast<std::size_t>(nnz_jac));
  std::vector<Ipopt::Index> jac_cols(jac_rows.size());
  std::vector<Ipopt::Index> h_rows(static_cast<std::size_t>(nnz_h));
  std::vector<Ipopt::Index> h_cols(h_rows.size());
  tnlp.eval_jac_g(n, nullptr, false, m, nnz_jac, jac_rows.data(), jac_cols.data(), nullptr);
  tnlp.eval_h(n, nullptr, false, 1.0, m, nullptr, false, nnz_h, h_rows.data(), h_cols.data(),
              nullptr);
  auto index_list = [](const std::vector<Ipopt::Index>& v) -> PyObject* {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(v.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < v.size(); ++i) {
      PyObject* item = PyLong_FromLong(v[i]);
      if (item == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
  };
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const bool ok = put(d, "n", PyLong_FromLong(n)) && put(d, "m", PyLong_FromLong(m)) &&
                  put(d, "x_l", py_array(x_l)) && put(d, "x_u", py_array(x_u)) &&
                  put(d, "g_l", py_array(g_l)) && put(d, "g_u", py_array(g_u)) &&
                  put(d, "jac_rows", index_list(jac_rows)) &&
                  put(d, "jac_cols", index_list(jac_cols)) &&
                  put(d, "h_rows", index_list(h_rows)) && put(d, "h_cols", index_list(h_cols));
  return ok ? dict.release() : nullptr;
}

// One evaluation of one callback, through the adapter and so through the
// callback's own kind, with the caller's buffers. Returns the objective
// value for "f", otherwise whether the callback reported success.
PyObject* py_evaluate(PyObject*, PyObject* args) {
  PyObject* problem_obj = nullptr;
  const char* which = nullptr;
  PyObject* x_obj = nullptr;
  PyObject* out_obj = Py_None;
  double obj_factor = 1.0;
  PyObject* lambda_obj = Py_None;
  if (!PyArg_ParseTuple(args, "OsO|OdO", &problem_obj, &which, &x_obj, &out_obj, &obj_factor,
                        &lambda_obj)) {
    return nullptr;
  }
  ProblemObject* problem = problem_arg(problem_obj);
  if (problem == nullptr || !check_not_solved_elsewhere(problem, check_while_solved)) {
    return nullptr;
  }
  Ipopt::TNLP& tnlp = *problem->bundle->nlp;
  const auto [n, m, nnz_jac, nnz_h] = sizes_of(tnlp);
  const double* x = buffer_arg(x_obj, n, false, "x");
  if (x == nullptr) return nullptr;
  const std::string_view kind(which);
  bool ok = false;
  if (kind == "f") {
    double value = 0.0;
    ok = tnlp.eval_f(n, x, true, value);
    if (PyErr_Occurred() != nullptr) return nullptr;
    return Py_BuildValue("(Od)", ok ? Py_True : Py_False, value);
  }
  const npy_intp length = kind == "grad_f"  ? n
                          : kind == "g"     ? m
                          : kind == "jac_g" ? nnz_jac
                                            : nnz_h;
  double* out = buffer_arg(out_obj, length, true, "out");
  if (out == nullptr) return nullptr;
  if (kind == "grad_f") {
    ok = tnlp.eval_grad_f(n, x, true, out);
  } else if (kind == "g") {
    ok = tnlp.eval_g(n, x, true, m, out);
  } else if (kind == "jac_g") {
    ok = tnlp.eval_jac_g(n, x, true, m, nnz_jac, nullptr, nullptr, out);
  } else if (kind == "h") {
    const double* lambda = buffer_arg(lambda_obj, m, false, "lambda");
    if (lambda == nullptr) return nullptr;
    ok = tnlp.eval_h(n, x, true, obj_factor, m, lambda, true, nnz_h, nullptr, nullptr, out);
  } else {
    PyErr_Format(PyExc_ValueError, "unknown callback '%s'", which);
    return nullptr;
  }
  if (PyErr_Occurred() != nullptr) return nullptr;
  return Py_BuildValue("(Od)", ok ? Py_True : Py_False, 0.0);
}

// Read-only int64 index array of one dimension; null with ValueError otherwise.
const std::int64_t* index_arg(PyObject* obj, npy_intp& length, const char* name) {
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (!PyArray_Check(obj) || PyArray_NDIM(array) != 1 || PyArray_TYPE(array) != NPY_INT64 ||
      !PyArray_ISNOTSWAPPED(array) || !PyArray_ISCARRAY_RO(array)) {
    PyErr_Format(PyExc_ValueError, "%s must be a contiguous one-dimensional int64 array", name);
    return nullptr;
  }
  length = PyArray_DIM(array, 0);
  return static_cast<const std::int64_t*>(PyArray_DATA(array));
}

bool indices_in_range(const std::int64_t* indices, npy_intp length, long long bound,
                      const char* name) {
  const auto* outside = std::find_if(indices, indices + length,
                                     [bound](std::int64_t i) { return i < 0 || i >= bound; });
  if (outside == indices + length) return true;
  PyErr_Format(PyExc_ValueError, "%s[%zd] = %lld is outside [0, %lld)", name,
               static_cast<Py_ssize_t>(outside - indices), static_cast<long long>(*outside), bound);
  return false;
}

// The groups of columns that finite differences can perturb together.
PyObject* py_column_groups(PyObject*, PyObject* args) {
  PyObject* rows_obj = nullptr;
  PyObject* cols_obj = nullptr;
  long long n_rows = 0;
  long long n_cols = 0;
  if (!PyArg_ParseTuple(args, "OOLL", &rows_obj, &cols_obj, &n_rows, &n_cols)) return nullptr;
  npy_intp nnz = 0;
  npy_intp nnz_cols = 0;
  const std::int64_t* rows = index_arg(rows_obj, nnz, "rows");
  if (rows == nullptr) return nullptr;
  const std::int64_t* cols = index_arg(cols_obj, nnz_cols, "cols");
  if (cols == nullptr) return nullptr;
  if (nnz != nnz_cols) {
    PyErr_Format(PyExc_ValueError, "rows and cols differ in length (%zd and %zd)",
                 static_cast<Py_ssize_t>(nnz), static_cast<Py_ssize_t>(nnz_cols));
    return nullptr;
  }
  if (n_rows < 0 || n_cols < 0) {
    PyErr_SetString(PyExc_ValueError, "the shape must not be negative");
    return nullptr;
  }
  if (!indices_in_range(rows, nnz, n_rows, "rows") ||
      !indices_in_range(cols, nnz, n_cols, "cols")) {
    return nullptr;
  }
  const std::vector<std::int64_t> groups =
      column_groups(rows, cols, static_cast<std::size_t>(nnz), n_rows, n_cols);
  npy_intp dims[1] = {static_cast<npy_intp>(groups.size())};
  PyObject* result = PyArray_SimpleNew(1, dims, NPY_INT64);
  if (result != nullptr && !groups.empty()) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result)), groups.data(),
                groups.size() * sizeof(std::int64_t));
  }
  return result;
}

// No exception of the implementation language leaves an entry.
template <PyObject* (*Entry)(PyObject*, PyObject*)>
PyObject* guarded(PyObject* self, PyObject* arg) {
  return guard_entry<PyObject*>(nullptr, [&] { return Entry(self, arg); });
}

PyMethodDef layer_methods[] = {
    {"_return_statuses", guarded<py_return_statuses>, METH_NOARGS, nullptr},
    {"_add_problem_member", guarded<py_add_problem_member>, METH_VARARGS, nullptr},
    {"_last_solve", guarded<py_last_solve>, METH_O, nullptr},
    {"_current_iterate", guarded<py_current_iterate>, METH_O, nullptr},
    {"_callbacks", guarded<py_callbacks>, METH_O, nullptr},
    {"_structure", guarded<py_structure>, METH_O, nullptr},
    {"_evaluate", guarded<py_evaluate>, METH_VARARGS, nullptr},
    {"_column_groups", guarded<py_column_groups>, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_layer_functions(PyObject* module) {
  return PyModule_AddFunctions(module, layer_methods) == 0;
}

}  // namespace vornel
