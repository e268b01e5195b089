#include <algorithm>
#include <array>
#include <limits>
#include <utility>

#include "convert/entry_guard.hpp"
#include "convert/gil.hpp"
#include "convert/numpy_api.hpp"
#include "convert/py_ref.hpp"
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

// The lowest and one past the highest byte an array can address.
std::pair<const char*, const char*> memory_extent(PyArrayObject* array) {
  const char* low = PyArray_BYTES(array);
  const char* high = low;
  for (int i = 0; i < PyArray_NDIM(array); ++i) {
    const npy_intp dim = PyArray_DIM(array, i);
    if (dim == 0) return {low, low};
    const npy_intp reach = PyArray_STRIDE(array, i) * (dim - 1);
    (reach < 0 ? low : high) += reach;
  }
  return {low, high + PyArray_ITEMSIZE(array)};
}

// The object that exports the memory an array views when that is no
// array: the first base past the arrays, or the object behind a
// memoryview (which keeps the exporter's pointer of the time it was made).
// Null for an array that owns its memory or views plain memory.
PyObject* memory_exporter(PyArrayObject* array) {
  PyObject* base = PyArray_BASE(array);
  while (base != nullptr && PyArray_Check(base)) {
    base = PyArray_BASE(reinterpret_cast<PyArrayObject*>(base));
  }
  if (base != nullptr && PyMemoryView_Check(base)) return PyMemoryView_GET_BUFFER(base)->obj;
  return base;
}

// One caller array bound for a solve, as it was when it was bound.
class BoundArray {
 public:
  BoundArray(PyArrayObject* array, const char* name)
      : array_(PyRef::borrow(reinterpret_cast<PyObject*>(array))),
        name_(name),
        data_(array == nullptr ? nullptr : static_cast<double*>(PyArray_DATA(array))),
        length_(array == nullptr ? 0 : PyArray_DIM(array, 0)),
        base_(array == nullptr ? PyRef() : PyRef::borrow(PyArray_BASE(array))),
        exporter_(array == nullptr ? PyRef() : PyRef::borrow(memory_exporter(array))),
        owns_data_(array != nullptr && PyArray_CHKFLAGS(array, NPY_ARRAY_OWNDATA)) {}

  const char* name() const { return name_; }
  double* data() const { return data_; }
  const char* begin() const { return reinterpret_cast<const char*>(data_); }
  const char* end() const { return begin() + length_ * static_cast<npy_intp>(sizeof(double)); }
  bool bound() const { return static_cast<bool>(array_); }

  // Memory exported by an object that cannot be asked for it again
  // (without the buffer protocol) could move unseen while the solver
  // runs; such an array is refused before it starts.
  bool checkable() const {
    if (!exporter_ || length_ == 0 || PyObject_CheckBuffer(exporter_.get())) return true;
    PyErr_Format(PyExc_RuntimeError,
                 "%s views memory of a %s object, which cannot be checked for moves while the "
                 "solver runs (it has no buffer interface); pass an array of its own "
                 "(numpy.array(%s)) and copy the results back",
                 name_, Py_TYPE(exporter_.get())->tp_name, name_);
    return false;
  }

  // Still the same memory, of the same length and layout, writeable, held
  // by the same owner: the array has not been resized, given other memory
  // (__setstate__, a new base) or made read-only, no array it views into
  // has been resized under it, and the object exporting the memory (a
  // ctypes buffer that ctypes.resize moves, say) still exports it there.
  bool unchanged() const {
    if (!array_ || length_ == 0) return true;
    auto* array = reinterpret_cast<PyArrayObject*>(array_.get());
    if (PyArray_DATA(array) != data_ || PyArray_NDIM(array) != 1 ||
        PyArray_DIM(array, 0) != length_ || PyArray_TYPE(array) != NPY_DOUBLE ||
        !PyArray_ISNOTSWAPPED(array) || !PyArray_ISCARRAY(array) ||
        PyArray_BASE(array) != base_.get() ||
        PyArray_CHKFLAGS(array, NPY_ARRAY_OWNDATA) != owns_data_) {
      return false;
    }
    for (PyObject* base = base_.get(); base != nullptr && PyArray_Check(base);) {
      auto* owner = reinterpret_cast<PyArrayObject*>(base);
      const auto [low, high] = memory_extent(owner);
      if (begin() < low || end() > high) return false;
      base = PyArray_BASE(owner);
    }
    return !exporter_ || still_exported();
  }

