#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace vask {

// SHA-256 over data fed in pieces, so large files hash without being held in memory.
class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(std::span<const std::byte> data);
    void update(std::string_view data);
    std::array<std::uint8_t, 32> finish();
    // Lower-case hexadecimal of the digest.
    std::string finishHex();

    static std::string hex(std::string_view data);

  private:
    struct Context;
    std::unique_ptr<Context> context_;
};

// Fills `out` with cryptographically strong random bytes; throws vask::Error when the system's
// generator fails.
void randomBytes(std::span<std::uint8_t> out);

// A random (version 4) UUID in its upper-case text form, e.g. "9F1C...-...".
std::string randomUUID();

// Whether two secrets are equal, in a time that does not depend on where they first differ (it
// depends on their length only).
bool constantTimeEquals(std::string_view a, std::string_view b);

}  // namespace vask
