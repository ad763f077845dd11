// Placeholder behaviour for callables whose implementation has not landed:
// arguments bind exactly as they will, then NotImplementedError.
#pragma once

#include "bindings/args.hpp"
#include "bindings/errors.hpp"

namespace corvane::bindings {

template <std::size_t N>
PyObject* not_implemented(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    bind<N>(sig, args, nargs, kwnames);
    raise(PyExc_NotImplementedError, sig.display);
  });
}

}  // namespace corvane::bindings
