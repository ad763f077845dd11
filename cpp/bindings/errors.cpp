#include "bindings/errors.hpp"

#include <stdexcept>

namespace corvane::bindings {

PyObject* internal_error_type() {
  // One class for the process; it is never freed.
  static PyObject* type = PyErr_NewException("pyo3_runtime.PanicException", PyExc_BaseException, nullptr);
  return type;
}

void set_internal_error(std::string_view message) noexcept {
  PyObject* type = internal_error_type();
  if (type == nullptr) return;  // creating the class failed; that error stays set
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw_python();
}

void raise(PyObject* type, const std::string& message) { raise(type, message.c_str()); }

void raise_cast_error(PyObject* obj, const char* target) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
    throw_python();
  }
  Ref qualname = Ref::check(PyType_GetQualName(Py_TYPE(obj)));
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(), target);
  throw_python();
}

void add_processing_note(const char* name) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exc = PyErr_GetRaisedException();
#else
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  PyObject* exc = value;
#endif
  if (exc == nullptr) return;
  PyObject* note = PyUnicode_FromFormat("while processing '%s'", name);
  if (note != nullptr) {
    PyObject* r = PyObject_CallMethod(exc, "add_note", "O", note);
    Py_DECREF(note);
    if (r == nullptr) {
      // Keep the original exception rather than the failure of the note.
      PyErr_Clear();
    }
    Py_XDECREF(r);
  } else {
    PyErr_Clear();
  }
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
#endif
}

void translate_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) set_internal_error("a Python error was signalled without an exception set");
  } catch (const InternalError& e) {
    set_internal_error(e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A container asked to grow past what it can address: out of memory
    // for the caller's data, not a broken invariant.
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_internal_error(e.what());
  } catch (...) {
    set_internal_error("unknown C++ exception");
  }
}

}  // namespace corvane::bindings
