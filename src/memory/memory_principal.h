#pragma once

#include <functional>
#include <optional>
#include <string>

namespace vask {

// The account scope of private memory. Every memory read and write names one.
class MemoryPrincipal {
  public:
    // Nothing when `rawValue` is blank; otherwise the value exactly as given (untrimmed).
    static std::optional<MemoryPrincipal> make(std::string rawValue);

    const std::string& rawValue() const { return rawValue_; }

    bool operator==(const MemoryPrincipal&) const = default;

  private:
    explicit MemoryPrincipal(std::string rawValue) : rawValue_(std::move(rawValue)) {}

    std::string rawValue_;
};

// The current principal, asked anew at every use.
using MemoryPrincipalProvider = std::function<std::optional<MemoryPrincipal>()>;

}  // namespace vask

template <>
struct std::hash<vask::MemoryPrincipal> {
    std::size_t operator()(const vask::MemoryPrincipal& principal) const noexcept {
        return std::hash<std::string>{}(principal.rawValue());
    }
};
