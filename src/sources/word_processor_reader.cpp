#include "sources/word_processor_reader.h"

#include <archive.h>
#include <archive_entry.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/valid.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/logger.h"
#include "sources/list_count.h"
#include "sources/list_number_format.h"
#include "sources/markup_attribute_bound.h"
#include "sources/text_decoding.h"

namespace vask {
namespace {

using Case = WordProcessorReaderError::Case;

constexpr std::string_view kWordEntry = "word/document.xml";
constexpr std::string_view kOpenDocumentEntry = "content.xml";
constexpr std::string_view kWordNamespace =
    "http://schemas.openxmlformats.org/wordprocessingml/2006/main";
constexpr std::string_view kTextNamespace = "urn:oasis:names:tc:opendocument:xmlns:text:1.0";
constexpr std::string_view kOfficeNamespace = "urn:oasis:names:tc:opendocument:xmlns:office:1.0";
constexpr std::string_view kStyleNamespace = "urn:oasis:names:tc:opendocument:xmlns:style:1.0";
constexpr std::string_view kFoNamespace =
    "urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0";
constexpr std::string_view kSvgNamespace =
    "urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0";
constexpr std::string_view kMathNamespace =
    "http://schemas.openxmlformats.org/officeDocument/2006/math";
// Strict Open XML names the same elements and attributes in namespaces of its own.
constexpr std::string_view kStrictWordNamespace =
    "http://purl.oclc.org/ooxml/wordprocessingml/main";
constexpr std::string_view kStrictMathNamespace = "http://purl.oclc.org/ooxml/officeDocument/math";
constexpr std::string_view kCompatibilityNamespace =
    "http://schemas.openxmlformats.org/markup-compatibility/2006";
constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace";
constexpr std::string_view kWordNumberingEntry = "word/numbering.xml";
constexpr std::string_view kWordStylesEntry = "word/styles.xml";
constexpr std::string_view kWordSettingsEntry = "word/settings.xml";
constexpr std::string_view kOpenDocumentStylesEntry = "styles.xml";
constexpr std::array<std::string_view, 2> kWordNoteEntries = {"word/footnotes.xml",
                                                              "word/endnotes.xml"};

// A repeat count in a document is untrusted; no real document asks for more spaces than this.
constexpr long kMaxRepeatedSpaces = 1024;

// One run of text longer than this is refused, as libxml2 refuses a text node that long unless
// told to lift every limit (which would also lift its guards against entity expansion).
constexpr std::size_t kMaxTextRunBytes = 10'000'000;

// Attributes of an element past this many are dropped before the parser (see readBodyText), and
// past this many namespace declarations the markup is refused.
constexpr std::size_t kMaxAttributes = 128;
constexpr std::size_t kMaxNamespaces = 1024;

const Logger& logger() {
    static const Logger instance("ai.vask.VaskCore", "word-processor");
    return instance;
}

std::string_view view(const xmlChar* text) {
    return text != nullptr ? reinterpret_cast<const char*>(text) : std::string_view();
}

// A namespace as the transitional format names it: a Strict document reads as a transitional one.
std::string_view transitional(std::string_view ns) {
    if (ns == kStrictWordNamespace) {
        return kWordNamespace;
    }
    if (ns == kStrictMathNamespace) {
        return kMathNamespace;
    }
    return ns;
}

std::string description(Case kind) {
    switch (kind) {
        case Case::archiveUnreadable:
            return "The document archive could not be read";
        case Case::entryMissing:
            return "The document archive holds no document text";
        case Case::entryTooLarge:
            return "The document text is too large to read";
        case Case::malformedXml:
            return "The document text is not well-formed XML";
    }
    return {};
}

enum class Format { word, openDocument };

std::string archiveMessage(archive* reader) {
    const char* message = archive_error_string(reader);
    return message != nullptr ? message : "unknown archive error";
}

using ArchivePtr = std::unique_ptr<archive, decltype(&archive_read_free)>;

// Moves `reader` to the first entry named one of `names`; that name, or nothing when the archive
// holds none of them.
std::optional<std::string_view> openEntry(archive* reader,
                                          std::initializer_list<std::string_view> names,
                                          std::size_t maxEntryBytes) {
    archive_entry* header = nullptr;
    while (true) {
        const int status = archive_read_next_header(reader, &header);
        if (status == ARCHIVE_EOF) {
            return std::nullopt;
        }
        if (status < ARCHIVE_WARN) {
            throw WordProcessorReaderError(Case::archiveUnreadable, archiveMessage(reader));
        }
        const char* rawName = archive_entry_pathname(header);
        const std::string_view name = rawName != nullptr ? rawName : "";
        const auto* found = std::find(names.begin(), names.end(), name);
        if (found == names.end()) {
            continue;
        }
        if (archive_entry_size_is_set(header) != 0 &&
            static_cast<std::uint64_t>(archive_entry_size(header)) > maxEntryBytes) {
            throw WordProcessorReaderError(
                Case::entryTooLarge,
                std::string(name) + " exceeds " + std::to_string(maxEntryBytes) + " bytes");
        }
        return *found;
    }
}

// Moves `reader` to the document entry and returns its format.
Format openDocumentEntry(archive* reader, std::size_t maxEntryBytes) {
    const auto name = openEntry(reader, {kWordEntry, kOpenDocumentEntry}, maxEntryBytes);
    if (!name) {
        throw WordProcessorReaderError(
            Case::entryMissing, std::string(kWordEntry) + " or " + std::string(kOpenDocumentEntry));
    }
    return *name == kWordEntry ? Format::word : Format::openDocument;
}

// The attributes the parser reports with an element: five pointers each (local name, prefix,
// namespace, value start, value end).
class Attributes {
  public:
    Attributes(int count, const xmlChar** attributes) : count_(count), attributes_(attributes) {}

    std::optional<std::string_view> get(std::string_view ns, std::string_view name) const {
        for (int i = 0; i < count_; ++i) {
            const xmlChar** attribute = attributes_ + static_cast<std::ptrdiff_t>(i) * 5;
            if (view(attribute[0]) == name && transitional(view(attribute[2])) == ns) {
                const auto* start = reinterpret_cast<const char*>(attribute[3]);
                const auto* end = reinterpret_cast<const char*>(attribute[4]);
                return std::string_view(start, static_cast<std::size_t>(end - start));
            }
        }
        return std::nullopt;
    }

  private:
    int count_;
    const xmlChar** attributes_;
};

// How many spaces a text:s element stands for, from its text:c attribute.
std::size_t spaceCount(const Attributes& attributes) {
    const auto value = attributes.get(kTextNamespace, "c");
    if (!value) {
        return 1;
    }
    long count = 1;
    const auto [stop, error] = std::from_chars(value->data(), value->data() + value->size(), count);
    if (error != std::errc{} || stop == value->data() || count < 1) {
        return 1;
    }
    return static_cast<std::size_t>(std::min(count, kMaxRepeatedSpaces));
}

// Whether an OOXML on/off property is on: present without a value, or "true", "1" or "on".
bool isOn(const Attributes& attributes) {
    const auto value = attributes.get(kWordNamespace, "val");
    return !value || *value == "true" || *value == "1" || *value == "on";
}

// The character of a w:sym element: its w:char in hexadecimal. Symbol fonts keep their glyphs at
// U+F020 to U+F0FF; those of the Symbol font are the Greek letters and mathematical signs that
// font draws, those of Wingdings the ticks and bullets it draws, the others (and the glyphs of
// Wingdings that have no character) stay where they are.
char32_t symbolCharacter(const Attributes& attributes) {
    const auto value = attributes.get(kWordNamespace, "char").value_or("");
    unsigned long code = 0;
    const auto [stop, error] = std::from_chars(value.data(), value.data() + value.size(), code, 16);
    if (error != std::errc{} || stop == value.data() || code == 0 || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF)) {
        return U'\uFFFD';
    }
    auto c = static_cast<char32_t>(code);
    const auto font = attributes.get(kWordNamespace, "font").value_or("");
    if (font != "Symbol" && font != "Wingdings") {
        return c;
    }
    if (c >= 0xF020 && c <= 0xF0FF) {
        c -= 0xF000;
    }
    if (c < 0x20 || c > 0xFF) {
        return c;
    }
    const auto glyph = static_cast<unsigned char>(c);
    return font == "Symbol" ? TextDecoding::symbolFontCharacter(glyph)
                            : TextDecoding::wingdingsCharacter(glyph);
}

// How a level of a .docx list numbers its items (outside WordNumbering, whose members hold it
// optionally, so that it is complete where they are declared).
struct WordListLevel {
    // Without w:start a level begins at 0, as the standard says and Word and LibreOffice read
    // it (LibreOffice writes none for a level that begins at 0).
    long start = 0;
    std::string format = "decimal";
    std::string text;
    std::string font;
    // Legal numbering (w:isLgl): the levels it shows all in decimal digits ("1.1", not "I.1").
    bool legal = false;
    // The level (counted from 1) whose items begin this one anew and above which none does
    // (w:lvlRestart; 0 for never); by default the level above.
    std::optional<long> restartAfter;
};

// The list numbering of a .docx (word/numbering.xml, and the numbering word/styles.xml gives
// paragraph styles): the formats of each list's levels, and the counters that number its
// paragraphs as Word does, so that a list item reads with the number or bullet the author sees
// ("2.", "b)", "•", "1.2" of a heading). Numbering instances (w:num) of one abstract numbering
// count on from one another, as one list (and so do the lists of one list style, whose levels
// they share); an instance that overrides a level's start (a list restarted, as "Restart
// numbering" writes it) restarts that level where its first paragraph at that level or above
// stands, never a level above the paragraph's (pandoc's nested lists override all nine), and the
// paragraphs after it count on from there, whichever instance they name.
class WordNumbering {
  public:
    static constexpr std::size_t kLevels = 9;

