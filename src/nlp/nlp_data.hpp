// The record that a Problem and its solver adapter share: dimensions, the
// caller's buffers bound for a solve, the results and the user scaling.
#pragma once

#include <vector>

#include "nlp/out_contract.hpp"
#include "nlp/solve_record.hpp"

namespace vornel {

// Whether the caller's bound buffers are still the memory that was bound:
// the arrays behind them can be reallocated, shrunk or made read-only while
// the solver runs (by a callback, or by another thread while a callback has
// released the interpreter lock).
class BufferCheck {
 public:
  // True when every bound buffer may still be read (`writing` false) or
  // written (`writing` true); otherwise false with a Python exception set
  // that names the first buffer that may not.
  virtual bool buffers_usable(bool writing) = 0;

 protected:
  BufferCheck() = default;
  BufferCheck(const BufferCheck&) = default;
  BufferCheck& operator=(const BufferCheck&) = default;
  ~BufferCheck() = default;
};

class NlpData {
 public:
  NlpData(int n, int m);
  // The reference members point into the object itself: a copy would
  // still view the source.
  NlpData(const NlpData&) = delete;
  NlpData& operator=(const NlpData&) = delete;

  // Binds the buffers of the next solve; a null argument unbinds one.
  void set_initial_values(double* x, double* mult_g, double* mult_x_L, double* mult_x_U);

  int n;
  int m;
  double* x = nullptr;
  double* mult_x_L = nullptr;
  double* mult_x_U = nullptr;
  double* g = nullptr;
  double* mult_g = nullptr;
  double obj_value = 0.0;
  const int& n_ref;
  const int& m_ref;
  const double& obj_value_ref;
  double n_eval_f = -1.0;
  double n_eval_grad_f = -1.0;
  double n_eval_g_eq = -1.0;
  double n_eval_jac_g_eq = -1.0;
  double n_eval_g_ineq = -1.0;
  double n_eval_jac_g_ineq = -1.0;
  double n_eval_h = -1.0;
  double n_iter = -1.0;
  std::vector<double> x_scaling;
  std::vector<double> g_scaling;
  double obj_scaling = 0.0;
  // Asked before the bound buffers are read or written; null (no check)
  // when they are plain memory that cannot change, as in native use.
  BufferCheck* buffer_check = nullptr;

  bool buffers_usable(bool writing) const {
    return buffer_check == nullptr || buffer_check->buffers_usable(writing);
  }
  // Whether the solver's thread looks at Python on every iteration: for a
  // pending exception and for signals (Ctrl-C). A solve with only compiled
  // routines, on a thread that no signal handler runs on, has neither and
  // keeps the interpreter lock away for the whole run.
  bool python_each_iteration = true;
  // Whether any routine of the problem is a Python callable.
  bool python_routines = false;
  // The contracts of the Python routines that write into out, checked on
  // their first call in each solve.
  OutContracts out_contracts;
  // Evaluations reported to the solver as failed, since the counter was
  // last reset (at the start of a solve): a routine's false, a Python
  // routine's EvaluationError, a derivative that is not finite. A run that
  // a pending exception ends does not count its last call.
  int evaluation_errors = 0;
  // For the Python layer: the latest solve, and the solver's data while the
  // per-iteration callback runs.
  SolveRecord last_solve;
  IterateView iterate;
};

}  // namespace vornel
