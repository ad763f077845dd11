// changed: the indices where two arrays differ bitwise.
#include <string>

#include "bindings/args.hpp"
#include "bindings/common.hpp"
#include "bindings/engine/convert.hpp"
#include "bindings/engine/functions.hpp"
#include "bindings/errors.hpp"
#include "memory/difference.hpp"

namespace corvane::bindings::engine {
namespace {

constexpr const char* kParams[] = {"a", "b"};

// A 1-D contiguous array of a dtype the engine compares.
PyArrayObject* to_run(PyObject* obj) {
  if (!PyArray_Check(obj)) raise_cast_error(obj, "ndarray");
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  if (!is_array_of(obj, numpy_typenum<float>) && !is_array_of(obj, numpy_typenum<std::uint16_t>) &&
      !is_array_of(obj, numpy_typenum<std::uint8_t>)) {
    raise(PyExc_TypeError, "expected a float32, uint16 or uint8 array, got dtype " + dtype_name(arr));
  }
  if (PyArray_NDIM(arr) != 1) {
    raise(PyExc_ValueError, "expected a 1-D array, got a " + std::to_string(PyArray_NDIM(arr)) + "-D array");
  }
  if (PyArray_DIM(arr, 0) > 0 && !(PyArray_IS_C_CONTIGUOUS(arr) && PyArray_ISALIGNED(arr))) {
    raise(PyExc_ValueError, "expected a C-contiguous, aligned array");
  }
  return arr;
}

template <class T>
PyObject* compare(PyArrayObject* a, PyArrayObject* b) {
  using Bits = memory::element::Bits<T>;
  const auto n = static_cast<std::size_t>(PyArray_DIM(a, 0));
  const auto* pa = static_cast<const Bits*>(PyArray_DATA(a));
  const auto* pb = static_cast<const Bits*>(PyArray_DATA(b));
  auto indices = memory::difference::changed_indices<Bits>({n == 0 ? nullptr : pa, n}, {n == 0 ? nullptr : pb, n});
  return array_from_vector<std::uint64_t>(std::move(indices)).release();
}

}  // namespace

PyObject* changed(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto slots = bind<2>({"changed()", kParams, 2}, args, nargs, kwnames);
    PyArrayObject* a = convert_arg("a", [&] { return to_run(slots[0]); });
    PyArrayObject* b = convert_arg("b", [&] { return to_run(slots[1]); });
    if (!PyArray_EquivTypes(PyArray_DESCR(a), PyArray_DESCR(b))) {
      raise(PyExc_TypeError, "a has dtype " + dtype_name(a) + " but b has dtype " + dtype_name(b));
    }
    if (PyArray_DIM(a, 0) != PyArray_DIM(b, 0)) {
      raise(PyExc_ValueError,
            "a has " + std::to_string(PyArray_DIM(a, 0)) + " elements but b has " + std::to_string(PyArray_DIM(b, 0)));
    }
    if (is_array_of(slots[0], numpy_typenum<float>)) return compare<float>(a, b);
    if (is_array_of(slots[0], numpy_typenum<std::uint16_t>)) return compare<std::uint16_t>(a, b);
    return compare<std::uint8_t>(a, b);
  });
}

}  // namespace corvane::bindings::engine
