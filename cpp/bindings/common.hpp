// NumPy array interop: the only ways binding code receives and returns arrays.
#pragma once

#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

#include "bindings/errors.hpp"
#include "bindings/numpy_api.hpp"
#include "bindings/ref.hpp"
#include "memory/element.hpp"

namespace corvane::bindings {

// NumPy type numbers of the element types, keyed by the same T as the core's
// element::Traits; values travel as the unsigned bit patterns element::Bits<T>
// (a float32 as its IEEE-754 pattern, never through float arithmetic).
template <class T>
struct NumpyType;  // no type number: not an element type
template <>
struct NumpyType<float> : std::integral_constant<int, NPY_FLOAT32> {};
template <>
struct NumpyType<std::uint32_t> : std::integral_constant<int, NPY_UINT32> {};
template <>
struct NumpyType<std::uint64_t> : std::integral_constant<int, NPY_UINT64> {};
template <>
struct NumpyType<std::uint16_t> : std::integral_constant<int, NPY_UINT16> {};
template <>
struct NumpyType<std::uint8_t> : std::integral_constant<int, NPY_UINT8> {};

template <class T>
inline constexpr int numpy_typenum = NumpyType<T>::value;

// Whether obj is an ndarray (subclasses included) of exactly this element
// type; non-native byte order is not equivalent.
bool is_array_of(PyObject* obj, int typenum);

inline PyArrayObject* as_array(const Ref& ref) { return reinterpret_cast<PyArrayObject*>(ref.get()); }

// Product of the shape (1 for 0-d, 0 if any axis is 0).
std::uint64_t element_count(PyArrayObject* arr);

// The arrays of a sequence argument, in order (no access taken).
std::vector<Ref> extract_array_list(PyObject* obj, int typenum);

template <class T>
std::vector<Ref> extract_array_list(PyObject* obj) {
  return extract_array_list(obj, numpy_typenum<T>);
}

// Fails with the internal-error exception ending in "NotWriteable".
void require_writeable(PyArrayObject* arr);

// One array of the element type, with write access.
Ref extract_writable_array(PyObject* obj, int typenum);

template <class T>
Ref extract_writable_array(PyObject* obj) {
  return extract_writable_array(obj, numpy_typenum<T>);
}

// The writable whole-array view, in memory order ("`arr` is not contiguous."
// for a non-empty array that is not aligned and C- or F-contiguous).
void* contiguous_data(PyArrayObject* arr);

template <class T>
std::span<memory::element::Bits<T>> as_contiguous_slice(PyArrayObject* arr) {
  auto* data = static_cast<memory::element::Bits<T>*>(contiguous_data(arr));
  return {data, data == nullptr ? 0 : static_cast<std::size_t>(element_count(arr))};
}

// Copies the elements in logical row-major order, whatever the strides.
void copy_row_major(PyArrayObject* arr, void* out);

template <class T>
std::vector<memory::element::Bits<T>> prep_input_array(PyArrayObject* arr) {
  std::vector<memory::element::Bits<T>> out(static_cast<std::size_t>(element_count(arr)));
  if (!out.empty()) copy_row_major(arr, out.data());
  return out;
}

// A new 1-D writeable array that adopts `data` (no copy).
Ref array_from_owner(int typenum, void* data, std::size_t length, PyObject* owner);

template <class T>
Ref array_from_vector(std::vector<memory::element::Bits<T>>&& values) {
  using Vec = std::vector<memory::element::Bits<T>>;
  if (values.empty()) return array_from_owner(numpy_typenum<T>, nullptr, 0, nullptr);
  auto* heap = new Vec(std::move(values));
  PyObject* capsule =
      PyCapsule_New(heap, nullptr, [](PyObject* cap) { delete static_cast<Vec*>(PyCapsule_GetPointer(cap, nullptr)); });
  if (capsule == nullptr) {
    delete heap;
    throw_python();
  }
  Ref owner = Ref::steal(capsule);
  return array_from_owner(numpy_typenum<T>, heap->data(), heap->size(), owner.get());
}

template <class T>
Ref list_from_vectors(std::vector<std::vector<memory::element::Bits<T>>>&& vectors) {
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(vectors.size())));
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    Ref array = array_from_vector<T>(std::move(vectors[i]));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), array.release());
  }
  return list;
}

}  // namespace corvane::bindings
