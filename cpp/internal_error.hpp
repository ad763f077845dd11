// The one exception type of the plain C++ layers: a violated invariant.
//
// Expected failures of the core (bad sizes, invalid groups, decode length
// mismatches, ...) are values returned beside results (see expected.hpp).
// InternalError is thrown only when something that cannot happen did; the
// bindings turn it into the module's internal-error exception with the text.
#pragma once

#include <stdexcept>
#include <string>

namespace corvane {

class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// Throws InternalError(message). Out of line so that hot paths stay small.
[[noreturn]] void fail(const std::string& message);

// "<what>: <debug>", the form used for failed expectations.
[[noreturn]] void fail_expect(const std::string& what, const std::string& debug);

// Equality assertion in the form "assertion `left == right` failed: <msg>\n  left: a\n right: b".
[[noreturn]] void fail_assert_eq(unsigned long long left, unsigned long long right, const std::string& message = {});

}  // namespace corvane