    // The list of a paragraph, as far as its properties or its style say.
    struct ListRef {
        std::optional<long> numId;
        std::optional<long> level;
    };

    // An element of word/numbering.xml; the bytes it keeps, so that the definitions are bounded
    // as the text is (an element of a few bytes makes a definition of many).
    std::size_t definition(std::string_view ns, std::string_view name,
                           const Attributes& attributes) {
        if (ns != kWordNamespace) {
            return 0;
        }
        const auto value = [&](std::string_view key) {
            return std::string(attributes.get(kWordNamespace, key).value_or(""));
        };
        if (name == "abstractNum") {
            abstractId_ = number(value("abstractNumId"));
            abstract_ = &abstracts_[abstractId_];
            level_ = nullptr;
            num_ = nullptr;
            return sizeof(Abstract);
        } else if (name == "num") {
            num_ = &nums_[number(value("numId"))];
            abstract_ = nullptr;
            level_ = nullptr;
            override_.reset();
            return sizeof(Num) + kMapNodeBytes;
        } else if (name == "numStyleLink" && abstract_ != nullptr && level_ == nullptr) {
            abstract_->styleLink = value("val");
            return abstract_->styleLink.size();
        } else if (name == "abstractNumId" && num_ != nullptr) {
            num_->abstractId = number(value("val"));
        } else if (name == "lvlOverride" && num_ != nullptr) {
            override_ = levelIndex(number(value("ilvl")));
            level_ = nullptr;
        } else if (name == "startOverride" && num_ != nullptr && override_) {
            num_->startOverrides[*override_] = ListCount::capped(number(value("val")));
        } else if (name == "lvl" && abstract_ != nullptr) {
            const auto index = levelIndex(number(value("ilvl")));
            level_ = index ? &abstract_->levels[*index] : nullptr;
            levelIndex_ = index.value_or(0);
        } else if (name == "lvl" && num_ != nullptr && override_) {
            // A level defined anew for this instance alone, which restarts it as an override
            // of its start does.
            level_ = &(num_->levelOverrides[*override_] = Level{});
            return sizeof(Level) + kMapNodeBytes;
        } else if (level_ != nullptr && name == "start") {
            level_->start = ListCount::capped(number(value("val")));
            if (num_ != nullptr && override_ && num_->startOverrides[*override_] < 0) {
                num_->startOverrides[*override_] = level_->start;
            }
        } else if (level_ != nullptr && name == "isLgl") {
            level_->legal = isOn(attributes);
        } else if (level_ != nullptr && name == "lvlRestart") {
            level_->restartAfter = number(value("val"));
        } else if (level_ != nullptr && name == "numFmt") {
            level_->format = value("val");
        } else if (level_ != nullptr && name == "lvlText") {
            level_->text = value("val");
        } else if (level_ != nullptr && name == "rFonts") {
            level_->font = value("ascii");
            return level_->font.size();
        } else if (level_ != nullptr && abstract_ != nullptr && name == "pStyle") {
            // The level a paragraph of this style is, when the style names no level.
            const auto style = value("val");
            styleLevels_[style] = {abstractId_, levelIndex_};
            return style.size() + sizeof(StyleLevel);
        }
        return 0;
    }

    // An element of word/styles.xml: the numbering a paragraph style gives, and the style it is
    // based on; the bytes it keeps.
    std::size_t style(std::string_view ns, std::string_view name, const Attributes& attributes) {
        if (ns != kWordNamespace) {
            return 0;
        }
        const auto value = [&](std::string_view key) {
            return std::string(attributes.get(kWordNamespace, key).value_or(""));
        };
        if (name == "style") {
            const auto id = value("styleId");
            const auto type = attributes.get(kWordNamespace, "type").value_or("paragraph");
            style_ = type == "paragraph" ? &styles_[id] : nullptr;
            numberingStyle_ = type == "numbering" ? id : std::string();
            // The id again for the chain the style may keep, or as a numbering style.
            return sizeof(Style) + 2 * id.size();
        }
        if (!numberingStyle_.empty() && name == "numId") {
            numberingStyles_[numberingStyle_] = number(value("val"));
            return sizeof(long);
        }
        if (style_ == nullptr) {
            return 0;
        }
        if (name == "basedOn") {
            style_->basedOn = value("val");
            return style_->basedOn.size();
        }
        if (name == "numId") {
            style_->list.numId = number(value("val"));
        } else if (name == "ilvl") {
            style_->list.level = number(value("val"));
        }
        return 0;
    }

    // The list a paragraph of style `styleId` belongs to, given what its own properties say:
    // its own numbering first, then its style's (through the styles it is based on); a level
    // named by neither is the one the list links to the paragraph's style (or to the style that
    // gives the numbering), else the first. Nothing for a
    // paragraph of no list (a numId of 0 takes a style's list away).
    std::optional<std::pair<long, long>> listOf(const std::string& styleId, ListRef own) {
        std::string linked;
        if (const auto style = styles_.find(styleId); style != styles_.end()) {
            const auto& chain = chainOf(style);
            if (!own.numId && chain.list.numId) {
                own.numId = chain.list.numId;
                linked = chain.linked;
            }
            if (!own.level) {
                own.level = chain.list.level;
            }
        }
        if (!own.numId || *own.numId <= 0) {
            return std::nullopt;
        }
        const auto num = nums_.find(*own.numId);
        for (const std::string_view style : {std::string_view(styleId), std::string_view(linked)}) {
            const auto link = styleLevels_.find(std::string(style));
            if (!own.level && link != styleLevels_.end() && num != nums_.end() &&
                link->second.abstractId == num->second.abstractId) {
                own.level = static_cast<long>(link->second.level);
            }
        }
        return std::pair{*own.numId, own.level.value_or(0)};
    }

