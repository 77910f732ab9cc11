#pragma once

#include <string_view>
#include <vector>

#include "sources/system_contact.h"

namespace vask {

// Reads the cards of one vCard file (versions 2.1, 3 and 4): UTF-8 with or without a byte order
// mark or UTF-16, folded lines, property groups ("item1.TEL"), quoted parameters,
// quoted-printable values and their CHARSET, escaped text and structured values. A card keeps UID
// (as its identifier, empty when absent), FN, N, ORG (the organisation, not its units), TITLE,
// every TEL (a "tel:" URI reduced to the number) and every EMAIL. Lines it does not understand are
// skipped; a card cut off before END:VCARD keeps what it has, since a partial contact beats a
// vanished one, and ends where the next card begins.
class VCardParser {
  public:
    VCardParser() = delete;

    static std::vector<SystemContact> parse(std::string_view text);
};

}  // namespace vask
