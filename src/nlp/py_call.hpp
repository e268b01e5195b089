// Calling a Python callable with arguments the caller made for the call.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "convert/numpy_api.hpp"

namespace vornel {

// A float64 array over a solver buffer that the callable writes into: no
// copy, no ownership, no base.
inline PyObject* py_array_view(int length, double* data) {
  npy_intp dims = length;
  return PyArray_New(&PyArray_Type, 1, &dims, NPY_DOUBLE, nullptr, data, 0, NPY_ARRAY_CARRAY,
                     nullptr);
}

// The same over a buffer the solver hands as read-only (the point, the
// multipliers): a write into it would change what the solver and the next
// callbacks see, so the array refuses writes.
inline PyObject* py_array_view_ro(int length, const double* data) {
  npy_intp dims = length;
  return PyArray_New(&PyArray_Type, 1, &dims, NPY_DOUBLE, nullptr, const_cast<double*>(data), 0,
                     NPY_ARRAY_CARRAY_RO, nullptr);
}

// The solver memory that an argument array was made to view.
struct SolverView {
  void* data = nullptr;
  npy_intp nbytes = 0;
};

// Gives an argument array that the callable kept a private copy of the
// solver memory it views, so that it does not go on viewing memory that the
// solver reuses or frees. False with an exception set when the copy cannot
// be made; the array is then made empty and read-only.
bool detach_kept_array(PyObject* array, const SolverView& view);

namespace detail {

inline SolverView solver_view_of(PyObject* arg) {
  if (arg == nullptr || !PyArray_CheckExact(arg)) return {};
  auto* array = reinterpret_cast<PyArrayObject*>(arg);
  return {PyArray_DATA(array), PyArray_NBYTES(array)};
}

// Only an array that still views the solver's memory is detached: one
// whose data the callable replaced (__setstate__ gives it memory of its own
// or a new base) views no solver memory any more and is left as it is.
inline bool detach_if_kept(PyObject* arg, const SolverView& view) {
  if (view.data == nullptr || Py_REFCNT(arg) == 1) return true;
  auto* array = reinterpret_cast<PyArrayObject*>(arg);
  if (PyArray_DATA(array) != view.data || PyArray_BASE(array) != nullptr ||
      PyArray_CHKFLAGS(array, NPY_ARRAY_OWNDATA)) {
    return true;
  }
  return detach_kept_array(arg, view);
}

}  // namespace detail

// Calls `callable` with the arguments, each a new reference that the call
// takes over (null when making it failed: the exception is then pending and
// the callable is not called), and hands the result (a new reference, or
// null with an exception pending) to `handle`, which must release it and
// says whether the call succeeded. The result is released before the
// arguments are looked at, so that a result that is an argument (a callback
// returning its `out`) does not count as keeping it. False when `handle`
// said so or an argument kept by the callable could not be detached.
template <class Handle, class... Args>
bool py_call(PyObject* callable, Handle&& handle, Args... args) {
  std::array<PyObject*, sizeof...(Args)> argv{args...};
  std::array<SolverView, sizeof...(Args)> views{};
  bool complete = true;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    complete = complete && argv[i] != nullptr;
    views[i] = detail::solver_view_of(argv[i]);
  }
  PyObject* result =
      complete ? PyObject_Vectorcall(callable, argv.data(), argv.size(), nullptr) : nullptr;
  bool ok = handle(result);
  for (std::size_t i = 0; i < argv.size(); ++i) {
    if (argv[i] == nullptr) continue;
    ok = detail::detach_if_kept(argv[i], views[i]) && ok;
    Py_DECREF(argv[i]);
  }
  return ok;
}

}  // namespace vornel
