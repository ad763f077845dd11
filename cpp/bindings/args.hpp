// Argument binding for fast-call-with-keywords entry points, with Python's
// own wording for missing, surplus, duplicate and unknown arguments.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "bindings/errors.hpp"
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

// Calls each_item(item) for every item of an iterable, in order, holding a
// reference to the item while it is converted.
template <class F>
void for_each_item(PyObject* iterable, F&& each_item) {
  Ref iter = Ref::check(PyObject_GetIter(iterable));
  while (PyObject* item = PyIter_Next(iter.get())) {
    Ref owned = Ref::steal(item);
    each_item(item);
  }
  if (PyErr_Occurred()) throw_python();
}

// The most items reserved up front for a sequence that only claims its length.
inline constexpr std::size_t kMaxReservedItems = 4096;

// A sequence argument (not a str) converted item by item, in order.
template <class T, class F>
std::vector<T> extract_sequence(PyObject* obj, F&& convert_item) {
  if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj)) raise_cast_error(obj, "Sequence");
  std::vector<T> out;
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    // Fast path; the size is read again each time since a conversion may
    // run Python code that changes the list.
    const bool is_list = PyList_CheckExact(obj);
    out.reserve(static_cast<std::size_t>(Py_SIZE(obj)));
    for (Py_ssize_t i = 0; i < Py_SIZE(obj); ++i) {
      Ref item = Ref::borrow(is_list ? PyList_GET_ITEM(obj, i) : PyTuple_GET_ITEM(obj, i));
      out.push_back(convert_item(item.get()));
    }
    return out;
  }
  // Any other sequence reports its own length, which may be a lie (huge,
  // or far beyond what it yields): reserve no more than a modest start and
  // let the vector grow as items really arrive.
  const Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    out.reserve(std::min(static_cast<std::size_t>(hint), kMaxReservedItems));
  }
  for_each_item(obj, [&](PyObject* item) { out.push_back(convert_item(item)); });
  return out;
}

}  // namespace corvane::bindings
