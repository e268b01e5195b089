// The interpreter lock around the parts of a solve that touch Python, when
// the solve itself runs without it.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <utility>

#include "convert/thread_exit.hpp"

namespace vornel {

// Runs `call` holding the interpreter lock, whether or not the thread held
// it already (then the lock is only counted), and returns what it returns.
// While the interpreter finalises, a daemon thread that waits for the lock
// (here, or in the Python code that `call` runs) is ended with pthread_exit;
// its forced unwind must neither release a lock the thread no longer holds
// nor reach the solver, so the thread is parked instead.
template <class Call>
auto with_gil(Call&& call) -> decltype(std::forward<Call>(call)()) {
  PyGILState_STATE state{};
  try {
    state = PyGILState_Ensure();
  } catch (abi::__forced_unwind&) {
    park_thread();
  }
  try {
    auto result = std::forward<Call>(call)();
    PyGILState_Release(state);
    return result;
  } catch (abi::__forced_unwind&) {
    park_thread();
  } catch (...) {
    PyGILState_Release(state);
    throw;
  }
}

// Lets other threads run for a scope; the lock is taken back however the
// scope ends (an exhausted memory included), and a thread that finalisation
// would end while it waits is parked, as above.
class GilRelease {
 public:
  GilRelease() : saved_(PyEval_SaveThread()) {}
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;
  ~GilRelease() {
    try {
      PyEval_RestoreThread(saved_);
    } catch (abi::__forced_unwind&) {
      park_thread();
    }
  }

 private:
  PyThreadState* saved_;
};

}  // namespace vornel
