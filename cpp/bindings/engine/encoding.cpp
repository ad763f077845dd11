// The engine's functions on _rust Encoding objects, in place: inject faults,
// read stored bits, and run a sparse trial (decode only the chunks faults hit).
#include <string>
#include <vector>

#include "bindings/args.hpp"
#include "bindings/borrow.hpp"
#include "bindings/common.hpp"
#include "bindings/engine/convert.hpp"
#include "bindings/engine/functions.hpp"
#include "bindings/errors.hpp"
#include "memory/encoding/secded_trial.hpp"

namespace corvane::bindings::engine {
namespace {

using memory::FaultAt;
using memory::encoding::secded::Image;
using memory::encoding::secded::ParityRule;
using memory::encoding::secded::TrialError;

constexpr const char* kInjectParams[] = {"encoding", "kind", "sites"};
constexpr const char* kBitsParams[] = {"encoding", "sites"};
constexpr const char* kTrialParams[] = {"encoding", "kind", "sites", "element_bits", "correct_parity"};

void check_bounds(const Image& image, const Sites& sites) {
  const std::uint64_t total = image.bit_count();
  const auto values = sites.values();
  for (std::size_t k = 0; k < values.size(); ++k) {
    if (values[k] >= total) site_out_of_bounds(values, k, "an encoding of " + std::to_string(total) + " bits");
  }
}

// Python's truth of an object; whatever its __bool__ raises propagates.
bool truth(PyObject* obj) {
  const int value = PyObject_IsTrue(obj);
  if (value < 0) throw_python();
  return value == 1;
}

template <class T>
PyObject* trial(const Image& image, memory::FaultKind kind, const Sites& sites, ParityRule rule) {
  auto outcome = memory::encoding::secded::sparse_trial<memory::element::Bits<T>>(image, kind, sites.values(), rule);
  if (!outcome) {
    const TrialError& error = outcome.error();
    raise(error.kind() == TrialError::Kind::SiteOutOfBounds ? PyExc_IndexError : PyExc_ValueError, error.message());
  }
  Ref indices = array_from_vector<std::uint64_t>(std::move(outcome->indices));
  Ref values = array_from_vector<T>(std::move(outcome->values));
  return Py_BuildValue(
      "(OOKKKKK)", indices.get(), values.get(), static_cast<unsigned long long>(outcome->corrected),
      static_cast<unsigned long long>(outcome->flagged), static_cast<unsigned long long>(outcome->miscorrected),
      static_cast<unsigned long long>(outcome->flagged_intact), static_cast<unsigned long long>(outcome->multi_hit));
}

}  // namespace

// Exclusive access is taken before the other arguments are converted, as
// Encoding.apply_faults does, so Python code they run cannot reach the object.
PyObject* encoding_inject(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto slots = bind<3>({"encoding_inject()", kInjectParams, 3}, args, nargs, kwnames);
    auto& state = convert_arg(
        "encoding", [&]() -> auto& { return to_encoding(slots[0]); });
    const ExclusiveBorrow access(state.borrow);
    const auto kind = convert_arg("kind", [&] { return to_kind(slots[1]); });
    const Sites sites = convert_arg("sites", [&] { return Sites(slots[2]); });
    check_bounds(state.image, sites);
    std::vector<FaultAt> faults;
    faults.reserve(sites.size());
    for (const std::uint64_t g : sites.values()) faults.push_back({kind, g});
    state.image.apply_faults(faults);
    Py_RETURN_NONE;
  });
}

PyObject* encoding_bits(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto slots = bind<2>({"encoding_bits()", kBitsParams, 2}, args, nargs, kwnames);
    auto& state = convert_arg(
        "encoding", [&]() -> auto& { return to_encoding(slots[0]); });
    const SharedBorrow access(state.borrow);
    const Sites sites = convert_arg("sites", [&] { return Sites(slots[1]); });
    check_bounds(state.image, sites);
    auto [array, data] = new_array<std::uint8_t>(sites.size());
    const auto values = sites.values();
    for (std::size_t k = 0; k < values.size(); ++k) data[k] = state.image.is_1(values[k]) ? 1 : 0;
    return array.release();
  });
}

PyObject* encoding_trial(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto slots = bind<5>({"encoding_trial()", kTrialParams, 4}, args, nargs, kwnames);
    auto& state = convert_arg(
        "encoding", [&]() -> auto& { return to_encoding(slots[0]); });
    const SharedBorrow access(state.borrow);
    const auto kind = convert_arg("kind", [&] { return to_kind(slots[1]); });
    const Sites sites = convert_arg("sites", [&] { return Sites(slots[2]); });
    const std::uint64_t element_bits = convert_arg("element_bits", [&] { return to_u64(slots[3]); });
    const bool correct_parity = slots[4] != nullptr && convert_arg("correct_parity", [&] { return truth(slots[4]); });
    const ParityRule rule = correct_parity ? ParityRule::Correct : ParityRule::Flag;
    if (element_bits == 16) return trial<std::uint16_t>(state.image, kind, sites, rule);
    if (element_bits == 32) return trial<std::uint32_t>(state.image, kind, sites, rule);
    raise(PyExc_ValueError, "element_bits must be 16 or 32, got " + std::to_string(element_bits));
  });
}

}  // namespace corvane::bindings::engine
