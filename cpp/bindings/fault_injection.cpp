// In-place fault injection into a list of arrays, addressed by one global
// bit index over the whole list.
#include <vector>

#include "bindings/args.hpp"
#include "bindings/common.hpp"
#include "bindings/fault.hpp"
#include "bindings/registry.hpp"
#include "memory/sequence/non_uniform.hpp"
#include "memory/strided_array.hpp"

namespace corvane::bindings::fault_injection {
namespace {

using memory::FaultAt;
using memory::strided_array::StridedArray;
template <class Item>
using Sequence = memory::sequence::non_uniform::NonUniformSequence<Item>;

// The caller's arrays as plain strided views. NumPy's npy_intp is the
// platform's pointer-sized integer, the same width as int64_t here.
static_assert(sizeof(npy_intp) == sizeof(std::int64_t));

template <class T>
struct ArrayList {
  std::vector<Ref> arrays;
  std::vector<StridedArray<memory::element::Bits<T>>> views;

  explicit ArrayList(std::vector<Ref> list) : arrays(std::move(list)) {
    views.reserve(arrays.size());
    for (const Ref& a : arrays) {
      PyArrayObject* arr = as_array(a);
      const auto ndim = static_cast<std::size_t>(PyArray_NDIM(arr));
      views.emplace_back(static_cast<std::byte*>(PyArray_DATA(arr)),
                         std::span(reinterpret_cast<const std::int64_t*>(PyArray_DIMS(arr)), ndim),
                         std::span(reinterpret_cast<const std::int64_t*>(PyArray_STRIDES(arr)), ndim));
    }
  }

  Sequence<StridedArray<memory::element::Bits<T>>> sequence() {
    return Sequence<StridedArray<memory::element::Bits<T>>>(views);
  }
};

[[noreturn]] void out_of_bounds() { raise(PyExc_IndexError, "target_bit is out of bounds"); }

constexpr const char* kFaultParams[] = {"input", "fault", "target_bit"};
constexpr const char* kFaultsParams[] = {"input", "faults"};

template <class T, const char* Display>
PyObject* fault_one(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const Signature sig{Display, kFaultParams, 3};
    auto slots = bind<3>(sig, args, nargs, kwnames);
    ArrayList<T> input(convert_arg("input", [&] { return extract_array_list<T>(slots[0]); }));
    const auto kind = convert_arg("fault", [&] { return fault::to_kind(slots[1]); });
    const auto target = convert_arg("target_bit", [&] { return to_u64(slots[2]); });
    auto seq = input.sequence();
    auto at = seq.locate(target);
    if (!at) out_of_bounds();
    require_writeable(as_array(input.arrays[at->item]));
    input.views[at->item].apply_fault(kind, at->index);
    Py_RETURN_NONE;
  });
}

// All-or-nothing: every target is checked, and every array a fault reaches
// must be writeable, before the first write.
template <class T, const char* Display>
PyObject* fault_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const Signature sig{Display, kFaultsParams, 2};
    auto slots = bind<2>(sig, args, nargs, kwnames);
    ArrayList<T> input(convert_arg("input", [&] { return extract_array_list<T>(slots[0]); }));
    const auto faults = convert_arg("faults", [&] { return fault::to_fault_list(slots[1]); });
    if (faults.empty()) Py_RETURN_NONE;
    auto seq = input.sequence();
    const auto offsets = seq.offsets();
    for (const FaultAt& f : faults) {
      if (f.bit >= offsets.back()) out_of_bounds();
    }
    bool all_writeable = true;
    for (const Ref& a : input.arrays) all_writeable = all_writeable && PyArray_ISWRITEABLE(as_array(a));
    if (!all_writeable) {
      for (const FaultAt& f : faults)
        require_writeable(as_array(input.arrays[memory::sequence::non_uniform::locate_in(offsets, f.bit).item]));
    }
    for (const FaultAt& f : faults) {
      const auto at = memory::sequence::non_uniform::locate_in(offsets, f.bit);
      input.views[at.item].apply_fault(f.kind, at.index);
    }
    Py_RETURN_NONE;
  });
}

constexpr char kFaultF32[] = "list_of_array_fault_f32()";
constexpr char kFaultU8[] = "list_of_array_fault_u8()";
constexpr char kFaultU16[] = "list_of_array_fault_u16()";
constexpr char kFaultsF32[] = "list_of_array_faults_f32()";
constexpr char kFaultsU8[] = "list_of_array_faults_u8()";
constexpr char kFaultsU16[] = "list_of_array_faults_u16()";

PyMethodDef functions[] = {
    {"list_of_array_fault_f32", fastcall(fault_one<float, kFaultF32>), METH_FASTCALL | METH_KEYWORDS,
     "list_of_array_fault_f32(input, fault, target_bit)\n--\n\n"},
    {"list_of_array_fault_u8", fastcall(fault_one<std::uint8_t, kFaultU8>), METH_FASTCALL | METH_KEYWORDS,
     "list_of_array_fault_u8(input, fault, target_bit)\n--\n\n"},
    {"list_of_array_fault_u16", fastcall(fault_one<std::uint16_t, kFaultU16>), METH_FASTCALL | METH_KEYWORDS,
     "list_of_array_fault_u16(input, fault, target_bit)\n--\n\n"},
    {"list_of_array_faults_f32", fastcall(fault_many<float, kFaultsF32>), METH_FASTCALL | METH_KEYWORDS,
     "list_of_array_faults_f32(input, faults)\n--\n\n"},
    {"list_of_array_faults_u8", fastcall(fault_many<std::uint8_t, kFaultsU8>), METH_FASTCALL | METH_KEYWORDS,
     "list_of_array_faults_u8(input, faults)\n--\n\n"},
    {"list_of_array_faults_u16", fastcall(fault_many<std::uint16_t, kFaultsU16>), METH_FASTCALL | METH_KEYWORDS,
     "list_of_array_faults_u16(input, faults)\n--\n\n"},
};

}  // namespace

void register_functions(PyObject* module) {
  for (PyMethodDef& def : functions) add_function(module, &def);
}

}  // namespace corvane::bindings::fault_injection
