// The C++ state an Encoding object embeds. Shared by the two extension
// modules built from this tree: `_engine` works on the Encoding objects of
// `_rust` in place, so both must see one layout.
#pragma once

#include <utility>

#include "bindings/borrow.hpp"
#include "bindings/object.hpp"
#include "memory/encoding/secded_image.hpp"

namespace corvane::bindings::secded {

struct EncodingState {
  explicit EncodingState(memory::encoding::secded::Image&& i) : image(std::move(i)) {}
  BorrowFlag borrow;
  memory::encoding::secded::Image image;
};
using EncodingObject = Embedded<EncodingState>;

}  // namespace corvane::bindings::secded
