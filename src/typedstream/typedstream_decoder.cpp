#include "typedstream/typedstream_decoder.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <deque>
#include <limits>

namespace vask::typedstream {

namespace {

using Error = TypedStreamDecoderError;
using TypeList = std::vector<Type>;

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::span<const std::uint8_t> bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::uint8_t lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t extra = 0;
        std::uint8_t low = 0x80;
        std::uint8_t high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (extra > bytes.size() - i - 1) {
            return false;
        }
        if (bytes[i + 1] < low || bytes[i + 1] > high) {
            return false;
        }
        for (std::size_t k = 2; k <= extra; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) {
                return false;
            }
        }
        i += extra + 1;
    }
    return true;
}

std::uint64_t littleEndian(std::span<const std::uint8_t> bytes) {
    std::uint64_t value = 0;
    for (std::size_t k = bytes.size(); k > 0; --k) {
        value = (value << 8) | bytes[k - 1];
    }
    return value;
}

// What a value costs against the expansion budget: its slot plus its payload.
std::size_t cost(const Object& value) {
    constexpr std::size_t slot = sizeof(Object);
    if (const auto* text = std::get_if<std::string>(&value)) {
        return slot + text->size();
    }
    if (const auto* bytes = std::get_if<std::vector<std::uint8_t>>(&value)) {
        return slot + bytes->size();
    }
    if (const auto* cls = std::get_if<Class>(&value)) {
        return slot + cls->name.size();
    }
    return slot;
}

std::size_t cost(const TypeList& types) {
    std::size_t total = sizeof(TypeList) + sizeof(bool);
    for (const auto& type : types) {
        total += sizeof(Type) + type.text.size();
    }
    return total;
}

// Every entry of a table costs its slot, so that placeholders and copied type lists, which hold
// no decoded value, still count: a short body can otherwise reserve millions of them.
std::size_t cost(const Archivable& item) {
    std::size_t total = sizeof(Archivable) + item.cls.name.size() + cost(item.types);
    for (const auto& value : item.values) {
        total += cost(value);
    }
    return total;
}

// What the decoder may hold for an archive of `size` bytes: a fixed allowance, maxExpansion times
// the first expansionWindow bytes, and maxLargeExpansion times the rest. Bodies dense with
// attributes are small; large ones are large for their text, which costs about its own size.
std::size_t budgetFor(std::size_t size) {
    const std::size_t window = std::min(size, TypedStreamDecoder::expansionWindow);
    return (std::size_t{1} << 16) + window * TypedStreamDecoder::maxExpansion +
           (size - window) * TypedStreamDecoder::maxLargeExpansion;
}

class Decoder {
  public:
    explicit Decoder(std::span<const std::uint8_t> stream)
        : stream_(stream), budget_(budgetFor(stream.size())) {}

    std::vector<Archivable> run(std::size_t limit) {
        readHeader();
        std::vector<Archivable> results;
        while (idx_ < stream_.size()) {
            while (stream_[idx_] == TypedStreamDecoder::END) {
                if (++idx_ >= stream_.size()) {
                    return results;
                }
            }
            if (const auto types = getType(false)) {
                if (auto item = readTypes(*types)) {
                    results.push_back(std::move(*item));
                    if (results.size() == limit) {
                        return results;
                    }
                }
            }
        }
        return results;
    }

  private:
    // Counts one level of embedded data or class chain for as long as it lives.
    class DepthGuard {
      public:
        explicit DepthGuard(Decoder& decoder) : decoder_(decoder) {
            if (++decoder_.depth_ > TypedStreamDecoder::maxDepth) {
                --decoder_.depth_;
                throw Error::tooDeep(decoder_.idx_);
            }
        }
        ~DepthGuard() { --decoder_.depth_; }
        DepthGuard(const DepthGuard&) = delete;
        DepthGuard& operator=(const DepthGuard&) = delete;

      private:
        Decoder& decoder_;
    };

    void spend(std::size_t amount) {
        if (amount > budget_) {
            throw Error::tooLarge(idx_);
        }
        budget_ -= amount;
    }

    void push(std::vector<Object>& values, Object value) {
        spend(cost(value));
        values.push_back(std::move(value));
    }

