#pragma once

#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/error.h"

namespace vask {

// One free-form JSON value exactly as a peer sent it: read, compared and printed, never written
// back. Every JSON number is a double; objects are unordered maps.
class JSONValue {
  public:
    using Object = std::map<std::string, JSONValue>;
    using Array = std::vector<JSONValue>;
    struct Null {
        bool operator==(const Null&) const = default;
    };
    enum class Kind { string, number, boolean, object, array, null };

    class DecodeError : public Error {
      public:
        DecodeError() : Error("unsupported JSON value") {}
        explicit DecodeError(const std::string& message) : Error(message) {}
    };

    // The deepest nesting of arrays and objects taken from a peer, far above anything a real
    // value needs. Every walk over a value recurses, so deeper input is refused before it is
    // parsed rather than left to exhaust the stack.
    static constexpr std::size_t maximumDepth = 256;
    // True when `text` nests arrays and objects deeper than maximumDepth, whether or not it is
    // valid JSON. One pass over the bytes, skipping the insides of strings.
    static bool nestsTooDeeply(std::string_view text);

    JSONValue() : value_(Null{}) {}
    static JSONValue string(std::string s) { return JSONValue(Storage(std::move(s))); }
    static JSONValue number(double n) { return JSONValue(Storage(n)); }
    static JSONValue boolean(bool b) { return JSONValue(Storage(b)); }
    static JSONValue object(Object o) { return JSONValue(Storage(std::move(o))); }
    static JSONValue array(Array a) { return JSONValue(Storage(std::move(a))); }
    static JSONValue null() { return JSONValue(); }

    // Throws DecodeError for a value no case fits (a discarded or binary value) or one nested
    // deeper than maximumDepth. `depth` counts the levels already above `json`.
    static JSONValue fromJson(const nlohmann::json& json, std::size_t depth = 0);
    // Parses JSON text; throws DecodeError when it is not JSON or nests too deeply.
    static JSONValue parse(std::string_view text);

    Kind kind() const { return static_cast<Kind>(value_.index()); }
    const std::string* asString() const { return std::get_if<std::string>(&value_); }
    const double* asNumber() const { return std::get_if<double>(&value_); }
    const bool* asBool() const { return std::get_if<bool>(&value_); }
    const Object* asObject() const { return std::get_if<Object>(&value_); }
    const Array* asArray() const { return std::get_if<Array>(&value_); }
    bool isNull() const { return kind() == Kind::null; }

    // The text form: strings in bare double quotes (nothing escaped), whole numbers below 1e15
    // as integers, other numbers in shortest round-trip form, object keys sorted and unquoted.
    std::string description() const;

    bool operator==(const JSONValue& other) const = default;

  private:
    using Storage = std::variant<std::string, double, bool, Object, Array, Null>;
    explicit JSONValue(Storage value) : value_(std::move(value)) {}

    Storage value_;
};

}  // namespace vask
