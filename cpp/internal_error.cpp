#include "internal_error.hpp"

namespace corvane {

void fail(const std::string& message) { throw InternalError(message); }

void fail_expect(const std::string& what, const std::string& debug) { throw InternalError(what + ": " + debug); }

void fail_assert_eq(unsigned long long left, unsigned long long right, const std::string& message) {
  std::string text = "assertion `left == right` failed";
  if (!message.empty()) text += ": " + message;
  text += "\n  left: " + std::to_string(left) + "\n right: " + std::to_string(right);
  throw InternalError(text);
}

}  // namespace corvane
