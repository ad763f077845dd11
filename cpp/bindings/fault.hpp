// The Fault class and the conversions of fault arguments.
#pragma once

#include <vector>

#include "bindings/ref.hpp"
#include "memory/fault.hpp"

namespace corvane::bindings::fault {

// The type object (NULL before the module's exec has created it).
PyTypeObject* type();

// A new type object.
PyTypeObject* create_type();

// A Fault instance's kind ("'<type>' object is not an instance of 'Fault'").
memory::FaultKind to_kind(PyObject* obj);

// A sequence of (Fault, int) tuples, in order.
std::vector<memory::FaultAt> to_fault_list(PyObject* obj);

}  // namespace corvane::bindings::fault
