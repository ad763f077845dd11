// Python objects that embed one C++ value after the object header: the value
// is constructed in place when the object is made and destroyed in
// tp_dealloc. The classes are heap types without GC, so dealloc also drops
// the instance's reference to its type.
#pragma once

#include <new>
#include <utility>

#include "bindings/ref.hpp"

namespace corvane::bindings {

template <class State>
struct Embedded {
  PyObject_HEAD State state;

  static State& of(PyObject* self) noexcept { return reinterpret_cast<Embedded*>(self)->state; }

  // A new instance of `tp` whose state is State(args...).
  template <class... Args>
  static PyObject* create(PyTypeObject* tp, Args&&... args) {
    PyObject* obj = tp->tp_alloc(tp, 0);
    if (obj == nullptr) throw_python();
    try {
      new (&of(obj)) State(std::forward<Args>(args)...);
    } catch (...) {
      tp->tp_free(obj);
      Py_DECREF(tp);
      throw;
    }
    return obj;
  }

  static void dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    of(self).~State();
    tp->tp_free(self);
    Py_DECREF(tp);
  }
};

}  // namespace corvane::bindings
