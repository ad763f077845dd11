// Argument conversions shared by the engine's functions.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "bindings/common.hpp"
#include "bindings/encoding_state.hpp"
#include "bindings/numpy_api.hpp"
#include "bindings/ref.hpp"
#include "memory/element.hpp"
#include "memory/fault.hpp"

namespace corvane::bindings::engine {

// Fault kinds as the module exports them: STUCK_AT_0, STUCK_AT_1, FLIP.
// An integer 0, 1 or 2 (anything with __index__); other values are a
// ValueError, other objects the interpreter's TypeError.
memory::FaultKind to_kind(PyObject* obj);

// A 1-D numpy.uint64 array of sites, read in place when it is aligned and
// contiguous, otherwise through a copy.
class Sites {
 public:
  explicit Sites(PyObject* obj);

  std::span<const std::uint64_t> values() const noexcept { return view_; }
  std::size_t size() const noexcept { return view_.size(); }

  // Copies the sites if they share memory with [begin, end): writes there
  // must not change sites that are still to be read.
  void detach_from(const void* begin, const void* end);

 private:
  Ref array_;
  std::vector<std::uint64_t> copy_;
  std::span<const std::uint64_t> view_;
};

// "site {s} (sites[{k}]) is out of bounds for {what}", as an IndexError.
[[noreturn]] void site_out_of_bounds(std::span<const std::uint64_t> sites, std::size_t k, const std::string& what);

// The Encoding class of the sibling `_rust` module, looked up once when the
// engine is imported.
void init_encoding_type(PyObject* engine_module);

// The state of an Encoding object ("'<type>' object is not an instance of
// 'Encoding'" for anything else, subclasses included).
secded::EncodingState& to_encoding(PyObject* obj);

// "float32", "int64", ...: the dtype's name, for messages.
std::string dtype_name(PyArrayObject* arr);

// A new uninitialised 1-D array of `length` elements and its memory.
template <class T>
std::pair<Ref, memory::element::Bits<T>*> new_array(std::size_t length) {
  npy_intp dims[1] = {static_cast<npy_intp>(length)};
  Ref array = Ref::check(PyArray_SimpleNew(1, dims, numpy_typenum<T>));
  auto* data = static_cast<memory::element::Bits<T>*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
  return {std::move(array), data};
}

}  // namespace corvane::bindings::engine
