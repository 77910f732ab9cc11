#pragma once

#include <string>

#include "platform/error.h"

namespace vask {

// A reply or stored record that does not have the shape its type needs. what() says where and
// what is wrong ("\"usage\".\"requests\" is missing").
class DecodingError : public Error {
  public:
    explicit DecodingError(const std::string& message) : Error(message) {}
};

}  // namespace vask