    // The marker of the next paragraph of list `numId` at `level`, counted; empty for none.
    std::string marker(long numId, long level) {
        const auto num = nums_.find(numId);
        const auto at = levelIndex(level);
        if (num == nums_.end() || !at) {
            return {};
        }
        const auto found = levelsOf(num->second.abstractId);
        if (found == abstracts_.end()) {
            return {};
        }
        auto& instance = num->second;
        const auto levelOf = [&](std::size_t index) -> const Level& {
            const auto overridden = instance.levelOverrides.find(index);
            return overridden != instance.levelOverrides.end() ? overridden->second
                                                                : found->second.levels[index];
        };
        // Where each level of this instance begins: its own start, else the list's.
        const auto startOf = [&](std::size_t index) {
            return instance.startOverrides[index] >= 0 ? instance.startOverrides[index]
                                                       : levelOf(index).start;
        };
        // The lists whose levels are one numbering's count as one: those of a list style
        // count with the numbering the style names.
        auto& count = counts_[counts_.named(std::to_string(found->first))];
        for (auto index = *at; index < kLevels; ++index) {
            if (!instance.applied[index]) {
                instance.applied[index] = true;
                if (instance.startOverrides[index] >= 0 || instance.levelOverrides.contains(index)) {
                    count.restart(index, startOf(index));
                }
            }
        }
        ListCount::Restarts restarts;
        for (auto deeper = *at + 1; deeper < kLevels; ++deeper) {
            if (const auto after = levelOf(deeper).restartAfter) {
                restarts.restartedBy[deeper] =
                    std::min(static_cast<std::size_t>(std::max(*after, 0L)), deeper);
            }
        }
        count.next(*at, startOf(*at), 1, restarts);
        const auto& format = levelOf(*at);
        if (format.format == "none") {
            return {};
        }
        std::string out;
        const std::string_view text = format.text;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '%' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9') {
                const auto referenced = static_cast<std::size_t>(text[++i] - '1');
                out += ListNumberFormat::formatted(
                    count.shown(referenced, startOf(referenced)),
                    format.legal ? "decimal" : levelOf(referenced).format);
            } else {
                out.push_back(text[i]);
            }
        }
        return format.format == "bullet" ? ListNumberFormat::symbolFontText(out, format.font) : out;
    }

  private:
    using Level = WordListLevel;
    struct Abstract {
        std::array<Level, kLevels> levels;
        // The numbering style whose list's levels these are (w:numStyleLink), when it has none
        // of its own.
        std::string styleLink;
    };
    // A numbering instance: its abstract numbering, what it overrides of it (a start below 0
    // for none: a document may hold tens of thousands of instances, so each keeps little), and
    // whether each level's override was applied (at its first paragraph at that level or above).
    struct Num {
        long abstractId = -1;
        std::array<bool, kLevels> applied{};
        std::array<long, kLevels> startOverrides = [] {
            std::array<long, kLevels> none{};
            none.fill(-1);
            return none;
        }();
        std::map<std::size_t, Level> levelOverrides;
    };
    // What a node of a std::map keeps beside its value.
    static constexpr std::size_t kMapNodeBytes = 4 * sizeof(void*);
    // The abstract numbering whose levels number the lists of `abstractId`: itself, or the one
    // its numbering style names (a list style of Word's, "1 / 1.1 / 1.1.1" and the like).
    std::map<long, Abstract>::const_iterator levelsOf(long abstractId) const {
        const auto found = abstracts_.find(abstractId);
        if (found == abstracts_.end() || found->second.styleLink.empty()) {
            return found;
        }
        const auto style = numberingStyles_.find(found->second.styleLink);
        const auto num = style != numberingStyles_.end() ? nums_.find(style->second) : nums_.end();
        const auto linked =
            num != nums_.end() ? abstracts_.find(num->second.abstractId) : abstracts_.end();
        return linked != abstracts_.end() ? linked : found;
    }

    // What a style and the styles it is based on give: the first list and the first level
    // named along the chain, and the style that named the list.
    struct Chain {
        ListRef list;
        std::string linked;
    };
    struct Style {
        std::string basedOn;
        ListRef list;
        // Worked out at the first paragraph of the style.
        std::optional<Chain> chain;
    };

    // No real document bases its styles deeper than this; a chain is followed no further (nor
    // round a loop), and once for each style, so that each paragraph costs the same whatever its
    // styles say.
    const Chain& chainOf(std::map<std::string, Style>::iterator style) {
        constexpr std::size_t kMaxStyleDepth = 64;
        if (!style->second.chain) {
            Chain chain;
            auto current = style;
            for (std::size_t step = 0; step < kMaxStyleDepth && current != styles_.end(); ++step) {
                const auto& list = current->second.list;
                if (!chain.list.numId && list.numId) {
                    chain.list.numId = list.numId;
                    chain.linked = current->first;
                }
                if (!chain.list.level && list.level) {
                    chain.list.level = list.level;
                }
                current = current->second.basedOn.empty() ? styles_.end()
                                                          : styles_.find(current->second.basedOn);
            }
            style->second.chain = std::move(chain);
        }
        return *style->second.chain;
    }
    struct StyleLevel {
        long abstractId;
        std::size_t level;
    };

    static std::optional<std::size_t> levelIndex(long level) {
        if (level < 0 || static_cast<std::size_t>(level) >= kLevels) {
            return std::nullopt;
        }
        return static_cast<std::size_t>(level);
    }

    static long number(const std::string& text) {
        long value = 0;
        const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        return error == std::errc{} && stop != text.data() ? value : -1;
    }

    std::map<long, Abstract> abstracts_;
    std::map<long, Num> nums_;
    // The count of each abstract numbering whose levels number lists, which all its instances
    // (and the lists of the list style it is) count with, named by its id.
    ListCounts counts_;
    std::map<std::string, Style> styles_;
    // The level of an abstract numbering that each paragraph style is linked to.
    std::map<std::string, StyleLevel> styleLevels_;
    // The list (numbering instance) of each numbering style, and the one being read.
    std::map<std::string, long> numberingStyles_;
    std::string numberingStyle_;
    long abstractId_ = -1;
    Abstract* abstract_ = nullptr;
    Level* level_ = nullptr;
    std::size_t levelIndex_ = 0;
    Num* num_ = nullptr;
    Style* style_ = nullptr;
    // The level a w:lvlOverride of the instance being read overrides.
    std::optional<std::size_t> override_;
};

// The lists of an .odt as LibreOffice shows them: list styles (text:list-style, in styles.xml
// or the automatic styles of content.xml) say how each level is numbered ("1.", "a)", "i.") or
// bulleted, and counters number the items. A list begins its numbering anew unless it continues
// the one before it (text:continue-numbering) or a named one (text:continue-list); a list inside
// an item is the next level of the list around it, in its style unless it names its own.
class OdtLists {
  public:
    static constexpr std::size_t kLevels = 10;

    // An element of the styles; the bytes it keeps.
    std::size_t style(std::string_view ns, std::string_view name, const Attributes& attributes) {
        if (ns == kTextNamespace && name == "list-style") {
            const auto styleName = attributes.get(kStyleNamespace, "name").value_or("");
            current_ =
                &styles_.try_emplace(std::string(styleName), undefinedLevels()).first->second;
            return sizeof(Style) + styleName.size();
        }
        if (ns == kTextNamespace && name == "outline-style") {
            current_ = &outline_;
            return 0;
        }
        if (ns == kStyleNamespace && name == "font-face") {
            // A font declared by name, which text properties name it by.
            const auto fontName = attributes.get(kStyleNamespace, "name").value_or("");
            auto& family = fontFamilies_[std::string(fontName)];
            family = unquoted(attributes.get(kSvgNamespace, "font-family").value_or(fontName));
            return fontName.size() + family.size() + kNodeBytes;
        }
        if (currentLevel_ != nullptr && ns == kStyleNamespace && name == "text-properties") {
            // The font a bullet is drawn in: a symbol font's glyphs are characters of its own.
            if (const auto fontName = attributes.get(kStyleNamespace, "font-name")) {
                const auto declared = fontFamilies_.find(std::string(*fontName));
                currentLevel_->font =
                    declared != fontFamilies_.end() ? declared->second : unquoted(*fontName);
            } else {
                currentLevel_->font =
                    unquoted(attributes.get(kFoNamespace, "font-family").value_or(""));
            }
            return currentLevel_->font.size();
        }
        const bool number = name == "list-level-style-number" || name == "outline-level-style";
        const bool bullet = name == "list-level-style-bullet";
        if (current_ == nullptr || ns != kTextNamespace ||
            !(number || bullet || name == "list-level-style-image")) {
            return 0;
        }
        const auto index = levelIndex(attributes.get(kTextNamespace, "level").value_or(""));
        if (!index) {
            return 0;
        }
        const auto text = [&](std::string_view space, std::string_view key) {
            return std::string(attributes.get(space, key).value_or(""));
        };
        auto& level = (*current_)[*index];
        level = Level{};
        currentLevel_ = &level;
        level.kind = number ? Kind::number : (bullet ? Kind::bullet : Kind::image);
        level.bullet = text(kTextNamespace, "bullet-char");
        level.format = text(kStyleNamespace, "num-format");
        level.prefix = text(kStyleNamespace, "num-prefix");
        level.suffix = text(kStyleNamespace, "num-suffix");
        level.shownLevels = static_cast<std::size_t>(
            std::clamp<long>(whole(text(kTextNamespace, "display-levels")).value_or(1), 1,
                             static_cast<long>(kLevels)));
        level.start = startValue(text(kTextNamespace, "start-value"));
        level.letterSync = text(kStyleNamespace, "num-letter-sync") == "true";
        return level.bullet.size() + level.format.size() + level.prefix.size() +
               level.suffix.size();
    }

    void endStyle(std::string_view ns, std::string_view name) {
        if (ns == kTextNamespace && (name == "list-style" || name == "outline-style")) {
            current_ = nullptr;
        }
        if (ns == kTextNamespace && name.starts_with("list-level-style-")) {
            currentLevel_ = nullptr;
        }
    }

    // A text:list at `depth` begins; the bytes it keeps.
    std::size_t openList(int depth, const Attributes& attributes) {
        Open list{depth, std::string(attributes.get(kTextNamespace, "style-name").value_or("")), 0,
                  open_.size()};
        std::size_t kept = sizeof(Open) + list.style.size();
        if (!open_.empty()) {
            list.counters = open_.back().counters;
            if (list.style.empty()) {
                list.style = open_.back().style;
            }
        } else {
            const auto continued = attributes.get(kTextNamespace, "continue-list");
            const auto named = continued ? counts_.find(std::string(*continued)) : std::nullopt;
            const auto last = counts_.last();
            if (named) {
                list.counters = *named;
            } else if (attributes.get(kTextNamespace, "continue-numbering") == "true" && last) {
                list.counters = *last;
            } else {
                list.counters = counts_.begin();
                kept += ListCounts::kCountBytes;
            }
            if (const auto id = attributes.get(kXmlNamespace, "id")) {
                counts_.name(std::string(*id), list.counters);
                kept += id->size() + ListCounts::kNameBytes;
            }
        }
        open_.push_back(std::move(list));
        return kept;
    }

