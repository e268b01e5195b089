// Every translation unit that calls NumPy includes this header, so they all
// share the one C-API table that the module's init function binds.
#pragma once

#include <Python.h>

#ifndef NPY_NO_DEPRECATED_API
#define NPY_NO_DEPRECATED_API NPY_1_23_API_VERSION
#endif
#define PY_ARRAY_UNIQUE_SYMBOL vornel_ARRAY_API
#ifndef VORNEL_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
