#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace vask {

// Base of every error the system throws. Each component derives its own type with an enum of
// cases; what() is the component's fixed phrase followed by the lower-level message.
class Error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The description of a caught error: its what() text, "Unknown error" for anything that is not
// a std::exception, and "" for no error at all.
std::string describeException(const std::exception_ptr& error);

}  // namespace vask
