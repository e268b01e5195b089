// The adapter asks the interpreter for pending exceptions and signals on
// every iteration, so the tests run inside an initialised interpreter.
#include <Python.h>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  Py_Initialize();
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  if (Py_FinalizeEx() < 0 && result == 0) return 1;
  return result;
}
