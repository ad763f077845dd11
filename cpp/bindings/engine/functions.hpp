// The engine's module functions, registered by module.cpp.
#pragma once

#include "bindings/python.hpp"

namespace corvane::bindings::engine {

PyObject* draw_sites(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* inject(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* encoding_inject(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* encoding_bits(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* encoding_trial(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* changed(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* false_at(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* code_values(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace corvane::bindings::engine
