// code_values: the in-place codes (embedded parity, majority vote) over a
// few values on the calling thread.
//
// A sparse trial encodes and decodes only the values its faults hit, often a
// handful. The whole-array functions hand every call to the worker pool and
// wait for its threads to wake, which costs far more than the values; this
// runs the same kernels right here.
#include <cstdint>
#include <span>
#include <string>

#include "bindings/args.hpp"
#include "bindings/common.hpp"
#include "bindings/engine/convert.hpp"
#include "bindings/engine/functions.hpp"
#include "bindings/errors.hpp"
#include "memory/encoding/embedded_parity_layout.hpp"
#include "memory/encoding/majority.hpp"

namespace corvane::bindings::engine {
namespace {

namespace ep = memory::encoding::embedded_parity;
namespace majority = memory::encoding::majority;

constexpr const char* kParams[] = {"arr", "code", "encode"};

// Codes 0..2 are the embedded-parity schemes D3P1, D7P1, D15P1; 3 is the majority vote.
constexpr long long kMajority = 3;

long long to_code(PyObject* obj) {
  Ref index = Ref::check(PyNumber_Index(obj));
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw_python();
  if (overflow != 0 || v < 0 || v > kMajority) {
    Ref text = Ref::check(PyObject_Repr(index.get()));
    raise(PyExc_ValueError, "code must be D3P1 (0), D7P1 (1), D15P1 (2) or the majority vote (3), got " +
                                std::string(PyUnicode_AsUTF8(text.get())));
  }
  return v;
}

template <class T>
void run(std::span<memory::element::Bits<T>> data, long long code, bool encode) {
  if (code == kMajority) {
    if (encode) {
      majority::encode_all<T>(data);
    } else {
      majority::decode_all<T>(data);
    }
    return;
  }
  const auto op = encode ? ep::Operation::Encode : ep::Operation::Decode;
  ep::kernel<T>(op, static_cast<ep::Member>(code))(data);
}

}  // namespace

PyObject* code_values(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto slots = bind<3>({"code_values()", kParams, 3}, args, nargs, kwnames);
    const bool f32 = is_array_of(slots[0], numpy_typenum<float>);
    if (!f32 && !is_array_of(slots[0], numpy_typenum<std::uint16_t>)) {
      raise(PyExc_TypeError, "expected a float32 or uint16 array");
    }
    const Ref arr = convert_arg("arr", [&] {
      return f32 ? extract_writable_array<float>(slots[0]) : extract_writable_array<std::uint16_t>(slots[0]);
    });
    const long long code = convert_arg("code", [&] { return to_code(slots[1]); });
    const int encode = PyObject_IsTrue(slots[2]);
    if (encode < 0) throw_python();
    if (f32) {
      run<float>(as_contiguous_slice<float>(as_array(arr)), code, encode != 0);
    } else {
      run<std::uint16_t>(as_contiguous_slice<std::uint16_t>(as_array(arr)), code, encode != 0);
    }
    Py_RETURN_NONE;
  });
}

}  // namespace corvane::bindings::engine
