// Failure translation between the C++ layers and Python.
//
// Every entry point runs its body inside guard(): a pending Python error
// (PythonError) returns NULL, InternalError becomes the module's
// internal-error exception, std::bad_alloc becomes MemoryError. No C++
// exception ever crosses into CPython.
#pragma once

#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "bindings/ref.hpp"
#include "internal_error.hpp"

namespace corvane::bindings {

// The internal-error exception class ("pyo3_runtime.PanicException", derived
// from BaseException), created once per process on first use.
PyObject* internal_error_type();

// Sets the internal-error exception with `message` as its argument.
void set_internal_error(std::string_view message) noexcept;

[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise(PyObject* type, const std::string& message);

// "'<type>' object is not an instance of '<target>'" ("'None' is not an
// instance of '<target>'" for None), as a TypeError.
[[noreturn]] void raise_cast_error(PyObject* obj, const char* target);

// Adds the note "while processing '<name>'" to the pending exception.
void add_processing_note(const char* name) noexcept;

// Runs one argument conversion; a failure keeps its type and message and
// receives the note naming the parameter.
template <class F>
decltype(auto) convert_arg(const char* name, F&& f) {
  try {
    return f();
  } catch (const PythonError&) {
    add_processing_note(name);
    throw;
  }
}

void translate_current_exception() noexcept;

template <class F>
PyObject* guard(F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    translate_current_exception();
    return nullptr;
  }
}

// For int-returning slots (exec, init, len): -1 on failure.
template <class R, class F>
R guard_status(R failure, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    translate_current_exception();
    return failure;
  }
}

}  // namespace corvane::bindings
