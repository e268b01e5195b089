#include "convert/py_ref.hpp"
#include "nlp/callback_kinds.hpp"
#include "nlp/py_call.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace vornel {

namespace {

// Zeros that an emptied array of no dimensions shows: the largest item it
// can have is a complex long double.
alignas(16) const char no_values[32] = {};

// An array that the copy could not be made for views no memory any more:
// it is made empty (one of no dimensions reads zeros) and read-only, so
// that it never shows what the solver's buffer holds once it is reused.
void empty_kept_array(PyArrayObject* array) {
  auto* fields = reinterpret_cast<PyArrayObject_fields*>(array);
  for (int i = 0; i < fields->nd; ++i) fields->dimensions[i] = 0;
  fields->data = const_cast<char*>(no_values);
  PyArray_CLEARFLAGS(array, NPY_ARRAY_WRITEABLE);
}

}  // namespace

bool detach_kept_array(PyObject* array, const SolverView& view) {
  auto* arr = reinterpret_cast<PyArrayObject*>(array);
  // A copy of all the memory the array was made over: whatever shape,
  // strides or dtype the callable gave the array since, they stay within it.
  npy_intp count = view.nbytes;
  PyObject* copy = PyArray_SimpleNew(1, &count, NPY_UINT8);
  if (copy == nullptr) {
    empty_kept_array(arr);
    return false;
  }
  char* copied = static_cast<char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(copy)));
  if (count != 0) std::memcpy(copied, view.data, static_cast<std::size_t>(count));
  if (PyArray_SetBaseObject(arr, copy) != 0) {  // steals the copy
    empty_kept_array(arr);
    return false;
  }
  reinterpret_cast<PyArrayObject_fields*>(arr)->data = copied;
  return true;
}

namespace py {

PyObject* evaluation_error = nullptr;

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

// A NumPy refusal to write into a read-only array, raised by `name`: most
// likely a write into x or lagrange, which the message it gets in front
// then says (the original stays as its cause).
void explain_read_only_write(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_ValueError)) return;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  const PyRef text = PyRef::steal(PyObject_Str(value));
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  const bool read_only = utf8 != nullptr && std::strstr(utf8, "read-only") != nullptr;
  PyErr_Clear();
  if (!read_only) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_Format(PyExc_ValueError,
               "%s wrote into a read-only array (%S); its arguments x and lagrange are the "
               "solver's own point and multipliers, which callbacks must not change: use a copy "
               "(x.copy()) as scratch space",
               name, value);
  PyObject* new_type = nullptr;
  PyObject* new_value = nullptr;
  PyObject* new_traceback = nullptr;
  PyErr_Fetch(&new_type, &new_value, &new_traceback);
  PyErr_NormalizeException(&new_type, &new_value, &new_traceback);
  Py_INCREF(value);
  PyException_SetContext(new_value, value);
  PyException_SetCause(new_value, value);  // steals the reference
  PyErr_Restore(new_type, new_value, new_traceback);
  Py_DECREF(type);
  Py_XDECREF(traceback);
}

// An EvaluationError says that the point cannot be evaluated: the solver is
// told that the evaluation failed, as by a compiled routine's false, and
// decides how to go on. Any other exception stays pending and ends the run.
bool evaluation_failed(const char* name) {
  if (evaluation_error != nullptr && PyErr_ExceptionMatches(evaluation_error)) {
    PyErr_Clear();
  } else {
    explain_read_only_write(name);
  }
  return false;
}

// What `out` holds before a checked call: a quiet NaN with a payload of its
// own, so that an entry still holding it was not written (a NaN that the
// callback computes or copies from elsewhere has another payload).
constexpr std::uint64_t unwritten_bits = 0x7ff800000badf00dULL;

bool is_unwritten(double value) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return bits == unwritten_bits;
}

// Returning out itself (np.multiply(x, 2.0, out=out) does) or an array over
// exactly its memory is harmless.
bool is_none_or_out(PyObject* result, PyObject* out_array, const double* out, int length) {
  if (result == Py_None || result == out_array) return true;
  if (!PyArray_Check(result)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(result);
  return PyArray_DATA(array) == out &&
         PyArray_NBYTES(array) == static_cast<npy_intp>(length) * npy_intp{sizeof(double)};
}

// The entries a checked call left unwritten: how many, and the first ones.
struct Unwritten {
  static constexpr int shown_max = 10;
  int count = 0;
  int shown = 0;
  int positions[shown_max] = {};

  std::string positions_text() const {
    std::string text;
    for (int i = 0; i < shown; ++i) text += (i == 0 ? "" : ", ") + std::to_string(positions[i]);
    if (count > shown) text += ", ...";
    return text;
  }
};

bool warn_unwritten(const char* name, const Unwritten& unwritten, int length) {
  if (unwritten.count == length) {
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "%s wrote nothing into its output array (%d entries) on its first "
                            "call in this solve; write the results into it (out[:] = ...): "
                            "rebinding the name out does nothing",
                            name, length) == 0;
  }
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "%s left %d of the %d entries of its output array unwritten on its "
                          "first call in this solve, at %s; write every entry (out[:] = ...)",
                          name, unwritten.count, length, unwritten.positions_text().c_str()) == 0;
}

