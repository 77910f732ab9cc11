#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

// What the typedstream decoder produces. Case names that are C++ keywords carry a trailing
// underscore (Type::Kind::float_, Archivable::Kind::class_).

namespace vask::typedstream {

// One class record of an archive.
struct Class {
    std::string name;
    std::uint64_t version = 0;

    bool operator==(const Class&) const = default;
};

// One element of a type list.
struct Type {
    enum class Kind {
        string,        // a literal string (a class name); yields that string without reading
        array,         // a fixed-length byte array of `length` bytes
        unknown,       // a code the decoder does not know; yields `code` as a byte
        utf8String,    // "+"
        embeddedData,  // "*"
        object,        // "@"
        signedInt,     // "c", "i", "l", "q", "s"
        unsignedInt,   // "C", "I", "L", "Q", "S"
        float_,        // "f"
        double_,       // "d"
    };

    Kind kind = Kind::unknown;
    std::string text;         // Kind::string
    std::int64_t length = 0;  // Kind::array
    std::uint8_t code = 0;    // Kind::unknown

    static Type of(Kind kind) { return Type{kind, {}, 0, 0}; }
    static Type string(std::string text) { return Type{Kind::string, std::move(text), 0, 0}; }
    static Type array(std::int64_t length) { return Type{Kind::array, {}, length, 0}; }
    static Type unknown(std::uint8_t code) { return Type{Kind::unknown, {}, 0, code}; }

    // Parses an array type code "[<digits><element code>": the one-element list [array(n)] and
    // the number of codes consumed up to the first non-digit (counting "["). Absent when the
    // codes do not start with "[", carry no digits, give a length below 1, or a length that does
    // not fit a signed 64-bit integer. The element code is ignored: arrays are read as raw bytes.
    static std::optional<std::pair<std::vector<Type>, std::size_t>> getArrayLength(
        std::span<const std::uint8_t> types);

    bool operator==(const Type&) const = default;
};

// One decoded value. Alternatives, in order: string, signedInteger, unsignedInteger, float,
// double, byte, array (raw bytes), class.
using Object = std::variant<std::string, std::int64_t, std::uint64_t, float, double, std::uint8_t,
                            std::vector<std::uint8_t>, Class>;

// One decoded item.
struct Archivable {
    enum class Kind {
        object,       // an object of `cls` with its `values`
        data,         // `values` that belong to no known class
        class_,       // one class (`cls`) of a class chain
        type,         // a type list (`types`) that appeared embedded in the data
        placeholder,  // a reserved slot of the object table, filled in later
    };

    Kind kind = Kind::placeholder;
    Class cls;
    std::vector<Object> values;
    std::vector<Type> types;

    static Archivable object(Class cls, std::vector<Object> values);
    static Archivable data(std::vector<Object> values);
    static Archivable class_(Class cls);
    static Archivable type(std::vector<Type> types);
    static Archivable placeholder() { return Archivable{}; }

    // The first value of an "NSString" or "NSMutableString" object when it is a string, with no
    // filter on its content. Points into this item.
    std::optional<std::string_view> stringObjectText() const;
    // stringObjectText, unless the text starts with "__k", contains "Attribute" or "NS", or holds
    // no Unicode letter or number (attribute names and archive bookkeeping rather than text).
    std::optional<std::string> stringValue() const;
    // The first value of an "NSNumber" object when it is a signed integer.
    std::optional<std::int64_t> integerValue() const;
    // The first value of an "NSNumber" object when it is a double.
    std::optional<double> doubleValue() const;

    bool operator==(const Archivable&) const = default;
};

}  // namespace vask::typedstream
