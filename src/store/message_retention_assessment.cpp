#include "store/message_retention_assessment.h"

namespace vask {

std::optional<MessageRetentionAssessment::Policy> MessageRetentionAssessment::policyFromRawValue(
    int rawValue) noexcept {
    switch (rawValue) {
        case static_cast<int>(Policy::thirtyDays):
            return Policy::thirtyDays;
        case static_cast<int>(Policy::oneYear):
            return Policy::oneYear;
        default:
            return std::nullopt;
    }
}

}  // namespace vask
