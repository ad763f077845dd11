// _rust.secded: SEC-DED encoding of lists of float32 / uint16 arrays, and the
// Encoding class that holds the encoded image.
//
// An Encoding embeds one secded::Image (data bits in one contiguous image,
// redundancy in a packed side array), so a fault costs O(1) and a decode one
// pass over the image, with no per-chunk Python objects anywhere. The image
// is never shared: clone() copies it, and faults go to one object only.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bindings/args.hpp"
#include "bindings/borrow.hpp"
#include "bindings/common.hpp"
#include "bindings/encoding_state.hpp"
#include "bindings/errors.hpp"
#include "bindings/fault.hpp"
#include "bindings/object.hpp"
#include "bindings/registry.hpp"
#include "bindings/state.hpp"
#include "memory/encoding/secded_image.hpp"
#include "memory/huge_pages.hpp"
#include "parallel/parallel.hpp"

namespace corvane::bindings::secded {
namespace {

using memory::FaultAt;
using memory::encoding::secded::ChunkFlags;
using memory::encoding::secded::Image;

EncodingState* as_encoding(PyObject* self) { return &EncodingObject::of(self); }

// A new Encoding that takes over `image`.
PyObject* wrap(Image&& image) {
  PyTypeObject* tp = module_state().encoding;
  if (tp == nullptr) raise(PyExc_RuntimeError, "the Encoding type is not initialised");
  return EncodingObject::create(tp, std::move(image));
}

// ---- encode ----

// The element runs of the input arrays: straight onto the array's memory
// when it is aligned and C-contiguous (memory order is then row-major order),
// otherwise onto a row-major copy held in `copies`.
template <class T>
class InputRuns {
 public:
  using Bits = memory::element::Bits<T>;

  explicit InputRuns(std::vector<Ref> arrays) : arrays_(std::move(arrays)) {
    runs_.reserve(arrays_.size());
    copies_.reserve(arrays_.size());
    for (const Ref& a : arrays_) runs_.push_back(run_of(as_array(a)));
  }

  std::span<const std::span<const Bits>> runs() const noexcept { return runs_; }

 private:
  std::span<const Bits> run_of(PyArrayObject* arr) {
    const auto count = static_cast<std::size_t>(element_count(arr));
    if (count == 0) return {};
    if (PyArray_ISALIGNED(arr) && PyArray_IS_C_CONTIGUOUS(arr) && PyArray_DATA(arr) != nullptr) {
      return {static_cast<const Bits*>(PyArray_DATA(arr)), count};
    }
    return copies_.emplace_back(prep_input_array<T>(arr));
  }

  std::vector<Ref> arrays_;  // held until the image is made
  std::vector<std::vector<Bits>> copies_;
  std::vector<std::span<const Bits>> runs_;
};

constexpr const char* kEncodeParams[] = {"input", "bits_per_chunk"};

template <class T, const char* Display>
PyObject* encode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto slots = bind<2>({Display, kEncodeParams, 2}, args, nargs, kwnames);
    InputRuns<T> input(convert_arg("input", [&] { return extract_array_list<T>(slots[0]); }));
    const std::uint64_t bits_per_chunk = convert_arg("bits_per_chunk", [&] { return to_u64(slots[1]); });
    auto image = Image::encode<memory::element::Bits<T>>(input.runs(), bits_per_chunk);
    if (!image) raise(PyExc_ValueError, image.error().message());
    return wrap(std::move(*image));
  });
}

// ---- decode ----

// Flag i is bit i % 64 of word i / 64, so byte i / 8 of the words in memory.
static_assert(std::endian::native == std::endian::little);

// The 8 item pointers of every flag byte, least significant bit first.
using ByteItems = std::array<std::array<PyObject*, 8>, 256>;

ByteItems byte_items() {
  ByteItems table;
  for (unsigned v = 0; v < 256; ++v) {
    for (unsigned b = 0; b < 8; ++b) table[v][b] = ((v >> b) & 1U) != 0 ? Py_True : Py_False;
  }
  return table;
}

