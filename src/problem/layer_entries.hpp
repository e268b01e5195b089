// Private functions of the compiled core that the package's Python modules
// build on: the latest solve's record, the current iterate inside the
// per-iteration callback, single callback evaluations for checks, and the
// return statuses of the linked Ipopt.
#pragma once

#include <Python.h>

namespace vornel {

// Adds the private functions to the module; false with an exception set.
bool add_layer_functions(PyObject* module);

}  // namespace vornel
