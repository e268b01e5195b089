#include "convert/conversions.hpp"

#include "convert/numpy_api.hpp"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace vornel {

bool check_vector_size(const std::vector<double>& v, unsigned int expected, const char* name) {
  if (v.empty() || v.size() == expected) return true;
  PyErr_Format(PyExc_ValueError, "%s has wrong size %d (expected: %d)", name,
               static_cast<int>(v.size()), static_cast<int>(expected));
  return false;
}

namespace {

bool acceptable(double value, bool finite) {
  return finite ? std::isfinite(value) : !std::isnan(value);
}

const char* spelled(double value) {
  if (std::isnan(value)) return "nan";
  return value > 0 ? "inf" : "-inf";
}

}  // namespace

bool check_numbers(const std::vector<double>& v, bool finite, const char* name, const char* rule) {
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (!acceptable(v[i], finite)) {
      PyErr_Format(PyExc_ValueError, "%s[%d] is %s; %s", name, static_cast<int>(i), spelled(v[i]),
                   rule);
      return false;
    }
  }
  return true;
}

bool check_number(double value, bool finite, const char* name, const char* rule) {
  if (acceptable(value, finite)) return true;
  PyErr_Format(PyExc_ValueError, "%s is %s; %s", name, spelled(value), rule);
  return false;
}

// The pending exception, normalised, with its traceback attached; null when
// none is pending.
PyRef take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef type_ref = PyRef::steal(type);
  PyRef value_ref = PyRef::steal(value);
  PyRef traceback_ref = PyRef::steal(traceback);
  if (value_ref && traceback_ref) PyException_SetTraceback(value_ref.get(), traceback_ref.get());
  return value_ref;
#endif
}

void restore_raised_exception(PyRef exc) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc.release());
#else
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.get()));
  Py_INCREF(type);
  PyErr_Restore(type, exc.get(), PyException_GetTraceback(exc.get()));
  exc.release();
#endif
}

namespace {

// Rebuilding from one message loses nothing only for the interpreter's own
// classes whose single argument is the message itself. A user's class may
// take other arguments, validate them or carry attributes; UnicodeError and
// OSError keep their details in further arguments.
bool rebuildable_from_message(PyObject* exc) {
  PyTypeObject* type = Py_TYPE(exc);
  if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0) return false;
  if (PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(PyExc_UnicodeError)) ||
      PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(PyExc_OSError))) {
    return false;
  }
  PyRef args = PyRef::steal(PyObject_GetAttrString(exc, "args"));
  if (!args) {
    PyErr_Clear();
    return false;
  }
  return PyTuple_CheckExact(args.get()) && PyTuple_GET_SIZE(args.get()) == 1 &&
         PyUnicode_CheckExact(PyTuple_GET_ITEM(args.get(), 0));
}

}  // namespace

void py_error_context(const char* context) {
  PyRef exc = take_raised_exception();
  if (!exc) return;
  if (rebuildable_from_message(exc.get())) {
    // The new exception carries only the class and the prefixed text: no
    // traceback and no chaining to the one it replaces.
    PyErr_Format(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), "%s: %S", context, exc.get());
    return;
  }
  PyRef note = PyRef::steal(PyUnicode_FromFormat("raised in %s", context));
  PyRef added =
      note ? PyRef::steal(PyObject_CallMethod(exc.get(), "add_note", "O", note.get())) : PyRef();
  // A note that cannot be added (no memory, an add_note of the user's that
  // fails) must not replace the exception it was meant to explain.
  if (!added) PyErr_Clear();
  restore_raised_exception(std::move(exc));
}

namespace {

template <class T>
bool fits_int32(T value) {
  if constexpr (std::is_signed_v<T>) {
    return static_cast<std::int64_t>(value) >= INT32_MIN &&
           static_cast<std::int64_t>(value) <= INT32_MAX;
  } else {
    return static_cast<std::uint64_t>(value) <= INT32_MAX;
  }
}

template <class T>
bool read_index_items(PyArrayObject* array, std::vector<int>& result, const char* name) {
  const char* data = static_cast<const char*>(PyArray_DATA(array));
  const npy_intp stride = PyArray_STRIDE(array, 0);
  for (std::size_t i = 0; i < result.size(); ++i) {
    T value{};
    std::memcpy(&value, data + static_cast<npy_intp>(i) * stride, sizeof(T));
    if (!fits_int32(value)) {
      PyRef item = PyRef::steal(PyArray_GETITEM(array, data + static_cast<npy_intp>(i) * stride));
      if (item) {
        PyErr_Format(PyExc_ValueError, "%s[%d]: %R does not fit a 32-bit signed integer", name,
                     static_cast<int>(i), item.get());
      }
      return false;
    }
    result[i] = static_cast<int>(value);
  }
  return true;
}

// Patterns of large problems come as NumPy index arrays (scipy.sparse's
// coordinates among them): reading their items as Python objects costs
// about a microsecond each. An exact one-dimensional array of a native
// integer type is read directly, with the same values and the same
// refusals as item by item; anything else (a subclass, which may iterate
// differently, or another dtype) goes the general way.
bool is_plain_index_array(PyObject* obj) {
  if (!PyArray_CheckExact(obj)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  return PyArray_NDIM(array) == 1 && PyArray_ISINTEGER(array) && PyArray_ISNOTSWAPPED(array);
}

bool read_index_array(PyArrayObject* array, std::vector<int>& result, const char* name) {
  switch (PyArray_TYPE(array)) {
    case NPY_BYTE:
      return read_index_items<npy_byte>(array, result, name);
    case NPY_UBYTE:
      return read_index_items<npy_ubyte>(array, result, name);
    case NPY_SHORT:
      return read_index_items<npy_short>(array, result, name);
    case NPY_USHORT:
      return read_index_items<npy_ushort>(array, result, name);
    case NPY_INT:
      return read_index_items<npy_int>(array, result, name);
    case NPY_UINT:
      return read_index_items<npy_uint>(array, result, name);
    case NPY_LONG:
      return read_index_items<npy_long>(array, result, name);
    case NPY_ULONG:
      return read_index_items<npy_ulong>(array, result, name);
    case NPY_LONGLONG:
      return read_index_items<npy_longlong>(array, result, name);
    case NPY_ULONGLONG:
      return read_index_items<npy_ulonglong>(array, result, name);
    default:
      return false;
  }
}

}  // namespace

template <>
std::vector<int> from_py_sequence<int>(PyObject* obj, const char* name) {
  if (is_plain_index_array(obj)) {
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    std::vector<int> result(static_cast<std::size_t>(PyArray_DIM(array, 0)));
    if (read_index_array(array, result, name)) return result;
    if (PyErr_Occurred()) return {};
  }
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
