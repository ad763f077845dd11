// _rust.mset: in-place majority-vote encoding and decoding of whole float32 /
// uint16 arrays with the fixed schemes (the top exponent bit, copied into
// the two lowest bits).
#include <cstdint>
#include <span>

#include "bindings/args.hpp"
#include "bindings/common.hpp"
#include "bindings/errors.hpp"
#include "bindings/registry.hpp"
#include "memory/encoding/majority.hpp"
#include "parallel/parallel.hpp"

namespace corvane::bindings::mset {
namespace {

namespace majority = memory::encoding::majority;

template <class E>
using Kernel = void (*)(std::span<typename E::Bits>);

constexpr const char* kParams[] = {"arr"};

template <class E, Kernel<E> kernel>
PyObject* transform(const char* display, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto slots = bind<1>({display, kParams, 1}, args, nargs, kwnames);
    const Ref arr = convert_arg("arr", [&] { return extract_writable_array<E>(slots[0]); });
    const std::span<typename E::Bits> data = as_contiguous_slice<E>(as_array(arr));
    // The scheme is built on first use by whichever thread runs a piece first.
    parallel::for_each_range(data, kernel);
    Py_RETURN_NONE;
  });
}

#define CORVANE_MSET_FUNCTION(name, E)                                                       \
  PyObject* name(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { \
    return transform<E, &majority::name>(#name "()", args, nargs, kwnames);               \
  }
CORVANE_MSET_FUNCTION(decode_f32, F32)
CORVANE_MSET_FUNCTION(decode_u16, U16)
CORVANE_MSET_FUNCTION(encode_f32, F32)
CORVANE_MSET_FUNCTION(encode_u16, U16)
#undef CORVANE_MSET_FUNCTION

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
