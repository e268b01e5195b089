#include <climits>
#include <cstdint>

#include "solver/nlp_bundle.hpp"

namespace vornel {

namespace {

// The typed value of one entry, or false with an exception set.
bool from_py_option_value(PyObject* value, const char* name, OptionValue& out) {
  if (PyLong_Check(value)) {
    int overflow = 0;
    const long number = PyLong_AsLongAndOverflow(value, &overflow);
    if (PyErr_Occurred()) return false;
    if (overflow != 0 || number < INT32_MIN || number > INT32_MAX) {
      PyErr_Format(PyExc_ValueError, "The value for option %s does not fit a 32-bit signed integer",
                   name);
      return false;
    }
    out = static_cast<int>(number);
    return true;
  }
  if (PyFloat_Check(value)) {
    out = PyFloat_AsDouble(value);
    return true;
  }
  if (PyUnicode_Check(value)) {
    const char* text = PyUnicode_AsUTF8(value);
    if (text == nullptr) return false;
    // The dict keeps the string, and with it the text, alive.
    out = const_cast<char*>(text);
    return true;
  }
  PyErr_Format(PyExc_TypeError, "The value for option %s has unsupported type", name);
  return false;
}

const char* from_py_option_name(PyObject* key) {
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "The name of an option must be str, not %s (option %R)",
                 Py_TYPE(key)->tp_name, key);
    return nullptr;
  }
  return PyUnicode_AsUTF8(key);
}

}  // namespace

bool set_options_from_dict(NlpBundle& bundle, PyObject* options) {
  if (options == nullptr || !PyDict_Check(options)) return true;
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(options, &pos, &key, &value)) {
    const char* name = from_py_option_name(key);
    if (name == nullptr) return false;
    OptionValue typed;
    if (!from_py_option_value(value, name, typed)) return false;
    if (!bundle.set_option(name, typed)) {
      PyErr_Format(PyExc_ValueError, "Failed to set the Ipopt option '%s'", name);
      return false;
    }
  }
  return true;
}

}  // namespace vornel
