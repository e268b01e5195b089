// Calling a Python callable with arguments the caller made for the call.
#pragma once

#include <Python.h>

#include <array>

#include "convert/numpy_api.hpp"

namespace vornel {

// A float64 array over a solver buffer: no copy, no ownership, no base.
inline PyObject* py_array_view(int length, const double* data) {
  npy_intp dims = length;
  return PyArray_New(&PyArray_Type, 1, &dims, NPY_DOUBLE, nullptr, const_cast<double*>(data), 0,
                     NPY_ARRAY_CARRAY, nullptr);
}

// Gives an argument array that the callable kept (its reference count says
// so) a private copy of its data, so that it does not go on viewing solver
// memory that the solver reuses or frees. False with an exception set when
// the copy cannot be made.
bool detach_kept_array(PyObject* array);

namespace detail {

inline bool detach_if_kept(PyObject* arg) {
  if (Py_REFCNT(arg) == 1 || !PyArray_CheckExact(arg)) return true;
  return detach_kept_array(arg);
}

}  // namespace detail

// Calls `callable` with the arguments, each a new reference that the call
// takes over (null when making it failed: the exception is then pending and
// the callable is not called). Returns the result, or null with an
// exception pending.
template <class... Args>
PyObject* py_call(PyObject* callable, Args... args) {
  std::array<PyObject*, sizeof...(Args)> argv{args...};
  bool complete = true;
  for (PyObject* arg : argv) complete = complete && arg != nullptr;
  PyObject* result =
      complete ? PyObject_Vectorcall(callable, argv.data(), argv.size(), nullptr) : nullptr;
  bool detached = true;
  for (PyObject* arg : argv) {
    if (arg == nullptr) continue;
    detached = detached && detail::detach_if_kept(arg);
    Py_DECREF(arg);
  }
  if (!detached) Py_CLEAR(result);
  return result;
}

}  // namespace vornel
