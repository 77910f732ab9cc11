#include <gtest/gtest.h>

#include "preset_fixtures.h"
#include "relay/model_routing_policy.h"

namespace vask {
namespace {

constexpr const char* snapshot = "0F8FAD5B-D9CB-469F-A165-70867728950E";

TEST(ModelRoutingPolicy, ValidatesRoutesAgainstTheCallsCredentials) {
    const auto preset =
        ModelRoutingPolicy::managedPreset({test::singlePreset("fast", "m"), snapshot});
    const auto& production = ModelRoutingPolicy::production();
    struct Case {
        const char* name;
        const ModelRoutingPolicy* policy;
        RouteCredentials credentials;
        ModelRole role;
        const char* expectedError;  // nullptr: the route comes back unchanged
    };
    const Case cases[] = {
        {"API key alone, root",
         &production,
         {"key", std::nullopt},
         ModelRole::root,
         "Developer API-key requests require an explicit root model. Set VASK_RLM_ROOT_MODEL."},
        {"API key alone, subcall",
         &production,
         {"key", std::nullopt},
         ModelRole::subcall,
         "Developer API-key requests require an explicit subcall model. Set "
         "VASK_RLM_SUBCALL_MODEL."},
        {"API key alone, utility",
         &production,
         {"key", std::nullopt},
         ModelRole::utility,
         "Developer API-key requests require an explicit utility model. Set "
         "VASK_RLM_UTILITY_MODEL."},
        {"API key alone, vision",
         &production,
         {"key", std::nullopt},
         ModelRole::vision,
         "Developer API-key requests require an explicit vision model. Set "
         "VASK_RLM_VISION_MODEL."},
        {"blank customer token does not count",
         &production,
         {"key", " \n"},
         ModelRole::root,
         "Developer API-key requests require an explicit root model. Set VASK_RLM_ROOT_MODEL."},
        {"API key with a customer token", &production, {"key", "tok"}, ModelRole::root, nullptr},
        {"blank API key counts as none",
         &production,
         {" \t", std::nullopt},
         ModelRole::root,
         nullptr},
        {"no credentials at all", &production, {}, ModelRole::vision, nullptr},
        {"API key alone may use a preset route",
         &preset,
         {"key", std::nullopt},
         ModelRole::utility,
         nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.expectedError == nullptr) {
            EXPECT_EQ(c.policy->validatedRoute(c.role, c.credentials), c.policy->route(c.role));
            continue;
        }
        try {
            c.policy->validatedRoute(c.role, c.credentials);
            ADD_FAILURE() << "no error";
        } catch (const ModelRoutingError& error) {
            EXPECT_STREQ(error.what(), c.expectedError);
            EXPECT_EQ(error, ModelRoutingError::explicitModelRequired(c.role));
        }
    }
}

TEST(ModelRoutingPolicy, ManagedPresetRoutesEachRole) {
    const auto single =
        ModelRoutingPolicy::managedPreset({test::singlePreset("fast", "m1"), snapshot});
    const auto expected = ModelRoute::preset("fast", "m1", snapshot);
    EXPECT_EQ(single, (ModelRoutingPolicy{expected, expected, expected, expected}));

    const auto recursive =
        ModelRoutingPolicy::managedPreset({test::recursivePreset("deep", "r", "s"), snapshot});
    const auto root = ModelRoute::preset("deep", "r", snapshot);
    EXPECT_EQ(recursive.root, root);
    EXPECT_EQ(recursive.utility, root);
    EXPECT_EQ(recursive.vision, root);
    EXPECT_EQ(recursive.subcall, ModelRoute::preset("deep", "s", snapshot));
    // The snapshot identity is part of a preset route.
    EXPECT_NE(single.root,
              ModelRoute::preset("fast", "m1", "1B4E28BA-2FA1-11D2-883F-0016D3CCA427"));
}

TEST(ModelRoutingPolicy, ValidatedRouteOfATemporaryPolicyOutlivesIt) {
    // Callers build a policy for one call and keep only the route.
    const ModelRoute& route = ModelRoutingPolicy::managedPreset(
                                  {test::singlePreset("fast", "model-with-a-long-name"), snapshot})
                                  .validatedRoute(ModelRole::root, {"key", std::nullopt});
    EXPECT_EQ(route, ModelRoute::preset("fast", "model-with-a-long-name", snapshot));
}

}  // namespace
}  // namespace vask
