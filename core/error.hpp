#pragma once
// Failures of the core. Every failure is a C++ exception carrying a clear
// message; the Python module turns it into a Python exception.
#include <stdexcept>
#include <string>

namespace velnor {

// A broken internal invariant, or data the algorithms cannot order (NaN).
struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A failure caused by a value the caller passed (a parameter out of range).
struct InvalidArgument : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

}  // namespace velnor

#define VELNOR_ASSERT(cond, message)                    \
  do {                                                  \
    if (!(cond)) throw ::velnor::Error(message);        \
  } while (0)
