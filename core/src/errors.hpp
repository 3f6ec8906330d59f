// Error types the engine raises: user-facing errors (ValueError in Python) and broken invariants.
#pragma once

#include <stdexcept>
#include <string>

namespace vorpex {

// A problem with what the user asked for; the message is shown to the user as it stands.
struct UserError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A broken internal invariant. Surfaces in Python as vorpex.InternalError (a BaseException).
struct InternalError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void internal_error(const std::string& what) {
  throw InternalError("internal error: " + what);
}

}  // namespace vorpex
