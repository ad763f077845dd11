// The module's type objects, in one place.
//
// All four are created by the module's exec function, which runs under the
// import lock, before any of them is used; afterwards they are only read. A
// type whose creation failed stays NULL, the import fails, and the next
// import creates what is missing. The module serves one interpreter per
// process, so one process-wide state serves it.
#pragma once

#include "bindings/python.hpp"

namespace corvane::bindings {

struct ModuleState {
  PyTypeObject* fault = nullptr;
  PyTypeObject* picker = nullptr;
  PyTypeObject* encoding = nullptr;
  PyTypeObject* scheme = nullptr;
};

ModuleState& module_state() noexcept;

// Creates every type still missing; throws on the first failure.
void create_types();

}  // namespace corvane::bindings
