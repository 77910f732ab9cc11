#pragma once

#include <string_view>
#include <vector>

#include "sources/system_contact.h"

namespace vask {

// Reads the cards of one vCard file (versions 3 and 4): folded lines, property groups
// ("item1.TEL"), quoted parameters, escaped text and structured values. A card keeps UID (as its
// identifier, empty when absent), FN, N, ORG (the organisation, not its units), TITLE, every TEL
// (a "tel:" URI reduced to the number) and every EMAIL. Lines it does not understand are
// skipped; a card cut off before END:VCARD keeps what it has, since a partial contact beats a
// vanished one.
class VCardParser {
  public:
    VCardParser() = delete;

    static std::vector<SystemContact> parse(std::string_view text);
};

}  // namespace vask
