// Module entry point and registration: `_rust` with its submodules
// `secded`, `mset` and `cep`, its classes and its functions.
#define CORVANE_NUMPY_IMPORT
#include "bindings/numpy_api.hpp"
// numpy_api.hpp must come first: it defines the NumPy API table here.
#include <cstring>

#include "bindings/errors.hpp"
#include "bindings/fault.hpp"
#include "bindings/registry.hpp"
#include "bindings/state.hpp"

namespace corvane::bindings {

void add_item(PyObject* module, const char* name, PyObject* item) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python();
    PyErr_Clear();
    all = Ref::check(PyList_New(0));
    check_status(PyObject_SetAttrString(module, "__all__", all.get()));
  }
  if (!PyList_Check(all.get())) raise_cast_error(all.get(), "list");
  Ref text = Ref::check(PyUnicode_FromString(name));
  if (PyList_Append(all.get(), text.get()) < 0) {
    PyErr_Clear();
    fail("could not append __name__ to __all__");
  }
  check_status(PyObject_SetAttrString(module, name, item));
}

void add_function(PyObject* module, PyMethodDef* def) {
  Ref module_name = Ref::check(PyModule_GetNameObject(module));
  Ref function = Ref::check(PyCFunction_NewEx(def, module, module_name.get()));
  add_item(module, def->ml_name, function.get());
}

void add_class(PyObject* module, PyTypeObject* type, const char* name) {
  if (type == nullptr) throw_python();
  add_item(module, name, reinterpret_cast<PyObject*>(type));
}

ModuleState& module_state() noexcept {
  static ModuleState state;
  return state;
}

void create_types() {
  ModuleState& state = module_state();
  const auto create = [](PyTypeObject*& slot, PyTypeObject* (*make)()) {
    if (slot == nullptr) slot = make();
  };
  create(state.fault, fault::create_type);
  create(state.picker, picker::create_type);
  create(state.encoding, secded::create_type);
  create(state.scheme, cep::create_type);
}

namespace {

void require_module(PyObject* obj) {
  if (!PyModule_Check(obj)) raise_cast_error(obj, "module");
}

template <void (*Body)(PyObject*)>
int exec_submodule(PyObject* module) {
  return guard_status(-1, [&] {
    require_module(module);
    Body(module);
    return 0;
  });
}

// The exec slot, and the GIL slot where the interpreter has one.
template <int (*Exec)(PyObject*)>
PyModuleDef_Slot slots_for[] = {
    {Py_mod_exec, reinterpret_cast<void*>(Exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef secded_def = {
    PyModuleDef_HEAD_INIT, "_rust.secded", "", 0, nullptr, slots_for<exec_submodule<secded::exec>>};
PyModuleDef mset_def = {PyModuleDef_HEAD_INIT, "_rust.mset", "", 0, nullptr, slots_for<exec_submodule<mset::exec>>};
PyModuleDef cep_def = {PyModuleDef_HEAD_INIT, "_rust.cep", "", 0, nullptr, slots_for<exec_submodule<cep::exec>>};

// Creates a submodule once per process; later creations return it again.
PyObject* submodule(PyModuleDef* def, PyObject*& cache) {
  if (cache != nullptr) return cache;
  Ref types = Ref::check(PyImport_ImportModule("types"));
  Ref spec = Ref::check(PyObject_CallMethod(types.get(), "SimpleNamespace", nullptr));
  Ref name = Ref::check(PyUnicode_FromString(def->m_name));
  check_status(PyObject_SetAttrString(spec.get(), "name", name.get()));
  Ref module = Ref::check(PyModule_FromDefAndSpec(def, spec.get()));
  check_status(PyModule_ExecDef(module.get(), def));
  cache = module.release();
  return cache;
}

void add_submodule(PyObject* parent, PyModuleDef* def, PyObject*& cache) {
  PyObject* module = submodule(def, cache);
  Ref full = Ref::check(PyModule_GetNameObject(module));
  Ref utf8 = Ref::check(PyUnicode_AsUTF8String(full.get()));
  const char* text = PyBytes_AS_STRING(utf8.get());
  const char* dot = std::strrchr(text, '.');
  add_item(parent, dot == nullptr ? text : dot + 1, module);
}

PyObject* secded_module = nullptr;
PyObject* mset_module = nullptr;
PyObject* cep_module = nullptr;

// The module keeps process-wide state (pool, caches, type objects), so it
// serves the first interpreter that imports it and refuses any other.
void require_first_interpreter() {
  static PyInterpreterState* first = nullptr;
  PyInterpreterState* current = PyInterpreterState_Get();
  if (first == nullptr) first = current;
  if (first != current) {
    raise(PyExc_ImportError, "corvane._rust can be imported by one interpreter per process only");
  }
}

int exec_rust(PyObject* module) {
  return guard_status(-1, [&] {
    require_first_interpreter();
    if (_import_array() < 0) throw_python();
    create_types();
    add_submodule(module, &secded_def, secded_module);
    add_submodule(module, &mset_def, mset_module);
    add_submodule(module, &cep_def, cep_module);
    add_class(module, fault::type(), "Fault");
    add_class(module, picker::type(), "Picker");
    fault_injection::register_functions(module);
    return 0;
  });
}

PyModuleDef rust_def = {PyModuleDef_HEAD_INIT, "_rust", "", 0, nullptr, slots_for<exec_rust>};

}  // namespace
}  // namespace corvane::bindings

PyMODINIT_FUNC PyInit__rust() { return PyModuleDef_Init(&corvane::bindings::rust_def); }
