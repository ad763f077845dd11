// The image's word storage: allocated without zero-filling, and on huge
// pages when large.
#include <algorithm>
#include <cstdint>

#include "memory/encoding/secded_image.hpp"
#include "memory/huge_pages.hpp"

namespace corvane::memory::encoding::secded::detail {

Words::Words(std::size_t size) : words_(new std::uint64_t[size]), size_(size) {
  advise_huge_pages(words_.get(), size * sizeof(std::uint64_t));
}

Words::Words(const Words& other) : Words(other.size_) { std::copy_n(other.words_.get(), size_, words_.get()); }

Words& Words::operator=(const Words& other) {
  if (this != &other) *this = Words(other);
  return *this;
}

}  // namespace corvane::memory::encoding::secded::detail
