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
#include <type_traits>

#include "bindings/args.hpp"
#include "bindings/common.hpp"
#include "bindings/errors.hpp"
#include "bindings/object.hpp"
#include "bindings/registry.hpp"
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
    "builtins.Scheme",
    sizeof(SchemeObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    scheme_slots,
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

// Set by the module's exec, which runs once per process under the import
// lock; afterwards only read. A failed import leaves it NULL, to be retried.
PyTypeObject* g_scheme_type = nullptr;

Member to_member(PyObject* obj) {
  if (g_scheme_type == nullptr || !PyObject_TypeCheck(obj, g_scheme_type)) raise_cast_error(obj, "Scheme");
  return member_of(obj);
}

template <class E>
auto kernel_for(Operation op, Member member) {
  if constexpr (std::is_same_v<E, F32>) {
    return ep::f32_kernel(op, member);
  } else {
    static_assert(std::is_same_v<E, U16>);
    return ep::u16_kernel(op, member);
  }
}

constexpr const char* kParams[] = {"arr", "scheme"};

// `arr` is converted (and checked writeable) before `scheme` is examined;
// nothing is written before every check has passed.
template <class E, Operation Op>
PyObject* transform(const char* display, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto slots = bind<2>({display, kParams, 2}, args, nargs, kwnames);
    const Ref arr = convert_arg("arr", [&] { return extract_writable_array<E>(slots[0]); });
    const Member member = convert_arg("scheme", [&] { return to_member(slots[1]); });
    const auto kernel = kernel_for<E>(Op, member);
    const std::span<typename E::Bits> data = as_contiguous_slice<E>(as_array(arr));
    parallel::for_each_range(data, kernel);
    Py_RETURN_NONE;
  });
}

#define CORVANE_CEP_FUNCTION(name, E, op)                                                    \
  PyObject* name(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { \
    return transform<E, Operation::op>(#name "()", args, nargs, kwnames);                 \
  }
CORVANE_CEP_FUNCTION(decode_f32, F32, Decode)
CORVANE_CEP_FUNCTION(decode_u16, U16, Decode)
CORVANE_CEP_FUNCTION(encode_f32, F32, Encode)
CORVANE_CEP_FUNCTION(encode_u16, U16, Encode)
#undef CORVANE_CEP_FUNCTION

PyMethodDef functions[] = {
    {"decode_f32", fastcall(decode_f32), METH_FASTCALL | METH_KEYWORDS, "decode_f32(arr, scheme)\n--\n\n"},
    {"decode_u16", fastcall(decode_u16), METH_FASTCALL | METH_KEYWORDS, "decode_u16(arr, scheme)\n--\n\n"},
    {"encode_f32", fastcall(encode_f32), METH_FASTCALL | METH_KEYWORDS, "encode_f32(arr, scheme)\n--\n\n"},
    {"encode_u16", fastcall(encode_u16), METH_FASTCALL | METH_KEYWORDS, "encode_u16(arr, scheme)\n--\n\n"},
};

}  // namespace

void exec(PyObject* module) {
  if (g_scheme_type == nullptr) {
    g_scheme_type = reinterpret_cast<PyTypeObject*>(create_scheme_type().release());
  }
  add_class(module, g_scheme_type, "Scheme");
  for (PyMethodDef& def : functions) add_function(module, &def);
}

}  // namespace corvane::bindings::cep
