#include "convert/conversions.hpp"

#include <climits>
#include <cstdint>

namespace vornel {

bool check_vector_size(const std::vector<double>& v, unsigned int expected, const char* name) {
  if (v.empty() || v.size() == expected) return true;
  PyErr_Format(PyExc_ValueError, "%s has wrong size %d (expected: %d)", name,
               static_cast<int>(v.size()), static_cast<int>(expected));
  return false;
}

void py_error_context(const char* context) {
  // The new exception carries only the class and the prefixed text: no
  // traceback and no chaining to the one it replaces.
#if PY_VERSION_HEX >= 0x030C0000
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  PyErr_Format(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), "%s: %S", context, exc.get());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef type_ref = PyRef::steal(type);
  PyRef value_ref = PyRef::steal(value);
  PyRef traceback_ref = PyRef::steal(traceback);
  PyErr_Format(type, "%s: %S", context, value);
#endif
}

template <>
std::vector<int> from_py_sequence<int>(PyObject* obj, const char* name) {
  PyRef seq = PyRef::steal(PySequence_Fast(obj, ""));
  if (!seq) {
    PyErr_Format(PyExc_TypeError, "%s: a sequence is needed.", name);
    return {};
  }
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(seq.get());
  std::vector<int> result(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    // An item's __index__ may resize a list that is its own fast view, so
    // the size is checked and the item held for every conversion.
    if (i >= PySequence_Fast_GET_SIZE(seq.get())) {
      PyErr_Format(PyExc_RuntimeError, "%s: sequence changed size during conversion", name);
      return {};
    }
    PyRef item = PyRef::borrow(PySequence_Fast_ITEMS(seq.get())[i]);
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(item.get(), &overflow);
    if (PyErr_Occurred()) {
      PyErr_Format(PyExc_TypeError, "%s[%d]: invalid type. Expected int", name,
                   static_cast<int>(i));
      return {};
    }
    if (overflow != 0 || value < INT32_MIN || value > INT32_MAX) {
      PyErr_Format(PyExc_ValueError, "%s[%d]: %R does not fit a 32-bit signed integer", name,
                   static_cast<int>(i), item.get());
      return {};
    }
    result[static_cast<std::size_t>(i)] = static_cast<int>(value);
  }
  return result;
}

namespace detail {

static bool set_item(PyObject* dict, const char* key, PyRef value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

bool py_dict_add_key_val_pairs(PyObject* dict, std::tuple<const char*, const char*> pair) {
  return set_item(dict, std::get<0>(pair), PyRef::steal(PyUnicode_FromString(std::get<1>(pair))));
}

bool py_dict_add_key_val_pairs(PyObject* dict, std::tuple<const char*, double> pair) {
  const auto truncated = static_cast<std::int32_t>(std::get<1>(pair));
  return set_item(dict, std::get<0>(pair), PyRef::steal(PyLong_FromLong(truncated)));
}

}  // namespace detail

}  // namespace vornel
