// The Fault class and the conversions of fault arguments.
#pragma once

#include <vector>

#include "bindings/ref.hpp"
#include "memory/fault.hpp"

namespace corvane::bindings::fault {

// The type object, created on first use.
PyTypeObject* type();

// A Fault instance's kind ("'<type>' object is not an instance of 'Fault'").
memory::FaultKind to_kind(PyObject* obj);

// A sequence of (Fault, int) tuples, in order.
std::vector<memory::FaultAt> to_fault_list(PyObject* obj);

}  // namespace corvane::bindings::fault
