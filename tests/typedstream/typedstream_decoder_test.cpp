#include "typedstream/typedstream_decoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace vask::typedstream {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Case = TypedStreamDecoderError::Case;

// Version 4, "streamtyped", system version 1000 written as 0x81 0xE8 0x03.
const Bytes kHeader = {0x04, 0x0B, 's', 't', 'r', 'e',  'a',  'm',
                       't',  'y',  'p', 'e', 'd', 0x81, 0xE8, 0x03};

Bytes archive(std::initializer_list<std::uint8_t> body) {
    Bytes bytes = kHeader;
    bytes.insert(bytes.end(), body);
    return bytes;
}

void append(Bytes& bytes, std::string_view text) {
    bytes.insert(bytes.end(), text.begin(), text.end());
}

// A new type list with these codes.
void appendTypes(Bytes& bytes, std::string_view codes) {
    bytes.push_back(0x84);
    bytes.push_back(static_cast<std::uint8_t>(codes.size()));
    append(bytes, codes);
}

Case errorOf(const Bytes& bytes, std::string* text = nullptr) {
    try {
        TypedStreamDecoder::decode(bytes);
    } catch (const TypedStreamDecoderError& error) {
        if (text) {
            *text = error.what();
        }
        return error.kind();
    }
    ADD_FAILURE() << "decode succeeded";
    return Case::outOfBounds;
}

TEST(TypedStreamDecoderTest, HeaderIsCheckedField_by_field) {
    struct Row {
        const char* name;
        Bytes bytes;
        std::optional<Case> error;
    };
    Bytes badVersion = kHeader;
    badVersion[0] = 0x03;
    Bytes badSignature = kHeader;
    badSignature[3] = 'S';
    Bytes system999 = kHeader;
    system999[14] = 0xE7;
    const Row rows[] = {
        {"header alone", kHeader, std::nullopt},
        {"version 3", badVersion, Case::invalidHeader},
        {"signature", badSignature, Case::invalidHeader},
        {"system version 999", system999, Case::invalidHeader},
        {"cut in the signature", Bytes(kHeader.begin(), kHeader.begin() + 8), Case::outOfBounds},
        {"cut in the system version", Bytes(kHeader.begin(), kHeader.end() - 1), Case::outOfBounds},
        {"empty", {}, Case::outOfBounds},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.error) {
            EXPECT_EQ(errorOf(row.bytes), *row.error);
        } else {
            EXPECT_TRUE(TypedStreamDecoder::decode(row.bytes).empty());
            EXPECT_FALSE(TypedStreamDecoder::firstTopLevelItem(row.bytes));
        }
    }
}

TEST(TypedStreamDecoderTest, ErrorTextsAreExact) {
    std::string text;
    // Index 26 in a stream of 24 bytes: a 6-byte string with 4 bytes left.
    EXPECT_EQ(errorOf(archive({0x84, 0x01, '+', 0x06, 'a', 'b', 'c', 'd'}), &text),
              Case::outOfBounds);
    EXPECT_EQ(text, "Index 1a is outside of range 18!");
    EXPECT_EQ(errorOf(archive({0x84, 0x01, 'i', 0x01, 0x91, 0x00}), &text), Case::invalidPointer);
    EXPECT_EQ(text, "Failed to parse pointer: 91");
    EXPECT_EQ(errorOf(archive({0x84, 0x01, '+', 0x02, 0xC3, 0x28}), &text), Case::stringParseError);
    EXPECT_EQ(text, "Failed to parse string: Invalid UTF-8");
    EXPECT_EQ(errorOf(archive({0x84, 0x03, '[', '0', 'c'}), &text), Case::invalidArray);
    EXPECT_EQ(text, "Failed to parse array data");
    Bytes badVersion = kHeader;
    badVersion[0] = 0x05;
    EXPECT_EQ(errorOf(badVersion, &text), Case::invalidHeader);
    EXPECT_EQ(text, "Invalid typedstream header!");
}

