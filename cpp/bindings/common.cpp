#include "bindings/common.hpp"

#include <cstring>

#include "bindings/args.hpp"

namespace corvane::bindings {

bool is_array_of(PyObject* obj, int typenum) {
  if (!PyArray_Check(obj)) return false;
  PyArray_Descr* have = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(obj));
  // Fast path: a plain native-order descriptor of the type.
  if (have->type_num == typenum && PyArray_ISNBO(have->byteorder) && !PyDataType_HASFIELDS(have)) return true;
  PyArray_Descr* want = PyArray_DescrFromType(typenum);  // new reference
  const bool same = have == want || PyArray_EquivTypes(have, want);
  Py_DECREF(want);
  return same;
}

std::uint64_t element_count(PyArrayObject* arr) {
  std::uint64_t count = 1;
  const int ndim = PyArray_NDIM(arr);
  const npy_intp* shape = PyArray_DIMS(arr);
  for (int k = 0; k < ndim; ++k) count *= static_cast<std::uint64_t>(shape[k]);
  return count;
}

std::vector<Ref> extract_array_list(PyObject* obj, int typenum) {
  return extract_sequence<Ref>(obj, [typenum](PyObject* item) {
    if (!is_array_of(item, typenum)) raise_cast_error(item, "ndarray");
    return Ref::borrow(item);
  });
}

void require_writeable(PyArrayObject* arr) {
  if (!PyArray_ISWRITEABLE(arr)) fail("cannot take write access to the array: NotWriteable");
}

Ref extract_writable_array(PyObject* obj, int typenum) {
  if (!is_array_of(obj, typenum)) raise_cast_error(obj, "ndarray");
  require_writeable(reinterpret_cast<PyArrayObject*>(obj));
  return Ref::borrow(obj);
}

void* contiguous_data(PyArrayObject* arr) {
  if (element_count(arr) == 0) return nullptr;
  const bool contiguous = PyArray_ISALIGNED(arr) && (PyArray_IS_C_CONTIGUOUS(arr) || PyArray_IS_F_CONTIGUOUS(arr));
  if (!contiguous || PyArray_DATA(arr) == nullptr) raise(PyExc_ValueError, "`arr` is not contiguous.");
  return PyArray_DATA(arr);
}

namespace {

// Walks axis `axis` of a row-major traversal, appending elements to out.
void copy_axis(const char* base, const npy_intp* shape, const npy_intp* strides, int axis, int ndim,
               std::size_t itemsize, char*& out) {
  const npy_intp n = shape[axis];
  if (axis + 1 == ndim) {
    for (npy_intp i = 0; i < n; ++i) {
      std::memcpy(out, base + i * strides[axis], itemsize);
      out += itemsize;
    }
    return;
  }
  for (npy_intp i = 0; i < n; ++i) copy_axis(base + i * strides[axis], shape, strides, axis + 1, ndim, itemsize, out);
}

}  // namespace

void copy_row_major(PyArrayObject* arr, void* out) {
  const auto itemsize = static_cast<std::size_t>(PyArray_ITEMSIZE(arr));
  const auto* data = static_cast<const char*>(PyArray_DATA(arr));
  const int ndim = PyArray_NDIM(arr);
  if (ndim == 0 || PyArray_IS_C_CONTIGUOUS(arr)) {
    std::memcpy(out, data, itemsize * static_cast<std::size_t>(element_count(arr)));
    return;
  }
  char* cursor = static_cast<char*>(out);
  copy_axis(data, PyArray_DIMS(arr), PyArray_STRIDES(arr), 0, ndim, itemsize, cursor);
}

Ref array_from_owner(int typenum, void* data, std::size_t length, PyObject* owner) {
  npy_intp dims[1] = {static_cast<npy_intp>(length)};
  PyArray_Descr* descr = PyArray_DescrFromType(typenum);  // stolen by NewFromDescr
  if (data == nullptr) {
    return Ref::check(
        PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, nullptr, nullptr, NPY_ARRAY_WRITEABLE, nullptr));
  }
  npy_intp strides[1] = {static_cast<npy_intp>(PyDataType_ELSIZE(descr))};
  Ref array =
      Ref::check(PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, strides, data, NPY_ARRAY_WRITEABLE, nullptr));
  Py_INCREF(owner);
  check_status(PyArray_SetBaseObject(as_array(array), owner));  // steals owner, even on failure
  return array;
}

}  // namespace corvane::bindings
