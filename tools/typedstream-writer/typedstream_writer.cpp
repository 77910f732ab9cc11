#include "typedstream-writer/typedstream_writer.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace vask::typedstream {

namespace {

constexpr std::uint8_t kI16 = 0x81;
constexpr std::uint8_t kI32 = 0x82;
constexpr std::uint8_t kStart = 0x84;
constexpr std::uint8_t kEmpty = 0x85;
constexpr std::uint8_t kEnd = 0x86;
constexpr std::uint8_t kReferenceTag = 0x92;
// References are written as one byte from the tag up, so that they never read as a length.
constexpr std::size_t kMaxReferences = 0x100 - kReferenceTag;
// A class name length from the tag up would read as a class reference.
constexpr std::size_t kMaxClassNameLength = kReferenceTag - 1;

void appendLittleEndian(std::vector<std::uint8_t>& out, std::uint64_t value, int width) {
    for (int k = 0; k < width; ++k) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * k)));
    }
}

}  // namespace

// Version 4, the signature "streamtyped" with its length, system version 1000 (0x81 0x03E8).
TypedStreamWriter::TypedStreamWriter()
    : bytes_{0x04, 0x0B, 's', 't', 'r', 'e', 'a', 'm', 't', 'y', 'p', 'e', 'd', 0x81, 0xE8, 0x03} {}

void TypedStreamWriter::unsignedInteger(std::uint64_t value) {
    if (value < 0x80) {
        bytes_.push_back(static_cast<std::uint8_t>(value));
    } else if (value <= std::numeric_limits<std::uint16_t>::max()) {
        bytes_.push_back(kI16);
        appendLittleEndian(bytes_, value, 2);
    } else if (value <= std::numeric_limits<std::uint32_t>::max()) {
        bytes_.push_back(kI32);
        appendLittleEndian(bytes_, value, 4);
    } else {
        throw std::out_of_range("unsigned integer wider than 32 bits");
    }
}

void TypedStreamWriter::signedInteger(std::int64_t value) {
    if (value >= 0 && value < 0x80) {
        bytes_.push_back(static_cast<std::uint8_t>(value));
    } else if (value >= std::numeric_limits<std::int16_t>::min() &&
               value <= std::numeric_limits<std::int16_t>::max()) {
        bytes_.push_back(kI16);
        appendLittleEndian(bytes_, static_cast<std::uint64_t>(value), 2);
    } else if (value >= std::numeric_limits<std::int32_t>::min() &&
               value <= std::numeric_limits<std::int32_t>::max()) {
        bytes_.push_back(kI32);
        appendLittleEndian(bytes_, static_cast<std::uint64_t>(value), 4);
    } else {
        throw std::out_of_range("signed integer wider than 32 bits");
    }
}

void TypedStreamWriter::raw(std::initializer_list<std::uint8_t> bytes) {
    for (const std::uint8_t byte : bytes) {
        bytes_.push_back(byte);
    }
}

void TypedStreamWriter::raw(std::string_view bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

void TypedStreamWriter::reference(std::size_t number) {
    if (number >= kMaxReferences) {
        throw std::length_error("typedstream back-reference beyond one byte");
    }
    bytes_.push_back(static_cast<std::uint8_t>(kReferenceTag + number));
}

std::size_t TypedStreamWriter::sharedString(std::string_view key, bool& isNew) {
    const auto found = std::find(sharedStrings_.begin(), sharedStrings_.end(), key);
    isNew = found == sharedStrings_.end();
    if (!isNew) {
        return static_cast<std::size_t>(found - sharedStrings_.begin());
    }
    sharedStrings_.emplace_back(key);
    embedded_.push_back(false);
    return sharedStrings_.size() - 1;
}

void TypedStreamWriter::types(std::string_view codes) {
    bool isNew = false;
    const std::size_t number = sharedString("types:" + std::string(codes), isNew);
    if (isNew) {
        bytes_.push_back(kStart);
        unsignedInteger(codes.size());
        raw(codes);
        return;
    }
    reference(number);
    lastTypeReference_ = bytes_.back();
    lastTypeReferenceEnd_ = bytes_.size();
}

void TypedStreamWriter::classChain(const std::vector<ClassRecord>& chain) {
    for (const auto& record : chain) {
        const auto known = std::find(classes_.begin(), classes_.end(), record.name);
        if (known != classes_.end()) {
            reference(classNumbers_[static_cast<std::size_t>(known - classes_.begin())]);
            return;
        }
        if (record.name.size() > kMaxClassNameLength) {
            throw std::length_error("class name too long for a typedstream archive");
        }
        bool isNew = false;
        sharedString("class:" + record.name, isNew);
        classes_.push_back(record.name);
        classNumbers_.push_back(objectCount_++);
        raw({kStart, kStart});
        unsignedInteger(record.name.size());
        raw(record.name);
        unsignedInteger(record.version);
    }
    bytes_.push_back(kEmpty);
}

std::size_t TypedStreamWriter::beginObject(const std::vector<ClassRecord>& chain) {
    const std::size_t number = objectCount_++;
    bytes_.push_back(kStart);
    classChain(chain);
    return number;
}

void TypedStreamWriter::endObject() {
    bytes_.push_back(kEnd);
}

void TypedStreamWriter::objectReference(std::size_t number) {
    // A reference byte equal to the type reference right before it would read as one reference.
    if (lastTypeReference_ && lastTypeReferenceEnd_ == bytes_.size() &&
        *lastTypeReference_ == kReferenceTag + number) {
        throw std::logic_error("object reference equal to the type reference before it");
    }
    reference(number);
}

void TypedStreamWriter::embeddedTypes(std::string_view codes) {
    types("*");
    bytes_.push_back(kStart);
    bool isNew = false;
    const std::size_t number = sharedString("types:" + std::string(codes), isNew);
    if (isNew) {
        bytes_.push_back(kStart);
        unsignedInteger(codes.size());
        raw(codes);
    } else {
        // Bodies repeat the reference byte here; a run of equal bytes reads as one reference.
        reference(number);
        reference(number);
    }
    if (!embedded_[number]) {
        embedded_[number] = true;
        ++objectCount_;
    }
}

void TypedStreamWriter::string(std::string_view text) {
    types("+");
    unsignedInteger(text.size());
    raw(text);
}

std::size_t TypedStreamWriter::stringObject(std::string_view text, std::string_view className) {
    types("@");
    const std::size_t number = beginObject({{std::string(className), 1}, {"NSObject", 0}});
    string(text);
    endObject();
    return number;
}

std::size_t TypedStreamWriter::numberObject(std::int64_t value) {
    types("@");
    const std::size_t number = beginObject({{"NSNumber", 0}, {"NSValue", 0}, {"NSObject", 0}});
    embeddedTypes("q");
    signedInteger(value);
    endObject();
    return number;
}

}  // namespace vask::typedstream