    Archivable copyOf(const Archivable& item) {
        spend(cost(item));
        return item;
    }

    void appendObject(Archivable item) {
        spend(cost(item));
        objectTable_.push_back(std::move(item));
    }

    std::uint8_t peek() const {
        if (idx_ >= stream_.size()) {
            throw Error::outOfBounds(idx_, stream_.size());
        }
        return stream_[idx_];
    }

    std::uint8_t readByte() {
        const std::uint8_t byte = peek();
        ++idx_;
        return byte;
    }

    std::span<const std::uint8_t> readExact(std::uint64_t size) {
        if (size > stream_.size() - idx_) {
            throw Error::outOfBounds(idx_ + size, stream_.size());
        }
        const auto bytes = stream_.subspan(idx_, static_cast<std::size_t>(size));
        idx_ += bytes.size();
        return bytes;
    }

    std::string readString(std::uint64_t size) {
        const auto bytes = readExact(size);
        if (!isValidUtf8(bytes)) {
            throw Error::stringParseError();
        }
        return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }

    std::uint64_t readUnsigned() {
        switch (const std::uint8_t byte = readByte()) {
            case TypedStreamDecoder::I_16:
                return littleEndian(readExact(2));
            case TypedStreamDecoder::I_32:
                return littleEndian(readExact(4));
            default:
                return byte;
        }
    }

    std::int64_t readSigned() {
        for (;;) {
            const std::uint8_t byte = readByte();
            if (byte == TypedStreamDecoder::I_32) {
                return static_cast<std::int32_t>(littleEndian(readExact(4)));
            }
            if (byte == TypedStreamDecoder::I_16) {
                return static_cast<std::int16_t>(littleEndian(readExact(2)));
            }
            // A byte above the reference tag stands for a small negative number only when the
            // object ends right after it; otherwise it is padding before the real value.
            if (byte > TypedStreamDecoder::REFERENCE_TAG && peek() != TypedStreamDecoder::END) {
                continue;
            }
            return static_cast<std::int8_t>(byte);
        }
    }

    template <typename Floating, typename Bits>
    Floating readFloating() {
        const std::uint8_t byte = peek();
        if (byte == TypedStreamDecoder::I_16 || byte == TypedStreamDecoder::I_32) {
            return static_cast<Floating>(readSigned());
        }
        ++idx_;
        if (byte == TypedStreamDecoder::DECIMAL) {
            return std::bit_cast<Floating>(
                static_cast<Bits>(littleEndian(readExact(sizeof(Bits)))));
        }
        return static_cast<Floating>(readSigned());
    }

    std::size_t readPointer() {
        const std::uint8_t byte = readByte();
        if (static_cast<std::int8_t>(byte) < -110) {
            throw Error::invalidPointer(byte);
        }
        return static_cast<std::uint8_t>(byte + 110);
    }

    void readHeader() {
        const std::uint64_t version = readUnsigned();
        const std::uint64_t signatureLength = readUnsigned();
        const std::string signature = readString(signatureLength);
        const std::int64_t systemVersion = readSigned();
        if (version != 4 || signature != "streamtyped" || systemVersion != 1000) {
            throw Error::invalidHeader();
        }
    }

    TypeList readTypeList() {
        const auto codes = readExact(readUnsigned());
        // Paid for before it is built: every code becomes a Type far larger than its byte.
        spend(sizeof(TypeList) + sizeof(bool) + codes.size() * sizeof(Type));
        if (codes.empty()) {
            return {};
        }
        if (codes[0] == '[') {
            auto array = Type::getArrayLength(codes);
            // An array can never be longer than what is left of the stream.
            if (!array ||
                static_cast<std::uint64_t>(array->first.front().length) > stream_.size() - idx_) {
                throw Error::invalidArray();
            }
            return std::move(array->first);
        }
        TypeList types;
        types.reserve(codes.size());
        for (const std::uint8_t code : codes) {
            switch (code) {
                case '+':
                    types.push_back(Type::of(Type::Kind::utf8String));
                    break;
                case '*':
                    types.push_back(Type::of(Type::Kind::embeddedData));
                    break;
                case '@':
                    types.push_back(Type::of(Type::Kind::object));
                    break;
                case 'c':
                case 'i':
                case 'l':
                case 'q':
                case 's':
                    types.push_back(Type::of(Type::Kind::signedInt));
                    break;
                case 'C':
                case 'I':
                case 'L':
                case 'Q':
                case 'S':
                    types.push_back(Type::of(Type::Kind::unsignedInt));
                    break;
                case 'f':
                    types.push_back(Type::of(Type::Kind::float_));
                    break;
                case 'd':
                    types.push_back(Type::of(Type::Kind::double_));
                    break;
                default:
                    types.push_back(Type::unknown(code));
                    break;
            }
        }
        return types;
    }

