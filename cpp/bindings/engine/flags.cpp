// false_at: the chunks of a decode's flag list that it could not correct.
//
// A dense SEC-DED trial decodes every chunk and gets one bool per chunk; it
// needs the flags of the chunks its faults hit only. Read here without a
// Python int or a NumPy conversion per chunk.
#include <string>
#include <utility>
#include <vector>

#include "bindings/args.hpp"
#include "bindings/common.hpp"
#include "bindings/engine/convert.hpp"
#include "bindings/engine/functions.hpp"
#include "bindings/errors.hpp"

namespace corvane::bindings::engine {
namespace {

constexpr const char* kParams[] = {"flags", "indices"};

}  // namespace

PyObject* false_at(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto slots = bind<2>({"false_at()", kParams, 2}, args, nargs, kwnames);
    PyObject* flags = slots[0];
    if (!PyList_Check(flags)) raise_cast_error(flags, "list");
    const Sites indices = convert_arg("indices", [&] { return Sites(slots[1]); });
    const auto values = indices.values();
    // Nothing below runs Python code, so the list cannot change while it is read.
    const auto length = static_cast<std::uint64_t>(PyList_GET_SIZE(flags));
    std::vector<std::uint64_t> out;
    for (std::size_t k = 0; k < values.size(); ++k) {
      const std::uint64_t i = values[k];
      if (i >= length) {
        raise(PyExc_IndexError, "index " + std::to_string(i) + " (indices[" + std::to_string(k) +
                                    "]) is out of range for " + std::to_string(length) + " flags");
      }
      PyObject* item = PyList_GET_ITEM(flags, static_cast<Py_ssize_t>(i));
      if (item == Py_False) {
        out.push_back(i);
      } else if (item != Py_True) {
        raise(PyExc_TypeError, "flags[" + std::to_string(i) + "] is not a bool");
      }
    }
    return array_from_vector<std::uint64_t>(std::move(out)).release();
  });
}

}  // namespace corvane::bindings::engine
