// The callback kinds: one small value type per form a user routine can take
// (a Python callable, a compiled C function, or nothing), each with a single
// call operator of the routine's native signature. None owns anything: the
// Problem keeps the Python objects alive.
#pragma once

#include <Python.h>

#include <IpTNLP.hpp>

#include <type_traits>
#include <variant>

#include "nlp/out_contract.hpp"

namespace vornel {

namespace py {

// The type vornel.EvaluationError, made at import (null until then): an
// evaluation callback raises it for a point where its function is not
// defined, and the solver is told that the evaluation failed.
extern PyObject* evaluation_error;

// A borrowed pointer to the callable; the Problem holds the reference.
struct PyObjSlot {
  PyObjSlot() = default;
  explicit PyObjSlot(PyObject* obj_) : obj(obj_) {}
  PyObject* obj = nullptr;
};

// A callable that writes its results into `out`. The contract, when one is
// bound (the adapter's; none outside a Problem), is checked on the call
// after it is armed.
struct OutSlot : PyObjSlot {
  using PyObjSlot::PyObjSlot;
  OutContract* contract = nullptr;
};

struct F : PyObjSlot {
  using PyObjSlot::PyObjSlot;
  bool operator()(int n, const double* x, double& obj_value) const;
};
struct GradF : OutSlot {
  using OutSlot::OutSlot;
  bool operator()(int n, const double* x, double* grad_f) const;
};
struct G : OutSlot {
  using OutSlot::OutSlot;
  bool operator()(int n, const double* x, int m, double* g) const;
};
struct JacG : OutSlot {
  using OutSlot::OutSlot;
  bool operator()(int n, const double* x, int m, int nele_jac, double* values) const;
};
struct H : OutSlot {
  using OutSlot::OutSlot;
  bool operator()(int n, const double* x, double obj_factor, int m, const double* lambda,
                  int nele_hess, double* values) const;
};
struct IntermediateCallback : PyObjSlot {
  using PyObjSlot::PyObjSlot;
  bool operator()(Ipopt::AlgorithmMode mode, int iter, double obj_value, double inf_pr,
                  double inf_du, double mu, double d_norm, double regularization_size,
                  double alpha_du, double alpha_pr, int ls_trials, const Ipopt::IpoptData* ip_data,
                  Ipopt::IpoptCalculatedQuantities* ip_cq) const;
};

}  // namespace py

// Python kinds need the interpreter lock while they run; the others run
// without it when the solve has let it go.
template <class Kind>
inline constexpr bool is_python_kind = std::is_base_of_v<py::PyObjSlot, Kind>;

// Binds a Python routine that writes into `out` to its contract; other
// kinds have none.
template <class Kind>
void bind_contract(Kind& kind, OutContract& contract) {
  if constexpr (std::is_base_of_v<py::OutSlot, Kind>) kind.contract = &contract;
}

namespace c {

// A C function taking the routine's arguments and then the user data.
template <class... Args>
struct LowLevelCallable {
  using Function = bool (*)(Args..., void*);
  LowLevelCallable() = default;
  LowLevelCallable(void* function_, void* user_data_)
      : function(reinterpret_cast<Function>(function_)), user_data(user_data_) {}
  bool operator()(Args... args) const { return function(args..., user_data); }
  Function function = nullptr;
  void* user_data = nullptr;
};

// The solver passes the objective by reference, C takes it by pointer.
struct F {
  using Function = bool (*)(int, const double*, double*, void*);
  F() = default;
  F(void* function_, void* user_data_)
      : function(reinterpret_cast<Function>(function_)), user_data(user_data_) {}
  bool operator()(int n, const double* x, double& obj_value) const {
    return function(n, x, &obj_value, user_data);
  }
  Function function = nullptr;
  void* user_data = nullptr;
};

}  // namespace c

namespace null {

struct H {
  bool operator()(int, const double*, double, int, const double*, int, double*) const {
    return true;
  }
};
struct IntermediateCallback {
  bool operator()(Ipopt::AlgorithmMode, int, double, double, double, double, double, double, double,
                  double, int, const Ipopt::IpoptData*, Ipopt::IpoptCalculatedQuantities*) const {
    return true;
  }
};

}  // namespace null

using FVariant = std::variant<py::F, c::F>;
using GradFVariant = std::variant<py::GradF, c::LowLevelCallable<int, const double*, double*>>;
using GVariant = std::variant<py::G, c::LowLevelCallable<int, const double*, int, double*>>;
using JacGVariant =
    std::variant<py::JacG, c::LowLevelCallable<int, const double*, int, int, double*>>;
using HVariant =
    std::variant<null::H, py::H,
                 c::LowLevelCallable<int, const double*, double, int, const double*, int, double*>>;
using IntermediateCallbackVariant =
    std::variant<null::IntermediateCallback, py::IntermediateCallback,
                 c::LowLevelCallable<Ipopt::AlgorithmMode, int, double, double, double, double,
                                     double, double, double, double, int, const Ipopt::IpoptData*,
                                     Ipopt::IpoptCalculatedQuantities*>>;

}  // namespace vornel
