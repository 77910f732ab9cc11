#include "sources/decoding/letter_statistics.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <array>
#include <map>
#include <span>
#include <utility>
#include <vector>

#include "sources/decoding/text_characters.h"

namespace vask::decoding {

namespace {

// The letter statistics of a language (tools/encoding-comparison/letter_costs.py): what a
// character costs after another, -log2 of its chance there in quarter bits, for each pair of
// characters with one above ASCII in it that the language's texts of the encoding corpus write
// (capitals as small letters, ASCII letters as themselves, any other ASCII as a space); what a
// character costs after one it was never seen after; and what one never seen costs.
struct LetterCost {
    UChar32 c;
    int cost;
};

struct PairCost {
    UChar32 first;
    UChar32 second;
    int cost;
};

struct LanguageLetterCosts {
    std::string_view language;
    std::span<const LetterCost> alone;
    std::span<const PairCost> pairs;
    int unseen;
};

// The languages written in a code page of one byte to a character.
struct PageLanguages {
    std::string_view page;
    std::array<std::string_view, 16> languages;
};

#include "sources/decoding/legacy_letter_costs.inc"

UChar32 foldedForLetterCost(UChar32 c) {
    if (c >= 0x80) {
        return u_tolower(c);
    }
    if (c < 0) {
        return 0xFFFD;
    }
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ? u_tolower(c) : ' ';
}

int pairCost(const LanguageLetterCosts& language, UChar32 first, UChar32 second) {
    const auto pair =
        std::lower_bound(language.pairs.begin(), language.pairs.end(), std::pair{first, second},
                         [](const PairCost& entry, std::pair<UChar32, UChar32> wanted) {
                             return std::pair{entry.first, entry.second} < wanted;
                         });
    if (pair != language.pairs.end() && pair->first == first && pair->second == second) {
        return pair->cost;
    }
    const auto alone =
        std::lower_bound(language.alone.begin(), language.alone.end(), second,
                         [](const LetterCost& entry, UChar32 wanted) { return entry.c < wanted; });
    return alone != language.alone.end() && alone->c == second ? alone->cost : language.unseen;
}

// The pairs of characters with one above ASCII that a reading's letter cost counts, and how
// often each stands.
using CharacterPairs = std::map<std::pair<UChar32, UChar32>, long>;

CharacterPairs costedPairs(std::string_view utf8) {
    CharacterPairs pairs;
    UChar32 previous = ' ';
    forEachUtf8Character(utf8, [&](std::size_t, const Utf8Character& character) {
        // Quotation marks are alike in most pages and tell little (what a lone pair pasted into
        // UTF-8 is read in is told by their own bytes).
        const auto type = u_charType(character.c);
        if (type == U_INITIAL_PUNCTUATION || type == U_FINAL_PUNCTUATION) {
            return;
        }
        const auto c = foldedForLetterCost(character.c);
        if (c >= 0x80 || previous >= 0x80) {
            ++pairs[{previous, c}];
        }
        previous = c == '\n' ? ' ' : c;
    });
    if (previous >= 0x80) {
        ++pairs[{previous, ' '}];
    }
    return pairs;
}

long languageCost(const CharacterPairs& pairs, const LanguageLetterCosts& language) {
    long cost = 0;
    for (const auto& [pair, count] : pairs) {
        cost += count * pairCost(language, pair.first, pair.second);
    }
    return cost;
}

// The least cost of the pairs in the languages written in the page, each with what `before`
// costs in it (by the place of the language among the statistics'); nothing for a page of no
// language the statistics hold.
// The places among the statistics' languages of those written in each page, in the order of
// kPageLanguages: looked up by name once, not for each reading priced.
const std::vector<std::vector<std::size_t>>& pageLanguageIndexes() {
    static const auto indexes = [] {
        std::vector<std::vector<std::size_t>> all;
        for (const auto& entry : kPageLanguages) {
            auto& places = all.emplace_back();
            for (const auto language : entry.languages) {
                const auto costs = std::find_if(
                    kLanguageLetterCosts.begin(), kLanguageLetterCosts.end(),
                    [&](const LanguageLetterCosts& each) { return each.language == language; });
                if (!language.empty() && costs != kLanguageLetterCosts.end()) {
                    places.push_back(
                        static_cast<std::size_t>(costs - kLanguageLetterCosts.begin()));
                }
            }
        }
        return all;
    }();
    return indexes;
}

std::optional<long> cheapestInPage(const CharacterPairs& pairs, std::string_view page,
                                   const std::vector<long>& before) {
    const auto languages =
        std::find_if(kPageLanguages.begin(), kPageLanguages.end(),
                     [&](const PageLanguages& entry) { return entry.page == page; });
    if (languages == kPageLanguages.end()) {
        return std::nullopt;
    }
    std::optional<long> cheapest;
    for (const auto at :
         pageLanguageIndexes()[static_cast<std::size_t>(languages - kPageLanguages.begin())]) {
        const auto cost =
            languageCost(pairs, kLanguageLetterCosts[at]) + (at < before.size() ? before[at] : 0);
        cheapest = cheapest ? std::min(*cheapest, cost) : cost;
    }
    return cheapest;
}

}  // namespace

// What a reading in a page costs by the letter statistics of the languages written in the page,
// alone: the cost of its pairs of characters with one above ASCII in the language that writes
// them most cheaply. Nothing for a page of no language the statistics hold.
std::optional<long> letterCost(std::string_view utf8, std::string_view page) {
    return cheapestInPage(costedPairs(utf8), page, {});
}

LetterPrices::LetterPrices(std::string_view ownWords) {
    const auto pairs = costedPairs(ownWords);
    own_.reserve(kLanguageLetterCosts.size());
    for (const auto& language : kLanguageLetterCosts) {
        own_.push_back(languageCost(pairs, language));
    }
}

std::optional<long> LetterPrices::inPage(std::string_view utf8, std::string_view page) const {
    return cheapestInPage(costedPairs(utf8), page, own_);
}

long LetterPrices::inAnyLanguage(std::string_view utf8) const {
    const auto pairs = costedPairs(utf8);
    std::optional<long> cheapest;
    for (std::size_t i = 0; i < kLanguageLetterCosts.size(); ++i) {
        const auto cost = languageCost(pairs, kLanguageLetterCosts[i]) + own_[i];
        cheapest = cheapest ? std::min(*cheapest, cost) : cost;
    }
    return cheapest.value_or(0);
}

}  // namespace vask::decoding
