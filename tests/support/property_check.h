#pragma once

#include <gtest/gtest.h>
#include <rapidcheck.h>

#include <cstdint>
#include <functional>
#include <sstream>
#include <string>

namespace vask::test {

// The seed of every generated property: a run is the same each time.
inline constexpr std::uint64_t propertySeed = 20261208;

// Checks `property` `runs` times from the fixed seed, with sizes up to `maxSize`; a failure,
// shrunk, fails the test with the smallest case RapidCheck found.
inline void checkProperty(const std::string& id, int runs, int maxSize,
                          const std::function<void()>& property) {
    rc::detail::TestParams params;
    params.seed = propertySeed;
    params.maxSuccess = runs;
    params.maxSize = maxSize;
    rc::detail::TestMetadata metadata;
    metadata.id = id;
    const auto result = rc::detail::checkTestable(property, metadata, params);
    if (!result.template is<rc::detail::SuccessResult>()) {
        std::ostringstream message;
        rc::detail::printResultMessage(result, message);
        FAIL() << message.str();
    }
}

}  // namespace vask::test
