#include <gtest/gtest.h>

#include "memory/memory_rollout.h"
#include "memory/memory_settings_navigation.h"

namespace vask {
namespace {

TEST(MemoryRollout, EnvironmentThenInstanceScopedDefaultThenOn) {
    struct Case {
        const char* name;
        std::optional<std::string> variable;
        std::optional<std::string> instance;  // VASK_SUPPORT_DIR
        std::vector<std::pair<std::string, bool>> defaults;
        bool expected;
    };
    const Case cases[] = {
        {"nothing set", std::nullopt, std::nullopt, {}, true},
        {"padded Yes beats the default",
         " Yes \n",
         std::nullopt,
         {{"privateMemoryEnabled", false}},
         true},
        {"off", "off", std::nullopt, {}, false},
        {"unknown word leaves it to the default",
         "maybe",
         std::nullopt,
         {{"privateMemoryEnabled", false}},
         false},
        {"production key ignored off production",
         std::nullopt,
         "VaskDev",
         {{"privateMemoryEnabled", false}},
         true},
        {"scoped key read off production",
         std::nullopt,
         "VaskDev",
         {{"privateMemoryEnabled.VaskDev", false}},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Environment environment;
        if (c.variable) {
            environment["VASK_MEMORY_ENABLED"] = *c.variable;
        }
        if (c.instance) {
            environment["VASK_SUPPORT_DIR"] = *c.instance;
        }
        InMemoryDefaults defaults;
        for (const auto& [key, value] : c.defaults) {
            defaults.set(key, value);
        }
        EXPECT_EQ(MemoryRollout::isEnabled(environment, defaults, "ai.ternwick.Vask"), c.expected);
    }
}

TEST(MemorySettingsNavigation, ConsumingAnOlderRequestKeepsThePendingOne) {
    MemorySettingsNavigation navigation;
    const auto older = Uuid::random();
    const auto pending = Uuid::random();
    navigation.managerRequestID.set(pending);
    navigation.consumeManagerRequest(older);
    EXPECT_EQ(navigation.managerRequestID.get(), pending);
    navigation.consumeManagerRequest(pending);
    EXPECT_FALSE(navigation.managerRequestID.get());
}

}  // namespace
}  // namespace vask