TEST(TypedStreamDecoderTest, PrimitiveValuesDecodeToOneDataItem) {
    float f = 1.5F;
    double d = -2.25;
    Bytes floatBits(4), doubleBits(8);
    std::memcpy(floatBits.data(), &f, 4);
    std::memcpy(doubleBits.data(), &d, 8);
    Bytes floatBody = archive({0x84, 0x01, 'f', 0x83});
    floatBody.insert(floatBody.end(), floatBits.begin(), floatBits.end());
    Bytes doubleBody = archive({0x84, 0x01, 'd', 0x83});
    doubleBody.insert(doubleBody.end(), doubleBits.begin(), doubleBits.end());

    struct Row {
        const char* name;
        Bytes bytes;
        std::vector<Object> values;
    };
    const Row rows[] = {
        {"unsigned 32-bit",
         archive({0x84, 0x01, 'I', 0x82, 0x01, 0x02, 0x03, 0x04}),
         {std::uint64_t{0x04030201}}},
        {"unsigned 16-bit", archive({0x84, 0x01, 'S', 0x81, 0x34, 0x12}), {std::uint64_t{0x1234}}},
        {"tag byte as unsigned", archive({0x84, 0x01, 'I', 0x85}), {std::uint64_t{0x85}}},
        {"0xFF before END is -1", archive({0x84, 0x01, 'i', 0xFF, 0x86}), {std::int64_t{-1}}},
        {"0xFF before a value is skipped",
         archive({0x84, 0x01, 'i', 0xFF, 0xFF, 0x05}),
         {std::int64_t{5}}},
        {"signed 16-bit", archive({0x84, 0x01, 's', 0x81, 0xFE, 0xFF}), {std::int64_t{-2}}},
        {"signed 32-bit",
         archive({0x84, 0x01, 'q', 0x82, 0x00, 0x00, 0x00, 0x80}),
         {std::int64_t{INT32_MIN}}},
        {"float", floatBody, {1.5F}},
        {"integer as float", archive({0x84, 0x01, 'f', 0x81, 0x10, 0x00}), {16.0F}},
        {"double", doubleBody, {-2.25}},
        {"byte array", archive({0x84, 0x03, '[', '3', 'c', 'a', 'b', 'c'}), {Bytes{'a', 'b', 'c'}}},
        {"unknown code reads nothing",
         archive({0x84, 0x02, 'x', 'i', 0x07}),
         {std::uint8_t{'x'}, std::int64_t{7}}},
        {"text", archive({0x84, 0x01, '+', 0x02, 'h', 'i'}), {std::string("hi")}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto items = TypedStreamDecoder::decode(row.bytes);
        ASSERT_EQ(items.size(), 1U);
        EXPECT_EQ(items[0], Archivable::data(row.values));
    }
}

TEST(TypedStreamDecoderTest, ArrayLengthsAreParsedOrRefused) {
    const auto parse = [](std::string_view codes) {
        return Type::getArrayLength(
            {reinterpret_cast<const std::uint8_t*>(codes.data()), codes.size()});
    };
    const auto twelve = parse("[12c");
    ASSERT_TRUE(twelve);
    EXPECT_EQ(twelve->first, std::vector<Type>{Type::array(12)});
    EXPECT_EQ(twelve->second, 3U);
    for (const char* codes : {"", "[", "[0c", "[c", "c[1c", "[99999999999999999999c"}) {
        SCOPED_TRACE(codes);
        EXPECT_FALSE(parse(codes));
    }
    // Longer than what is left of the stream: refused before anything is read or allocated.
    Bytes huge = kHeader;
    appendTypes(huge, "[4294967295c");
    huge.push_back(0x00);
    EXPECT_EQ(errorOf(huge), Case::invalidArray);
    EXPECT_EQ(errorOf(archive({0x84, 0x01, '['})), Case::invalidArray);
}

TEST(TypedStreamDecoderTest, TypeListReferences) {
    // "i" is type list 0; two equal reference bytes stand for one reference.
    auto items = TypedStreamDecoder::decode(archive({0x84, 0x01, 'i', 0x07, 0x92, 0x92, 0x05}));
    ASSERT_EQ(items.size(), 2U);
    EXPECT_EQ(items[1], Archivable::data({std::int64_t{5}}));
    // A reference past the table (byte 0x05 is reference 115) yields nothing and decoding goes on.
    items = TypedStreamDecoder::decode(archive({0x05, 0x84, 0x01, 'i', 0x03}));
    ASSERT_EQ(items.size(), 1U);
    EXPECT_EQ(items[0], Archivable::data({std::int64_t{3}}));
    // A reference as the last byte cannot be followed by values.
    EXPECT_EQ(errorOf(archive({0x84, 0x01, 'i', 0x07, 0x92})), Case::outOfBounds);
}

Archivable stringObject(std::string text, const char* className = "NSString") {
    return Archivable::object(Class{className, 1}, {std::move(text)});
}

TEST(TypedStreamDecoderTest, StringValueKeepsOnlyTextLikeStrings) {
    struct Row {
        Archivable item;
        std::optional<std::string> expected;
    };
    const Row rows[] = {
        {stringObject("hello"), "hello"},
        {stringObject("ok", "NSMutableString"), "ok"},
        {stringObject("héllo wörld"), "héllo wörld"},
        {stringObject("\xD9\xA3"), "\xD9\xA3"},  // ARABIC-INDIC DIGIT THREE
        {stringObject("check the DNS server"), std::nullopt},
        {stringObject("__kIMMessagePartAttributeName"), std::nullopt},
        {stringObject("someAttribute"), std::nullopt},
        {stringObject("?!..."), std::nullopt},
        {stringObject("\xF0\x9F\x98\x80"), std::nullopt},  // an emoji is neither letter nor number
        {stringObject("hello", "NSNumber"), std::nullopt},
        {Archivable::object(Class{"NSString", 1}, {std::int64_t{1}}), std::nullopt},
        {Archivable::data({std::string("hello")}), std::nullopt},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.item.stringValue(), row.expected);
    }
    const auto number = Archivable::object(Class{"NSNumber", 0}, {std::int64_t{42}});
    EXPECT_EQ(number.integerValue(), 42);
    EXPECT_FALSE(number.doubleValue());
    EXPECT_FALSE(number.stringValue());
    EXPECT_EQ(Archivable::object(Class{"NSNumber", 0}, {0.5}).doubleValue(), 0.5);
    // The unfiltered text keeps what the filter drops.
    EXPECT_EQ(stringObject("DNS").stringObjectText(), "DNS");
}

