#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "relay/billing_info.h"
#include "relay/billing_view_model.h"
#include "relay/model_preset.h"

namespace vask {

// What the plan section of Settings shows, decided without the toolkit.
namespace billing_panel {

enum class Body { managed, developer, error, loading };
enum class PlanSymbol { sparkles, leaf };
enum class BarTint { red, orange };

struct UsageBlock {
    // Absent: no bar, only the copy.
    std::optional<double> barValue;
    BarTint barTint = BarTint::orange;
    std::string copy;
};

struct PresetChoice {
    std::vector<ModelPreset> presets;
    std::string selectedCode;
    // Absent when the selected code names no listed preset or its description is empty.
    std::optional<std::string> description;
};

struct ManagedRows {
    std::string planName;
    PlanSymbol symbol = PlanSymbol::leaf;
    std::optional<std::string> price;
    std::optional<Clock::WallTime> periodEnd;
    std::optional<PresetChoice> presets;
    std::optional<UsageBlock> usage;
    std::string linkTitle;
    std::string linkIdentifier;
};

struct DeveloperRows {
    std::string balance;
    bool balanceIsLow = false;
};

// Formats a date the way the panel shows it (locale's abbreviated date, no time).
using DateText = std::function<std::string(Clock::WallTime)>;

inline constexpr const char* loadingText = "Loading plan\u2026";
inline constexpr const char* developerTitle = "Developer API key";
inline constexpr const char* developerNotice =
    "This build uses your separate Corvane developer account.";
inline constexpr const char* developerBalanceLabel = "Corvane balance";

Body bodyFor(const BillingState& state);
// The header shows the spinner in place of the refresh button while a load runs.
bool showsRefreshButton(const BillingState& state);

bool isPaid(const ManagedBillingInfo& info);
std::string usageCopy(const ManagedBillingInfo& info, const DateText& dateText);
std::optional<UsageBlock> usageBlock(const ManagedBillingInfo& info, const DateText& dateText);
// Absent for no catalog or one of fewer than two presets.
std::optional<PresetChoice> presetChoice(const std::optional<ModelPresetCatalog>& catalog,
                                         const std::string& selectedCode);
// `locale` (an ICU locale id, as the dates are written in) writes the price; empty: "$9.99".
ManagedRows managedRows(const ManagedBillingInfo& info,
                        const std::optional<ModelPresetCatalog>& catalog,
                        const std::string& selectedCode, const DateText& dateText,
                        const std::string& locale = {});
DeveloperRows developerRows(const DeveloperBillingInfo& info);

}  // namespace billing_panel

// Starts the plan section's loads: one when it appears and one per press of the refresh button,
// never a second while one runs (the running one's answer is the one that will be shown), and an
// answer that arrives after a newer load began is not reported as current.
class BillingPanelLoader {
  public:
    struct Seams {
        std::function<BillingState()> state;
        // Starts a load; `done` runs on the main executor when it has ended.
        std::function<void(std::function<void()> done)> load;
    };

    explicit BillingPanelLoader(Seams seams) : seams_(std::move(seams)) {}

    // Both return whether a load was started. `finished` runs when that load ended and it is
    // still the latest this loader started.
    bool appear(std::function<void()> finished = {});
    bool refresh(std::function<void()> finished = {});

    bool isLoading() const;

  private:
    bool start(std::function<void()> finished);

    Seams seams_;
    std::uint64_t generation_ = 0;
};

}  // namespace vask
