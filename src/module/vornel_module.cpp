// The import entry point: readies the Problem type, publishes the module's
// attributes and binds the NumPy C-API table for the whole module.
#define VORNEL_NUMPY_IMPORT
#include "convert/numpy_api.hpp"
#include "problem/problem_object.hpp"
#include "solver/option_catalogue.hpp"

#include <IpoptConfig.h>

namespace {

PyMethodDef module_methods[] = {
    {"get_ipopt_options", vornel::py_get_ipopt_options, METH_NOARGS,
     vornel::py_get_ipopt_options_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vornel._core",
    "Python interface to Ipopt",
    -1,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// NumPy's own binding, without the printing and ImportError of its
// import_array() macros: the init function does both itself.
int bind_numpy() { return _import_array(); }

}  // namespace

// The compiled core of the package vornel, which re-exports what it
// publishes; the Problem type keeps the name vornel.Problem.
PyMODINIT_FUNC PyInit__core() {
  vornel::init_VornelProblemType();
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
  if (PyModule_AddStringConstant(module, "__version__", "dev") < 0 ||
      PyModule_AddStringConstant(module, "ipopt_version", IPOPT_VERSION) < 0 ||
      PyModule_AddStringConstant(module, "ipopt_linear_solver",
                                 vornel::default_linear_solver().c_str()) < 0) {
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