    void closeList(int depth) {
        if (!open_.empty() && open_.back().depth == depth) {
            open_.pop_back();
        }
    }

    // A text:list-item begins: its number or bullet, counted; empty for none.
    std::string item(const Attributes& attributes) {
        if (open_.empty() || open_.back().level >= kLevels) {
            return {};
        }
        const auto& list = open_.back();
        const auto at = list.level;
        const auto style = styles_.find(list.style);
        return label(style != styles_.end() ? style->second : Style{}, counts_[list.counters], at,
                     attributes.get(kTextNamespace, "start-value"));
    }

    // A heading (text:h) begins: its number in the outline style ("1.2"), counted; empty for
    // none (the default outline style numbers nothing, and a heading may say it has none).
    std::string heading(const Attributes& attributes) {
        const auto at = levelIndex(attributes.get(kTextNamespace, "outline-level").value_or(""));
        if (!at || attributes.get(kTextNamespace, "is-list-header") == "true") {
            return {};
        }
        const auto restart = attributes.get(kTextNamespace, "restart-numbering") == "true"
                                 ? attributes.get(kTextNamespace, "start-value")
                                 : std::nullopt;
        return label(outline_, outlineCounters_, *at, restart);
    }

  private:
    enum class Kind { none, number, bullet, image };
    struct Level {
        Kind kind = Kind::none;
        std::string bullet;
        std::string format;
        std::string prefix;
        std::string suffix;
        std::size_t shownLevels = 1;
        long start = 1;
        // Letters past the last repeat ("aa", "bb") rather than count on ("aa", "ab").
        bool letterSync = false;
        // The font of a bullet.
        std::string font;
    };
    using Style = std::array<Level, kLevels>;

    // The levels of a list style before it defines any: a level it leaves undefined numbers
    // as LibreOffice numbers it, "1.", "2." in decimal digits, whether the levels it does
    // define are numbered or bulleted (pandoc's ordered list inside a bullet item has a style
    // of its own that defines its first level alone, and is the second level of the list).
    static Style undefinedLevels() {
        Style style;
        for (auto& level : style) {
            level.kind = Kind::number;
            level.format = "1";
            level.suffix = ".";
        }
        return style;
    }

    // The label of the next item at level `at` of a list in `style` counted by `count`
    // (restarted at `restart` when given).
    static std::string label(const Style& style, ListCount& count, std::size_t at,
                             std::optional<std::string_view> restart) {
        const auto levelOf = [&](std::size_t index) -> const Level& { return style[index]; };
        if (restart) {
            count.restart(at, startValue(*restart));
        }
        count.next(at, levelOf(at).start);
        const auto& level = levelOf(at);
        if (level.kind == Kind::bullet) {
            return level.bullet.empty() ? "\u2022"
                                        : ListNumberFormat::symbolFontText(level.bullet, level.font);
        }
        if (level.kind != Kind::number) {
            return {};
        }
        std::string out = level.prefix;
        if (!level.format.empty()) {
            const auto shown = std::min(level.shownLevels, at + 1);
            for (auto index = at + 1 - shown; index <= at; ++index) {
                if (index != at + 1 - shown) {
                    out += '.';
                }
                out += ListNumberFormat::formatted(
                    count.shown(index, levelOf(index).start),
                    wordFormat(levelOf(index).format, levelOf(index).letterSync));
            }
        }
        return out + level.suffix;
    }

    struct Open {
        int depth;
        std::string style;
        std::size_t counters;
        std::size_t level;
    };

    static std::optional<long> whole(std::string_view text) {
        long value = 0;
        const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        return error == std::errc{} && stop != text.data() ? std::optional(value) : std::nullopt;
    }

    // Levels are counted from 1.
    static std::optional<std::size_t> levelIndex(std::string_view text) {
        const auto value = whole(text);
        if (!value || *value < 1 || static_cast<std::size_t>(*value) > kLevels) {
            return std::nullopt;
        }
        return static_cast<std::size_t>(*value - 1);
    }

    static long startValue(std::string_view text) {
        return ListCount::capped(whole(text).value_or(1));
    }

    // A font family as a style writes it, without its quotes ("'Symbol'").
    static std::string unquoted(std::string_view font) {
        const auto first = font.find_first_not_of(" '\"");
        const auto last = font.find_last_not_of(" '\"");
        return first == std::string_view::npos ? std::string()
                                               : std::string(font.substr(first, last - first + 1));
    }

    static constexpr std::size_t kNodeBytes = 4 * sizeof(void*) + 2 * sizeof(std::string);

    // The number format as ListNumberFormat names it: LibreOffice's own names are in its table.
    // Letters without letter sync count on past "z" as digits do ("aa", "ab"); with it they
    // repeat ("aa", "bb").
    static std::string_view wordFormat(std::string_view format, bool letterSync) {
        if (letterSync && (format == "a" || format == "A")) {
            return format == "a" ? "lowerLetter" : "upperLetter";
        }
        return format;
    }

    std::map<std::string, Style> styles_;
    // The outline style, which numbers headings by their outline level, and its counters.
    Style outline_;
    ListCount outlineCounters_;
    Style* current_ = nullptr;
    // The level being defined, whose bullet's font its text properties may name, and the
    // family of each font declared.
    Level* currentLevel_ = nullptr;
    std::map<std::string, std::string> fontFamilies_;
    // The counts of the lists, each list's own or that of the list it continues, named by the
    // lists' ids.
    ListCounts counts_;
    std::vector<Open> open_;
};

// The body text of the document, read in one pass over the markup.
//
// Paragraphs come in document order; a paragraph nested in another (a text box) follows it;
// notes follow the body. What the author's program does not show is left out: hidden text,
// deleted text and the source of a moved passage, the second rendition of an alternate content,
// and the properties of paragraphs. The text is bounded as it grows, not after: a space element
// of a few bytes of markup may stand for a thousand spaces, so a small document could otherwise
// yield text without bound. The outermost paragraph is written straight into the text, so a
// paragraph of many megabytes is never held twice.
class BodyText {
  public:
    BodyText(Format format, std::size_t maxTextBytes)
        : format_(format), maxTextBytes_(maxTextBytes) {}

    // The entry read next; each starts outside any element.
    void setEntry(std::string_view entryName) {
        entryName_ = entryName;
        readingNumbering_ = entryName == kWordNumberingEntry;
        readingWordStyles_ = entryName == kWordStylesEntry;
        readingWordSettings_ = entryName == kWordSettingsEntry;
        readingStyles_ = entryName == kOpenDocumentStylesEntry;
        paragraphProperties_.reset();
        noteProperties_ = nullptr;
        opaqueDepth_.reset();
        wordTextDepth_.reset();
        runs_.clear();
        alternates_.clear();
        flows_.clear();
        paragraphs_.clear();
        enclosed_.clear();
        styleName_.clear();
    }

