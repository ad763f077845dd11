// Registration helpers and the entry points each binding file provides to
// the module's registration.
#pragma once

#include "bindings/ref.hpp"

namespace corvane::bindings {

using FastCallFunction = PyObject*(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The method-table form of a fast-call-with-keywords function.
inline PyCFunction fastcall(FastCallFunction* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Appends `name` to the module's __all__ (created if missing) and sets the
// attribute; `item` is borrowed.
void add_item(PyObject* module, const char* name, PyObject* item);

// A built-in function bound to the module, added under its name.
void add_function(PyObject* module, PyMethodDef* def);

// A class added under its name; `type` may be NULL if its creation failed.
void add_class(PyObject* module, PyTypeObject* type, const char* name);

// Each create_type() returns a new type object or throws.
namespace secded {
void exec(PyObject* module);
PyTypeObject* create_type();
}  // namespace secded
namespace mset {
void exec(PyObject* module);
}
namespace cep {
void exec(PyObject* module);
PyTypeObject* create_type();
}  // namespace cep
namespace picker {
PyTypeObject* type();
PyTypeObject* create_type();
}  // namespace picker
namespace fault_injection {
void register_functions(PyObject* module);
}

}  // namespace corvane::bindings
