#pragma once

#include <functional>
#include <memory>
#include <string>

namespace vask {

// The loopback persona-context endpoint one turn attempt offers to the helper.
class PersonaContextHost {
  public:
    virtual ~PersonaContextHost() = default;
    // "http://127.0.0.1:<port>".
    virtual const std::string& endpoint() const = 0;
    virtual const std::string& token() const = 0;
    // Stops the listener; called once when the attempt ends, whatever its outcome.
    virtual void cancel() = 0;
};

// Starts an endpoint over the shadow database; throws when it cannot be started.
using PersonaContextHostFactory =
    std::function<std::unique_ptr<PersonaContextHost>(const std::string& shadowDBPath)>;

}  // namespace vask
