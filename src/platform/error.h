#pragma once

#include <stdexcept>
#include <string>

namespace vask {

// Base of every error the system throws. Each component derives its own type with an enum of
// cases; what() is the component's fixed phrase followed by the lower-level message.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace vask
