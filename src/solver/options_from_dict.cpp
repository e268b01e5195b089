#include <climits>
#include <cstdint>
#include <cstring>
#include <utility>

#include "convert/conversions.hpp"
#include "convert/py_ref.hpp"
#include "solver/nlp_bundle.hpp"

namespace vornel {

namespace {

// Adds which option a text belongs to to the reason of the pending
// UnicodeEncodeError (a lone surrogate in a name or value); any other
// pending exception is left as it is.
void name_option_in_encode_error(const char* part, PyObject* key) {
  PyRef exc = take_raised_exception();
  if (exc &&
      PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_UnicodeEncodeError))) {
    PyRef reason = PyRef::steal(PyObject_GetAttrString(exc.get(), "reason"));
    PyRef annotated = reason ? PyRef::steal(PyUnicode_FromFormat("%S in the %s of option %R",
                                                                 reason.get(), part, key))
                             : PyRef();
    if (!annotated || PyObject_SetAttrString(exc.get(), "reason", annotated.get()) < 0) {
      PyErr_Clear();
    }
  }
  if (exc) restore_raised_exception(std::move(exc));
}

// The UTF-8 text of a str, refused when it cannot reach the solver whole: a
// lone surrogate cannot be encoded, and the solver would read a NUL as the
// end of the text ("max_iter\0junk" would set max_iter).
const char* from_py_option_text(PyObject* text, const char* part, PyObject* key) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) {
    name_option_in_encode_error(part, key);
    return nullptr;
  }
  if (std::strlen(utf8) != static_cast<std::size_t>(size)) {
    PyErr_Format(PyExc_ValueError, "The %s of option %R contains a NUL character", part, key);
    return nullptr;
  }
  return utf8;
}

// The typed value of one entry, or false with an exception set.
bool from_py_option_value(PyObject* value, PyObject* key, const char* name, OptionValue& out) {
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
    const char* text = from_py_option_text(value, "value", key);
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
  return from_py_option_text(key, "name", key);
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
    if (!from_py_option_value(value, key, name, typed)) return false;
    if (!bundle.set_option(name, typed)) {
      if (bundle.refusal().empty()) {
        PyErr_Format(PyExc_ValueError, "Failed to set the Ipopt option '%s'", name);
      } else {
        PyErr_Format(PyExc_ValueError, "Failed to set the Ipopt option '%s': %s", name,
                     bundle.refusal().c_str());
      }
      return false;
    }
  }
  return true;
}

}  // namespace vornel
