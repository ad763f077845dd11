// inject: faults of one kind at many sites of a list of 1-D arrays, in place.
#include <string>
#include <vector>

#include "bindings/args.hpp"
#include "bindings/common.hpp"
#include "bindings/engine/convert.hpp"
#include "bindings/engine/functions.hpp"
#include "bindings/errors.hpp"
#include "memory/site_injection.hpp"

namespace corvane::bindings::engine {
namespace {

constexpr const char* kParams[] = {"arrays", "kind", "sites"};

std::vector<Ref> to_array_list(PyObject* obj) {
  return extract_sequence<Ref>(obj, [](PyObject* item) {
    if (!PyArray_Check(item)) raise_cast_error(item, "ndarray");
    return Ref::borrow(item);
  });
}

// Every array is checked before anything is written: one dtype, 1-D,
// C-contiguous and aligned, writeable.
template <class T>
std::vector<std::span<memory::element::Bits<T>>> writable_runs(const std::vector<Ref>& arrays) {
  std::vector<std::span<memory::element::Bits<T>>> runs;
  runs.reserve(arrays.size());
  for (std::size_t i = 0; i < arrays.size(); ++i) {
    PyArrayObject* arr = as_array(arrays[i]);
    const std::string which = "arrays[" + std::to_string(i) + "]";
    if (!is_array_of(arrays[i].get(), numpy_typenum<T>)) {
      raise(PyExc_TypeError, which + " has dtype " + dtype_name(arr) + " but arrays[0] has dtype " +
                                 dtype_name(as_array(arrays[0])) + "; all arrays must share one dtype");
    }
    if (PyArray_NDIM(arr) != 1) {
      raise(PyExc_ValueError, which + " is " + std::to_string(PyArray_NDIM(arr)) + "-D; inject takes 1-D arrays");
    }
    const auto count = static_cast<std::size_t>(PyArray_DIM(arr, 0));
    if (count > 0 && !(PyArray_IS_C_CONTIGUOUS(arr) && PyArray_ISALIGNED(arr))) {
      raise(PyExc_ValueError, which + " is not C-contiguous and aligned");
    }
    if (!PyArray_ISWRITEABLE(arr)) raise(PyExc_ValueError, which + " is read-only");
    runs.emplace_back(count == 0 ? nullptr : static_cast<memory::element::Bits<T>*>(PyArray_DATA(arr)), count);
  }
  return runs;
}

template <class T>
void inject_into(const std::vector<Ref>& arrays, memory::FaultKind kind, Sites& sites) {
  const auto runs = writable_runs<T>(arrays);
  const std::span<const std::span<memory::element::Bits<T>>> view(runs);
  const std::uint64_t total = memory::site_injection::bit_offsets(view).back();
  if (const auto bad = memory::site_injection::first_out_of_bounds(sites.values(), total)) {
    site_out_of_bounds(sites.values(), *bad, std::to_string(total) + " bits");
  }
  for (const auto& run : runs) sites.detach_from(run.data(), run.data() + run.size());
  memory::site_injection::inject(view, kind, sites.values());
}

}  // namespace

PyObject* inject(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto slots = bind<3>({"inject()", kParams, 3}, args, nargs, kwnames);
    const auto arrays = convert_arg("arrays", [&] { return to_array_list(slots[0]); });
    const auto kind = convert_arg("kind", [&] { return to_kind(slots[1]); });
    Sites sites = convert_arg("sites", [&] { return Sites(slots[2]); });
    if (arrays.empty()) {
      if (sites.size() > 0) site_out_of_bounds(sites.values(), 0, "0 bits");
      Py_RETURN_NONE;
    }
    PyObject* first = arrays[0].get();
    if (is_array_of(first, numpy_typenum<float>)) {
      inject_into<float>(arrays, kind, sites);
    } else if (is_array_of(first, numpy_typenum<std::uint16_t>)) {
      inject_into<std::uint16_t>(arrays, kind, sites);
    } else if (is_array_of(first, numpy_typenum<std::uint8_t>)) {
      inject_into<std::uint8_t>(arrays, kind, sites);
    } else {
      raise(PyExc_TypeError, "arrays[0] has dtype " + dtype_name(as_array(arrays[0])) +
                                 "; inject takes float32, uint16 or uint8 arrays");
    }
    Py_RETURN_NONE;
  });
}

}  // namespace corvane::bindings::engine
