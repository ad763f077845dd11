// The Picker class: a Python iterator over a random permutation of 0..size.
//
// Each instance embeds one picker::Picker. Drawing runs straight from
// tp_iternext into the core, so the only per-value cost on the Python side
// is the int that carries the value out.
#include "picker/picker.hpp"

#include <cstdint>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "bindings/args.hpp"
#include "bindings/borrow.hpp"
#include "bindings/errors.hpp"
#include "bindings/object.hpp"
#include "bindings/registry.hpp"
#include "bindings/state.hpp"
#include "picker/rng.hpp"

namespace corvane::bindings::picker {
namespace {

using corvane::picker::Xoshiro256pp;
using Core = corvane::picker::Picker;

struct PickerState {
  explicit PickerState(Core&& c) : core(std::move(c)) {}
  BorrowFlag borrow;
  Core core;
};
using PickerObject = Embedded<PickerState>;

PickerState* as_picker(PyObject* self) { return &PickerObject::of(self); }

// A new instance of `tp` that takes over `core`.
PyObject* wrap(PyTypeObject* tp, Core&& core) { return PickerObject::create(tp, std::move(core)); }

// `seed` is an optional argument slot: absent or None means fresh entropy.
Xoshiro256pp generator(std::optional<std::uint64_t> seed) {
  return seed ? Xoshiro256pp::expand_seed(*seed) : Xoshiro256pp::from_rng();
}

std::optional<std::uint64_t> to_seed(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  return to_u64(obj);
}

// The elements of a set or frozenset (subclasses included), in the set's own
// order. Items are held while converted: an __index__ may mutate the set,
// which the set's iterator then reports.
std::vector<std::uint64_t> to_returned(PyObject* obj) {
  if (!PyAnySet_Check(obj)) raise_cast_error(obj, "set");
  std::vector<std::uint64_t> values;
  values.reserve(static_cast<std::size_t>(PySet_GET_SIZE(obj)));
  for_each_item(obj, [&](PyObject* item) { values.push_back(to_u64(item)); });
  return values;
}

constexpr const char* kNewParams[] = {"size", "seed"};
constexpr const char* kFromReturnedParams[] = {"initial_size", "already_returned", "seed"};

// Messages name the constructor as Python does for a class whose __new__
// takes these parameters.
constexpr Signature kNewSignature{"Picker.__new__()", kNewParams, 1};
constexpr Signature kFromReturnedSignature{"Picker.from_returned()", kFromReturnedParams, 2};

// tp_new receives a tuple and a dict; the binder takes the fast-call form.
PyObject* new_picker(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
    std::vector<Ref> held;
    std::vector<PyObject*> flat;
    held.reserve(static_cast<std::size_t>(nargs + nkw));
    flat.reserve(static_cast<std::size_t>(nargs + nkw));
    for (Py_ssize_t i = 0; i < nargs; ++i) flat.push_back(PyTuple_GET_ITEM(args, i));
    Ref kwnames;
    if (nkw > 0) {
      kwnames = Ref::check(PyTuple_New(nkw));
      Py_ssize_t pos = 0, k = 0;
      PyObject *key = nullptr, *value = nullptr;
      while (PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
        held.push_back(Ref::borrow(value));
        flat.push_back(value);
      }
    }
    const auto slots = bind<2>(kNewSignature, flat.data(), nargs, kwnames.get());
    const std::uint64_t size = convert_arg("size", [&] { return to_u64(slots[0]); });
    const auto seed = convert_arg("seed", [&] { return to_seed(slots[1]); });
    return wrap(tp, Core(size, generator(seed)));
  });
}

PyObject* from_returned(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const auto slots = bind<3>(kFromReturnedSignature, args, nargs, kwnames);
    const std::uint64_t size = convert_arg("initial_size", [&] { return to_u64(slots[0]); });
    const auto returned = convert_arg("already_returned", [&] { return to_returned(slots[1]); });
    const auto seed = convert_arg("seed", [&] { return to_seed(slots[2]); });
    auto rebuilt = Core::from_returned(size, returned, generator(seed));
    if (!rebuilt) raise(PyExc_ValueError, rebuilt.error().message());
    PyTypeObject* tp = type();
    if (tp == nullptr) throw_python();
    return wrap(tp, std::move(*rebuilt));
  });
}

PyObject* reset(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    ExclusiveBorrow access(as_picker(self)->borrow);
    as_picker(self)->core.reset();
    Py_RETURN_NONE;
  });
}

PyObject* get_initial_size(PyObject* self, void*) {
  return guard([&] {
    SharedBorrow access(as_picker(self)->borrow);
    return PyLong_FromUnsignedLongLong(as_picker(self)->core.initial_size());
  });
}

PyObject* get_size(PyObject* self, void*) {
  return guard([&] {
    SharedBorrow access(as_picker(self)->borrow);
    return PyLong_FromUnsignedLongLong(as_picker(self)->core.remaining());
  });
}

Py_ssize_t length(PyObject* self) {
  return guard_status(Py_ssize_t{-1}, [&] {
    SharedBorrow access(as_picker(self)->borrow);
    const std::uint64_t remaining = as_picker(self)->core.remaining();
    if (remaining > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
      PyErr_SetNone(PyExc_OverflowError);
      throw_python();
    }
    return static_cast<Py_ssize_t>(remaining);
  });
}

// NULL without an exception set ends the iteration (a bare StopIteration).
PyObject* iternext(PyObject* self) {
  return guard([&]() -> PyObject* {
    ExclusiveBorrow access(as_picker(self)->borrow);
    const std::optional<std::uint64_t> value = as_picker(self)->core.next();
    return value ? PyLong_FromUnsignedLongLong(*value) : nullptr;
  });
}

PyMethodDef methods[] = {
    {"from_returned", fastcall(from_returned), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_returned(initial_size, already_returned, seed=None)\n--\n\n"
     "Reconstruct a picker that will not return any of the `already_returned`\nvalues.\n\n"
     "The remaining values returned will be a valid permutation of\n"
     "`0..initial_size` excluding `already_returned`. Raises `ValueError` if\n"
     "any returned value is outside `0..initial_size`."},
    {"reset", reset, METH_NOARGS, "reset($self)\n--\n\nReset the picker to its initial state."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"initial_size", get_initial_size, nullptr, "The initial size of the picker, as passed to the constructor.",
     nullptr},
    {"size", get_size, nullptr, "The number of remaining values.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kDoc[] =
    "Picker(size, seed=None)\n--\n\n"
    "An iterator which returns numbers from 0..n in a random order until all\nvalues are consumed.\n\n"
    "Every returned value is unique.\n\n"
    "This is based on the [Fisher-Yates\n"
    "shuffle](https://en.wikipedia.org/wiki/Fisher%E2%80%93Yates_shuffle) but\n"
    "instead of shuffling the whole sequence we just return the target index for\nthe swap.";

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_new, reinterpret_cast<void*>(new_picker)},
    {Py_tp_dealloc, reinterpret_cast<void*>(PickerObject::dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_sq_length, reinterpret_cast<void*>(length)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iternext)},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.Picker", sizeof(PickerObject), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyTypeObject* type() { return module_state().picker; }

PyTypeObject* create_type() { return reinterpret_cast<PyTypeObject*>(Ref::check(PyType_FromSpec(&spec)).release()); }

}  // namespace corvane::bindings::picker
