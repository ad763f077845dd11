// _rust.cep: the Scheme class and in-place embedded-parity encoding and
// decoding of whole float32 / uint16 arrays.
//
// Scheme is a closed enumeration. Its three members are created with the
// type and live as its class attributes for the rest of the process, so each
// member is exactly one object and `is` works on them. The functions pick one
// vectorised kernel per call and run it over the caller's buffer on the pool.
#include <array>
#include <cstdint>
#include <span>

#include "bindings/args.hpp"
#include "bindings/common.hpp"
#include "bindings/errors.hpp"
#include "bindings/object.hpp"
#include "bindings/registry.hpp"
#include "bindings/state.hpp"
#include "memory/encoding/embedded_parity_layout.hpp"
#include "parallel/parallel.hpp"

namespace corvane::bindings::cep {
namespace {

namespace ep = memory::encoding::embedded_parity;
using ep::Member;
using ep::Operation;

using SchemeObject = Embedded<Member>;

// Names in member order: the class attributes and the reprs.
constexpr std::array<const char*, 3> kMemberNames = {"D3P1", "D7P1", "D15P1"};
constexpr std::array<const char*, 3> kReprs = {"Scheme.D3P1", "Scheme.D7P1", "Scheme.D15P1"};

Member member_of(PyObject* self) { return SchemeObject::of(self); }
std::size_t index_of(PyObject* self) { return static_cast<std::size_t>(member_of(self)); }

PyObject* repr(PyObject* self) { return PyUnicode_FromString(kReprs[index_of(self)]); }

PyObject* to_int(PyObject* self) { return PyLong_FromSize_t(index_of(self)); }

// Members compare equal only to themselves; anything else, and every
// ordering, is left to Python (identity fallback, or its TypeError).
PyObject* richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
  const bool same = member_of(self) == member_of(other);
  return PyBool_FromLong((op == Py_EQ) == same);
}

// No hash slot: with equality defined, the interpreter makes instances
// unhashable. No nb_index either, so a member is not a sequence index.
PyType_Slot scheme_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(SchemeObject::dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_nb_int, reinterpret_cast<void*>(to_int)},
    {Py_tp_richcompare, reinterpret_cast<void*>(richcompare)},
    {0, nullptr},
};

PyType_Spec scheme_spec = {
    "builtins.Scheme", sizeof(SchemeObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, scheme_slots,
};

// The type with its members set as class attributes, in member order.
// The class attributes hold the members for the life of the process.
Ref create_scheme_type() {
  Ref type = Ref::check(PyType_FromSpec(&scheme_spec));
  auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
  for (std::size_t i = 0; i < kMemberNames.size(); ++i) {
    Ref member = Ref::steal(SchemeObject::create(tp, static_cast<Member>(i)));
    check_status(PyObject_SetAttrString(type.get(), kMemberNames[i], member.get()));
  }
  return type;
}

Member to_member(PyObject* obj) {
  PyTypeObject* tp = module_state().scheme;
  if (tp == nullptr || !PyObject_TypeCheck(obj, tp)) raise_cast_error(obj, "Scheme");
  return member_of(obj);
}

constexpr const char* kParams[] = {"arr", "scheme"};

// `arr` is converted (and checked writeable) before `scheme` is examined;
// nothing is written before every check has passed.
template <class T, Operation Op, const char* Display>
PyObject* transform(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto slots = bind<2>({Display, kParams, 2}, args, nargs, kwnames);
    const Ref arr = convert_arg("arr", [&] { return extract_writable_array<T>(slots[0]); });
    const Member member = convert_arg("scheme", [&] { return to_member(slots[1]); });
    const auto kernel = ep::kernel<T>(Op, member);
    const std::span<memory::element::Bits<T>> data = as_contiguous_slice<T>(as_array(arr));
    parallel::for_each_range(data, kernel);
    Py_RETURN_NONE;
  });
}

constexpr char kDecodeF32[] = "decode_f32()";
constexpr char kDecodeU16[] = "decode_u16()";
constexpr char kEncodeF32[] = "encode_f32()";
constexpr char kEncodeU16[] = "encode_u16()";

PyMethodDef functions[] = {
    {"decode_f32", fastcall(transform<float, Operation::Decode, kDecodeF32>), METH_FASTCALL | METH_KEYWORDS,
     "decode_f32(arr, scheme)\n--\n\n"},
    {"decode_u16", fastcall(transform<std::uint16_t, Operation::Decode, kDecodeU16>), METH_FASTCALL | METH_KEYWORDS,
     "decode_u16(arr, scheme)\n--\n\n"},
    {"encode_f32", fastcall(transform<float, Operation::Encode, kEncodeF32>), METH_FASTCALL | METH_KEYWORDS,
     "encode_f32(arr, scheme)\n--\n\n"},
    {"encode_u16", fastcall(transform<std::uint16_t, Operation::Encode, kEncodeU16>), METH_FASTCALL | METH_KEYWORDS,
     "encode_u16(arr, scheme)\n--\n\n"},
};

}  // namespace

PyTypeObject* create_type() { return reinterpret_cast<PyTypeObject*>(create_scheme_type().release()); }

void exec(PyObject* module) {
  add_class(module, module_state().scheme, "Scheme");
  for (PyMethodDef& def : functions) add_function(module, &def);
}

}  // namespace corvane::bindings::cep
