// Feeds arbitrary bytes to the typedstream decoder as a message body. Any sanitizer report, any
// exception other than TypedStreamDecoderError, or a first item that disagrees with the full
// decode is a failure.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <variant>

#include "typedstream/typedstream_decoder.h"

using vask::typedstream::Archivable;
using vask::typedstream::Object;
using vask::typedstream::TypedStreamDecoder;
using vask::typedstream::TypedStreamDecoderError;

namespace {

// Equality that holds for NaN values too: floating-point values compare by their bits.
bool sameValue(const Object& a, const Object& b) {
    if (const auto* x = std::get_if<double>(&a); x && std::holds_alternative<double>(b)) {
        return std::memcmp(x, &std::get<double>(b), sizeof(double)) == 0;
    }
    if (const auto* x = std::get_if<float>(&a); x && std::holds_alternative<float>(b)) {
        return std::memcmp(x, &std::get<float>(b), sizeof(float)) == 0;
    }
    return a == b;
}

bool sameItem(const Archivable& a, const Archivable& b) {
    if (a.kind != b.kind || !(a.cls == b.cls) || a.types != b.types ||
        a.values.size() != b.values.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.values.size(); ++i) {
        if (!sameValue(a.values[i], b.values[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> body(data, size);

    std::optional<Archivable> first;
    bool firstFailed = false;
    try {
        first = TypedStreamDecoder::firstTopLevelItem(body);
        if (first) {
            (void)first->stringValue();
        }
    } catch (const TypedStreamDecoderError&) {
        firstFailed = true;
    }

    try {
        const auto items = TypedStreamDecoder::decode(body);
        // A whole decode that succeeds must agree with the first-item decode.
        if (firstFailed || (items.empty() != !first) ||
            (first && !sameItem(items.front(), *first))) {
            std::abort();
        }
        for (const auto& item : items) {
            (void)item.stringValue();
            (void)item.integerValue();
            (void)item.doubleValue();
        }
    } catch (const TypedStreamDecoderError&) {
    }
    return 0;
}
