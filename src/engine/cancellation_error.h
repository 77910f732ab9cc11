#pragma once

#include "platform/error.h"

namespace vask {

// The task that awaited an operation was cancelled; thrown in place of the operation's result.
class CancellationError : public Error {
  public:
    CancellationError() : Error("The operation was cancelled.") {}
};

}  // namespace vask
