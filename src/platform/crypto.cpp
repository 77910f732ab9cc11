#include "platform/crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "platform/error.h"
#include "platform/uuid.h"

namespace vask {

struct Sha256::Context {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(ctx); }
};

namespace {

// Fetched once: naming the digest at each initialisation looks it up again, under a lock, for
// every hash (one per message a synchronisation copies).
const EVP_MD* sha256Digest() {
    static EVP_MD* const fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return fetched != nullptr ? fetched : EVP_sha256();
}

}  // namespace

Sha256::Sha256() : context_(std::make_unique<Context>()) {
    if (context_->ctx == nullptr ||
        EVP_DigestInit_ex(context_->ctx, sha256Digest(), nullptr) != 1) {
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
    return Uuid::random().uppercaseString();
}

bool constantTimeEquals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace vask
