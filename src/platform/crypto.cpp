#include "platform/crypto.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>

#include "platform/error.h"

namespace vask {

struct Sha256::Context {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
    if (context_->ctx == nullptr || EVP_DigestInit_ex(context_->ctx, EVP_sha256(), nullptr) != 1) {
        throw Error("SHA-256 is not available");
    }
}

Sha256::~Sha256() = default;

void Sha256::update(std::span<const std::byte> data) {
    if (EVP_DigestUpdate(context_->ctx, data.data(), data.size()) != 1) {
        throw Error("SHA-256 update failed");
    }
}

void Sha256::update(std::string_view data) {
    update(std::as_bytes(std::span(data.data(), data.size())));
}

std::array<std::uint8_t, 32> Sha256::finish() {
    std::array<std::uint8_t, 32> digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_->ctx, digest.data(), &length) != 1 || length != digest.size()) {
        throw Error("SHA-256 finish failed");
    }
    return digest;
}

std::string Sha256::finishHex() {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(64);
    for (const auto byte : finish()) {
        out += digits[byte >> 4];
        out += digits[byte & 0x0f];
    }
    return out;
}

std::string Sha256::hex(std::string_view data) {
    Sha256 hash;
    hash.update(data);
    return hash.finishHex();
}

void randomBytes(std::span<std::uint8_t> out) {
    if (RAND_bytes(out.data(), static_cast<int>(out.size())) != 1) {
        throw Error("The system random generator failed");
    }
}

std::string randomUUID() {
    std::array<std::uint8_t, 16> b{};
    randomBytes(b);
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3f) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                  b[15]);
    return text;
}

}  // namespace vask
