#include "bindings/fault.hpp"

#include <string>

#include "bindings/args.hpp"
#include "bindings/errors.hpp"
#include "bindings/object.hpp"
#include "bindings/state.hpp"

namespace corvane::bindings::fault {
namespace {

using FaultObject = Embedded<memory::FaultKind>;

PyObject* make(memory::FaultKind kind) {
  return guard([&] {
    PyTypeObject* tp = type();
    if (tp == nullptr) throw_python();
    return FaultObject::create(tp, kind);
  });
}

PyObject* stuck_at_0(PyObject*, PyObject*) { return make(memory::FaultKind::StuckAt0); }
PyObject* stuck_at_1(PyObject*, PyObject*) { return make(memory::FaultKind::StuckAt1); }
PyObject* flip(PyObject*, PyObject*) { return make(memory::FaultKind::Flip); }

PyMethodDef methods[] = {
    {"stuck_at_0", stuck_at_0, METH_NOARGS | METH_STATIC, "stuck_at_0()\n--\n\n"},
    {"stuck_at_1", stuck_at_1, METH_NOARGS | METH_STATIC, "stuck_at_1()\n--\n\n"},
    {"flip", flip, METH_NOARGS | METH_STATIC, "flip()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(FaultObject::dealloc)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.Fault", sizeof(FaultObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots,
};

memory::FaultAt to_pair(PyObject* item) {
  if (!PyTuple_Check(item)) raise_cast_error(item, "tuple");
  const Py_ssize_t n = PyTuple_GET_SIZE(item);
  if (n != 2) raise(PyExc_ValueError, "expected tuple of length 2, but got tuple of length " + std::to_string(n));
  const memory::FaultKind kind = to_kind(PyTuple_GET_ITEM(item, 0));
  return {kind, to_u64(PyTuple_GET_ITEM(item, 1))};
}

}  // namespace

PyTypeObject* type() { return module_state().fault; }

PyTypeObject* create_type() { return reinterpret_cast<PyTypeObject*>(Ref::check(PyType_FromSpec(&spec)).release()); }

memory::FaultKind to_kind(PyObject* obj) {
  PyTypeObject* tp = type();
  if (tp == nullptr) throw_python();
  if (!PyObject_TypeCheck(obj, tp)) raise_cast_error(obj, "Fault");
  return FaultObject::of(obj);
}

std::vector<memory::FaultAt> to_fault_list(PyObject* obj) { return extract_sequence<memory::FaultAt>(obj, to_pair); }

}  // namespace corvane::bindings::fault
