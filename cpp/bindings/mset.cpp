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

template <class T>
using Kernel = void (*)(std::span<memory::element::Bits<T>>);

constexpr const char* kParams[] = {"arr"};

template <class T, Kernel<T> kernel, const char* Display>
PyObject* transform(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto slots = bind<1>({Display, kParams, 1}, args, nargs, kwnames);
    const Ref arr = convert_arg("arr", [&] { return extract_writable_array<T>(slots[0]); });
    const std::span<memory::element::Bits<T>> data = as_contiguous_slice<T>(as_array(arr));
    // The scheme is built on first use by whichever thread runs a piece first.
    parallel::for_each_range(data, kernel);
    Py_RETURN_NONE;
  });
}

constexpr char kDecodeF32[] = "decode_f32()";
constexpr char kDecodeU16[] = "decode_u16()";
constexpr char kEncodeF32[] = "encode_f32()";
constexpr char kEncodeU16[] = "encode_u16()";

PyMethodDef functions[] = {
    {"decode_f32", fastcall(transform<float, &majority::decode_all<float>, kDecodeF32>), METH_FASTCALL | METH_KEYWORDS,
     "decode_f32(arr)\n--\n\n"},
    {"decode_u16", fastcall(transform<std::uint16_t, &majority::decode_all<std::uint16_t>, kDecodeU16>),
     METH_FASTCALL | METH_KEYWORDS, "decode_u16(arr)\n--\n\n"},
    {"encode_f32", fastcall(transform<float, &majority::encode_all<float>, kEncodeF32>), METH_FASTCALL | METH_KEYWORDS,
     "encode_f32(arr)\n--\n\n"},
    {"encode_u16", fastcall(transform<std::uint16_t, &majority::encode_all<std::uint16_t>, kEncodeU16>),
     METH_FASTCALL | METH_KEYWORDS, "encode_u16(arr)\n--\n\n"},
};

}  // namespace

void exec(PyObject* module) {
  for (PyMethodDef& def : functions) add_function(module, &def);
}

}  // namespace corvane::bindings::mset
