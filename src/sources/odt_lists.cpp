#include "sources/odt_lists.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include "sources/list_number_format.h"

namespace vask {

using WordProcessingMarkup::Attributes;
using WordProcessingMarkup::kFoNamespace;
using WordProcessingMarkup::kStyleNamespace;
using WordProcessingMarkup::kSvgNamespace;
using WordProcessingMarkup::kTextNamespace;
using WordProcessingMarkup::kXmlNamespace;

std::size_t OdtLists::style(std::string_view ns, std::string_view name,
                            const Attributes& attributes) {
    if (ns == kTextNamespace && name == "list-style") {
        const auto styleName = attributes.get(kStyleNamespace, "name").value_or("");
        current_ = &styles_.try_emplace(std::string(styleName), undefinedLevels()).first->second;
        return sizeof(Style) + styleName.size();
    }
    if (ns == kTextNamespace && name == "outline-style") {
        current_ = &outline_;
        return 0;
    }
    if (ns == kStyleNamespace && name == "default-style") {
        inParagraphDefaults_ = attributes.get(kStyleNamespace, "family") == "paragraph";
        return 0;
    }
    if (inParagraphDefaults_ && ns == kStyleNamespace && name == "text-properties") {
        // The document's language, which numbers in words are spelled in where neither a level
        // nor a paragraph's style names one.
        language_ = languageTag(attributes);
        return language_.size();
    }
    if (ns == kStyleNamespace && name == "style") {
        paragraphStyle_ = nullptr;
        if (attributes.get(kStyleNamespace, "family") != "paragraph") {
            return 0;
        }
        const auto styleName = attributes.get(kStyleNamespace, "name").value_or("");
        paragraphStyle_ = &paragraphStyles_[std::string(styleName)];
        paragraphStyle_->parent = attributes.get(kStyleNamespace, "parent-style-name").value_or("");
        return styleName.size() + paragraphStyle_->parent.size() + kNodeBytes;
    }
    if (paragraphStyle_ != nullptr && ns == kStyleNamespace && name == "text-properties") {
        if (auto language = languageTag(attributes); !language.empty()) {
            paragraphStyle_->language = std::move(language);
        }
        return paragraphStyle_->language.size();
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
    level.shownLevels = static_cast<std::size_t>(std::clamp<long>(
        whole(text(kTextNamespace, "display-levels")).value_or(1), 1, static_cast<long>(kLevels)));
    level.start = startValue(text(kTextNamespace, "start-value"));
    level.letterSync = text(kStyleNamespace, "num-letter-sync") == "true";
    // The level's own language, where it names one.
    level.language = languageTag(attributes);
    return level.bullet.size() + level.format.size() + level.prefix.size() + level.suffix.size() +
           level.language.size();
}

void OdtLists::endStyle(std::string_view ns, std::string_view name) {
    if (ns == kStyleNamespace && name == "default-style") {
        inParagraphDefaults_ = false;
    }
    if (ns == kStyleNamespace && name == "style") {
        paragraphStyle_ = nullptr;
    }
    if (ns == kTextNamespace && (name == "list-style" || name == "outline-style")) {
        current_ = nullptr;
    }
    if (ns == kTextNamespace && name.starts_with("list-level-style-")) {
        currentLevel_ = nullptr;
    }
}

std::size_t OdtLists::openList(int depth, const Attributes& attributes) {
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

void OdtLists::closeList(int depth) {
    if (!open_.empty() && open_.back().depth == depth) {
        open_.pop_back();
    }
}

std::optional<OdtLists::Counted> OdtLists::item(const Attributes& attributes) {
    if (open_.empty() || open_.back().level >= kLevels) {
        return std::nullopt;
    }
    const auto& list = open_.back();
    static const Style kUnnumbered{};
    const auto style = styles_.find(list.style);
    return counted(style != styles_.end() ? style->second : kUnnumbered, counts_[list.counters],
                   list.level, attributes.get(kTextNamespace, "start-value"));
}

std::string OdtLists::heading(const Attributes& attributes) {
    const auto at = levelIndex(attributes.get(kTextNamespace, "outline-level").value_or(""));
    if (!at || attributes.get(kTextNamespace, "is-list-header") == "true") {
        return {};
    }
    const auto restart = attributes.get(kTextNamespace, "restart-numbering") == "true"
                             ? attributes.get(kTextNamespace, "start-value")
                             : std::nullopt;
    return label(counted(outline_, outlineCounters_, *at, restart),
                 attributes.get(kTextNamespace, "style-name").value_or(""));
}

OdtLists::Style OdtLists::undefinedLevels() {
    Style style;
    for (auto& level : style) {
        level.kind = Kind::number;
        level.format = "1";
        level.suffix = ".";
    }
    return style;
}

OdtLists::Counted OdtLists::counted(const Style& style, ListCount& count, std::size_t at,
                                    std::optional<std::string_view> restart) {
    if (restart) {
        count.restart(at, startValue(*restart));
    }
    count.next(at, style[at].start);
    Counted out{&style, at, {}};
    for (std::size_t index = 0; index <= at; ++index) {
        out.shown[index] = count.shown(index, style[index].start);
    }
    return out;
}

std::string OdtLists::label(const Counted& counted, std::string_view paragraphStyle) const {
    const auto& style = *counted.style;
    const auto at = counted.at;
    const auto& level = style[at];
    if (level.kind == Kind::bullet) {
        return level.bullet.empty() ? "\u2022"
                                    : ListNumberFormat::symbolFontText(level.bullet, level.font);
    }
    if (level.kind != Kind::number) {
        return {};
    }
    const auto paragraph = paragraphLanguage(paragraphStyle);
    std::string out = level.prefix;
    if (!level.format.empty()) {
        const auto shown = std::min(level.shownLevels, at + 1);
        for (auto index = at + 1 - shown; index <= at; ++index) {
            if (index != at + 1 - shown) {
                out += '.';
            }
            const auto& shownLevel = style[index];
            const std::string_view language =
                shownLevel.language.empty() ? paragraph : std::string_view(shownLevel.language);
            out += ListNumberFormat::formatted(
                counted.shown[index],
                wordFormat(shownLevel.format, shownLevel.letterSync, language), language);
        }
    }
    return out + level.suffix;
}

std::string_view OdtLists::paragraphLanguage(std::string_view name) const {
    constexpr std::size_t kMaxStyleDepth = 64;
    for (std::size_t step = 0; step < kMaxStyleDepth && !name.empty(); ++step) {
        const auto style = paragraphStyles_.find(name);
        if (style == paragraphStyles_.end()) {
            break;
        }
        if (!style->second.language.empty()) {
            return style->second.language;
        }
        name = style->second.parent;
    }
    return language_;
}

std::string OdtLists::languageTag(const Attributes& attributes) {
    constexpr std::size_t kLongestLanguage = 64;
    const auto language = attributes.get(kFoNamespace, "language").value_or("");
    const auto country = attributes.get(kFoNamespace, "country").value_or("");
    if (language.empty() || language == "none" ||
        language.size() + country.size() >= kLongestLanguage) {
        return {};
    }
    std::string tag(language);
    if (!country.empty() && country != "none") {
        tag.append("-").append(country);
    }
    return tag;
}

std::optional<long> OdtLists::whole(std::string_view text) {
    long value = 0;
    const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && stop != text.data() ? std::optional(value) : std::nullopt;
}

std::optional<std::size_t> OdtLists::levelIndex(std::string_view text) {
    const auto value = whole(text);
    if (!value || *value < 1 || static_cast<std::size_t>(*value) > kLevels) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(*value - 1);
}

long OdtLists::startValue(std::string_view text) {
    return ListCount::capped(whole(text).value_or(1));
}

std::string OdtLists::unquoted(std::string_view font) {
    const auto first = font.find_first_not_of(" '\"");
    const auto last = font.find_last_not_of(" '\"");
    return first == std::string_view::npos ? std::string()
                                           : std::string(font.substr(first, last - first + 1));
}

std::string_view OdtLists::wordFormat(std::string_view format, bool letterSync,
                                      std::string_view language) {
    if (letterSync && (format == "a" || format == "A")) {
        return format == "a" ? "lowerLetter" : "upperLetter";
    }
    // LibreOffice names Korean's counting in ideographs as Chinese's, with the language.
    if (format == "一, 二, 三, ..." && (language == "ko" || language.starts_with("ko-"))) {
        return "koreanHanjaInformal";
    }
    return format;
}

}  // namespace vask
