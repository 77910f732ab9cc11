#include "sources/list_count.h"

#include <algorithm>

namespace vask {

long ListCount::capped(long value, bool negative) {
    return std::clamp(value, negative ? -kHighestStart : 0L, kHighestStart);
}

long ListCount::next(std::size_t at, long start, long step, const Restarts& restarts) {
    if (at >= kLevels) {
        return start;
    }
    values_[at] = started_[at] ? values_[at] + step : start;
    started_[at] = true;
    for (auto deeper = at + 1; deeper < kLevels; ++deeper) {
        const auto by = restarts.restartedBy[deeper].value_or(deeper);
        if (at < by) {
            started_[deeper] = false;
        }
    }
    return values_[at];
}

void ListCount::restart(std::size_t at, long value, long step) {
    if (at < kLevels) {
        values_[at] = value - step;
        started_[at] = true;
    }
}

long ListCount::shown(std::size_t at, long start) const {
    return counting(at) ? values_[at] : start;
}

std::size_t ListCounts::begin() {
    counts_.emplace_back();
    return counts_.size() - 1;
}

std::size_t ListCounts::named(const std::string& key) {
    if (const auto found = find(key)) {
        return *found;
    }
    const auto place = begin();
    names_[key] = place;
    return place;
}

std::optional<std::size_t> ListCounts::find(const std::string& key) const {
    const auto found = names_.find(key);
    return found != names_.end() ? std::optional(found->second) : std::nullopt;
}

void ListCounts::name(const std::string& key, std::size_t place) { names_[key] = place; }

std::optional<std::size_t> ListCounts::last() const {
    return counts_.empty() ? std::nullopt : std::optional(counts_.size() - 1);
}

}  // namespace vask
