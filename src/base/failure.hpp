// InternalFailure: a broken invariant or a poisoned lock. The call cannot go
// on, and the object it happened in stays unusable. Expected failures (a bad
// id, bad pattern text, a malformed blob) are returned as values instead; the
// Python layer raises this one as an exception outside the Exception
// hierarchy.
#pragma once

#include <stdexcept>
#include <string>

namespace zembrik {

class InternalFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fail(const std::string& message) {
  throw InternalFailure(message);
}

}  // namespace zembrik