    void startElement(std::string_view ns, std::string_view name, int depth, bool empty,
                      const Attributes& attributes) {
        if (readingNumbering_) {
            keep(attributes.get(kWordNamespace, "val").value_or("").size() +
                 numbering_.definition(ns, name, attributes));
            return;
        }
        if (readingWordStyles_) {
            keep(numbering_.style(ns, name, attributes));
            return;
        }
        if (readingWordSettings_) {
            noteFormat(ns, name, attributes);
            return;
        }
        if (readingStyles_) {
            keep(lists_.style(ns, name, attributes));
            return;
        }
        if (opaqueDepth_) {
            return;
        }
        if (paragraphProperties_) {
            // Of a paragraph's properties only its list numbering is text; a tab stop is no tab,
            // and the properties a tracked change replaced are no longer the paragraph's.
            if (ns == kWordNamespace && name == "pPrChange") {
                hideBelow(depth, empty);
            } else if (ns == kWordNamespace &&
                       (((name == "vanish" || name == "specVanish") && isOn(attributes)) ||
                        name == "del" || name == "moveFrom")) {
                // The paragraph mark is hidden or deleted: without text of its own to show,
                // the paragraph is not shown, nor its number.
                paragraphs_.back().markHidden = true;
            } else if (ns == kWordNamespace && (name == "numId" || name == "ilvl")) {
                long value = 0;
                const auto text = attributes.get(kWordNamespace, "val").value_or("");
                const auto [stop, error] =
                    std::from_chars(text.data(), text.data() + text.size(), value);
                if (error == std::errc{} && stop != text.data()) {
                    (name == "numId" ? ownList_.numId : ownList_.level) = value;
                }
            } else if (ns == kWordNamespace && name == "pStyle") {
                paragraphStyle_ = attributes.get(kWordNamespace, "val").value_or("");
            }
            return;
        }
        if (format_ == Format::word && ns == kWordNamespace && name == "pPr" &&
            !paragraphs_.empty() && !empty) {
            paragraphProperties_ = depth;
            ownList_ = {};
            paragraphStyle_.clear();
            return;
        }
        if (format_ == Format::word && ns == kWordNamespace && footnoteMark(name, attributes)) {
            hideBelow(depth, empty);
            return;
        }
        if (isHidden(ns, name, depth, attributes)) {
            hideBelow(depth, empty);
            return;
        }
        if (format_ == Format::openDocument) {
            readStyle(ns, name, attributes);
            keep(lists_.style(ns, name, attributes));
            if (ns == kTextNamespace && name == "note") {
                flows_.push_back({&notes_, paragraphs_.size(), depth});
                return;
            }
            if (ns == kTextNamespace && name == "list") {
                keep(lists_.openList(depth, attributes));
                return;
            }
            if (ns == kTextNamespace && (name == "list-item" || name == "list-header")) {
                // The item's number goes before its first paragraph; a header has none.
                listMarker_ = name == "list-item" ? lists_.item(attributes) : std::string();
                return;
            }
        }
        if (format_ == Format::openDocument && ns == kTextNamespace && name == "h" &&
            listMarker_.empty()) {
            listMarker_ = lists_.heading(attributes);
        }
        if (isParagraph(ns, name)) {
            openParagraph();
            if (empty) {
                endParagraph();
            }
            return;
        }
        if (format_ == Format::word && ns == kWordNamespace) {
            if (name == "r") {
                runs_.push_back({depth, false});
                return;
            }
            if (name == "vanish" && !runs_.empty() && isOn(attributes)) {
                runs_.back().hidden = true;
                return;
            }
            if (name == "vertAlign" && !runs_.empty()) {
                runs_.back().superscript = attributes.get(kWordNamespace, "val") == "superscript";
                return;
            }
        }
        if (paragraphs_.empty() || runHidden()) {
            return;
        }
        if (const auto kind = enclosedPart(ns, name)) {
            enclosed_.push_back({*kind, depth, paragraphs_.size(), target().size()});
            if (*kind == Enclosed::Kind::rubyText) {
                appendText("(", target());
            }
            return;
        }
        if (format_ == Format::word &&
            ((ns == kWordNamespace && name == "t") || (ns == kMathNamespace && name == "t"))) {
            // Only the text directly inside a text run (or a run of an equation) is body text.
            wordTextDepth_ = depth;
            hideBelow(depth, empty);
            if (empty) {
                wordTextDepth_.reset();
            }
            return;
        }
        if (auto c = characterElement(ns, name, attributes)) {
            if (*c != 0) {
                std::string bytes;
                TextDecoding::appendUtf8(bytes, *c);
                appendText(bytes, target());
            }
            hideBelow(depth, empty);
            return;
        }
        if (format_ == Format::openDocument && ns == kTextNamespace && name == "s") {
            appendRepeated(spaceCount(attributes), ' ', target());
            hideBelow(depth, empty);
        }
    }

    void endElement(std::string_view ns, std::string_view name, int depth) {
        if (readingStyles_) {
            lists_.endStyle(ns, name);
            return;
        }
        if (readingWordSettings_) {
            if (ns == kWordNamespace && (name == "footnotePr" || name == "endnotePr")) {
                noteProperties_ = nullptr;
            }
            return;
        }
        if (opaqueDepth_) {
            if (depth == *opaqueDepth_) {
                opaqueDepth_.reset();
                wordTextDepth_.reset();
            }
            return;
        }
        if (paragraphProperties_) {
            if (depth == *paragraphProperties_) {
                paragraphProperties_.reset();
                // A list item begins with its number or bullet and the tab after it, counted
                // once the paragraph shows.
                paragraphs_.back().wordList = numbering_.listOf(paragraphStyle_, ownList_);
            }
            return;
        }
        if (!alternates_.empty() && alternates_.back().depth == depth) {
            alternates_.pop_back();
        }
        if (!enclosed_.empty() && enclosed_.back().depth == depth) {
            const auto part = enclosed_.back();
            enclosed_.pop_back();
            if (part.paragraphs == paragraphs_.size()) {
                closeEnclosed(part);
            }
        }
        if (!runs_.empty() && runs_.back().depth == depth) {
            runs_.pop_back();
        }
        if (!flows_.empty() && flows_.back().depth == depth) {
            flows_.pop_back();
        }
        if (ns == kStyleNamespace && name == "style") {
            styleName_.clear();
        }
        if (format_ == Format::openDocument) {
            lists_.endStyle(ns, name);
            if (ns == kTextNamespace && name == "list") {
                lists_.closeList(depth);
            }
        }
        if (isParagraph(ns, name) && !paragraphs_.empty()) {
            endParagraph();
        }
    }

    void characters(std::string_view content, int depth) {
        if (paragraphs_.empty() || content.empty()) {
            return;
        }
        if (format_ == Format::word) {
            if (wordTextDepth_ && depth == *wordTextDepth_ + 1) {
                const auto raised = !runs_.empty() && runs_.back().superscript
                                        ? TextDecoding::superscript(content)
                                        : std::nullopt;
                appendText(raised ? *raised : content, target());
            }
            return;
        }
        if (!opaqueDepth_) {
            appendCollapsed(content, target());
        }
    }

    // The text so far, and a return to an earlier length of it (a part that could not be read
    // leaves nothing behind).
    std::size_t size() const { return text_.size(); }
    void truncate(std::size_t size) { text_.resize(std::min(size, text_.size())); }

    // The body, one paragraph per line with a blank line between paragraphs, then the notes.
    std::string take() {
        if (!notes_.empty()) {
            if (!text_.empty()) {
                text_ += "\n\n";
            }
            text_ += notes_;
            notes_ = std::string();
        }
        return std::move(text_);
    }

  private:
    struct Paragraph {
        // Where the text goes: the flow itself for the outermost paragraph of a flow (`text`
        // unused), else `text`.
        std::string* flow = nullptr;
        std::size_t start = 0;
        bool separated = false;
        bool hidden = false;
        // The paragraph mark is hidden or deleted.
        bool markHidden = false;
        // The list (numbering instance and level) of a .docx list item, or the marker of an
        // .odt one, until written before the paragraph's first text.
        std::optional<std::pair<long, long>> wordList;
        std::string marker;
        std::string text;
        // Paragraphs that were nested in this one, already in their final order.
        std::vector<std::string> nested;
    };
    // A sequence of paragraphs read into one string: the body, or the notes of an .odt.
    struct Flow {
        std::string* out;
        // The paragraphs open when the flow began, and the depth of the element that began it.
        std::size_t base;
        int depth;
    };
    struct Run {
        int depth;
        bool hidden;
        bool superscript = false;
    };
    struct Alternate {
        int depth;
        bool chosen;
    };

    void hideBelow(int depth, bool empty) {
        if (!empty) {
            opaqueDepth_ = depth;
        }
    }

    bool runHidden() const { return !runs_.empty() && runs_.back().hidden; }

    std::string* currentFlow() { return flows_.empty() ? &text_ : flows_.back().out; }

    void openParagraph() {
        Paragraph paragraph;
        const auto base = flows_.empty() ? 0 : flows_.back().base;
        if (paragraphs_.size() == base) {
            paragraph.flow = currentFlow();
            paragraph.start = paragraph.flow->size();
        }
        paragraph.marker = std::exchange(listMarker_, std::string());
        paragraphs_.push_back(std::move(paragraph));
    }

    // Where the text of the innermost open paragraph goes; the blank line before an outermost
    // paragraph is written with its first text.
    std::string& target() {
        auto& paragraph = paragraphs_.back();
        auto& out = paragraph.flow == nullptr ? paragraph.text : *paragraph.flow;
        if (paragraph.flow != nullptr && !paragraph.separated) {
            paragraph.separated = true;
            if (!paragraph.flow->empty()) {
                appendText("\n\n", *paragraph.flow);
            }
        }
        // A list item's number is counted, and written, only for a paragraph that shows.
        if (paragraph.wordList) {
            const auto [list, level] = *paragraph.wordList;
            paragraph.wordList.reset();
            paragraph.marker = numbering_.marker(list, level);
        }
        if (!paragraph.marker.empty()) {
            appendText(paragraph.marker + "\t", out);
            paragraph.marker.clear();
        }
        return out;
    }

    // A part of an equation or of ruby, its text written as linear text reads it.
    struct Enclosed {
        enum class Kind { numerator, denominator, rubyReading, rubyBase, rubyText };
        Kind kind;
        int depth;
        // The paragraphs open around it, and where its text begins in the innermost one's.
        std::size_t paragraphs;
        std::size_t start;
    };

