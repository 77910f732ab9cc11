#include "relay/billing_panel_presenter.h"

#include <algorithm>

namespace vask {
namespace billing_panel {

namespace {

bool spendExhausted(const ManagedBillingInfo& info) {
    return info.spendRemainingMicrocents && *info.spendRemainingMicrocents < 1;
}

}  // namespace

Body bodyFor(const BillingState& state) {
    switch (state.kind()) {
        case BillingState::Kind::loaded:
            return std::holds_alternative<ManagedBillingInfo>(*state.info()) ? Body::managed
                                                                             : Body::developer;
        case BillingState::Kind::error:
            return Body::error;
        case BillingState::Kind::idle:
        case BillingState::Kind::loading:
            break;
    }
    return Body::loading;
}

bool showsRefreshButton(const BillingState& state) {
    return state.kind() != BillingState::Kind::loading;
}

bool isPaid(const ManagedBillingInfo& info) {
    return info.priceAmountCents && *info.priceAmountCents >= 1;
}

std::string usageCopy(const ManagedBillingInfo& info, const DateText& dateText) {
    const std::string suffix = info.windowEnd ? " Resets " + dateText(*info.windowEnd) + "." : "";
    if (spendExhausted(info)) {
        return "You\u2019ve used all of this month\u2019s included usage." + suffix;
    }
    if (!info.percentageUsed) {
        return "You\u2019re nearing this month\u2019s included usage." + suffix;
    }
    return "You\u2019ve used " + std::to_string(info.usagePercentDisplay()) +
           "% of this month\u2019s included usage." + suffix;
}

std::optional<UsageBlock> usageBlock(const ManagedBillingInfo& info, const DateText& dateText) {
    const bool nearing = info.percentageUsed && *info.percentageUsed >= 75.0;
    if (!info.isLow && !spendExhausted(info) && !nearing) {
        return std::nullopt;
    }
    UsageBlock block;
    if (info.percentageUsed) {
        block.barValue = std::clamp(*info.percentageUsed / 100.0, 0.0, 1.0);
    }
    block.barTint = spendExhausted(info) ? BarTint::red : BarTint::orange;
    block.copy = usageCopy(info, dateText);
    return block;
}

std::optional<PresetChoice> presetChoice(const std::optional<ModelPresetCatalog>& catalog,
                                         const std::string& selectedCode) {
    if (!catalog || catalog->presets.size() < 2) {
        return std::nullopt;
    }
    PresetChoice choice{catalog->presets, selectedCode, std::nullopt};
    const auto selected =
        std::find_if(catalog->presets.begin(), catalog->presets.end(),
                     [&](const ModelPreset& p) { return p.code == selectedCode; });
    if (selected != catalog->presets.end() && !selected->description.empty()) {
        choice.description = selected->description;
    }
    return choice;
}

ManagedRows managedRows(const ManagedBillingInfo& info,
                        const std::optional<ModelPresetCatalog>& catalog,
                        const std::string& selectedCode, const DateText& dateText,
                        const std::string& locale) {
    const bool paid = isPaid(info);
    return ManagedRows{
        .planName = info.planDisplayName(),
        .symbol = paid ? PlanSymbol::sparkles : PlanSymbol::leaf,
        .price = info.priceDisplay(locale),
        .periodEnd = info.currentPeriodEnd,
        .presets = presetChoice(catalog, selectedCode),
        .usage = usageBlock(info, dateText),
        .linkTitle = paid ? "Manage Subscription" : "Upgrade to Vask Pro",
        .linkIdentifier = paid ? "manage-subscription-link" : "upgrade-subscription-link",
    };
}

DeveloperRows developerRows(const DeveloperBillingInfo& info) {
    return {info.balanceFormatted, info.balanceCents < info.lowBalanceThresholdCents};
}

}  // namespace billing_panel

bool BillingPanelLoader::appear(std::function<void()> finished) {
    return start(std::move(finished));
}

bool BillingPanelLoader::refresh(std::function<void()> finished) {
    return start(std::move(finished));
}

bool BillingPanelLoader::isLoading() const {
    return seams_.state().kind() == BillingState::Kind::loading;
}

bool BillingPanelLoader::start(std::function<void()> finished) {
    // Resetting a running load to idle, as a naive panel would, lets two loads race and the
    // slower, older answer overwrite the newer one; joining the running load avoids both.
    if (isLoading()) {
        return false;
    }
    const auto generation = ++generation_;
    seams_.load([this, generation, finished = std::move(finished)] {
        if (generation == generation_ && finished) {
            finished();
        }
    });
    return true;
}

}  // namespace vask
