// Threads that the interpreter ends at exit must not unwind through Ipopt.
#pragma once

#include <cxxabi.h>

#include <utility>

namespace vornel {

// Blocks the calling thread for good, without the interpreter lock.
[[noreturn]] void park_thread();

// Runs one call from the solver into user code. While the interpreter
// finalises, a daemon thread that asks for the interpreter lock back (the
// callback's bytecode yielding it, a sleep, a finaliser) is ended with
// pthread_exit, whose forced unwind would reach Ipopt's catch-all, which
// swallows it: the process then aborts ("FATAL: exception not rethrown").
// Such a thread is parked here instead; the process exits around it.
template <class Call>
auto solver_boundary(Call&& call) -> decltype(std::forward<Call>(call)()) {
  try {
    return std::forward<Call>(call)();
  } catch (abi::__forced_unwind&) {
    park_thread();
  }
}

}  // namespace vornel