    std::optional<Enclosed::Kind> enclosedPart(std::string_view ns, std::string_view name) const {
        using Kind = Enclosed::Kind;
        if (format_ == Format::openDocument) {
            return ns == kTextNamespace && name == "ruby-text" ? std::optional(Kind::rubyText)
                                                               : std::nullopt;
        }
        if (ns == kMathNamespace && (name == "num" || name == "den")) {
            return name == "num" ? Kind::numerator : Kind::denominator;
        }
        if (ns == kWordNamespace && (name == "rt" || name == "rubyBase")) {
            return name == "rt" ? Kind::rubyReading : Kind::rubyBase;
        }
        return std::nullopt;
    }

    // A fraction reads "(a+b)/c", its parts in parentheses unless each is one character or
    // letters and digits alone; ruby reads as its base followed by its reading in parentheses
    // ("漢(かん)"), though Word keeps the reading first.
    void closeEnclosed(const Enclosed& part) {
        using Kind = Enclosed::Kind;
        auto& out = target();
        const auto start = std::min(part.start, out.size());
        switch (part.kind) {
            case Kind::numerator:
            case Kind::denominator:
                if (needsParentheses(std::string_view(out).substr(start))) {
                    charge(2);
                    out.insert(start, 1, '(');
                    out.push_back(')');
                }
                if (part.kind == Kind::numerator) {
                    appendText("/", out);
                }
                break;
            case Kind::rubyReading:
                rubyReading_ = out.substr(start);
                out.resize(start);
                break;
            case Kind::rubyBase:
                if (!rubyReading_.empty()) {
                    appendText("(" + std::exchange(rubyReading_, std::string()) + ")", out);
                }
                break;
            case Kind::rubyText:
                appendText(")", out);
                break;
        }
    }

    static bool needsParentheses(std::string_view part) {
        // Characters are counted by their first bytes (UTF-8 continuation bytes are 10xxxxxx).
        const auto characters = std::count_if(part.begin(), part.end(), [](char c) {
            return (static_cast<unsigned char>(c) & 0xC0U) != 0x80U;
        });
        return characters > 1 && !std::all_of(part.begin(), part.end(), [](char c) {
                   return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                          (c >= 'A' && c <= 'Z');
               });
    }

    void endParagraph() {
        // What the paragraph leaves open is dropped with it.
        while (!enclosed_.empty() && enclosed_.back().paragraphs >= paragraphs_.size()) {
            enclosed_.pop_back();
        }
        // An item shown without text still shows its number.
        if (!paragraphs_.back().hidden && !paragraphs_.back().markHidden &&
            (paragraphs_.back().wordList || !paragraphs_.back().marker.empty())) {
            target();
        }
        auto paragraph = std::move(paragraphs_.back());
        paragraphs_.pop_back();
        if (paragraph.flow != nullptr) {
            if (paragraph.hidden) {
                paragraph.flow->resize(paragraph.start);
                return;
            }
            for (const auto& inner : paragraph.nested) {
                emit(inner, *paragraph.flow);
            }
            return;
        }
        if (paragraph.hidden) {
            return;
        }
        // An empty paragraph leaves nothing; each one kept costs its own bookkeeping against
        // the cap, so that millions of tiny nested paragraphs cannot outgrow it.
        auto& outer = paragraphs_.back().nested;
        if (!paragraph.text.empty()) {
            charge(sizeof(std::string));
            outer.push_back(std::move(paragraph.text));
        }
        std::move(paragraph.nested.begin(), paragraph.nested.end(), std::back_inserter(outer));
    }

    void emit(const std::string& paragraph, std::string& flow) {
        if (paragraph.empty()) {
            return;
        }
        if (!flow.empty()) {
            appendText("\n\n", flow);
        }
        flow += paragraph;
    }

    void charge(std::size_t bytes) {
        if (bytes > maxTextBytes_ - textBytes_) {
            throw WordProcessorReaderError(Case::entryTooLarge,
                                           "the text of " + std::string(entryName_) + " exceeds " +
                                               std::to_string(maxTextBytes_) + " bytes");
        }
        textBytes_ += bytes;
    }

    // The list definitions and what counts the lists keep have a bound of their own, as large
    // as the text's: a document of many small lists keeps more of them than of text, and
    // neither takes from the other.
    void keep(std::size_t bytes) {
        if (bytes > maxTextBytes_ - keptBytes_) {
            throw WordProcessorReaderError(Case::entryTooLarge,
                                           "the list definitions of " + std::string(entryName_) +
                                               " exceed " + std::to_string(maxTextBytes_) +
                                               " bytes");
        }
        keptBytes_ += bytes;
    }

    void appendText(std::string_view text, std::string& out) {
        charge(text.size());
        out += text;
    }

    void appendRepeated(std::size_t count, char c, std::string& out) {
        charge(count);
        out.append(count, c);
    }

    // Line breaks and runs of white space in the markup are layout, shown as one space.
    void appendCollapsed(std::string_view text, std::string& out) {
        const auto before = out.size();
        for (const char c : text) {
            const bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r';
            if (!space) {
                out.push_back(c);
            } else if (out.empty() || out.back() != ' ') {
                out.push_back(' ');
            }
        }
        charge(out.size() - before);
    }

    bool isParagraph(std::string_view ns, std::string_view name) const {
        if (format_ == Format::word) {
            return ns == kWordNamespace && name == "p";
        }
        return ns == kTextNamespace && (name == "p" || name == "h");
    }

    // The character an element stands for (0 for one that stands for nothing); nothing when it
    // is no such element.
    std::optional<char32_t> characterElement(std::string_view ns, std::string_view name,
                                             const Attributes& attributes) const {
        if (format_ == Format::word) {
            if (ns != kWordNamespace) {
                return std::nullopt;
            }
            if (name == "tab" || name == "ptab") {
                return U'\t';
            }
            if (name == "br" || name == "cr") {
                return U'\n';
            }
            if (name == "noBreakHyphen") {
                return U'\u2011';
            }
            if (name == "softHyphen") {
                return 0;
            }
            if (name == "sym") {
                return symbolCharacter(attributes);
            }
            return std::nullopt;
        }
        if (ns != kTextNamespace) {
            return std::nullopt;
        }
        if (name == "tab") {
            return U'\t';
        }
        if (name == "line-break") {
            return U'\n';
        }
        if (name == "soft-page-break") {
            return 0;
        }
        return std::nullopt;
    }

    // Elements whose content the author does not see, or that are read elsewhere: hidden text,
    // deleted text and the source of a move, the second rendition of alternate content,
    // paragraph properties (a tab stop is no tab), note citations, comments, titles and
    // descriptions of drawings, numbers as a writer last formatted them.
    bool isHidden(std::string_view ns, std::string_view name, int depth,
                  const Attributes& attributes) {
        if (!alternates_.empty() && alternates_.back().depth == depth - 1) {
            // The first rendition of an alternate content is read (the one written for programs
            // that know it, text boxes as drawings); the fallbacks after it repeat it.
            if (alternates_.back().chosen) {
                return true;
            }
            alternates_.back().chosen = true;
        }
        if (ns == kCompatibilityNamespace && name == "AlternateContent") {
            alternates_.push_back({depth, false});
            return false;
        }
        if (format_ == Format::word) {
            return ns == kWordNamespace &&
                   (name == "del" || name == "moveFrom" || name == "pPr" || name == "rPrChange");
        }
        if (ns == kSvgNamespace && (name == "title" || name == "desc")) {
            return true;
        }
        if (ns == kOfficeNamespace && name == "annotation") {
            return true;
        }
        if (ns != kTextNamespace) {
            return false;
        }
        // A number a writer kept with a list item or heading (text:number) is counted anew.
        // A note's citation ("1") stays in the text, where the note is referred to.
        if (name == "tracked-changes" || name == "number") {
            return true;
        }
        if (name == "section") {
            return attributes.get(kTextNamespace, "display") == "none";
        }
        if (name == "hidden-paragraph") {
            if (attributes.get(kTextNamespace, "is-hidden") == "true" && !paragraphs_.empty()) {
                paragraphs_.back().hidden = true;
            }
            return true;
        }
        if (name == "hidden-text") {
            if (attributes.get(kTextNamespace, "is-hidden") != "true" && !paragraphs_.empty()) {
                const auto shown = attributes.get(kTextNamespace, "string-value").value_or("");
                if (!shown.empty()) {
                    appendText(shown, target());
                }
            }
            return true;
        }
        if (name == "p" || name == "h" || name == "span") {
            const auto style = attributes.get(kTextNamespace, "style-name");
            return style && hiddenStyles_.contains(std::string(*style));
        }
        return false;
    }

