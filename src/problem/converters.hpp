// "O&" converters and the sparsity conversion for the Problem arguments.
#pragma once

#include <Python.h>

#include <vector>

#include "nlp/callback_kinds.hpp"
#include "nlp/sparsity.hpp"

namespace vornel {

// What a callback converter fills: the kind chosen and the object passed
// (borrowed; null when nothing was passed).
template <class Variant>
struct CallbackArg {
  Variant callback;
  PyObject* source = nullptr;
};

int convert_eval_f(PyObject* obj, void* dest);
int convert_eval_grad_f(PyObject* obj, void* dest);
int convert_eval_g(PyObject* obj, void* dest);
int convert_eval_jac_g(PyObject* obj, void* dest);
int convert_eval_h(PyObject* obj, void* dest);
int convert_intermediate_callback(PyObject* obj, void* dest);

int convert_x_l(PyObject* obj, void* dest);
int convert_x_u(PyObject* obj, void* dest);
int convert_g_l(PyObject* obj, void* dest);
int convert_g_u(PyObject* obj, void* dest);
int convert_x_scaling(PyObject* obj, void* dest);
int convert_g_scaling(PyObject* obj, void* dest);

// A 2-tuple of integer iterables, or an object with tocoo() (the row and
// col of its coordinate form), as index pairs of equal length. A failure's
// message starts with "name: ".
bool sparsity_from_py(PyObject* obj, SparsityIndices& indices, const char* name);

// True when every row index lies in [0, rows) and every column index in
// [0, cols); otherwise ValueError naming `name`, the position and value.
bool check_sparsity_range(const SparsityIndices& indices, int rows, int cols, const char* name);

// NaN cannot be ordered against a point: as a bound the solver would take
// it for no bound at all. True when no bound is NaN; otherwise ValueError.
bool check_bounds(const std::vector<double>& x_l, const std::vector<double>& x_u,
                  const std::vector<double>& g_l, const std::vector<double>& g_u);

// True when every scaling factor is finite; otherwise ValueError.
bool check_scaling(double obj_scaling, const std::vector<double>& x_scaling,
                   const std::vector<double>& g_scaling);

}  // namespace vornel
