#include "convert/py_ref.hpp"
#include "nlp/callback_kinds.hpp"
#include "nlp/py_call.hpp"

#include <cstring>

namespace vornel {

bool detach_kept_array(PyObject* array) {
  auto* arr = reinterpret_cast<PyArrayObject*>(array);
  PyObject* copy = PyArray_NewCopy(arr, NPY_CORDER);
  if (copy == nullptr) return false;
  reinterpret_cast<PyArrayObject_fields*>(arr)->data =
      static_cast<char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(copy)));
  return PyArray_SetBaseObject(arr, copy) == 0;  // steals the copy
}

namespace py {

namespace {

// A callback that runs while an earlier one's exception is pending must not
// call into Python: the run is already failing.
bool can_call(PyObject* callable) {
  if (PyErr_Occurred()) return false;
  if (callable == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "python callback is nullptr");
    return false;
  }
  return true;
}

// The per-iteration callback's own errors are printed and end the run with
// a user stop. KeyboardInterrupt and SystemExit are not errors of the
// callback but requests to stop the program: they stay pending so that
// solve() raises them.
void print_unless_exit_request() {
  if (PyErr_ExceptionMatches(PyExc_Exception)) PyErr_Print();
}

bool call_ignoring_result(PyObject* result) {
  PyRef owned = PyRef::steal(result);
  return static_cast<bool>(owned);
}

}  // namespace

bool F::operator()(int n, const double* x, double& obj_value) const {
  if (!can_call(obj)) return false;
  PyRef result = PyRef::steal(py_call(obj, py_array_view(n, x)));
  if (!result) return false;
  obj_value = PyFloat_AsDouble(result.get());
  if (PyErr_Occurred()) {
    PyErr_SetString(PyExc_RuntimeError, "Python function eval_f returns non-PyFloat");
    return false;
  }
  return true;
}

bool GradF::operator()(int n, const double* x, double* grad_f) const {
  if (!can_call(obj)) return false;
  return call_ignoring_result(py_call(obj, py_array_view(n, x), py_array_view(n, grad_f)));
}

bool G::operator()(int n, const double* x, int m, double* g) const {
  if (!can_call(obj)) return false;
  return call_ignoring_result(py_call(obj, py_array_view(n, x), py_array_view(m, g)));
}

bool JacG::operator()(int n, const double* x, int, int nele_jac, double* values) const {
  if (!can_call(obj)) return false;
  return call_ignoring_result(py_call(obj, py_array_view(n, x), py_array_view(nele_jac, values)));
}

bool H::operator()(int n, const double* x, double obj_factor, int m, const double* lambda,
                   int nele_hess, double* values) const {
  if (!can_call(obj)) return false;
  return call_ignoring_result(py_call(obj, py_array_view(n, x), py_array_view(m, lambda),
                                      PyFloat_FromDouble(obj_factor),
                                      py_array_view(nele_hess, values)));
}

bool IntermediateCallback::operator()(Ipopt::AlgorithmMode mode, int iter, double obj_value,
                                      double inf_pr, double inf_du, double mu, double d_norm,
                                      double regularization_size, double alpha_du, double alpha_pr,
                                      int ls_trials, const Ipopt::IpoptData*,
                                      Ipopt::IpoptCalculatedQuantities*) const {
  // An exception left by an evaluation callback stays pending for solve()
  // to raise; only this callback's own failures are printed.
  if (PyErr_Occurred()) return false;
  if (!can_call(obj)) {
    print_unless_exit_request();
    return false;
  }
  PyRef result = PyRef::steal(py_call(
      obj, PyLong_FromLong(static_cast<long>(mode)), PyLong_FromLong(iter),
      PyFloat_FromDouble(obj_value), PyFloat_FromDouble(inf_pr), PyFloat_FromDouble(inf_du),
      PyFloat_FromDouble(mu), PyFloat_FromDouble(d_norm), PyFloat_FromDouble(regularization_size),
      PyFloat_FromDouble(alpha_du), PyFloat_FromDouble(alpha_pr), PyLong_FromLong(ls_trials)));
  if (!result) {
    print_unless_exit_request();
    return false;
  }
  const long go_on = PyLong_AsLong(result.get());
  if (PyErr_Occurred()) {
    PyErr_SetString(PyExc_RuntimeError, "Python function intermediate_callback returned non bool");
    return false;
  }
  return go_on != 0;
}

}  // namespace py

}  // namespace vornel
