#pragma once

#include <cstddef>
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

    // A card of a few bytes is a few hundred in memory: the cards of one text hold at most this
    // many bytes per byte of text (and never less than the floor); later ones are left out and
    // logged with `source`.
    static constexpr std::size_t kYieldBytesPerByte = 8;
    static constexpr std::size_t kMinYieldBytes = std::size_t{4} * 1024 * 1024;

    // Cards that hold nothing a contact keeps (no UID, name, organisation, title, telephone or
    // address) are not returned; their number goes to `emptyCards` when given.
    static std::vector<SystemContact> parse(std::string_view text,
                                            std::string_view source = "vCard text",
                                            std::size_t* emptyCards = nullptr);
};

}  // namespace vask
