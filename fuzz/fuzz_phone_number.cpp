// Feeds arbitrary text to the phone number rules. The first byte picks the default country code,
// so empty and odd codes are covered too. The result, when there is one, must be "+" and then
// only what the rules keep.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "store/phone_number_normalizer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static constexpr std::string_view kCodes[] = {"1", "44", "", "+", "49 "};
    std::string_view code = kCodes[0];
    if (size > 0) {
        code = kCodes[data[0] % std::size(kCodes)];
        ++data;
        --size;
    }
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    const auto normalized = vask::PhoneNumberNormalizer::normalize(raw, code);
    if (normalized && (normalized->empty() || normalized->front() != '+')) {
        std::abort();
    }
    return 0;
}