// A list of `flags.size()` bools. The item array is written directly, eight
// items per flag byte, and the references to True and False are taken in
// bulk: from 3.12 on both are immortal and need none, before that one
// addition per object does.
Ref bool_list(const ChunkFlags& flags) {
  const std::size_t size = flags.size();
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(size)));
  if (size == 0) return list;
  PyObject** items = reinterpret_cast<PyListObject*>(list.get())->ob_item;
  // A list of millions of flags is as large as the data it describes.
  memory::advise_huge_pages(items, size * sizeof(PyObject*));
  const ByteItems table = byte_items();
  const auto* bytes = reinterpret_cast<const unsigned char*>(flags.words().data());
  // The slots are plain memory of a list no other code can see yet, and only
  // the addresses of True and False go into them: no object is read or
  // counted off this thread, so the pool may share the (page-fault bound) work.
  const std::span<const unsigned char> whole(bytes, size / 8);
  parallel::for_each_range(whole, [&](std::span<const unsigned char> piece) {
    PyObject** out = items + 8 * static_cast<std::size_t>(piece.data() - bytes);
    for (const unsigned char b : piece) {
      std::memcpy(out, table[b].data(), sizeof(table[b]));
      out += 8;
    }
  });
  for (std::size_t i = 8 * whole.size(); i < size; ++i) items[i] = flags[i] ? Py_True : Py_False;
#if PY_VERSION_HEX < 0x030C0000
  std::size_t trues = 0;
  const auto words = flags.words();
  for (std::size_t w = 0; w < words.size(); ++w) {
    const std::size_t bits = std::min<std::size_t>(64, size - 64 * w);
    const std::uint64_t valid = bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
    trues += static_cast<std::size_t>(std::popcount(words[w] & valid));
  }
  Py_SET_REFCNT(Py_True, Py_REFCNT(Py_True) + static_cast<Py_ssize_t>(trues));
  Py_SET_REFCNT(Py_False, Py_REFCNT(Py_False) + static_cast<Py_ssize_t>(size - trues));
#endif
  return list;
}

// New 1-D arrays, one per recorded element count, decoded straight into
// their own memory (NumPy allocates it uninitialised; decoding writes every
// element), and the chunk flags.
template <class T>
PyObject* decode(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    const SharedBorrow access(as_encoding(self)->borrow);
    const Image& image = as_encoding(self)->image;
    const auto counts = image.element_counts();
    Ref arrays = Ref::check(PyList_New(static_cast<Py_ssize_t>(counts.size())));
    std::vector<std::span<memory::element::Bits<T>>> outputs;
    outputs.reserve(counts.size());
    for (std::size_t i = 0; i < counts.size(); ++i) {
      npy_intp dims[1] = {static_cast<npy_intp>(counts[i])};
      PyObject* array = PyArray_SimpleNew(1, dims, numpy_typenum<T>);
      if (array == nullptr) throw_python();
      PyList_SET_ITEM(arrays.get(), static_cast<Py_ssize_t>(i), array);
      outputs.emplace_back(
          static_cast<memory::element::Bits<T>*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array))), counts[i]);
    }
    const ChunkFlags flags = image.decode_into<memory::element::Bits<T>>(outputs);
    Ref flag_list = bool_list(flags);
    return PyTuple_Pack(2, arrays.get(), flag_list.get());
  });
}

// ---- faults ----

[[noreturn]] void out_of_bounds(std::uint64_t target) {
  raise(PyExc_IndexError, "target_bit " + std::to_string(target) + " is out of bounds");
}

// Every target is checked before the first fault is applied.
void apply_checked(Image& image, std::span<const FaultAt> faults) {
  if (const auto bad = image.first_out_of_bounds(faults)) out_of_bounds(faults[*bad].bit);
  image.apply_faults(faults);
}

constexpr const char* kFaultParams[] = {"fault", "target_bit"};
constexpr const char* kFaultsParams[] = {"faults"};

