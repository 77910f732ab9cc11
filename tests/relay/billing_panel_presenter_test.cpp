#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "relay/billing_panel_presenter.h"
#include "support/comma_locale.h"

namespace vask {
namespace {

using namespace billing_panel;

std::string fixedDate(Clock::WallTime) {
    return "Mar 4, 2027";
}

ManagedBillingInfo managed(std::optional<std::int64_t> price, std::optional<double> percent,
                           std::optional<std::int64_t> remaining, bool isLow = false) {
    ManagedBillingInfo info;
    info.tierCode = "pro";
    info.tierDisplayName = "Pro";
    info.priceAmountCents = price;
    info.priceInterval = "month";
    info.percentageUsed = percent;
    info.spendRemainingMicrocents = remaining;
    info.isLow = isLow;
    return info;
}

TEST(BillingPanelPresenter, UsageBlockAndCopy) {
    struct Case {
        const char* name;
        ManagedBillingInfo info;
        bool shown;
        std::optional<double> bar;
        BarTint tint;
        std::string copy;
    };
    const std::vector<Case> cases = {
        {"below threshold", managed(999, 74.9, 5), false, {}, BarTint::orange, ""},
        {"below threshold no spend", managed(999, 74.9, {}), false, {}, BarTint::orange, ""},
        {"exactly 75", managed(999, 75.0, 5), true, 0.75, BarTint::orange,
         "You\u2019ve used 75% of this month\u2019s included usage."},
        {"over 100", managed(999, 120.0, 5), true, 1.0, BarTint::orange,
         "You\u2019ve used 100% of this month\u2019s included usage."},
        {"rounds half up", managed(999, 80.5, 5), true, 0.805, BarTint::orange,
         "You\u2019ve used 81% of this month\u2019s included usage."},
        {"spend exhausted", managed(999, 10.0, 0), true, 0.10, BarTint::red,
         "You\u2019ve used all of this month\u2019s included usage."},
        {"low flag only",
         managed(999, {}, {}, true),
         true,
         {},
         BarTint::orange,
         "You\u2019re nearing this month\u2019s included usage."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto block = usageBlock(c.info, fixedDate);
        ASSERT_EQ(block.has_value(), c.shown);
        if (!block) {
            continue;
        }
        ASSERT_EQ(block->barValue.has_value(), c.bar.has_value());
        if (c.bar) {
            EXPECT_DOUBLE_EQ(*block->barValue, *c.bar);
        }
        EXPECT_EQ(block->barTint, c.tint);
        EXPECT_EQ(block->copy, c.copy);
    }
}

TEST(BillingPanelPresenter, ResetSuffixFollowsTheCopy) {
    auto info = managed(999, 90.0, 5);
    info.windowEnd = Clock::WallTime{};
    EXPECT_EQ(usageCopy(info, fixedDate),
              "You\u2019ve used 90% of this month\u2019s included usage. Resets Mar 4, 2027.");
}

TEST(BillingPanelPresenter, PlanRowAndLinkFollowThePrice) {
    struct Case {
        std::optional<std::int64_t> price;
        std::optional<std::string> interval;
        std::string tierName;
        std::optional<std::string> priceText;
        PlanSymbol symbol;
        std::string planName;
        std::string link;
        std::string identifier;
    };
    const std::vector<Case> cases = {
        {999, "month", "Pro", "$9.99/month", PlanSymbol::sparkles, "Vask Pro",
         "Manage Subscription", "manage-subscription-link"},
        {0, "month", " Free\t", "$0.00/month", PlanSymbol::leaf, "Vask Free", "Upgrade to Vask Pro",
         "upgrade-subscription-link"},
        {{},
         {},
         "   ",
         {},
         PlanSymbol::leaf,
         "Vask",
         "Upgrade to Vask Pro",
         "upgrade-subscription-link"},
        {12000, "week", "vask max", "$120.00", PlanSymbol::sparkles, "vask max",
         "Manage Subscription", "manage-subscription-link"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tierName);
        auto info = managed(c.price, {}, {});
        info.priceInterval = c.interval;
        info.tierDisplayName = c.tierName;
        const auto rows = managedRows(info, std::nullopt, "", fixedDate);
        EXPECT_EQ(rows.price, c.priceText);
        EXPECT_EQ(rows.symbol, c.symbol);
        EXPECT_EQ(rows.planName, c.planName);
        EXPECT_EQ(rows.linkTitle, c.link);
        EXPECT_EQ(rows.linkIdentifier, c.identifier);
        EXPECT_FALSE(rows.usage);
    }
}

// The price is written the way the user's language writes amounts, as the dates beside it are
// (German: "9,00 $"), whatever the C library's locale; without a language, "$9.00".
TEST(BillingPanelPresenter, ThePriceFollowsTheLanguageOfTheDates) {
    test::ScopedCommaLocale german;
    if (!german.active) {
        GTEST_SKIP() << german.reason;
    }
    const std::string nbsp = "\u00A0";
    struct Case {
        const char* locale;
        std::int64_t cents;
        std::optional<std::string> interval;
        std::string price;
    };
    const Case cases[] = {
        {"de_DE", 900, "month", "9,00" + nbsp + "$/month"},
        {"de_DE", 123456, "year", "1.234,56" + nbsp + "$/year"},
        {"de_DE", -250, std::nullopt, "-2,50" + nbsp + "$"},
        {"de_DE", INT64_MIN, std::nullopt, "-92.233.720.368.547.758,08" + nbsp + "$"},
        {"en_US", 123456, "month", "$1,234.56/month"},
        {"", 900, "month", "$9.00/month"},
        {"C", 900, "month", "$9.00/month"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.locale);
        auto info = managed(c.cents, {}, {});
        info.priceInterval = c.interval;
        EXPECT_EQ(managedRows(info, std::nullopt, "", fixedDate, c.locale).price, c.price)
            << c.cents;
    }
    EXPECT_EQ(managedRows(managed({}, {}, {}), std::nullopt, "", fixedDate, "de_DE").price,
              std::nullopt);
}

TEST(BillingPanelPresenter, PresetPickerNeedsTwoPresetsAndShowsTheSelectedDescription) {
    const ModelPreset fast{.code = "fast", .displayName = "Fast", .description = "Quick answers"};
    const ModelPreset deep{.code = "deep", .displayName = "Deep", .description = ""};
    struct Case {
        const char* name;
        std::optional<ModelPresetCatalog> catalog;
        std::string selected;
        bool picker;
        std::optional<std::string> description;
    };
    const std::vector<Case> cases = {
        {"no catalog", std::nullopt, "fast", false, {}},
        {"one preset", ModelPresetCatalog{{fast}}, "fast", false, {}},
        {"selected with description", ModelPresetCatalog{{fast, deep}}, "fast", true,
         "Quick answers"},
        {"selected without description", ModelPresetCatalog{{fast, deep}}, "deep", true, {}},
        {"unknown selection", ModelPresetCatalog{{fast, deep}}, "gone", true, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto choice = presetChoice(c.catalog, c.selected);
        ASSERT_EQ(choice.has_value(), c.picker);
        if (choice) {
            EXPECT_EQ(choice->description, c.description);
            EXPECT_EQ(choice->presets.size(), 2u);
        }
    }
}

TEST(BillingPanelPresenter, BodyHeaderAndDeveloperBalance) {
    EXPECT_EQ(bodyFor(BillingState::idle()), Body::loading);
    EXPECT_EQ(bodyFor(BillingState::loading()), Body::loading);
    EXPECT_EQ(bodyFor(BillingState::error(BillingError::noCredentials())), Body::error);
    EXPECT_EQ(bodyFor(BillingState::loaded(managed(1, {}, {}))), Body::managed);
    EXPECT_EQ(bodyFor(BillingState::loaded(DeveloperBillingInfo{})), Body::developer);
    EXPECT_FALSE(showsRefreshButton(BillingState::loading()));
    EXPECT_TRUE(showsRefreshButton(BillingState::error(BillingError::networkError("x"))));

    EXPECT_TRUE(developerRows({499, "$4.99", "usd", 500}).balanceIsLow);
    EXPECT_FALSE(developerRows({500, "$5.00", "usd", 500}).balanceIsLow);
}

// A stand-in for the view model's load: it runs until the test finishes it.
struct ManualLoads {
    BillingState state = BillingState::idle();
    std::vector<std::function<void()>> pending;
    BillingPanelLoader loader{{
        .state = [this] { return state; },
        .load =
            [this](std::function<void()> done) {
                state = BillingState::loading();
                pending.push_back(std::move(done));
            },
    }};
    void finish(std::size_t index, BillingState result) {
        state = std::move(result);
        pending[index]();
    }
};

TEST(BillingPanelLoader, AppearingAgainDuringALoadStartsNoSecondLoad) {
    ManualLoads loads;
    int finished = 0;
    EXPECT_TRUE(loads.loader.appear([&] { ++finished; }));
    EXPECT_FALSE(loads.loader.appear([&] { ++finished; }));
    EXPECT_FALSE(loads.loader.refresh([&] { ++finished; }));
    ASSERT_EQ(loads.pending.size(), 1u);
    loads.finish(0, BillingState::error(BillingError::networkError("offline")));
    EXPECT_EQ(finished, 1);
    // Once the load has ended, the refresh button starts another.
    EXPECT_TRUE(loads.loader.refresh([&] { ++finished; }));
    EXPECT_EQ(loads.pending.size(), 2u);
}

TEST(BillingPanelLoader, AnAnswerOlderThanTheLatestLoadIsNotReported) {
    ManualLoads loads;
    std::vector<int> reported;
    loads.loader.appear([&] { reported.push_back(1); });
    // The first load's answer has not arrived yet, but its state was cleared elsewhere (a usage
    // change finishing it early): a second load starts.
    loads.state = BillingState::idle();
    loads.loader.refresh([&] { reported.push_back(2); });
    loads.finish(1, BillingState::loaded(managed(999, {}, {})));
    loads.finish(0, BillingState::error(BillingError::networkError("late")));
    EXPECT_EQ(reported, (std::vector<int>{2}));
}

}  // namespace
}  // namespace vask