    // The caller has paid for the list.
    void appendType(TypeList types) {
        typesTable_.push_back(std::move(types));
        embeddedSeen_.push_back(false);
    }

    // The index in typesTable of the type list at idx, or nothing.
    std::optional<std::size_t> getType(bool embedded) {
        const std::uint8_t byte = peek();
        if (byte == TypedStreamDecoder::START) {
            ++idx_;
            TypeList types = readTypeList();
            const std::size_t index = typesTable_.size();
            if (embedded) {
                appendObject(Archivable::type(types));
            }
            appendType(std::move(types));
            embeddedSeen_[index] = embedded;
            return index;
        }
        if (byte == TypedStreamDecoder::END) {
            return std::nullopt;
        }
        // A run of identical reference bytes stands for one reference.
        while (idx_ + 1 < stream_.size() && stream_[idx_] == stream_[idx_ + 1]) {
            ++idx_;
        }
        if (idx_ + 1 >= stream_.size()) {
            throw Error::outOfBounds(stream_.size(), stream_.size());
        }
        const std::size_t pointer = readPointer();
        if (pointer >= typesTable_.size()) {
            return std::nullopt;
        }
        if (embedded && !embeddedSeen_[pointer]) {
            appendObject(Archivable::type(typesTable_[pointer]));
            embeddedSeen_[pointer] = true;
        }
        return pointer;
    }

    struct ClassResult {
        std::optional<std::size_t> reference;
        std::vector<Archivable> chain;
    };

    ClassResult readClass() {
        const DepthGuard guard(*this);
        const std::uint8_t byte = peek();
        if (byte == TypedStreamDecoder::EMPTY) {
            ++idx_;
            return {};
        }
        if (byte != TypedStreamDecoder::START) {
            return {readPointer(), {}};
        }
        while (peek() == TypedStreamDecoder::START) {
            ++idx_;
        }
        const std::uint64_t length = readUnsigned();
        if (length >= TypedStreamDecoder::REFERENCE_TAG) {
            return {static_cast<std::size_t>(length - TypedStreamDecoder::REFERENCE_TAG), {}};
        }
        std::string name = readString(length);
        const std::uint64_t version = readUnsigned();
        TypeList classType{Type::string(name)};
        spend(cost(classType));
        appendType(std::move(classType));
        ClassResult result;
        result.chain.push_back(Archivable::class_(Class{std::move(name), version}));
        ClassResult parent = readClass();
        if (!parent.reference) {
            for (auto& entry : parent.chain) {
                result.chain.push_back(std::move(entry));
            }
        }
        return result;
    }

    std::optional<Archivable> tableEntry(std::size_t index) {
        if (index >= objectTable_.size()) {
            return std::nullopt;
        }
        return copyOf(objectTable_[index]);
    }

    std::optional<Archivable> readObject() {
        const std::uint8_t byte = peek();
        if (byte == TypedStreamDecoder::START) {
            ClassResult result = readClass();
            if (result.reference) {
                return tableEntry(*result.reference);
            }
            for (auto& entry : result.chain) {
                appendObject(std::move(entry));
            }
            return std::nullopt;
        }
        if (byte == TypedStreamDecoder::EMPTY) {
            ++idx_;
            return std::nullopt;
        }
        return tableEntry(readPointer());
    }

