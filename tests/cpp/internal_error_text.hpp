// The text of the InternalError a call throws, for tests of failure messages.
#pragma once

#include <string>

#include "internal_error.hpp"

namespace corvane::testing {

template <class F>
std::string internal_error_of(F&& f) {
  try {
    f();
  } catch (const InternalError& e) {
    return e.what();
  }
  return "(no internal error)";
}

}  // namespace corvane::testing
