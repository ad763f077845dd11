// _rust.cep (placeholder until the embedded-parity bindings land).
#include "bindings/registry.hpp"
#include "bindings/stub.hpp"

namespace corvane::bindings::cep {
namespace {

constexpr const char* kParams[] = {"arr", "scheme"};

#define CORVANE_STUB(name)                                                                       \
  PyObject* name(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {       \
    return not_implemented<2>({#name "()", kParams, 2}, args, nargs, kwnames);                  \
  }
CORVANE_STUB(decode_f32)
CORVANE_STUB(decode_u16)
CORVANE_STUB(encode_f32)
CORVANE_STUB(encode_u16)
#undef CORVANE_STUB

PyMethodDef functions[] = {
    {"decode_f32", fastcall(decode_f32), METH_FASTCALL | METH_KEYWORDS, "decode_f32(arr, scheme)\n--\n\n"},
    {"decode_u16", fastcall(decode_u16), METH_FASTCALL | METH_KEYWORDS, "decode_u16(arr, scheme)\n--\n\n"},
    {"encode_f32", fastcall(encode_f32), METH_FASTCALL | METH_KEYWORDS, "encode_f32(arr, scheme)\n--\n\n"},
    {"encode_u16", fastcall(encode_u16), METH_FASTCALL | METH_KEYWORDS, "encode_u16(arr, scheme)\n--\n\n"},
};

PyType_Slot scheme_slots[] = {{0, nullptr}};
PyType_Spec scheme_spec = {"builtins.Scheme", sizeof(PyObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, scheme_slots};

}  // namespace

void exec(PyObject* module) {
  static PyTypeObject* scheme = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&scheme_spec));
  add_class(module, scheme, "Scheme");
  for (PyMethodDef& def : functions) add_function(module, &def);
}

}  // namespace corvane::bindings::cep
