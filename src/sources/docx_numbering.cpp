#include "sources/docx_numbering.h"

#include <algorithm>
#include <charconv>

#include "sources/list_number_format.h"

namespace vask {

using WordProcessingMarkup::Attributes;
using WordProcessingMarkup::kWordNamespace;

bool isWordPropertyOn(const Attributes& attributes) {
    const auto value = attributes.get(kWordNamespace, "val");
    return !value || *value == "true" || *value == "1" || *value == "on";
}

std::size_t DocxNumbering::definition(std::string_view ns, std::string_view name,
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
        level_->legal = isWordPropertyOn(attributes);
    } else if (level_ != nullptr && name == "lvlRestart") {
        level_->restartAfter = number(value("val"));
    } else if (level_ != nullptr && name == "numFmt") {
        // A format beyond the standard's list is "custom", named by w:format ("001, 002, 003,
        // ...", as LibreOffice's), in the choice of an alternate content whose fallback follows.
        const auto format = value("val");
        if (format == "custom") {
            level_->format = value("format");
            level_->custom = true;
            return level_->format.size();
        }
        if (!level_->custom) {
            level_->format = format;
        }
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

std::size_t DocxNumbering::style(std::string_view ns, std::string_view name,
                                 const Attributes& attributes) {
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
        const auto isDefault = attributes.get(kWordNamespace, "default");
        if (style_ != nullptr && (isDefault == "1" || isDefault == "true" || isDefault == "on")) {
            defaultStyle_ = id;
        }
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
    } else if (name == "lang") {
        style_->language = value("val");
        // Again for the chain of each style based on it.
        return 2 * style_->language.size();
    }
    return 0;
}

std::optional<std::pair<long, long>> DocxNumbering::listOf(const std::string& styleId,
                                                           ListRef own) {
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

std::string_view DocxNumbering::languageOf(const std::string& styleId) {
    auto style = styles_.find(styleId);
    if (style == styles_.end()) {
        style = styles_.find(defaultStyle_);
    }
    if (style != styles_.end()) {
        if (const auto& chain = chainOf(style); !chain.language.empty()) {
            return chain.language;
        }
    }
    return language_;
}

std::string DocxNumbering::marker(long numId, long level, std::string_view language) {
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
                format.legal ? "decimal" : levelOf(referenced).format, language);
        } else {
            out.push_back(text[i]);
        }
    }
    return format.format == "bullet" ? ListNumberFormat::symbolFontText(out, format.font) : out;
}

std::map<long, DocxNumbering::Abstract>::const_iterator DocxNumbering::levelsOf(
    long abstractId) const {
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

const DocxNumbering::Chain& DocxNumbering::chainOf(std::map<std::string, Style>::iterator style) {
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
            if (chain.language.empty()) {
                chain.language = current->second.language;
            }
            current = current->second.basedOn.empty() ? styles_.end()
                                                      : styles_.find(current->second.basedOn);
        }
        style->second.chain = std::move(chain);
    }
    return *style->second.chain;
}

std::optional<std::size_t> DocxNumbering::levelIndex(long level) {
    if (level < 0 || static_cast<std::size_t>(level) >= kLevels) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(level);
}

long DocxNumbering::number(const std::string& text) {
    long value = 0;
    const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && stop != text.data() ? value : -1;
}

}  // namespace vask
