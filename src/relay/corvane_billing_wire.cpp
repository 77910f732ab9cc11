#include "relay/corvane_billing_wire.h"

namespace vask::CorvaneBillingWire {

ModelsEnvelope ModelsEnvelope::decode(const JsonReader& reader) {
    ModelsEnvelope envelope;
    for (const auto& preset : reader.object("models").objectArray("presets")) {
        envelope.catalog.presets.push_back(ModelPreset{
            preset.string("code"),
            preset.string("display_name"),
            preset.optionalString("description").value_or(""),
            preset.boolean("is_default"),
            PresetExecution::decode(preset),
        });
    }
    return envelope;
}

AccountBalance AccountBalance::decode(const JsonReader& reader) {
    return AccountBalance{reader.integer("balance_cents"), reader.string("balance_formatted"),
                          reader.string("currency"), reader.integer("low_balance_threshold_cents")};
}

SubscriptionEnvelope SubscriptionEnvelope::decode(const JsonReader& reader) {
    const auto s = reader.object("subscription");
    return SubscriptionEnvelope{s.string("tier_code"), s.string("tier_display_name"),
                                s.optionalInteger("price_amount_cents"),
                                s.optionalString("price_interval"),
                                s.optionalDate("current_period_end")};
}

UsageEnvelope UsageEnvelope::decode(const JsonReader& reader) {
    const auto u = reader.object("usage");
    return UsageEnvelope{u.integer("requests"),
                         u.integer("tokens"),
                         u.integer("total_cost_microcents"),
                         u.optionalInteger("spend_limit_cents"),
                         u.optionalInteger("spend_remaining_microcents"),
                         u.optionalNumber("percentage_used"),
                         u.optionalBoolean("low"),
                         u.optionalDate("window_end")};
}

}  // namespace vask::CorvaneBillingWire