    std::optional<Archivable> readTypes(std::size_t typesIndex) {
        std::vector<Object> values;
        bool sawObject = false;
        // typesTable_ is a deque: this reference survives the appends made while reading.
        const TypeList& types = typesTable_[typesIndex];
        for (const Type& type : types) {
            switch (type.kind) {
                case Type::Kind::string:
                    push(values, type.text);
                    break;
                case Type::Kind::array: {
                    const auto bytes = readExact(static_cast<std::uint64_t>(type.length));
                    push(values, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
                    break;
                }
                case Type::Kind::unknown:
                    push(values, type.code);
                    break;
                case Type::Kind::utf8String:
                    push(values, readString(readUnsigned()));
                    break;
                case Type::Kind::signedInt:
                    push(values, readSigned());
                    break;
                case Type::Kind::unsignedInt:
                    push(values, readUnsigned());
                    break;
                case Type::Kind::float_:
                    push(values, readFloating<float, std::uint32_t>());
                    break;
                case Type::Kind::double_:
                    push(values, readFloating<double, std::uint64_t>());
                    break;
                case Type::Kind::embeddedData: {
                    const DepthGuard guard(*this);
                    readByte();
                    if (const auto embedded = getType(true)) {
                        if (auto item = readTypes(*embedded)) {
                            return item;
                        }
                    }
                    break;
                }
                case Type::Kind::object: {
                    sawObject = true;
                    placeholder_ = objectTable_.size();
                    appendObject(Archivable::placeholder());
                    auto object = readObject();
                    if (!object) {
                        break;
                    }
                    switch (object->kind) {
                        case Archivable::Kind::object:
                            if (!object->values.empty()) {
                                placeholder_.reset();
                                objectTable_.pop_back();
                                return object;
                            }
                            break;
                        case Archivable::Kind::data:
                            for (auto& value : object->values) {
                                values.push_back(std::move(value));
                            }
                            break;
                        case Archivable::Kind::class_:
                            values.emplace_back(std::move(object->cls));
                            break;
                        case Archivable::Kind::type:
                        case Archivable::Kind::placeholder:
                            break;
                    }
                    break;
                }
            }
        }
        if (placeholder_ && *placeholder_ < objectTable_.size() && !values.empty()) {
            const std::size_t slot = *placeholder_;
            if (const auto* cls = std::get_if<Class>(&values.back())) {
                objectTable_[slot] = Archivable::object(*cls, {});
            } else {
                if (slot + 1 < objectTable_.size() &&
                    objectTable_[slot + 1].kind == Archivable::Kind::class_) {
                    objectTable_[slot] =
                        Archivable::object(objectTable_[slot + 1].cls, std::move(values));
                } else if (objectTable_[slot].kind == Archivable::Kind::object) {
                    auto& existing = objectTable_[slot].values;
                    existing.insert(existing.end(), std::make_move_iterator(values.begin()),
                                    std::make_move_iterator(values.end()));
                } else {
                    objectTable_[slot] = Archivable::data(std::move(values));
                }
                placeholder_.reset();
                return copyOf(objectTable_[slot]);
            }
        }
        if (values.empty() || sawObject) {
            return std::nullopt;
        }
        return Archivable::data(std::move(values));
    }

    std::span<const std::uint8_t> stream_;
    std::size_t idx_ = 0;
    std::deque<TypeList> typesTable_;
    std::vector<bool> embeddedSeen_;
    // A deque: growing it never holds the old and the new copy of the table at once.
    std::deque<Archivable> objectTable_;
    std::optional<std::size_t> placeholder_;
    int depth_ = 0;
    std::size_t budget_;
};

std::span<const std::uint8_t> bytesOf(std::string_view data) {
    return {reinterpret_cast<const std::uint8_t*>(data.data()), data.size()};
}

}  // namespace

std::vector<Archivable> TypedStreamDecoder::decode(std::span<const std::uint8_t> data) {
    return Decoder(data).run(std::numeric_limits<std::size_t>::max());
}

std::vector<Archivable> TypedStreamDecoder::decode(std::string_view data) {
    return decode(bytesOf(data));
}

std::optional<Archivable> TypedStreamDecoder::firstTopLevelItem(
    std::span<const std::uint8_t> data) {
    auto items = Decoder(data).run(1);
    if (items.empty()) {
        return std::nullopt;
    }
    return std::move(items.front());
}

std::optional<Archivable> TypedStreamDecoder::firstTopLevelItem(std::string_view data) {
    return firstTopLevelItem(bytesOf(data));
}

}  // namespace vask::typedstream
