// draw_sites: the first values of a seeded Picker as one uint64 array.
#include "picker/draw.hpp"

#include "bindings/args.hpp"
#include "bindings/engine/convert.hpp"
#include "bindings/engine/functions.hpp"
#include "bindings/errors.hpp"

namespace corvane::bindings::engine {

namespace {
constexpr const char* kParams[] = {"size", "seed", "count"};
}

PyObject* draw_sites(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto slots = bind<3>({"draw_sites()", kParams, 3}, args, nargs, kwnames);
    const std::uint64_t size = convert_arg("size", [&] { return to_u64(slots[0]); });
    const std::uint64_t seed = convert_arg("seed", [&] { return to_u64(slots[1]); });
    const std::uint64_t count = convert_arg("count", [&] { return to_u64(slots[2]); });
    if (count > size) {
      raise(PyExc_ValueError, "count " + std::to_string(count) + " exceeds size " + std::to_string(size) +
                                  ": a permutation of 0.." + std::to_string(size) + " has only size values");
    }
    if (count > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) / sizeof(std::uint64_t)) {
      PyErr_NoMemory();
      throw_python();
    }
    auto [array, data] = new_array<std::uint64_t>(static_cast<std::size_t>(count));
    picker::draw_into(size, seed, {data, static_cast<std::size_t>(count)});
    return array.release();
  });
}

}  // namespace corvane::bindings::engine
