// Picker (placeholder until the picker bindings land).
#include "bindings/registry.hpp"
#include "bindings/stub.hpp"

namespace corvane::bindings::picker {
namespace {

PyType_Slot picker_slots[] = {{0, nullptr}};
PyType_Spec picker_spec = {"builtins.Picker", sizeof(PyObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, picker_slots};

}  // namespace

PyTypeObject* type() {
  static PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&picker_spec));
  return tp;
}

}  // namespace corvane::bindings::picker
