// _rust.secded (placeholder until the SEC-DED bindings land).
#include "bindings/registry.hpp"
#include "bindings/stub.hpp"

namespace corvane::bindings::secded {
namespace {

constexpr const char* kEncodeParams[] = {"input", "bits_per_chunk"};

PyObject* encode_f32(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return not_implemented<2>({"encode_f32()", kEncodeParams, 2}, args, nargs, kwnames);
}
PyObject* encode_u16(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return not_implemented<2>({"encode_u16()", kEncodeParams, 2}, args, nargs, kwnames);
}

PyMethodDef functions[] = {
    {"encode_f32", fastcall(encode_f32), METH_FASTCALL | METH_KEYWORDS, "encode_f32(input, bits_per_chunk)\n--\n\n"},
    {"encode_u16", fastcall(encode_u16), METH_FASTCALL | METH_KEYWORDS, "encode_u16(input, bits_per_chunk)\n--\n\n"},
};

PyType_Slot encoding_slots[] = {{0, nullptr}};
PyType_Spec encoding_spec = {"builtins.Encoding", sizeof(PyObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, encoding_slots};

}  // namespace

void exec(PyObject* module) {
  static PyTypeObject* encoding = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&encoding_spec));
  add_class(module, encoding, "Encoding");
  for (PyMethodDef& def : functions) add_function(module, &def);
}

}  // namespace corvane::bindings::secded
