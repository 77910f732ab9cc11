#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vask::typedstream {

// Writes typedstream archives laid out the way the Messages app stores rich bodies, for tests and
// tools. It keeps the two tables the format numbers back-references by: the shared strings (type
// lists and class names) and the objects (objects, their classes, embedded type lists).
//
// Integers take the shortest of the three widths: one byte below 0x80, 0x81 and two bytes, or 0x82
// and four bytes. Back-references are single bytes, so each table holds at most 110 entries that
// can be referred to; going past that throws std::length_error.
//
//     TypedStreamWriter w;           // header
//     w.types("@");
//     w.beginObject({{"NSString", 1}, {"NSObject", 0}});
//     w.string("hello");             // "+" and the text
//     w.endObject();
//     std::vector<std::uint8_t> body = w.bytes();
class TypedStreamWriter {
  public:
    struct ClassRecord {
        std::string name;
        std::uint64_t version = 0;
    };

    // Starts the archive with the header: version 4, "streamtyped", system version 1000.
    TypedStreamWriter();

    // The archive so far.
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    // The number the next object, class or embedded type list will get.
    std::size_t nextObjectNumber() const { return objectCount_; }

    void unsignedInteger(std::uint64_t value);
    // Values outside the signed 32-bit range throw std::out_of_range.
    void signedInteger(std::int64_t value);
    // Bytes as they are, for damaged or hand-made archives.
    void raw(std::initializer_list<std::uint8_t> bytes);
    void raw(std::string_view bytes);

    // A type list: written out the first time, a back-reference after that.
    void types(std::string_view codes);
    // A new object of the class chain (most derived first). Classes written before are referred
    // back to, which ends the chain; otherwise the chain ends with the root class. The object's
    // values follow (types, then values), then endObject(). Returns the object's number.
    std::size_t beginObject(const std::vector<ClassRecord>& chain);
    void endObject();
    // An object written before, in place of a new one (after types("@")).
    void objectReference(std::size_t number);
    // Embedded data ("*"): the type list of the values that follow, numbered in the object table
    // the first time it appears embedded.
    void embeddedTypes(std::string_view codes);

    // The type list "+" and the UTF-8 text with its length.
    void string(std::string_view text);
    // "@" and a whole NSString (or NSMutableString) object holding `text`.
    std::size_t stringObject(std::string_view text, std::string_view className = "NSString");
    // "@" and a whole NSNumber object holding `value` as a 64-bit integer ("q").
    std::size_t numberObject(std::int64_t value);

  private:
    void reference(std::size_t number);
    void classChain(const std::vector<ClassRecord>& chain);
    std::size_t sharedString(std::string_view key, bool& isNew);

    std::vector<std::uint8_t> bytes_;
    std::vector<std::string> sharedStrings_;
    std::vector<bool> embedded_;
    std::vector<std::string> classes_;
    std::vector<std::size_t> classNumbers_;
    std::size_t objectCount_ = 0;
    std::optional<std::uint8_t> lastTypeReference_;
    std::size_t lastTypeReferenceEnd_ = 0;
};

}  // namespace vask::typedstream
