#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "typedstream-writer/attributed_body.h"
#include "typedstream-writer/typedstream_writer.h"
#include "typedstream/typedstream_decoder.h"

namespace vask::typedstream {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::optional<std::string> firstText(const Bytes& bytes) {
    const auto item = TypedStreamDecoder::firstTopLevelItem(bytes);
    if (!item || !item->stringObjectText()) {
        return std::nullopt;
    }
    return std::string(*item->stringObjectText());
}

std::vector<std::string> stringValues(const std::vector<Archivable>& items) {
    std::vector<std::string> texts;
    for (const auto& item : items) {
        if (auto text = item.stringValue()) {
            texts.push_back(*text);
        }
    }
    return texts;
}

AttributedBody richBody() {
    AttributedBody body;
    const std::string attachment(kAttachmentCharacter);
    body.text = "Hi @Ann, see https://example.com/a?b=1 " + attachment + " 😀 café";
    body.runs = {
        {3, {{std::string(kMessagePartAttributeName), std::int64_t{0}}}},
        {4,
         {{std::string(kMessagePartAttributeName), std::int64_t{0}},
          {std::string(kMentionAttributeName), std::string("+15550100123")}}},
        {6, {{std::string(kMessagePartAttributeName), std::int64_t{0}}}},
        {26,
         {{std::string(kMessagePartAttributeName), std::int64_t{0}},
          {std::string(kLinkAttributeName), UrlValue{"https://example.com/a?b=1"}}}},
        {1,
         {{std::string(kMessagePartAttributeName), std::int64_t{1}},
          {std::string(kFileTransferGUIDAttributeName),
           std::string("at_0_6F3C2A2E-1B1D-4E63-9C1A-0E5D2C3B4A59")}}},
        {9, {{std::string(kMessagePartAttributeName), std::int64_t{2}}}},
    };
    return body;
}

TEST(AttributedBodyTest, RoundTripKeepsTheTextExactly) {
    struct Row {
        const char* name;
        AttributedBody body;
    };
    AttributedBody immutable = AttributedBody::plain("plain NSAttributedString");
    immutable.mutableAttributedString = false;
    const Row rows[] = {
        {"ascii", AttributedBody::plain("See you at 5")},
        {"multi-byte", AttributedBody::plain("Grüße aus Köln — ünd 東京")},
        {"emoji only", AttributedBody::plain("😀👍🏽")},
        {"one-byte length limit", AttributedBody::plain(std::string(127, 'a'))},
        {"two-byte length", AttributedBody::plain(std::string(128, 'b'))},
        {"two-byte length limit", AttributedBody::plain(std::string(65535, 'c'))},
        {"four-byte length", AttributedBody::plain(std::string(70000, 'd'))},
        {"text a filter would drop", AttributedBody::plain("DNS?")},
        {"empty text", AttributedBody::plain("")},
        {"immutable attributed string", immutable},
        {"attachments, links and mentions", richBody()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Bytes bytes = encodeAttributedBody(row.body);
        EXPECT_EQ(firstText(bytes), row.body.text);
        const auto items = TypedStreamDecoder::decode(bytes);
        ASSERT_FALSE(items.empty());
        EXPECT_EQ(items.front().stringObjectText(), row.body.text);
    }
}

TEST(AttributedBodyTest, AttributesDecodeAsSeparateItems) {
    const auto items = TypedStreamDecoder::decode(encodeAttributedBody(richBody()));
    std::vector<std::int64_t> parts;
    std::vector<std::string> keys;
    for (const auto& item : items) {
        if (auto number = item.integerValue()) {
            parts.push_back(*number);
        }
        if (auto text = item.stringObjectText(); text && text->starts_with("__kIM")) {
            keys.emplace_back(*text);
        }
    }
    // The run of part 0 alone appears three times but is archived once and referred back to.
    EXPECT_EQ(parts, (std::vector<std::int64_t>{0, 0, 0, 1, 2}));
    EXPECT_EQ(keys.size(), 8U);
    // Joining every string that passes the filter would put the link and the mention into the
    // message text; the first item alone is the text.
    EXPECT_EQ(stringValues(items), (std::vector<std::string>{
                                       richBody().text, "+15550100123", "https://example.com/a?b=1",
                                       "at_0_6F3C2A2E-1B1D-4E63-9C1A-0E5D2C3B4A59"}));
}

TEST(AttributedBodyTest, TruncationAtEveryPositionNeverGivesWrongText) {
    const AttributedBody body = richBody();
    const Bytes full = encodeAttributedBody(body);
    bool sawTextBeforeTheEnd = false;
    for (std::size_t size = 0; size < full.size(); ++size) {
        SCOPED_TRACE(size);
        const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(size));
        try {
            const auto text = firstText(cut);
            if (text) {
                EXPECT_EQ(*text, body.text);
                sawTextBeforeTheEnd = true;
            }
        } catch (const TypedStreamDecoderError&) {
        }
        // A cut archive reads the same bytes as the whole one up to the cut, so running out of
        // bytes is the only way it can fail, and whatever it gives starts with the text.
        try {
            const auto items = TypedStreamDecoder::decode(cut);
            if (!items.empty() && items.front().stringObjectText()) {
                EXPECT_EQ(*items.front().stringObjectText(), body.text);
            }
        } catch (const TypedStreamDecoderError& error) {
            EXPECT_EQ(error.kind(), TypedStreamDecoderError::Case::outOfBounds) << error.what();
        }
    }
    // Once the text object is complete, cutting the attribute runs no longer loses it.
    EXPECT_TRUE(sawTextBeforeTheEnd);
}

TEST(AttributedBodyTest, CorruptByteAfterTheTextKeepsTheText) {
    const AttributedBody body = richBody();
    const Bytes full = encodeAttributedBody(body);
    // The text object ends with the first END byte after the text itself.
    const Bytes needle(body.text.begin(), body.text.end());
    const auto textAt = std::search(full.begin(), full.end(), needle.begin(), needle.end());
    ASSERT_NE(textAt, full.end());
    const auto textEnd =
        static_cast<std::size_t>(textAt - full.begin()) + needle.size() + 1;  // past its END
    for (std::size_t position = 0; position < full.size(); ++position) {
        for (const std::uint8_t value : {0x00, 0x80, 0x84, 0x85, 0x86, 0x91, 0x92, 0xFF}) {
            Bytes damaged = full;
            damaged[position] = value;
            SCOPED_TRACE(::testing::Message() << position << " <- " << int{value});
            try {
                const auto text = firstText(damaged);
                if (position >= textEnd) {
                    EXPECT_EQ(text, body.text);
                }
            } catch (const TypedStreamDecoderError&) {
                EXPECT_LT(position, textEnd);
            }
            // Whenever the whole archive decodes, its first item is the one read alone.
            std::optional<std::vector<Archivable>> items;
            try {
                items = TypedStreamDecoder::decode(damaged);
            } catch (const TypedStreamDecoderError&) {
            }
            if (items) {
                const auto first = TypedStreamDecoder::firstTopLevelItem(damaged);
                EXPECT_EQ(first.has_value(), !items->empty());
                if (first && !items->empty()) {
                    EXPECT_EQ(*first, items->front());
                }
            }
        }
    }
}

TEST(AttributedBodyTest, BodiesDenseWithAttributesStayWithinTheBudget) {
    // Every run distinct, so each archives its own dictionary, keys and values: the densest
    // real bodies put many table entries on few bytes.
    struct Row {
        const char* name;
        int runs;
        bool links;
    };
    const Row rows[] = {
        {"few mentions", 3, false}, {"many mentions", 3000, false}, {"many links", 3000, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        AttributedBody body;
        for (int i = 0; i < row.runs; ++i) {
            body.text += "ab";
            const std::string value = "+1555" + std::to_string(1000000 + i);
            AttributeRun run{2, {{std::string(kMessagePartAttributeName), std::int64_t{i}}}};
            if (row.links) {
                run.attributes.emplace_back(std::string(kLinkAttributeName), UrlValue{value});
            } else {
                run.attributes.emplace_back(std::string(kMentionAttributeName), value);
            }
            body.runs.push_back(std::move(run));
        }
        const Bytes bytes = encodeAttributedBody(body);
        EXPECT_EQ(firstText(bytes), body.text);
        const auto items = TypedStreamDecoder::decode(bytes);
        ASSERT_FALSE(items.empty());
        EXPECT_EQ(items.front().stringObjectText(), body.text);
    }
}

TEST(TypedStreamWriterTest, RefusesWhatTheFormatCannotCarry) {
    TypedStreamWriter writer;
    EXPECT_THROW(writer.signedInteger(std::int64_t{1} << 40), std::out_of_range);
    EXPECT_THROW(writer.unsignedInteger(std::uint64_t{1} << 40), std::out_of_range);
    EXPECT_THROW(writer.beginObject({{std::string(200, 'N'), 0}}), std::length_error);
    // Object 0 right after the reference to type list 0 would read as a single reference.
    writer.types("@");
    writer.types("@");
    EXPECT_THROW(writer.objectReference(0), std::logic_error);
    for (int i = 0; i < 110; ++i) {
        writer.types("i" + std::to_string(i));
    }
    EXPECT_NO_THROW(writer.types("i0"));
    EXPECT_THROW(writer.types("i109"), std::length_error);
}

}  // namespace
}  // namespace vask::typedstream