    // The number of a footnote or endnote where Word shows it, raised: at its reference in the
    // text ("Body¹", "Bodyⁱ"), counted in order apart for each kind, and before the note's own
    // text. A reference whose mark is the text after it (w:customMarkFollows) has no number.
    // Whether the element was one.
    bool footnoteMark(std::string_view name, const Attributes& attributes) {
        const auto id = attributes.get(kWordNamespace, "id").value_or("");
        if (name == "footnote" || name == "endnote") {
            noteId_ = id;
            return false;
        }
        const bool reference = name == "footnoteReference" || name == "endnoteReference";
        if ((!reference && name != "footnoteRef" && name != "endnoteRef") || paragraphs_.empty() ||
            runHidden()) {
            return false;
        }
        auto& marks = noteMarks_[name.starts_with("endnote") ? 1 : 0];
        const auto custom = attributes.get(kWordNamespace, "customMarkFollows");
        if (reference && !(custom == "1" || custom == "true" || custom == "on")) {
            keep(id.size() + sizeof(long));
            marks.numbers[std::string(id)] = ++marks.count;
        }
        const auto number = marks.numbers.find(reference ? std::string(id) : noteId_);
        if (number != marks.numbers.end()) {
            // Raised where Unicode has every character of the mark raised, else as written.
            const auto mark = ListNumberFormat::formatted(number->second, marks.format);
            appendText(TextDecoding::superscript(mark).value_or(mark), target());
        }
        return true;
    }

    // An element of word/settings.xml: the number format of the document's footnotes or
    // endnotes (w:footnotePr and w:endnotePr); Word numbers a "bullet" format in decimal.
    void noteFormat(std::string_view ns, std::string_view name, const Attributes& attributes) {
        if (ns != kWordNamespace) {
            return;
        }
        if (name == "footnotePr" || name == "endnotePr") {
            noteProperties_ = &noteMarks_[name == "endnotePr" ? 1 : 0];
        } else if (name == "numFmt" && noteProperties_ != nullptr) {
            const auto format = attributes.get(kWordNamespace, "val").value_or("decimal");
            keep(format.size());
            noteProperties_->format = format == "bullet" ? "decimal" : std::string(format);
        }
    }

    // Collects the automatic styles that hide their text (text:display="none").
    void readStyle(std::string_view ns, std::string_view name, const Attributes& attributes) {
        if (ns == kStyleNamespace && name == "style") {
            styleName_ = std::string(attributes.get(kStyleNamespace, "name").value_or(""));
        } else if (ns == kStyleNamespace && name == "text-properties" && !styleName_.empty() &&
                   attributes.get(kTextNamespace, "display") == "none") {
            keep(styleName_.size());
            hiddenStyles_.insert(styleName_);
        }
    }

    Format format_;
    std::string_view entryName_;
    std::size_t maxTextBytes_;
    std::size_t textBytes_ = 0;
    std::size_t keptBytes_ = 0;
    std::string text_;
    std::string notes_;
    // The paragraphs open around the current node, outermost first.
    std::vector<Paragraph> paragraphs_;
    std::vector<Flow> flows_;
    std::vector<Run> runs_;
    std::vector<Alternate> alternates_;
    std::vector<Enclosed> enclosed_;
    // The footnotes and the endnotes referred to so far, each numbered by their ids, and their
    // formats (Word's endnotes count "i", "ii" unless the document says otherwise); the note
    // being read, and the note properties of the settings being read.
    struct NoteMarks {
        std::map<std::string, long> numbers;
        long count = 0;
        std::string format;
    };
    std::array<NoteMarks, 2> noteMarks_{NoteMarks{{}, 0, "decimal"},
                                        NoteMarks{{}, 0, "lowerRoman"}};
    std::string noteId_;
    NoteMarks* noteProperties_ = nullptr;
    // The reading of a ruby, written after its base.
    std::string rubyReading_;
    std::unordered_set<std::string> hiddenStyles_;
    std::string styleName_;
    // The depth of an element whose content is not read (skipped, or already turned into text).
    std::optional<int> opaqueDepth_;
    // The depth of the Word text element being read.
    std::optional<int> wordTextDepth_;
    // Reading word/numbering.xml rather than text; the list definitions it holds.
    bool readingNumbering_ = false;
    // Reading word/styles.xml, for the numbering of paragraph styles.
    bool readingWordStyles_ = false;
    // Reading word/settings.xml, for the number formats of the notes.
    bool readingWordSettings_ = false;
    WordNumbering numbering_;
    // Reading the styles of an .odt rather than text; its lists, and the number of the list item
    // whose first paragraph is yet to come.
    bool readingStyles_ = false;
    OdtLists lists_;
    std::string listMarker_;
    // The depth of the properties of the paragraph being read, the list they name for it,
    std::optional<int> paragraphProperties_;
    // and its style.
    WordNumbering::ListRef ownList_;
    std::string paragraphStyle_;
};

struct ParserContextDeleter {
    void operator()(xmlParserCtxt* context) const {
        xmlFreeDoc(context->myDoc);
        xmlFreeParserCtxt(context);
    }
};

// The parser's callbacks, which feed BodyText. Nothing is thrown through the parser (C code):
// a failure is kept, the parser stopped, and the failure thrown once it returns.
class SaxBody {
  public:
    SaxBody(BodyText& body, std::string_view entryName, std::stop_token stop)
        : body_(body), entryName_(entryName), stop_(std::move(stop)) {}

    static xmlSAXHandler handler() {
        xmlSAXHandler sax{};
        sax.initialized = XML_SAX2_MAGIC;
        sax.startElementNs = &SaxBody::startElement;
        sax.endElementNs = &SaxBody::endElement;
        sax.characters = &SaxBody::characters;
        sax.cdataBlock = &SaxBody::characters;
        sax.ignorableWhitespace = &SaxBody::characters;
        sax.entityDecl = &SaxBody::entityDeclaration;
        sax.attributeDecl = &SaxBody::attributeDeclaration;
        sax.serror = &SaxBody::structuredError;
        return sax;
    }

    void setParser(xmlParserCtxt* parser) { parser_ = parser; }
    bool sawRoot() const { return sawRoot_; }
    bool stopped() const { return stopped_; }
    const std::string& firstError() const { return error_; }

    // Throws what a callback kept.
    void rethrow() const {
        if (failure_) {
            std::rethrow_exception(failure_);
        }
    }

    // Stops the parser when a stop is requested; whether it was.
    bool checkStop() {
        if (!stopped_ && stop_.stop_requested()) {
            stopped_ = true;
            xmlStopParser(parser_);
        }
        return stopped_;
    }

  private:
    static SaxBody& self(void* context) { return *static_cast<SaxBody*>(context); }

    template <typename Step>
    void guarded(Step&& step) {
        if (failure_ || checkStop()) {
            return;
        }
        try {
            step();
        } catch (...) {
            failure_ = std::current_exception();
            xmlStopParser(parser_);
        }
    }

    void refuse(Case kind, const std::string& detail) {
        throw WordProcessorReaderError(kind, detail);
    }

    static void startElement(void* context, const xmlChar* localName, const xmlChar*,
                             const xmlChar* uri, int, const xmlChar**, int attributeCount, int,
                             const xmlChar** attributes) {
        auto& sax = self(context);
        sax.guarded([&] {
            sax.sawRoot_ = true;
            // The bound before the parser passes no more than this; an element past it means
            // the two read the markup differently, and the document is not read on.
            if (static_cast<std::size_t>(attributeCount) > kMaxAttributes) {
                sax.refuse(Case::malformedXml, "an element of " + std::string(sax.entryName_) +
                                                   " has more attributes than are read");
            }
            sax.body_.startElement(transitional(view(uri)), view(localName), sax.depth_, false,
                                   Attributes(attributeCount, attributes));
            ++sax.depth_;
            sax.runBytes_ = 0;
        });
    }

    static void endElement(void* context, const xmlChar* localName, const xmlChar*,
                           const xmlChar* uri) {
        auto& sax = self(context);
        sax.guarded([&] {
            --sax.depth_;
            sax.body_.endElement(transitional(view(uri)), view(localName), sax.depth_);
            sax.runBytes_ = 0;
        });
    }

    static void characters(void* context, const xmlChar* text, int length) {
        auto& sax = self(context);
        sax.guarded([&] {
            sax.runBytes_ += static_cast<std::size_t>(length);
            if (sax.runBytes_ > kMaxTextRunBytes) {
                sax.refuse(Case::entryTooLarge, "a text run of " + std::string(sax.entryName_) +
                                                    " is longer than " +
                                                    std::to_string(kMaxTextRunBytes) +
                                                    " bytes, the most one run may hold");
            }
            sax.body_.characters(std::string_view(reinterpret_cast<const char*>(text),
                                                  static_cast<std::size_t>(std::max(length, 0))),
                                 sax.depth_);
        });
    }

