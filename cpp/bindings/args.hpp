// Argument binding for fast-call-with-keywords entry points, with Python's
// own wording for missing, surplus, duplicate and unknown arguments.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "bindings/ref.hpp"

namespace corvane::bindings {

// The static parameter table of one callable. `display` is what messages
// name it by: "f()" for a module function, "Class.method()" for a method.
struct Signature {
  const char* display;
  std::span<const char* const> names;
  std::size_t required;  // the first `required` names have no default
};

// Binds (args, nargs, kwnames) to one borrowed slot per parameter, in
// parameter order; a slot of an absent optional parameter is NULL.
void bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> slots);

template <std::size_t N>
std::array<PyObject*, N> bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, N> slots{};
  bind_arguments(sig, args, nargs, kwnames, slots);
  return slots;
}

// An unsigned 64-bit integer: an int directly, anything else through
// __index__; the interpreter's own OverflowError / TypeError otherwise.
std::uint64_t to_u64(PyObject* obj);

}  // namespace corvane::bindings