 private:
  bool still_exported() const {
    Py_buffer view;
    if (PyObject_GetBuffer(exporter_.get(), &view, PyBUF_SIMPLE) != 0) {
      PyErr_Clear();
      return false;
    }
    const char* low = static_cast<const char*>(view.buf);
    const bool within = begin() >= low && end() <= low + view.len;
    PyBuffer_Release(&view);
    return within;
  }

  // Held for the solve: the caller's own references (a keyword dict, say)
  // may be dropped by a callback while the solver still uses the memory.
  PyRef array_;
  const char* name_;
  double* data_;
  npy_intp length_;
  // Held so that its identity stays meaningful: a base that is released
  // cannot be replaced by another object at the same address.
  PyRef base_;
  PyRef exporter_;
  bool owns_data_;
};

// The four arrays of one solve() call, checked before the solver reads or
// writes them.
class BoundArrays final : public BufferCheck {
 public:
  BoundArrays(PyArrayObject* x0, PyArrayObject* mult_g, PyArrayObject* mult_x_L,
              PyArrayObject* mult_x_U)
      : arrays_{BoundArray(x0, "x0"), BoundArray(mult_g, "mult_g"),
                BoundArray(mult_x_L, "mult_x_L"), BoundArray(mult_x_U, "mult_x_U")} {}

  const BoundArray& x0() const { return arrays_[0]; }
  const BoundArray& mult_g() const { return arrays_[1]; }
  const BoundArray& mult_x_L() const { return arrays_[2]; }
  const BoundArray& mult_x_U() const { return arrays_[3]; }

  bool checkable() const {
    return std::all_of(arrays_.begin(), arrays_.end(),
                       [](const BoundArray& array) { return array.checkable(); });
  }

  // Results written into memory that another result array also uses would
  // overwrite each other.
  bool check_disjoint() const {
    for (std::size_t i = 0; i < arrays_.size(); ++i) {
      for (std::size_t j = i + 1; j < arrays_.size(); ++j) {
        const BoundArray& a = arrays_[i];
        const BoundArray& b = arrays_[j];
        if (!a.bound() || !b.bound() || a.begin() == a.end() || b.begin() == b.end()) continue;
        if (a.begin() < b.end() && b.begin() < a.end()) {
          PyErr_Format(PyExc_ValueError,
                       "%s and %s share memory; the solver writes results into each, so each "
                       "needs an array of its own",
                       a.name(), b.name());
          return false;
        }
      }
    }
    return true;
  }

  bool buffers_usable(bool writing) override {
    const auto* const changed = std::find_if(
        arrays_.begin(), arrays_.end(), [](const BoundArray& array) { return !array.unchanged(); });
    if (changed == arrays_.end()) return true;
    // An exception a callback left pending is the one solve() raises.
    if (PyErr_Occurred() == nullptr) {
      PyErr_Format(PyExc_RuntimeError,
                   "%s was resized, given other memory or made read-only while the solver "
                   "ran; %s",
                   changed->name(),
                   writing ? "no results were written into any array"
                           : "its values were not read and the solver stopped");
    }
    return false;
  }

 private:
  std::array<BoundArray, 4> arrays_;
};

// Marks a problem as being solved, and by which thread, for the lifetime
// of one solve() call; the problem's buffer check is the call's arrays.
class SolvingGuard {
 public:
  SolvingGuard(ProblemObject* problem, BoundArrays& arrays) : problem_(problem) {
    problem_->solving = true;
    problem_->solving_thread = PyThread_get_thread_ident();
    problem_->nlp_data->buffer_check = &arrays;
  }
  SolvingGuard(const SolvingGuard&) = delete;
  SolvingGuard& operator=(const SolvingGuard&) = delete;
  ~SolvingGuard() {
    problem_->nlp_data->buffer_check = nullptr;
    problem_->solving = false;
  }

 private:
  ProblemObject* problem_;
};

