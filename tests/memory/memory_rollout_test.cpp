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
        std::optional<std::string> offKey;    // a default set to false
        bool expected;
    };
    const auto none = std::nullopt;
    const Case cases[] = {
        {"nothing set", none, none, none, true},
        {"padded Yes beats the default", " Yes \n", none, "privateMemoryEnabled", true},
        {"off", "off", none, none, false},
        {"unknown word leaves it to the default", "maybe", none, "privateMemoryEnabled", false},
        {"production key ignored off production", none, "VaskDev", "privateMemoryEnabled", true},
        {"scoped key read off production", none, "VaskDev", "privateMemoryEnabled.VaskDev", false},
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
        if (c.offKey) {
            defaults.set(*c.offKey, false);
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
