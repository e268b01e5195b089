// The instance record of vornel.Problem.
#pragma once

#include <Python.h>

#include "convert/entry_guard.hpp"
#include "nlp/nlp_data.hpp"
#include "solver/nlp_bundle.hpp"

namespace vornel {

// Callback objects in constructor order; the last two are optional.
enum CallbackSlot { EvalF, EvalGradF, EvalG, EvalJacG, EvalH, IntermediateCb, CallbackCount };

struct ProblemObject {
  PyObject_HEAD
      // Owned; deleted by dealloc or by a failed construction.
      NlpBundle* bundle;
  // The record inside the adapter that `bundle->nlp` holds; not owned.
  NlpData* nlp_data;
  // Strong references to the objects passed for the callbacks, exactly as
  // given (callable, capsule or LowLevelCallable); null where absent. They
  // keep alive what the adapter's kinds point to.
  PyObject* callback_objects[CallbackCount];
  // Set while solve() runs, so that neither a callback nor another thread
  // can start another solve of the same problem, and other threads cannot
  // change what the solve reads; the thread that runs it.
  bool solving;
  unsigned long solving_thread;
};

// The problem behind `self` when it is complete; otherwise null with
// RuntimeError set. The collector shows an instance to Python code from its
// allocation on (gc.get_objects(), a gc callback), before construction has
// given it a problem, and after a failed construction has taken it away.
ProblemObject* initialised_problem(PyObject* self);

// The whole of a C-API entry point that works on the problem behind `self`:
// `body(problem)` runs only for a complete instance (RuntimeError
// otherwise), and no exception of the implementation language leaves it.
// Every entry that reaches a problem's bundle or record goes through here.
template <class Result, class Body>
Result problem_entry(Result failed, PyObject* self, Body&& body) {
  return guard_entry<Result>(failed, [&]() -> Result {
    ProblemObject* problem = initialised_problem(self);
    return problem == nullptr ? failed : body(*problem);
  });
}

// False with RuntimeError(`message`) while another thread solves the
// problem: what the solve reads must not change under it. A callback of the
// running solve (on its own thread) may go on.
bool check_not_solved_elsewhere(const ProblemObject* problem, const char* message);

extern "C" {
extern PyTypeObject VornelProblemType;
extern PyMethodDef problem_methods[];
void init_VornelProblemType();
PyObject* py_get_stats(PyObject* self, void* closure);
}

PyObject* py_problem_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
PyObject* py_solve(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_set(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_set_problem_scaling(PyObject* self, PyObject* args, PyObject* kwargs);

extern const char py_solve_doc[];
extern const char py_set_doc[];
extern const char py_set_problem_scaling_doc[];
extern const char problem_doc[];

}  // namespace vornel
