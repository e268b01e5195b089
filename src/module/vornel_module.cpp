// The import entry point: readies the Problem type, publishes the module's
// attributes and binds the NumPy C-API table for the whole module.
#define VORNEL_NUMPY_IMPORT
#include "convert/entry_guard.hpp"
#include "convert/numpy_api.hpp"
#include "convert/py_ref.hpp"
#include "nlp/callback_kinds.hpp"
#include "problem/layer_entries.hpp"
#include "problem/problem_object.hpp"
#include "solver/ipopt_compat.hpp"
#include "solver/option_catalogue.hpp"

// The package's version, which meson.build passes down.
#ifndef VORNEL_VERSION
#error "VORNEL_VERSION (the package version) is not defined"
#endif

#include <IpoptConfig.h>

namespace {

PyObject* get_ipopt_options(PyObject* self, PyObject* args) {
  return vornel::guard_entry<PyObject*>(nullptr,
                                        [&] { return vornel::py_get_ipopt_options(self, args); });
}

PyObject* linear_solvers(PyObject* self, PyObject* args) {
  return vornel::guard_entry<PyObject*>(nullptr,
                                        [&] { return vornel::py_linear_solvers(self, args); });
}

PyObject* module_getattr(PyObject* module, PyObject* name);

PyMethodDef module_methods[] = {
    {"get_ipopt_options", get_ipopt_options, METH_NOARGS, vornel::py_get_ipopt_options_doc},
    {"linear_solvers", linear_solvers, METH_NOARGS, vornel::py_linear_solvers_doc},
    {"__getattr__", module_getattr, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vornel._core",
    "Python interface to Ipopt",
    // Not -1: the interpreter would then hand a copy of the first import's
    // attributes to every later interpreter without calling the init
    // function, which is what refuses the others.
    0,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The default linear solver is read from an application with every option
// registered, which costs as much as building a Problem: it is looked up
// when first asked for, and then kept as an ordinary attribute.
PyObject* module_getattr(PyObject* module, PyObject* name) {
  return vornel::guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    if (PyUnicode_Check(name) &&
        PyUnicode_CompareWithASCIIString(name, "ipopt_linear_solver") == 0) {
      vornel::PyRef value =
          vornel::PyRef::steal(PyUnicode_FromString(vornel::default_linear_solver().c_str()));
      if (!value) return nullptr;
      PyObject* kept = PyDict_SetDefault(PyModule_GetDict(module), name, value.get());
      Py_XINCREF(kept);
      return kept;
    }
    PyErr_Format(PyExc_AttributeError, "module '%s' has no attribute '%U'", module_def.m_name,
                 name);
    return nullptr;
  });
}

const char evaluation_error_doc[] =
    "The callback cannot be evaluated at this point.\n"
    "\n"
    "Raise it from eval_f, eval_grad_f, eval_g, eval_jac_g or eval_h where the\n"
    "function is not defined at x or cannot be computed there (the logarithm of\n"
    "a negative number, a simulation that diverges). The evaluation is then\n"
    "reported to Ipopt as failed, as when a compiled callback returns false:\n"
    "Ipopt cuts the step and goes on from a shorter one; at the starting point\n"
    "it ends the solve with its own status. solve does not raise it, and\n"
    "SolveResult.evaluation_errors counts such evaluations. Any other exception\n"
    "raised by a callback stops the solve and is raised from solve.\n";

// Made once per process: a later import of the module (after it was
// removed from sys.modules) publishes the same type, so that the callback
// kinds and the package agree on it.
bool add_evaluation_error(PyObject* module) {
  if (vornel::py::evaluation_error == nullptr) {
    vornel::py::evaluation_error = PyErr_NewExceptionWithDoc(
        "vornel.EvaluationError", evaluation_error_doc, PyExc_Exception, nullptr);
    if (vornel::py::evaluation_error == nullptr) return false;
  }
  return PyModule_AddObjectRef(module, "EvaluationError", vornel::py::evaluation_error) == 0;
}

// NumPy's own binding, without the printing and ImportError of its
// import_array() macros: the init function does both itself.
int bind_numpy() { return _import_array(); }

// The Problem type and the NumPy table are process-wide statics that belong
// to the main interpreter's objects; readying the type again in another
// interpreter corrupts it (on 3.12 a later import in the main interpreter
// then aborts in a double free).
bool in_main_interpreter() {
  if (PyInterpreterState_Get() == PyInterpreterState_Main()) return true;
  PyErr_SetString(PyExc_ImportError,
                  "vornel cannot be imported in a subinterpreter; import it in the main "
                  "interpreter only");
  return false;
}

PyObject* init_module() {
  if (!in_main_interpreter()) return nullptr;
  // A later import (after the module was removed from sys.modules) finds
  // the type ready; filling its slots again would wipe what readying set.
  if ((vornel::VornelProblemType.tp_flags & Py_TPFLAGS_READY) == 0) {
    vornel::init_VornelProblemType();
  }
  if (PyType_Ready(&vornel::VornelProblemType) < 0) return nullptr;
  PyObject* module = PyModule_Create2(&module_def, 1013);
  if (module == nullptr) return nullptr;
  Py_INCREF(&vornel::VornelProblemType);
  if (PyModule_AddObject(module, "Problem",
                         reinterpret_cast<PyObject*>(&vornel::VornelProblemType)) < 0) {
    Py_DECREF(&vornel::VornelProblemType);
    Py_DECREF(module);
    return nullptr;
  }
  if (PyModule_AddStringConstant(module, "__version__", VORNEL_VERSION) < 0 ||
      PyModule_AddStringConstant(module, "ipopt_version", IPOPT_VERSION) < 0 ||
      PyModule_AddObjectRef(module, "parallel_solves",
                            vornel::compat::parallel_solves ? Py_True : Py_False) < 0 ||
      !add_evaluation_error(module) || !vornel::add_layer_functions(module) ||
      !vornel::reset_turn_at_fork()) {
    Py_DECREF(module);
    return nullptr;
  }
  if (bind_numpy() < 0) {
    PyErr_Print();
    PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
    Py_DECREF(module);
    return nullptr;
  }
  if (PyErr_Occurred()) Py_FatalError("Unable to initialize module vornel");
  return module;
}

}  // namespace

// The compiled core of the package vornel, which re-exports what it
// publishes; the Problem type keeps the name vornel.Problem.
PyMODINIT_FUNC PyInit__core() { return vornel::guard_entry<PyObject*>(nullptr, init_module); }
