#pragma once

#include <optional>
#include <string_view>
#include <vector>

// The letter statistics of the encoding corpus (legacy_letter_costs.inc, written by
// tools/encoding-comparison/letter_costs.py): how likely a reading's letters are in the languages
// a code page writes. The guess of a legacy encoding and the mixed UTF-8 reader weigh their
// readings by them.
namespace vask::decoding {

// Readings of a text's bytes priced by the letter statistics (legacy_letter_costs.inc), in
// quarter bits: the less, the likelier their letters. Each is priced after the text's own words
// (which tell its language: the language that writes the two most cheaply prices them), a line
// apart: what the two cost together. A reading in the wrong page makes characters its languages
// seldom or never write, or write beside other letters: "Pawe³ ¦cibor" for "Paweł Ścibor",
// "3.║" for "3.º", "¤" for "€", "moguåe" for "moguće".
class LetterPrices {
  public:
    explicit LetterPrices(std::string_view ownWords);

    // In the language written in the page that writes the two most cheaply; nothing for a page
    // of no language the statistics hold.
    std::optional<long> inPage(std::string_view utf8, std::string_view page) const;

    // In the language of the statistics that writes the two most cheaply, whatever page it is
    // written in: what a reading as UTF-8, which writes every language, costs.
    long inAnyLanguage(std::string_view utf8) const;

  private:
    // What the text's own words cost in each language of the statistics, in their order.
    std::vector<long> own_;
};

// What a reading in a page costs by the letter statistics of the languages written in the page,
// alone: the cost of its pairs of characters with one above ASCII in the language that writes
// them most cheaply. Nothing for a page of no language the statistics hold.
std::optional<long> letterCost(std::string_view utf8, std::string_view page);

}  // namespace vask::decoding
