// InternalFailure: the one exception type of the engine, thrown only when an
// invariant is broken. Expected failures (bad pattern text, an unbound
// applier variable) are returned as values instead.
#pragma once

#include <stdexcept>
#include <string>

namespace zembrik::eqsat {

class InternalFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fail(const std::string& message) {
  throw InternalFailure(message);
}

}  // namespace zembrik::eqsat
