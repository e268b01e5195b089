// Cost of one call through each Python callback kind, measured on the kinds
// themselves: a trivial Python callable called a million times through the
// kind's call operator, the way the adapter calls it during a solve. No
// solver runs, so the figure is free of the solver's own noise.
#define VORNEL_NUMPY_IMPORT
#include <chrono>
#include <cstdio>
#include <vector>

#include "convert/numpy_api.hpp"
#include "nlp/callback_kinds.hpp"

namespace {

constexpr int kCalls = 1000000;
constexpr int kLength = 8;

PyObject* define(const char* name, const char* source) {
  PyObject* globals = PyDict_New();
  PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
  PyObject* result = PyRun_String(source, Py_file_input, globals, globals);
  if (result == nullptr) PyErr_Print();
  Py_XDECREF(result);
  PyObject* callable = PyDict_GetItemString(globals, name);
  Py_XINCREF(callable);
  Py_DECREF(globals);
  return callable;
}

template <class Call>
double nanoseconds_per_call(Call&& call) {
  for (int i = 0; i < kCalls / 10; ++i) call();  // warm-up
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCalls; ++i) {
    if (!call()) {
      PyErr_Print();
      return -1.0;
    }
  }
  const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
  return elapsed.count() / kCalls;
}

// The same Python callable called directly with ready-made arguments: what
// any caller pays for the call itself, without the kind's argument objects.
double bare_call_ns(PyObject* callable, int nargs) {
  std::vector<PyObject*> args(static_cast<std::size_t>(nargs), Py_None);
  return nanoseconds_per_call([&] {
    PyObject* result = PyObject_Vectorcall(callable, args.data(), args.size(), nullptr);
    Py_XDECREF(result);
    return result != nullptr;
  });
}

void report(const char* role, int arrays, double kind_ns, double bare_ns) {
  std::printf("| %s | %d | %.0f ns | %.0f ns | %.0f ns |\n", role, arrays, kind_ns, bare_ns,
              kind_ns - bare_ns);
}

}  // namespace

int main() {
  Py_Initialize();
  if (_import_array() < 0) {
    PyErr_Print();
    return 1;
  }
  std::vector<double> x(kLength, 1.0), out(kLength), lambda(kLength, 1.0);
  double obj = 0.0;

  PyObject* f = define("f", "def f(x):\n    return 0.0\n");
  PyObject* two = define("two", "def two(x, out):\n    pass\n");
  PyObject* h = define("h", "def h(x, lagrange, obj_factor, out):\n    pass\n");
  PyObject* ic = define("ic", "def ic(*args):\n    return True\n");
  if (!f || !two || !h || !ic) return 1;

  const vornel::py::F py_f(f);
  const vornel::py::GradF py_grad_f(two);
  const vornel::py::G py_g(two);
  const vornel::py::JacG py_jac_g(two);
  const vornel::py::H py_h(h);
  const vornel::py::IntermediateCallback py_ic(ic);

  std::printf("| role | arrays | per call through the kind | bare Python call | kind's own cost |\n");
  std::printf("|---|---:|---:|---:|---:|\n");
  report("eval_f", 1, nanoseconds_per_call([&] { return py_f(kLength, x.data(), obj); }),
         bare_call_ns(f, 1));
  report("eval_grad_f", 2,
         nanoseconds_per_call([&] { return py_grad_f(kLength, x.data(), out.data()); }),
         bare_call_ns(two, 2));
  report("eval_g", 2,
         nanoseconds_per_call([&] { return py_g(kLength, x.data(), kLength, out.data()); }),
         bare_call_ns(two, 2));
  report("eval_jac_g", 2, nanoseconds_per_call([&] {
           return py_jac_g(kLength, x.data(), kLength, kLength, out.data());
         }),
         bare_call_ns(two, 2));
  report("eval_h", 3, nanoseconds_per_call([&] {
           return py_h(kLength, x.data(), 1.0, kLength, lambda.data(), kLength, out.data());
         }),
         bare_call_ns(h, 4));
  report("intermediate_callback", 0, nanoseconds_per_call([&] {
           return py_ic(Ipopt::RegularMode, 1, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1, nullptr,
                        nullptr);
         }),
         bare_call_ns(ic, 11));
  Py_DECREF(f);
  Py_DECREF(two);
  Py_DECREF(h);
  Py_DECREF(ic);
  Py_Finalize();
  return 0;
}