// Exclusive access is taken before the arguments are converted, so Python
// code run by the conversion cannot reach this object meanwhile.
PyObject* apply_fault(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto slots = bind<2>({"Encoding.apply_fault()", kFaultParams, 2}, args, nargs, kwnames);
    const ExclusiveBorrow access(as_encoding(self)->borrow);
    const auto kind = convert_arg("fault", [&] { return fault::to_kind(slots[0]); });
    const auto target = convert_arg("target_bit", [&] { return to_u64(slots[1]); });
    const FaultAt one{kind, target};
    apply_checked(as_encoding(self)->image, {&one, 1});
    Py_RETURN_NONE;
  });
}

PyObject* apply_faults(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto slots = bind<1>({"Encoding.apply_faults()", kFaultsParams, 1}, args, nargs, kwnames);
    const ExclusiveBorrow access(as_encoding(self)->borrow);
    const auto faults = convert_arg("faults", [&] { return fault::to_fault_list(slots[0]); });
    apply_checked(as_encoding(self)->image, faults);
    Py_RETURN_NONE;
  });
}

// ---- the rest ----

PyObject* clone(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    const SharedBorrow access(as_encoding(self)->borrow);
    return wrap(Image(as_encoding(self)->image));
  });
}

PyObject* bit_count(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    const SharedBorrow access(as_encoding(self)->borrow);
    return PyLong_FromUnsignedLongLong(as_encoding(self)->image.bit_count());
  });
}

PyMethodDef methods[] = {
    {"decode_f32", decode<float>, METH_NOARGS, "decode_f32($self)\n--\n\nDecode a list of float32 values."},
    {"decode_u16", decode<std::uint16_t>, METH_NOARGS, "decode_u16($self)\n--\n\n"},
    {"apply_fault", fastcall(apply_fault), METH_FASTCALL | METH_KEYWORDS,
     "apply_fault($self, fault, target_bit)\n--\n\n"},
    {"apply_faults", fastcall(apply_faults), METH_FASTCALL | METH_KEYWORDS,
     "apply_faults($self, faults)\n--\n\n"
     "Apply multiple faults at once.\n\n"
     "This is much cheaper than calling `apply_fault` in a loop: the whole\n"
     "encoded buffer is round-tripped through Python objects (`to_rust`/\n"
     "`from_rust`) exactly once for the batch instead of once per fault,\n"
     "even though flipping a single bit is itself O(1)."},
    {"clone", clone, METH_NOARGS, "clone($self)\n--\n\nReturn a new instance with cloned data."},
    {"bit_count", bit_count, METH_NOARGS, "bit_count($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot encoding_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(EncodingObject::dealloc)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec encoding_spec = {
    "builtins.Encoding", sizeof(EncodingObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    encoding_slots,
};

constexpr char kEncodeF32[] = "encode_f32()";
constexpr char kEncodeU16[] = "encode_u16()";

PyMethodDef functions[] = {
    {"encode_f32", fastcall(encode<float, kEncodeF32>), METH_FASTCALL | METH_KEYWORDS,
     "encode_f32(input, bits_per_chunk)\n--\n\n"
     "Encode a all bits of a buffer of 32 bit floats.\n\n"
     "Returns a tuple containing:\n- A uint8 array with the encoded bits\n"
     "- The number of useful bits in the encoded buffer\n\n"
     "These need to be given to the decoding function to restore the original representation."},
    {"encode_u16", fastcall(encode<std::uint16_t, kEncodeU16>), METH_FASTCALL | METH_KEYWORDS,
     "encode_u16(input, bits_per_chunk)\n--\n\n"
     "Encode a all bits of a buffer of 16 bit unsigned integers.\n\n"
     "Returns a tuple containing:\n- A uint8 array with the encoded bits\n"
     "- The number of useful bits in the encoded buffer\n\n"
     "These need to be given to the decoding function to restore the original representation."},
};

}  // namespace

PyTypeObject* create_type() {
  return reinterpret_cast<PyTypeObject*>(Ref::check(PyType_FromSpec(&encoding_spec)).release());
}

void exec(PyObject* module) {
  add_class(module, module_state().encoding, "Encoding");
  for (PyMethodDef& def : functions) add_function(module, &def);
}

}  // namespace corvane::bindings::secded