    // The replacement text of an entity is markup this reader's bound never sees, and the parser
    // reads it when the entity is used; defaulted attributes are added to elements unseen too.
    // No word processor declares either.
    static void entityDeclaration(void* context, const xmlChar* name, int, const xmlChar*,
                                  const xmlChar*, xmlChar*) {
        auto& sax = self(context);
        sax.guarded([&] {
            sax.refuse(Case::malformedXml, std::string(sax.entryName_) + " declares the entity \"" +
                                               std::string(view(name)) +
                                               "\"; documents that declare entities are not read");
        });
    }

    static void attributeDeclaration(void* context, const xmlChar* element, const xmlChar*, int,
                                     int, const xmlChar*, xmlEnumerationPtr values) {
        xmlFreeEnumeration(values);
        auto& sax = self(context);
        sax.guarded([&] {
            sax.refuse(Case::malformedXml,
                       std::string(sax.entryName_) + " declares attributes of \"" +
                           std::string(view(element)) +
                           "\"; documents that declare attributes are not read");
        });
    }

    static void structuredError(void* context, xmlErrorPtr error) {
        auto& message = self(context).error_;
        if (message.empty() && error != nullptr && error->level >= XML_ERR_ERROR) {
            message = error->message != nullptr ? error->message : "malformed";
            while (!message.empty() && message.back() == '\n') {
                message.pop_back();
            }
        }
    }

    BodyText& body_;
    std::string_view entryName_;
    std::stop_token stop_;
    xmlParserCtxt* parser_ = nullptr;
    int depth_ = 0;
    // The bytes of character data since the last tag.
    std::size_t runBytes_ = 0;
    bool sawRoot_ = false;
    bool stopped_ = false;
    std::string error_;
    std::exception_ptr failure_;
};

// The bound before the parser reads bytes, so the parser must read the same bytes: UTF-8 (the
// encoding word processors write), whatever the document declares. Markup in UTF-16 or EBCDIC
// would reach the parser unseen by the bound, so it is refused.
void requireAsciiCompatible(std::string_view start, std::string_view entryName) {
    if (start.starts_with("\xEF\xBB\xBF")) {
        start.remove_prefix(3);
    }
    if (!start.empty() && start[0] != '<' && start[0] != ' ' && start[0] != '\t' &&
        start[0] != '\n' && start[0] != '\r') {
        throw WordProcessorReaderError(Case::malformedXml,
                                       std::string(entryName) + " is not UTF-8 markup");
    }
}

// Reads the markup of the entry `archiveReader` stands at into `body`.
void readBodyText(archive* archiveReader, std::string_view entryName, BodyText& body,
                  std::size_t maxEntryBytes, const std::stop_token& stop) {
    // Elements past this many attributes lose the rest before the parser: its cost grows with
    // the square of an element's attributes, and the text holds none. A real document's root
    // has a few dozen, with its namespace declarations (kept whatever their place, up to the
    // second bound).
    constexpr std::size_t kPieceBytes = std::size_t{64} * 1024;
    body.setEntry(entryName);
    SaxBody sax(body, entryName, stop);
    auto handler = SaxBody::handler();
    // No network, no DTD loaded, no entity substitution, no lifted limits; the bytes are UTF-8.
    const std::unique_ptr<xmlParserCtxt, ParserContextDeleter> parser(
        xmlCreatePushParserCtxt(&handler, &sax, nullptr, 0, nullptr));
    if (!parser) {
        throw WordProcessorReaderError(Case::malformedXml, "out of memory");
    }
    sax.setParser(parser.get());
    xmlCtxtUseOptions(parser.get(), XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING |
                                        XML_PARSE_IGNORE_ENC);
    xmlSwitchEncoding(parser.get(), XML_CHAR_ENCODING_UTF8);
    MarkupAttributeBound bound(kMaxAttributes, kMaxNamespaces);
    std::string piece(kPieceBytes, '\0');
    std::string filtered;
    std::size_t inflated = 0;
    while (true) {
        if (sax.checkStop()) {
            break;
        }
        const la_ssize_t count = archive_read_data(archiveReader, piece.data(), piece.size());
        if (count < 0) {
            throw WordProcessorReaderError(Case::archiveUnreadable, archiveMessage(archiveReader));
        }
        if (count == 0) {
            break;
        }
        // The declared size may lie: the limit holds on what actually inflates.
        if (static_cast<std::size_t>(count) > maxEntryBytes - inflated) {
            throw WordProcessorReaderError(
                Case::entryTooLarge,
                std::string(entryName) + " exceeds " + std::to_string(maxEntryBytes) + " bytes");
        }
        const std::string_view bytes(piece.data(), static_cast<std::size_t>(count));
        if (inflated == 0) {
            requireAsciiCompatible(bytes, entryName);
        }
        inflated += bytes.size();
        filtered.clear();
        bound.filter(bytes, filtered);
        if (bound.refused()) {
            throw WordProcessorReaderError(
                Case::malformedXml, "an element of " + std::string(entryName) +
                                        " declares more than " + std::to_string(kMaxNamespaces) +
                                        " namespaces");
        }
        xmlParseChunk(parser.get(), filtered.data(), static_cast<int>(filtered.size()), 0);
        sax.rethrow();
        if (parser->disableSAX != 0 || parser->instate == XML_PARSER_EOF) {
            break;
        }
    }
    if (!sax.stopped() && parser->instate != XML_PARSER_EOF) {
        xmlParseChunk(parser.get(), nullptr, 0, 1);
    }
    sax.rethrow();
    if (sax.stopped()) {
        throw Error("Reading the document was cancelled");
    }
    if (bound.dropped() > 0) {
        logger().info(std::to_string(bound.dropped()) + " attributes past the first " +
                      std::to_string(kMaxAttributes) + " of their elements in " +
                      std::string(entryName) + " were not read (no text is in attributes)");
    }
    if (parser->wellFormed == 0 || !sax.sawRoot()) {
        throw WordProcessorReaderError(
            Case::malformedXml, sax.firstError().empty() ? "no root element" : sax.firstError());
    }
}

ArchivePtr openArchive(std::string_view bytes) {
    ArchivePtr reader(archive_read_new(), archive_read_free);
    if (!reader) {
        throw WordProcessorReaderError(Case::archiveUnreadable, "out of memory");
    }
    archive_read_support_format_zip(reader.get());
    if (archive_read_open_memory(reader.get(), bytes.data(), bytes.size()) != ARCHIVE_OK) {
        throw WordProcessorReaderError(Case::archiveUnreadable, archiveMessage(reader.get()));
    }
    return reader;
}

}  // namespace

WordProcessorReaderError::WordProcessorReaderError(Case kind, const std::string& detail)
    : Error(description(kind) + ": " + detail), kind_(kind) {}

std::optional<std::string> WordProcessorReader::documentText(std::string_view bytes,
                                                             std::size_t maxEntryBytes,
                                                             std::stop_token stop) {
    if (!bytes.starts_with(std::string_view("PK\x03\x04", 4))) {
        return std::nullopt;
    }
    const auto reader = openArchive(bytes);
    const auto format = openDocumentEntry(reader.get(), maxEntryBytes);
    // The text of the body and its notes together may not outgrow one entry's cap.
    BodyText body(format, maxEntryBytes);
    {
        // The list definitions come first, so that list items are numbered as they are read;
        // without them the lists read without their numbers.
        const auto definitionEntries =
            format == Format::word
                ? std::vector<std::string_view>{kWordNumberingEntry, kWordStylesEntry,
                                                kWordSettingsEntry}
                : std::vector<std::string_view>{kOpenDocumentStylesEntry};
        for (const auto entry : definitionEntries) {
            try {
                const auto definitions = openArchive(bytes);
                if (openEntry(definitions.get(), {entry}, maxEntryBytes)) {
                    readBodyText(definitions.get(), entry, body, maxEntryBytes, stop);
                }
            } catch (const WordProcessorReaderError& error) {
                logger().error(std::string(entry) + " was not read: " + error.what());
            }
        }
    }
    readBodyText(reader.get(), format == Format::word ? kWordEntry : kOpenDocumentEntry, body,
                 maxEntryBytes, stop);
    if (format == Format::word) {
        // Footnotes and endnotes follow the body, each once (the archive is read from its start
        // for each: its entries may come in any order).
        // A notes part that cannot be read costs its notes, not the body read before it.
        for (const auto entry : kWordNoteEntries) {
            const auto before = body.size();
            try {
                const auto notes = openArchive(bytes);
                if (openEntry(notes.get(), {entry}, maxEntryBytes)) {
                    readBodyText(notes.get(), entry, body, maxEntryBytes, stop);
                }
            } catch (const WordProcessorReaderError& error) {
                body.truncate(before);
                logger().error(std::string(entry) + " was not read: " + error.what());
            }
        }
    }
    return body.take();
}

}  // namespace vask
