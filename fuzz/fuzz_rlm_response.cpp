// Feeds arbitrary bytes to the helper response decoder as the helper's standard output. It must
// either give an answer, trimmed and not empty, or throw the run's one error type; nothing else
// may escape it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/rlm_helper_error.h"
#include "engine/rlm_response_decoder.h"
#include "platform/text.h"
#include "quiet_log.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vask::fuzz::silenceLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view output(reinterpret_cast<const char*>(data), size);
    static const vask::RLMUsageObservabilityContext context{"1.0",     "1",    "balanced", "auto",
                                                            "default", "chat", "api_key"};
    try {
        const auto result = vask::RLMResponseDecoder::decodeResponse(output, context);
        if (result.answer.empty() || vask::text::trimmed(result.answer) != result.answer) {
            std::abort();
        }
    } catch (const vask::RLMHelperError&) {
        // The helper's output was refused with its reason.
    }
    return 0;
}
