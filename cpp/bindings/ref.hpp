// Owning handle for a PyObject reference.
#pragma once

#include <utility>

#include "bindings/python.hpp"

namespace corvane::bindings {

// A Python exception is pending; the guard of the entry point returns NULL.
struct PythonError {};

[[noreturn]] inline void throw_python() { throw PythonError{}; }

// Move-only owner of one strong reference (decref on destruction).
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Takes over a new reference (may be NULL).
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Adds a reference to a borrowed one.
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  // Takes over the result of a C-API call; NULL means a Python error is set.
  static Ref check(PyObject* p) {
    if (p == nullptr) throw_python();
    return Ref(p);
  }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  void reset(PyObject* p = nullptr) noexcept { Py_XDECREF(std::exchange(p_, p)); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// Throws PythonError when a C-API status says an error is set.
inline void check_status(int status) {
  if (status < 0) throw_python();
}

}  // namespace corvane::bindings
