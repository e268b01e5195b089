#include "problem/converters.hpp"

#include <algorithm>
#include <cstring>

#include "convert/conversions.hpp"
#include "convert/numpy_api.hpp"
#include "convert/py_ref.hpp"

namespace vornel {

namespace {

namespace names {
constexpr char eval_f[] = "eval_f";
constexpr char eval_grad_f[] = "eval_grad_f";
constexpr char eval_g[] = "eval_g";
constexpr char eval_jac_g[] = "eval_jac_g";
constexpr char eval_h[] = "eval_h";
constexpr char intermediate_callback[] = "intermediate_callback";
constexpr char x_l[] = "x_l";
constexpr char x_u[] = "x_u";
constexpr char g_l[] = "g_l";
constexpr char g_u[] = "g_u";
constexpr char x_scaling[] = "x_scaling";
constexpr char g_scaling[] = "g_scaling";
}  // namespace names

// Any real capsule passes, whatever its name: nothing can check the C
// signature behind it.
template <const char* Name>
bool read_capsule(PyObject* obj, void** function, void** user_data) {
  const char* capsule_name = PyCapsule_GetName(obj);
  if (!PyCapsule_IsValid(obj, capsule_name)) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "argument %s: invalid PyCapsule with name '%s'", Name,
                 capsule_name != nullptr ? capsule_name : "");
    return false;
  }
  *function = PyCapsule_GetPointer(obj, capsule_name);
  *user_data = PyCapsule_GetContext(obj);
  return true;
}

// A scipy.LowLevelCallable is a tuple subclass of three items whose first
// is the capsule; any 3-tuple is taken for one.
bool looks_like_low_level_callable(PyObject* obj) {
  return PyTuple_Check(obj) && PyTuple_GET_SIZE(obj) == 3;
}

// PyIndex and CIndex are the variant's alternatives for a Python callable
// and for a compiled function.
template <class Variant, const char* Name, bool AcceptsNone, std::size_t PyIndex,
          std::size_t CIndex>
int callback_converter(PyObject* obj, void* dest) {
  auto* arg = static_cast<CallbackArg<Variant>*>(dest);
  if constexpr (AcceptsNone) {
    if (obj == nullptr || obj == Py_None) return 1;
  }
  arg->source = obj;
  PyObject* capsule = nullptr;
  if (Py_IS_TYPE(obj, &PyCapsule_Type)) {
    capsule = obj;
  } else if (looks_like_low_level_callable(obj)) {
    capsule = PyTuple_GET_ITEM(obj, 0);
    if (capsule == nullptr) {
      PyErr_Format(PyExc_SystemError, "argument '%s': invalid tuple", Name);
      return 0;
    }
  }
  if (capsule != nullptr) {
    void* function = nullptr;
    void* user_data = nullptr;
    if (!read_capsule<Name>(capsule, &function, &user_data)) return 0;
    arg->callback.template emplace<CIndex>(function, user_data);
    return 1;
  }
  if (PyCallable_Check(obj)) {
    arg->callback.template emplace<PyIndex>(obj);
    return 1;
  }
  PyErr_Format(PyExc_ValueError,
               "argument '%s': must be Union[Callable, PyCapsule, scipy.LowLevelCallable], not %s",
               Name, Py_TYPE(obj)->tp_name);
  return 0;
}

template <class Variant, const char* Name>
int required_callback(PyObject* obj, void* dest) {
  return callback_converter<Variant, Name, false, 0, 1>(obj, dest);
}

template <class Variant, const char* Name>
int optional_callback(PyObject* obj, void* dest) {
  return callback_converter<Variant, Name, true, 1, 2>(obj, dest);
}

// Arrays of another numeric type or layout are converted to contiguous
// native float64 first; a type that does not cast safely is refused, so no
// buffer is ever read past its end or reinterpreted.
template <const char* Name>
PyRef as_float64_array(PyArrayObject* array) {
  if (PyArray_ISCARRAY_RO(array) && PyArray_TYPE(array) == NPY_DOUBLE &&
      PyArray_ISNOTSWAPPED(array)) {
    return PyRef::borrow(reinterpret_cast<PyObject*>(array));
  }
  if (!PyArray_CanCastSafely(PyArray_TYPE(array), NPY_DOUBLE)) {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': numpy.ndarray dtype must cast safely to float64, not %S", Name,
                 reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
    return {};
  }
  return PyRef::steal(
      PyArray_FromArray(array, PyArray_DescrFromType(NPY_DOUBLE), NPY_ARRAY_CARRAY_RO));
}

template <const char* Name, bool AcceptsNone>
int ndarray_to_vector(PyObject* obj, void* dest) {
  auto* vector = static_cast<std::vector<double>*>(dest);
  if constexpr (AcceptsNone) {
    if (obj == nullptr || obj == Py_None) {
      vector->clear();
      return 1;
    }
  }
  if (!PyArray_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be numpy.ndarray, not %s", Name,
                 Py_TYPE(obj)->tp_name);
    return 0;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(array) != 1) {
    PyErr_Format(PyExc_ValueError, "argument '%s': numpy.ndarray dimension must be 1, not %d", Name,
                 PyArray_NDIM(array));
    return 0;
  }
  PyRef values = as_float64_array<Name>(array);
  if (!values) return 0;
  auto* contiguous = reinterpret_cast<PyArrayObject*>(values.get());
  const auto count = static_cast<std::size_t>(PyArray_MultiplyList(PyArray_DIMS(contiguous), 1));
  vector->resize(count);
  if (count != 0) std::memcpy(vector->data(), PyArray_DATA(contiguous), count * sizeof(double));
  return 1;
}

