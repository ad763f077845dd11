// _rust.mset (placeholder until the majority-vote bindings land).
#include "bindings/registry.hpp"
#include "bindings/stub.hpp"

namespace corvane::bindings::mset {
namespace {

constexpr const char* kParams[] = {"arr"};

#define CORVANE_STUB(name)                                                                       \
  PyObject* name(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {       \
    return not_implemented<1>({#name "()", kParams, 1}, args, nargs, kwnames);                  \
  }
CORVANE_STUB(decode_f32)
CORVANE_STUB(decode_u16)
CORVANE_STUB(encode_f32)
CORVANE_STUB(encode_u16)
#undef CORVANE_STUB

PyMethodDef functions[] = {
    {"decode_f32", fastcall(decode_f32), METH_FASTCALL | METH_KEYWORDS, "decode_f32(arr)\n--\n\n"},
    {"decode_u16", fastcall(decode_u16), METH_FASTCALL | METH_KEYWORDS, "decode_u16(arr)\n--\n\n"},
    {"encode_f32", fastcall(encode_f32), METH_FASTCALL | METH_KEYWORDS, "encode_f32(arr)\n--\n\n"},
    {"encode_u16", fastcall(encode_u16), METH_FASTCALL | METH_KEYWORDS, "encode_u16(arr)\n--\n\n"},
};

}  // namespace

void exec(PyObject* module) {
  for (PyMethodDef& def : functions) add_function(module, &def);
}

}  // namespace corvane::bindings::mset
