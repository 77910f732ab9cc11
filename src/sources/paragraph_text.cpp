#include "sources/paragraph_text.h"

#include <algorithm>
#include <iterator>

#include "sources/decoding/text_decoding.h"
#include "sources/word_processor_reader.h"

namespace vask {

using WordProcessingMarkup::kCompatibilityNamespace;

void ParagraphText::setEntry(std::string_view entryName) {
    entryName_ = entryName;
    opaqueDepth_.reset();
    alternates_.clear();
    flows_.clear();
    paragraphs_.clear();
    enclosed_.clear();
}

std::string ParagraphText::take() {
    if (!notes_.empty()) {
        if (!text_.empty()) {
            text_ += "\n\n";
        }
        text_ += notes_;
        notes_ = std::string();
    }
    return std::move(text_);
}

std::string ParagraphText::markerOf(long, long) {
    return {};
}

void ParagraphText::hideBelow(int depth, bool empty) {
    if (!empty) {
        opaqueDepth_ = depth;
    }
}

bool ParagraphText::endOpaque(int depth) {
    if (opaqueDepth_ && depth == *opaqueDepth_) {
        opaqueDepth_.reset();
        return true;
    }
    return false;
}

bool ParagraphText::alternateHidden(std::string_view ns, std::string_view name, int depth) {
    if (!alternates_.empty() && alternates_.back().depth == depth - 1) {
        // The fallbacks after the first rendition repeat it.
        if (alternates_.back().chosen) {
            return true;
        }
        alternates_.back().chosen = true;
    }
    if (ns == kCompatibilityNamespace && name == "AlternateContent") {
        alternates_.push_back({depth, false});
    }
    return false;
}

void ParagraphText::openParagraph(ListItem item) {
    Paragraph paragraph;
    const auto base = flows_.empty() ? 0 : flows_.back().base;
    if (paragraphs_.size() == base) {
        paragraph.flow = currentFlow();
        paragraph.start = paragraph.flow->size();
    }
    paragraph.item = std::move(item);
    paragraphs_.push_back(std::move(paragraph));
}

void ParagraphText::setParagraphList(std::optional<std::pair<long, long>> list) {
    paragraphs_.back().item.list = list;
}

void ParagraphText::hideParagraph() {
    paragraphs_.back().hidden = true;
}

void ParagraphText::hideParagraphMark() {
    paragraphs_.back().markHidden = true;
}

void ParagraphText::beginNotes(int depth) {
    flows_.push_back({&notes_, paragraphs_.size(), depth});
}

void ParagraphText::openEnclosed(Enclosed kind, int depth) {
    enclosed_.push_back({kind, depth, paragraphs_.size(), target().size()});
    if (kind == Enclosed::rubyText) {
        appendText("(", target());
    }
}

void ParagraphText::endElementAt(int depth) {
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
    if (!flows_.empty() && flows_.back().depth == depth) {
        flows_.pop_back();
    }
}

std::string& ParagraphText::target() {
    auto& paragraph = paragraphs_.back();
    auto& out = paragraph.flow == nullptr ? paragraph.text : *paragraph.flow;
    if (paragraph.flow != nullptr && !paragraph.separated) {
        paragraph.separated = true;
        if (!paragraph.flow->empty()) {
            appendText("\n\n", *paragraph.flow);
        }
    }
    // A list item's number is counted, and written, only for a paragraph that shows.
    auto& item = paragraphs_.back().item;
    if (item.list) {
        const auto [list, level] = *item.list;
        item.list.reset();
        item.marker = markerOf(list, level);
    }
    if (!item.marker.empty()) {
        appendText(item.marker + "\t", out);
        item.marker.clear();
    }
    return out;
}

// A fraction reads "(a+b)/c", its parts in parentheses unless each is one character or
// letters and digits alone; ruby reads as its base followed by its reading in parentheses
// ("漢(かん)"), though Word keeps the reading first.
void ParagraphText::closeEnclosed(const EnclosedPart& part) {
    auto& out = target();
    const auto start = std::min(part.start, out.size());
    switch (part.kind) {
        case Enclosed::numerator:
        case Enclosed::denominator:
            if (needsParentheses(std::string_view(out).substr(start))) {
                charge(2);
                out.insert(start, 1, '(');
                out.push_back(')');
            }
            if (part.kind == Enclosed::numerator) {
                appendText("/", out);
            }
            break;
        case Enclosed::rubyReading:
            rubyReading_ = out.substr(start);
            out.resize(start);
            break;
        case Enclosed::rubyBase:
            if (!rubyReading_.empty()) {
                appendText("(" + std::exchange(rubyReading_, std::string()) + ")", out);
            }
            break;
        case Enclosed::rubyText:
            appendText(")", out);
            break;
    }
}

bool ParagraphText::needsParentheses(std::string_view part) {
    // Characters are counted by their first bytes (UTF-8 continuation bytes are 10xxxxxx).
    const auto characters = std::count_if(part.begin(), part.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0U) != 0x80U;
    });
    return characters > 1 && !std::all_of(part.begin(), part.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
           });
}

void ParagraphText::endParagraph() {
    // What the paragraph leaves open is dropped with it.
    while (!enclosed_.empty() && enclosed_.back().paragraphs >= paragraphs_.size()) {
        enclosed_.pop_back();
    }
    // An item shown without text still shows its number.
    const auto& last = paragraphs_.back();
    if (!last.hidden && !last.markHidden && (last.item.list || !last.item.marker.empty())) {
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

void ParagraphText::emit(const std::string& paragraph, std::string& flow) {
    if (paragraph.empty()) {
        return;
    }
    if (!flow.empty()) {
        appendText("\n\n", flow);
    }
    flow += paragraph;
}

void ParagraphText::charge(std::size_t bytes) {
    if (bytes > maxTextBytes_ - textBytes_) {
        throw WordProcessorReaderError(
            WordProcessorReaderError::Case::entryTooLarge,
            "the text of " + entryName_ + " exceeds " + std::to_string(maxTextBytes_) + " bytes");
    }
    textBytes_ += bytes;
}

void ParagraphText::keep(std::size_t bytes) {
    if (bytes > maxTextBytes_ - keptBytes_) {
        throw WordProcessorReaderError(WordProcessorReaderError::Case::entryTooLarge,
                                       "the list definitions of " + entryName_ + " exceed " +
                                           std::to_string(maxTextBytes_) + " bytes");
    }
    keptBytes_ += bytes;
}

void ParagraphText::appendText(std::string_view text, std::string& out) {
    charge(text.size());
    out += text;
}

void ParagraphText::appendCharacter(char32_t c, std::string& out) {
    std::string bytes;
    decoding::appendUtf8(bytes, c);
    appendText(bytes, out);
}

void ParagraphText::appendRepeated(std::size_t count, char c, std::string& out) {
    charge(count);
    out.append(count, c);
}

void ParagraphText::appendCollapsed(std::string_view text, std::string& out) {
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

}  // namespace vask