bool check_indices(const std::vector<int>& indices, int bound, const char* name,
                   const char* which) {
  const auto bad = std::find_if(indices.begin(), indices.end(),
                                [bound](int index) { return index < 0 || index >= bound; });
  if (bad == indices.end()) return true;
  PyErr_Format(PyExc_ValueError, "%s: %s index %d at position %d is out of range [0, %d)", name,
               which, *bad, static_cast<int>(bad - indices.begin()), bound);
  return false;
}

}  // namespace

int convert_eval_f(PyObject* obj, void* dest) {
  return required_callback<FVariant, names::eval_f>(obj, dest);
}
int convert_eval_grad_f(PyObject* obj, void* dest) {
  return required_callback<GradFVariant, names::eval_grad_f>(obj, dest);
}
int convert_eval_g(PyObject* obj, void* dest) {
  return required_callback<GVariant, names::eval_g>(obj, dest);
}
int convert_eval_jac_g(PyObject* obj, void* dest) {
  return required_callback<JacGVariant, names::eval_jac_g>(obj, dest);
}
int convert_eval_h(PyObject* obj, void* dest) {
  return optional_callback<HVariant, names::eval_h>(obj, dest);
}
int convert_intermediate_callback(PyObject* obj, void* dest) {
  return optional_callback<IntermediateCallbackVariant, names::intermediate_callback>(obj, dest);
}

int convert_x_l(PyObject* obj, void* dest) {
  return ndarray_to_vector<names::x_l, false>(obj, dest);
}
int convert_x_u(PyObject* obj, void* dest) {
  return ndarray_to_vector<names::x_u, false>(obj, dest);
}
int convert_g_l(PyObject* obj, void* dest) {
  return ndarray_to_vector<names::g_l, false>(obj, dest);
}
int convert_g_u(PyObject* obj, void* dest) {
  return ndarray_to_vector<names::g_u, false>(obj, dest);
}
int convert_x_scaling(PyObject* obj, void* dest) {
  return ndarray_to_vector<names::x_scaling, true>(obj, dest);
}
int convert_g_scaling(PyObject* obj, void* dest) {
  return ndarray_to_vector<names::g_scaling, true>(obj, dest);
}

namespace {

// The rows and columns of a sparse matrix's coordinate form (scipy.sparse
// matrices and arrays have tocoo()), in that form's order, explicit zeros
// included. Null with an exception set when obj.tocoo() or its row and col
// fail.
PyObject* py_coo_pattern(PyObject* obj) {
  PyRef coo = PyRef::steal(PyObject_CallMethod(obj, "tocoo", nullptr));
  if (!coo) return nullptr;
  PyRef rows = PyRef::steal(PyObject_GetAttrString(coo.get(), "row"));
  if (!rows) return nullptr;
  PyRef cols = PyRef::steal(PyObject_GetAttrString(coo.get(), "col"));
  if (!cols) return nullptr;
  return PyTuple_Pack(2, rows.get(), cols.get());
}

bool sparsity_from_tuple(PyObject* obj, SparsityIndices& indices) {
  constexpr const char* context = "Sparsity info";
  const auto items = from_py_tuple<2>(obj, context);
  if (PyErr_Occurred()) return false;
  std::vector<int> rows = from_py_sequence<int>(items[0], context);
  if (PyErr_Occurred()) return false;
  std::vector<int> cols = from_py_sequence<int>(items[1], context);
  if (PyErr_Occurred()) return false;
  if (rows.size() != cols.size()) {
    PyErr_Format(PyExc_ValueError,
                 "Sparsity info: length of row indices (%d) does not match lenth of column "
                 "indices (%d)",
                 static_cast<int>(rows.size()), static_cast<int>(cols.size()));
    return false;
  }
  indices = SparsityIndices(std::move(rows), std::move(cols));
  return true;
}

}  // namespace

bool sparsity_from_py(PyObject* obj, SparsityIndices& indices, const char* name) {
  PyRef coo;
  if (obj != nullptr && !PyTuple_Check(obj) && PyObject_HasAttrString(obj, "tocoo")) {
    coo = PyRef::steal(py_coo_pattern(obj));
    if (!coo) {
      py_error_context(name);
      return false;
    }
    obj = coo.get();
  }
  if (sparsity_from_tuple(obj, indices)) return true;
  py_error_context(name);
  return false;
}

bool check_sparsity_range(const SparsityIndices& indices, int rows, int cols, const char* name) {
  return check_indices(std::get<0>(indices), rows, name, "row") &&
         check_indices(std::get<1>(indices), cols, name, "column");
}

bool check_bounds(const std::vector<double>& x_l, const std::vector<double>& x_u,
                  const std::vector<double>& g_l, const std::vector<double>& g_u) {
  constexpr const char* rule = "a bound must be a number, or an infinity for none";
  return check_numbers(x_l, false, "argument x_L", rule) &&
         check_numbers(x_u, false, "argument x_U", rule) &&
         check_numbers(g_l, false, "argument g_L", rule) &&
         check_numbers(g_u, false, "argument g_U", rule);
}

bool check_scaling(double obj_scaling, const std::vector<double>& x_scaling,
                   const std::vector<double>& g_scaling) {
  constexpr const char* rule = "a scaling factor must be finite";
  return check_number(obj_scaling, true, "argument obj_scaling", rule) &&
         check_numbers(x_scaling, true, "argument x_scaling", rule) &&
         check_numbers(g_scaling, true, "argument g_scaling", rule);
}

}  // namespace vornel
