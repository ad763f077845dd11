#include "bindings/args.hpp"

#include <string>

#include "bindings/errors.hpp"

namespace corvane::bindings {
namespace {

[[noreturn]] void too_many_positional(const Signature& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  std::string text = sig.display;
  if (sig.required == sig.names.size()) {
    text += " takes " + std::to_string(sig.names.size()) + " positional arguments but ";
  } else {
    text += " takes from " + std::to_string(sig.required) + " to " + std::to_string(sig.names.size()) +
            " positional arguments but ";
  }
  text += std::to_string(given) + " " + verb + " given";
  raise(PyExc_TypeError, text);
}

[[noreturn]] void missing_required(const Signature& sig, std::span<PyObject*> slots) {
  std::string names;
  std::size_t missing = 0;
  for (std::size_t i = 0; i < sig.required; ++i) missing += slots[i] == nullptr ? 1 : 0;
  std::size_t seen = 0;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (slots[i] != nullptr) continue;
    if (seen > 0) {
      if (missing == 2) {
        names += " and ";
      } else if (seen + 1 == missing) {
        names += ", and ";
      } else {
        names += ", ";
      }
    }
    names += "'" + std::string(sig.names[i]) + "'";
    ++seen;
  }
  std::string text = std::string(sig.display) + " missing " + std::to_string(missing) + " required positional " +
                     (missing == 1 ? "argument: " : "arguments: ") + names;
  raise(PyExc_TypeError, text);
}

// Index of the parameter named by the str `key`, or -1.
Py_ssize_t find_parameter(const Signature& sig, PyObject* key) {
  for (std::size_t i = 0; i < sig.names.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) return static_cast<Py_ssize_t>(i);
  }
  return -1;
}

}  // namespace

void bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> slots) {
  const auto count = static_cast<Py_ssize_t>(sig.names.size());
  if (nargs > count) too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    const Py_ssize_t index = find_parameter(sig, key);
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.display, key);
      throw_python();
    }
    auto& slot = slots[static_cast<std::size_t>(index)];
    if (slot != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.display,
                   sig.names[static_cast<std::size_t>(index)]);
      throw_python();
    }
    slot = args[nargs + k];
  }
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (slots[i] == nullptr) missing_required(sig, slots);
  }
}

std::uint64_t to_u64(PyObject* obj) {
  if (PyLong_Check(obj)) {
    const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_python();
    return v;
  }
  Ref index = Ref::check(PyNumber_Index(obj));
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_python();
  return v;
}

}  // namespace corvane::bindings