bool warn_returned(const char* name, PyObject* type_name) {
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "%s returned a value (%U), which is ignored; write the results into "
                          "out instead (out[:] = ...)",
                          name, type_name) == 0;
}

// The first call of a solve: `out` is marked before the call, and after it
// every entry still marked gets its previous value back, so that the solver
// sees what it would have seen unchecked. False when the call failed, or a
// warning was turned into an exception (a warnings filter of "error").
template <class... Before>
bool checked_call(PyObject* callable, OutContract& contract, const char* name, double* out,
                  int length, PyObject* out_array, Before... before) {
  const auto count = static_cast<std::size_t>(length);
  // Without memory for the copy, the call goes unchecked.
  const std::unique_ptr<double[]> saved(new (std::nothrow) double[count]);
  if (!saved) return py_call(callable, release_result, before..., out_array);
  if (count != 0) std::memcpy(saved.get(), out, count * sizeof(double));
  double marker = 0.0;
  std::memcpy(&marker, &unwritten_bits, sizeof marker);
  std::fill(out, out + count, marker);

  PyRef returned_type;
  auto handle = [&](PyObject* result) {
    PyRef owned = PyRef::steal(result);
    if (!owned) return false;
    if (is_none_or_out(result, out_array, out, length)) return true;
    returned_type = PyRef::steal(PyType_GetName(Py_TYPE(result)));
    return static_cast<bool>(returned_type);
  };
  const bool ok = py_call(callable, handle, before..., out_array);

  Unwritten unwritten;
  for (int i = 0; i < length; ++i) {
    if (!is_unwritten(out[i])) continue;
    out[i] = saved[i];
    if (unwritten.shown < Unwritten::shown_max) unwritten.positions[unwritten.shown++] = i;
    ++unwritten.count;
  }
  if (!ok) return false;
  contract.check_next = false;
  if (unwritten.count != 0 && !contract.warned_unwritten) {
    contract.warned_unwritten = true;
    if (!warn_unwritten(name, unwritten, length)) return false;
  }
  if (returned_type && !contract.warned_returned) {
    contract.warned_returned = true;
    if (!warn_returned(name, returned_type.get())) return false;
  }
  return true;
}

// A call of a routine that writes into `out` (its last argument), checked
// when its contract is armed.
template <class... Before>
bool call_writing_out(const OutSlot& slot, const char* name, double* out, int length,
                      Before... before) {
  PyObject* out_array = py_array_view(length, out);
  bool ok = false;
  if (slot.contract != nullptr && slot.contract->check_next && out_array != nullptr) {
    ok = checked_call(slot.obj, *slot.contract, name, out, length, out_array, before...);
  } else {
    ok = py_call(slot.obj, release_result, before..., out_array);
  }
  return ok || evaluation_failed(name);
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
  return py_call(obj, store_value, py_array_view_ro(n, x)) || evaluation_failed("eval_f");
}

bool GradF::operator()(int n, const double* x, double* grad_f) const {
  if (!can_call(obj)) return false;
  return call_writing_out(*this, "eval_grad_f", grad_f, n, py_array_view_ro(n, x));
}

bool G::operator()(int n, const double* x, int m, double* g) const {
  if (!can_call(obj)) return false;
  return call_writing_out(*this, "eval_g", g, m, py_array_view_ro(n, x));
}

bool JacG::operator()(int n, const double* x, int, int nele_jac, double* values) const {
  if (!can_call(obj)) return false;
  return call_writing_out(*this, "eval_jac_g", values, nele_jac, py_array_view_ro(n, x));
}

bool H::operator()(int n, const double* x, double obj_factor, int m, const double* lambda,
                   int nele_hess, double* values) const {
  if (!can_call(obj)) return false;
  return call_writing_out(*this, "eval_h", values, nele_hess, py_array_view_ro(n, x),
                          py_array_view_ro(m, lambda), PyFloat_FromDouble(obj_factor));
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
