// The boundary between the interpreter and C++: exceptions of the
// implementation language must not cross into the interpreter's C frames.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

namespace vornel {

// Runs `body`, the whole of a C-API entry point, and turns exhausted memory
// into MemoryError and any other standard exception into RuntimeError;
// `failed` is what the entry point returns with an exception set. A thread's
// forced unwind (pthread_exit) is not a std::exception and passes through.
template <class Result, class Body>
Result guard_entry(Result failed, Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "internal error: %s", e.what());
  }
  return failed;
}

}  // namespace vornel
