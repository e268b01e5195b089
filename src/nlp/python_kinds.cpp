#include "convert/py_ref.hpp"
#include "nlp/callback_kinds.hpp"
#include "nlp/py_call.hpp"

#include <cstring>

namespace vornel {

bool detach_kept_array(PyObject* array, const SolverView& view) {
  auto* arr = reinterpret_cast<PyArrayObject*>(array);
  // A copy of all the memory the array was made over: whatever shape,
  // strides or dtype the callable gave the array since, they stay within it.
  npy_intp count = view.nbytes;
  PyObject* copy = PyArray_SimpleNew(1, &count, NPY_UINT8);
  if (copy == nullptr) return false;
  char* copied = static_cast<char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(copy)));
  if (count != 0) std::memcpy(copied, view.data, static_cast<std::size_t>(count));
  // The base is set first: should that fail, the array still views valid
  // memory rather than a copy that is gone.
  if (PyArray_SetBaseObject(arr, copy) != 0) return false;  // steals the copy
  reinterpret_cast<PyArrayObject_fields*>(arr)->data = copied;
  return true;
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

bool release_result(PyObject* result) {
  PyRef owned = PyRef::steal(result);
  return static_cast<bool>(owned);
}

}  // namespace

bool F::operator()(int n, const double* x, double& obj_value) const {
  if (!can_call(obj)) return false;
  auto store_value = [&obj_value](PyObject* result) {
    PyRef owned = PyRef::steal(result);
    if (!owned) return false;
    obj_value = PyFloat_AsDouble(owned.get());
    if (PyErr_Occurred()) {
      PyErr_SetString(PyExc_RuntimeError, "Python function eval_f returns non-PyFloat");
      return false;
    }
    return true;
  };
  return py_call(obj, store_value, py_array_view(n, x));
}

bool GradF::operator()(int n, const double* x, double* grad_f) const {
  if (!can_call(obj)) return false;
  return py_call(obj, release_result, py_array_view(n, x), py_array_view(n, grad_f));
}

bool G::operator()(int n, const double* x, int m, double* g) const {
  if (!can_call(obj)) return false;
  return py_call(obj, release_result, py_array_view(n, x), py_array_view(m, g));
}

bool JacG::operator()(int n, const double* x, int, int nele_jac, double* values) const {
  if (!can_call(obj)) return false;
  return py_call(obj, release_result, py_array_view(n, x), py_array_view(nele_jac, values));
}

bool H::operator()(int n, const double* x, double obj_factor, int m, const double* lambda,
                   int nele_hess, double* values) const {
  if (!can_call(obj)) return false;
  return py_call(obj, release_result, py_array_view(n, x), py_array_view(m, lambda),
                 PyFloat_FromDouble(obj_factor), py_array_view(nele_hess, values));
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
  bool go_on = false;
  auto read_answer = [&go_on](PyObject* result) {
    PyRef owned = PyRef::steal(result);
    if (!owned) {
      print_unless_exit_request();
      return false;
    }
    const long answer = PyLong_AsLong(owned.get());
    if (PyErr_Occurred()) {
      PyErr_SetString(PyExc_RuntimeError,
                      "Python function intermediate_callback returned non bool");
      return false;
    }
    go_on = answer != 0;
    return true;
  };
  const bool answered = py_call(
      obj, read_answer, PyLong_FromLong(static_cast<long>(mode)), PyLong_FromLong(iter),
      PyFloat_FromDouble(obj_value), PyFloat_FromDouble(inf_pr), PyFloat_FromDouble(inf_du),
      PyFloat_FromDouble(mu), PyFloat_FromDouble(d_norm), PyFloat_FromDouble(regularization_size),
      PyFloat_FromDouble(alpha_du), PyFloat_FromDouble(alpha_pr), PyLong_FromLong(ls_trials));
  return answered && go_on;
}

}  // namespace py

}  // namespace vornel
