#include "bindings/engine/convert.hpp"

#include <cstring>

#include "bindings/common.hpp"
#include "bindings/errors.hpp"

namespace corvane::bindings::engine {
namespace {

// Owned for the life of the process, as the module is (one interpreter).
PyTypeObject* g_encoding_type = nullptr;

[[noreturn]] void not_a_site_array(PyObject* obj) {
  std::string got;
  if (PyArray_Check(obj)) {
    got = "an array of dtype " + dtype_name(reinterpret_cast<PyArrayObject*>(obj));
  } else {
    Ref name = Ref::check(PyType_GetQualName(Py_TYPE(obj)));
    got = "'" + std::string(PyUnicode_AsUTF8(name.get())) + "' object";
  }
  raise(PyExc_TypeError, "expected a 1-D numpy.uint64 array, got " + got);
}

}  // namespace

memory::FaultKind to_kind(PyObject* obj) {
  Ref index = Ref::check(PyNumber_Index(obj));
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw_python();
  if (overflow != 0 || v < 0 || v > 2) {
    Ref text = Ref::check(PyObject_Repr(index.get()));
    raise(PyExc_ValueError,
          "kind must be STUCK_AT_0 (0), STUCK_AT_1 (1) or FLIP (2), got " + std::string(PyUnicode_AsUTF8(text.get())));
  }
  return static_cast<memory::FaultKind>(v);
}

Sites::Sites(PyObject* obj) {
  if (!is_array_of(obj, NPY_UINT64)) not_a_site_array(obj);
  array_ = Ref::borrow(obj);
  PyArrayObject* arr = as_array(array_);
  if (PyArray_NDIM(arr) != 1) {
    raise(PyExc_ValueError,
          "expected a 1-D numpy.uint64 array, got a " + std::to_string(PyArray_NDIM(arr)) + "-D array");
  }
  const auto count = static_cast<std::size_t>(PyArray_DIM(arr, 0));
  if (count == 0) return;
  if (PyArray_ISALIGNED(arr) && PyArray_IS_C_CONTIGUOUS(arr)) {
    view_ = {static_cast<const std::uint64_t*>(PyArray_DATA(arr)), count};
    return;
  }
  copy_.resize(count);
  copy_row_major(arr, copy_.data());
  view_ = copy_;
}

void Sites::detach_from(const void* begin, const void* end) {
  if (view_.empty() || !copy_.empty()) return;
  const auto* lo = reinterpret_cast<const char*>(view_.data());
  const auto* hi = reinterpret_cast<const char*>(view_.data() + view_.size());
  if (hi <= static_cast<const char*>(begin) || lo >= static_cast<const char*>(end)) return;
  copy_.assign(view_.begin(), view_.end());
  view_ = copy_;
}

void site_out_of_bounds(std::span<const std::uint64_t> sites, std::size_t k, const std::string& what) {
  raise(PyExc_IndexError,
        "site " + std::to_string(sites[k]) + " (sites[" + std::to_string(k) + "]) is out of bounds for " + what);
}

void init_encoding_type(PyObject* engine_module) {
  if (g_encoding_type != nullptr) return;
  // The sibling module of the same package: corvane._engine finds corvane._rust.
  Ref name = Ref::check(PyModule_GetNameObject(engine_module));
  std::string rust_name = PyUnicode_AsUTF8(name.get());
  const auto dot = rust_name.rfind('.');
  rust_name = (dot == std::string::npos ? std::string() : rust_name.substr(0, dot + 1)) + "_rust";
  Ref rust = Ref::check(PyImport_ImportModule(rust_name.c_str()));
  Ref secded = Ref::check(PyObject_GetAttrString(rust.get(), "secded"));
  npy_intp dims[1] = {1};
  Ref zeros = Ref::check(PyArray_ZEROS(1, dims, NPY_UINT16, 0));
  Ref input = Ref::check(PyList_New(1));
  PyList_SET_ITEM(input.get(), 0, zeros.release());
  Ref encoding = Ref::check(PyObject_CallMethod(secded.get(), "encode_u16", "Oi", input.get(), 16));
  PyTypeObject* tp = Py_TYPE(encoding.get());
  // Both modules are built from one tree; a size that differs means they
  // were not, and the state cannot be shared.
  if (tp->tp_basicsize != static_cast<Py_ssize_t>(sizeof(secded::EncodingObject))) {
    raise(PyExc_ImportError, rust_name + ".secded.Encoding does not match this build of the engine");
  }
  Py_INCREF(tp);
  g_encoding_type = tp;
}

secded::EncodingState& to_encoding(PyObject* obj) {
  if (g_encoding_type == nullptr) raise(PyExc_RuntimeError, "the Encoding type is not initialised");
  if (Py_TYPE(obj) != g_encoding_type) raise_cast_error(obj, "Encoding");
  return secded::EncodingObject::of(obj);
}

std::string dtype_name(PyArrayObject* arr) {
  Ref text = Ref::check(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(arr))));
  const char* utf8 = PyUnicode_AsUTF8(text.get());
  if (utf8 == nullptr) throw_python();
  return utf8;
}

}  // namespace corvane::bindings::engine
