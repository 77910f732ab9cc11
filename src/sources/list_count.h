#pragma once

#include <array>
#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <string>

// How word processors and browsers count the items of a list, for .docx, .odt and HTML alike
// (the numbers are then written by ListNumberFormat): a counter per level, the start each level
// begins from, the deeper levels an item begins anew, and which lists count as one.
namespace vask {

// Which levels an item at a level begins anew: by default every deeper one; a level may instead
// begin anew only after items of the levels above `restartedBy` (a .docx level's w:lvlRestart:
// 0 for never, 1 for after items of the first level alone).
struct ListRestarts {
    static constexpr std::size_t kLevels = 10;
    std::array<std::optional<std::size_t>, kLevels> restartedBy{};
};

// The counters of one list (or of lists that count as one).
class ListCount {
  public:
    // .odt lists have ten levels, .docx lists nine, an HTML list one.
    static constexpr std::size_t kLevels = ListRestarts::kLevels;
    // No list counts past this; a larger start could only overflow as it is counted.
    static constexpr long kHighestStart = 1'000'000'000;

    // A start or value as a document writes it, within what a list counts: 0 to kHighestStart
    // (from -kHighestStart where negative numbers count, as in HTML).
    static long capped(long value, bool negative = false);

    // Which levels an item begins anew (ListRestarts).
    using Restarts = ListRestarts;

    // The number of the next item at level `at` (below kLevels): `step` on from the last item
    // of that level, or `start` when the level has no item since it last began. The deeper
    // levels begin anew as `restarts` says.
    long next(std::size_t at, long start, long step = 1, const Restarts& restarts = {});

    // The next item at level `at` is numbered `value` (a list restarted, an item's own value),
    // and those after it `step` on from there.
    void restart(std::size_t at, long value, long step = 1);

    // Whether level `at` has counted an item since it last began.
    bool counting(std::size_t at) const { return at < kLevels && started_[at]; }

    // The number a deeper item shows for level `at` ("1.2"): its last item's, else `start`.
    long shown(std::size_t at, long start) const;

  private:
    std::array<long, kLevels> values_{};
    std::array<bool, kLevels> started_{};
};

// The counts of a document's lists, and which lists share one: each list that begins anew takes
// a count of its own, and lists that count on (the instances of one .docx numbering or of one
// list style, an .odt list that continues another) name the same one.
class ListCounts {
  public:
    // A count of its own for a list that begins anew; its place.
    std::size_t begin();
    // The place of the count named `key`, begun at its first use.
    std::size_t named(const std::string& key);
    // The place of the count named `key`, if any.
    std::optional<std::size_t> find(const std::string& key) const;
    // Names the count at `place` `key` too, so that lists naming `key` count on with it.
    void name(const std::string& key, std::size_t place);
    // The count begun last, if any.
    std::optional<std::size_t> last() const;

    ListCount& operator[](std::size_t place) { return counts_[place]; }

    // What one more count and one more name keep, for a caller that bounds its memory.
    static constexpr std::size_t kCountBytes = sizeof(ListCount);
    static constexpr std::size_t kNameBytes =
        sizeof(std::string) + sizeof(std::size_t) + 4 * sizeof(void*);

  private:
    std::deque<ListCount> counts_;
    std::map<std::string, std::size_t> names_;
};

}  // namespace vask
