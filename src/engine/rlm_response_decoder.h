#pragma once

#include <string_view>

#include "engine/rlm_helper_result.h"
#include "engine/rlm_usage_observability.h"

namespace vask {

// Turns the helper's standard output into the run's result, or into the RLMHelperError that
// explains why there is no usable answer.
class RLMResponseDecoder {
  public:
    // Writes exactly one "rlm_token_usage" event on every path, and the run's other diagnostic
    // events through the "rlm-helper" logger. Throws RLMHelperError.
    static RLMHelperResult decodeResponse(std::string_view output,
                                          const RLMUsageObservabilityContext& usageContext);
};

}  // namespace vask
