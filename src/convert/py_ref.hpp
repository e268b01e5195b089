// An owning reference to a Python object: the destructor releases it, so a
// reference taken on any path is given back on every path.
#pragma once

#include <Python.h>

#include <utility>

namespace vornel {

class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
  static PyRef borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return PyRef(obj);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef(std::move(other)).swap(*this);
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  void swap(PyRef& other) noexcept { std::swap(obj_, other.obj_); }

 private:
  explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace vornel
