#include "convert/numpy_api.hpp"
#include "problem/problem_object.hpp"

namespace vornel {

const char py_solve_doc[] =
    "\n"
    "solve(x: numpy.ndarray[numpy.float64], mult_g: Optional[numpy.ndarray[numpy.float64]] = "
    "None, mult_x_L: Optional[numpy.ndarray[numpy.float64]] = None, mult_x_U: "
    "Optional[numpy.ndarray[numpy.float64]] = None) -> tuple[numpy.ndarray[numpy.float64], "
    "float, int]\n"
    "\n"
    "Call Ipopt to solve the problem created before and return a tuple of the\n"
    "final solution x, the final objective value and Ipopt's return status code.\n"
    "For performance reasons, to avoid copying, x is mutated by the call and is\n"
    "the same object as the first element of the returned tuple: copy it before\n"
    "the call if you need the initial value. x must be a C-contiguous, writeable\n"
    "float64 array. mult_g, mult_x_L and mult_x_U are optional keyword-only\n"
    "arguments that pass previous multiplier values for warm starts; they are\n"
    "modified (receive the final multipliers) when passed.\n";

namespace {

bool check_array_shape(PyArrayObject* array, unsigned int length, const char* name) {
  if (PyArray_NDIM(array) != 1) {
    PyErr_Format(PyExc_ValueError, "%s has wrong number of dimensions. Expected %d, got %d", name,
                 1, PyArray_NDIM(array));
    return false;
  }
  if (PyArray_DIM(array, 0) != static_cast<npy_intp>(length)) {
    PyErr_Format(PyExc_ValueError, "%s has wrong shape. Expected (%d,), found (%d,)", name,
                 static_cast<int>(length), static_cast<int>(PyArray_DIM(array, 0)));
    return false;
  }
  return true;
}

// The solver writes results straight into these arrays, so they must be
// exactly the memory it expects.
bool check_writable_float64(PyArrayObject* array, const char* name) {
  if (PyArray_TYPE(array) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(array) && PyArray_ISCARRAY(array)) {
    return true;
  }
  PyErr_Format(PyExc_TypeError,
               "%s must be a C-contiguous, aligned, writeable numpy.ndarray of native float64, "
               "not of dtype %S with flags C_CONTIGUOUS=%d, ALIGNED=%d, WRITEABLE=%d",
               name, reinterpret_cast<PyObject*>(PyArray_DESCR(array)),
               PyArray_IS_C_CONTIGUOUS(array) ? 1 : 0, PyArray_ISALIGNED(array) ? 1 : 0,
               PyArray_ISWRITEABLE(array) ? 1 : 0);
  return false;
}

bool check_array(PyArrayObject* array, unsigned int length, const char* name) {
  return array == nullptr ||
         (check_array_shape(array, length, name) && check_writable_float64(array, name));
}

double* data_of(PyArrayObject* array) {
  return array == nullptr ? nullptr : static_cast<double*>(PyArray_DATA(array));
}

// Marks a problem as being solved for the lifetime of one solve() call.
class SolvingGuard {
 public:
  explicit SolvingGuard(ProblemObject* problem) : problem_(problem) { problem_->solving = true; }
  SolvingGuard(const SolvingGuard&) = delete;
  SolvingGuard& operator=(const SolvingGuard&) = delete;
  ~SolvingGuard() { problem_->solving = false; }

 private:
  ProblemObject* problem_;
};

}  // namespace

PyObject* py_solve(PyObject* self, PyObject* args, PyObject* kwargs) {
  auto* problem = reinterpret_cast<ProblemObject*>(self);
  static const char* keywords[] = {"x0", "mult_g", "mult_x_L", "mult_x_U", nullptr};
  PyArrayObject* x0 = nullptr;
  PyArrayObject* mult_g = nullptr;
  PyArrayObject* mult_x_L = nullptr;
  PyArrayObject* mult_x_U = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!|$O!O!O!", const_cast<char**>(keywords),
                                   &PyArray_Type, &x0, &PyArray_Type, &mult_g, &PyArray_Type,
                                   &mult_x_L, &PyArray_Type, &mult_x_U)) {
    return nullptr;
  }
  NlpData& data = *problem->nlp_data;
  const auto n = static_cast<unsigned int>(data.n_ref);
  const auto m = static_cast<unsigned int>(data.m_ref);
  if (!check_array(x0, n, "x0") || !check_array(mult_g, m, "mult_g") ||
      !check_array(mult_x_L, n, "mult_x_L") || !check_array(mult_x_U, n, "mult_x_U")) {
    return nullptr;
  }
  if (problem->solving) {
    PyErr_SetString(PyExc_RuntimeError,
                    "solve() called on a problem that is being solved (from one of its "
                    "callbacks)");
    return nullptr;
  }
  Ipopt::ApplicationReturnStatus status;
  {
    // The method call holds a reference to the problem for the whole run.
    SolvingGuard guard(problem);
    data.set_initial_values(data_of(x0), data_of(mult_g), data_of(mult_x_L), data_of(mult_x_U));
    data.last_solve.begin(data_of(x0), data.n, data.m);
    const SolveClock clock;
    status = problem->bundle->optimize();
    clock.stop(data.last_solve);
    data.last_solve.status = static_cast<int>(status);
  }
  if (PyErr_Occurred()) return nullptr;
  return Py_BuildValue("(Odi)", reinterpret_cast<PyObject*>(x0), data.obj_value_ref,
                       static_cast<int>(status));
}

}  // namespace vornel
