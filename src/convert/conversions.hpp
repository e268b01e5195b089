// Small stateless conversions between Python objects and native values, and
// the error-context convention of the public entry points.
//
// Every function here follows the interpreter's contract: on failure exactly
// one Python exception is pending. The tuple and sequence conversions return
// an empty result on failure, which a caller cannot tell from a valid one, so
// callers test PyErr_Occurred() right after them.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <tuple>
#include <vector>

#include "convert/py_ref.hpp"

namespace vornel {

// True when `v` is empty or holds `expected` elements; otherwise ValueError.
bool check_vector_size(const std::vector<double>& v, unsigned int expected, const char* name);

// True when no element of `v` is NaN and, if `finite`, none is infinite;
// otherwise ValueError "<name>[<i>] is <value>; <rule>" for the first.
bool check_numbers(const std::vector<double>& v, bool finite, const char* name, const char* rule);
// The same for one value: "<name> is <value>; <rule>".
bool check_number(double value, bool finite, const char* name, const char* rule);

// The pending exception, normalised, with its traceback attached; null when
// none is pending. Cleared from the interpreter until it is restored.
PyRef take_raised_exception();
// Sets `exc` (not null) as the pending exception again, traceback included.
void restore_raised_exception(PyRef exc);

// Puts the name of the failed call in front of the pending exception: an
// exception that is exactly a built-in class holding one message is
// replaced by one of the same class whose message is "<context>: <old
// message>". Any other (a user's class, or one whose constructor takes more
// than a message, such as UnicodeEncodeError) is kept as it is, traceback
// included, and gets the context as a note (PEP 678).
void py_error_context(const char* context);

// The N items of a tuple (borrowed), or all null with TypeError set.
template <std::size_t N>
std::array<PyObject*, N> from_py_tuple(PyObject* obj, const char* name) {
  std::array<PyObject*, N> items{};
  if (!PyTuple_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s: a tuple is needed.", name);
    return items;
  }
  const Py_ssize_t size = PyTuple_GET_SIZE(obj);
  if (size != static_cast<Py_ssize_t>(N)) {
    PyErr_Format(PyExc_TypeError, "%s: a tuple of size %d is needed. Found tuple of size %d", name,
                 static_cast<int>(N), static_cast<int>(size));
    return items;
  }
  for (std::size_t i = 0; i < N; ++i) items[i] = PyTuple_GET_ITEM(obj, static_cast<Py_ssize_t>(i));
  return items;
}

// Any iterable of integers as a vector; empty with an exception set on
// failure. Only T = int is provided.
template <class T>
std::vector<T> from_py_sequence(PyObject* obj, const char* name);
template <>
std::vector<int> from_py_sequence<int>(PyObject* obj, const char* name);

namespace detail {

// Stores one (key, value) pair in `dict`: a text value becomes a str, a
// double an int truncated toward zero. False with an exception set when an
// object cannot be made or stored.
bool py_dict_add_key_val_pairs(PyObject* dict, std::tuple<const char*, const char*> pair);
bool py_dict_add_key_val_pairs(PyObject* dict, std::tuple<const char*, double> pair);

}  // namespace detail

// A new dict holding the pairs in argument order, or null with an exception
// set; nothing built is left behind on failure.
template <class... T>
PyObject* py_dict(std::tuple<const char*, T>... pairs) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  if (!(detail::py_dict_add_key_val_pairs(dict.get(), pairs) && ...)) return nullptr;
  return dict.release();
}

}  // namespace vornel
