#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vask {

// A 128-bit identifier with its canonical 8-4-4-4-12 hexadecimal text form.
class Uuid {
  public:
    using Bytes = std::array<std::uint8_t, 16>;

    Uuid() = default;  // all zero
    explicit Uuid(const Bytes& bytes) : bytes_(bytes) {}

    // A random (version 4) identifier.
    static Uuid random();
    // The canonical form in either letter case; nothing for anything else (no braces, no
    // missing hyphens).
    static std::optional<Uuid> parse(std::string_view text);

    std::string lowercaseString() const;
    std::string uppercaseString() const;
    const Bytes& bytes() const { return bytes_; }

    // NOLINTNEXTLINE(modernize-use-nullptr): the defaulted comparison has no pointer in it.
    auto operator<=>(const Uuid&) const = default;

  private:
    Bytes bytes_{};
};

}  // namespace vask