bool check_not_solving(const ProblemObject* problem) {
  if (!problem->solving) return true;
  if (problem->solving_thread == PyThread_get_thread_ident()) {
    PyErr_SetString(PyExc_RuntimeError,
                    "solve() called on a problem that is being solved (from one of its "
                    "callbacks)");
  } else {
    PyErr_SetString(PyExc_RuntimeError,
                    "solve() called on a problem that another thread is solving; a problem "
                    "runs one solve at a time");
  }
  return false;
}

// Signal handlers run on the main thread only (the main thread of the
// process after a fork), so only a solve there has any to run.
bool on_main_thread() {
  PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
  PyRef main = threading
                   ? PyRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr))
                   : PyRef();
  PyRef ident = main ? PyRef::steal(PyObject_GetAttrString(main.get(), "ident")) : PyRef();
  const unsigned long main_ident = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
  if (PyErr_Occurred() != nullptr) {
    // Without an answer, look for signals as if on the main thread.
    PyErr_Clear();
    return true;
  }
  return main_ident == PyThread_get_thread_ident();
}

// Runs the solver with the interpreter lock given up, so that other Python
// threads run meanwhile, and taken back only where the run touches Python.
// Python routines are called with the lock held for the whole run: taking
// it back for each call leaves every call waiting behind any thread that
// runs Python code (HS071 with Python callbacks took 65 times as long
// beside one busy thread).
Ipopt::ApplicationReturnStatus run_solver(NlpBundle& bundle, NlpData& data) {
  const GilRelease released;
  if (data.python_routines) {
    return with_gil([&] { return bundle.optimize(&data.python_each_iteration); });
  }
  const UnlockedRun unlocked;
  return bundle.optimize(&data.python_each_iteration);
}

PyObject* solve(ProblemObject* problem, PyObject* args, PyObject* kwargs) {
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
  // A problem being solved is refused at once; otherwise the turn is taken
  // before anything is bound, so that a wait that a signal ends leaves no
  // trace. Other threads run during the wait: the problem is checked again.
  if (!check_not_solving(problem) || !solver_usable_after_fork()) return nullptr;
  SolverTurn turn;
  if (!turn.take()) return nullptr;
  NlpData& data = *problem->nlp_data;
  const auto n = static_cast<unsigned int>(data.n_ref);
  const auto m = static_cast<unsigned int>(data.m_ref);
  if (!check_array(x0, n, "x0") || !check_array(mult_g, m, "mult_g") ||
      !check_array(mult_x_L, n, "mult_x_L") || !check_array(mult_x_U, n, "mult_x_U")) {
    return nullptr;
  }
  BoundArrays arrays(x0, mult_g, mult_x_L, mult_x_U);
  if (!arrays.checkable() || !arrays.check_disjoint() || !check_not_solving(problem)) {
    return nullptr;
  }
  Ipopt::ApplicationReturnStatus status;
  {
    // The method call holds a reference to the problem for the whole run.
    SolvingGuard guard(problem, arrays);
    data.set_initial_values(arrays.x0().data(), arrays.mult_g().data(), arrays.mult_x_L().data(),
                            arrays.mult_x_U().data());
    data.last_solve.begin(arrays.x0().data(), data.n, data.m);
    // Stays so when the solver stops before its end (an invalid option, say)
    // and reports no solution: not the objective of an earlier solve.
    data.obj_value = std::numeric_limits<double>::quiet_NaN();
    data.python_each_iteration = data.python_routines || on_main_thread();
    data.evaluation_errors = 0;
    data.out_contracts.arm();
    const SolveClock clock;
    status = run_solver(*problem->bundle, data);
    clock.stop(data.last_solve);
    data.out_contracts.disarm();
    data.last_solve.status = static_cast<int>(status);
    data.last_solve.evaluation_errors = data.evaluation_errors;
  }
  if (PyErr_Occurred()) return nullptr;
  return Py_BuildValue("(Odi)", reinterpret_cast<PyObject*>(x0), data.obj_value_ref,
                       static_cast<int>(status));
}

}  // namespace

PyObject* py_solve(PyObject* self, PyObject* args, PyObject* kwargs) {
  return problem_entry<PyObject*>(
      nullptr, self, [&](ProblemObject& problem) { return solve(&problem, args, kwargs); });
}

}  // namespace vornel
