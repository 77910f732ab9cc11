#pragma once

#include "records/title_generator.h"
#include "relay/corvane_responses.h"

namespace vask {

// The title model call through the relay's responses client, on its default route. `responses`
// must outlive the returned function.
TitleGenerator::Complete titleCompletionThrough(const CorvaneResponses& responses);

}  // namespace vask