TEST(TypedStreamDecoderTest, NestingBeyondTheLimitIsAnErrorNotACrash) {
    // Embedded data whose embedded type list is itself embedded data, ten thousand times.
    Bytes embedded = kHeader;
    appendTypes(embedded, "*");
    for (int i = 0; i < 10000; ++i) {
        embedded.push_back(0x84);
        embedded.push_back(0x92);
    }
    // A class chain ten thousand parents long.
    Bytes classes = kHeader;
    appendTypes(classes, "@");
    classes.push_back(0x84);
    for (int i = 0; i < 10000; ++i) {
        append(classes, std::string("\x84\x84\x01") + static_cast<char>('A' + i % 26) + '\0');
    }
    classes.push_back(0x85);
    for (const Bytes* bytes : {&embedded, &classes}) {
        EXPECT_EQ(errorOf(*bytes), Case::tooDeep);
        EXPECT_THROW(TypedStreamDecoder::firstTopLevelItem(*bytes), TypedStreamDecoderError);
    }
    // Nesting within the limit is fine.
    Bytes shallow = kHeader;
    appendTypes(shallow, "*");
    for (int i = 0; i < TypedStreamDecoder::maxDepth - 1; ++i) {
        shallow.push_back(0x84);
        shallow.push_back(0x92);
    }
    shallow.push_back(0x84);
    appendTypes(shallow, "i");
    shallow.push_back(0x09);
    const auto items = TypedStreamDecoder::decode(shallow);
    ASSERT_EQ(items.size(), 1U);
    EXPECT_EQ(items[0], Archivable::data({std::int64_t{9}}));
}

TEST(TypedStreamDecoderTest, BackReferenceExpansionIsBounded) {
    // Two type lists of 250 unknown codes each, then references that alternate between them:
    // every input byte would yield 250 values.
    Bytes bomb = kHeader;
    const std::string codes(250, 'x');
    appendTypes(bomb, codes);
    appendTypes(bomb, codes);
    for (int i = 0; i < 100000; ++i) {
        bomb.push_back(i % 2 == 0 ? 0x92 : 0x93);
    }
    EXPECT_EQ(errorOf(bomb), Case::tooLarge);
}

TEST(TypedStreamDecoderTest, TableEntriesCountAgainstTheBudget) {
    // Inputs that decode to no value at all but fill the decoder's tables: a type list of 120
    // objects, then references back to it, each followed by objects that reserve a slot and
    // are nil, or that each archive a new class.
    Bytes slots = kHeader;
    appendTypes(slots, std::string(120, '@'));
    Bytes classes = slots;
    for (int i = 0; i < 2000; ++i) {
        slots.insert(slots.end(), 120, 0x85);
        slots.push_back(0x92);
    }
    slots.insert(slots.end(), 120, 0x85);
    for (int i = 0; i < 200; ++i) {
        for (int k = 0; k < 120; ++k) {
            append(classes, std::string("\x84\x01") + static_cast<char>('A' + k % 26) +
                                std::string("\x00\x85", 2));
        }
        classes.push_back(0x92);
    }
    const struct {
        const char* name;
        const Bytes& bytes;
    } rows[] = {
        {"object slots", slots},
        {"class records", classes},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(errorOf(row.bytes), Case::tooLarge);
    }
    // Empty type lists cost about twelve times their two bytes: fine in a body of ordinary
    // size, too much once the body is megabytes of them.
    auto emptyLists = [](std::size_t count) {
        Bytes bytes = kHeader;
        for (std::size_t i = 0; i < count; ++i) {
            bytes.push_back(0x84);
            bytes.push_back(0x00);
        }
        return bytes;
    };
    EXPECT_TRUE(TypedStreamDecoder::decode(emptyLists(20000)).empty());
    EXPECT_EQ(errorOf(emptyLists(std::size_t{3} << 20)), Case::tooLarge);
}

}  // namespace
}  // namespace vask::typedstream
