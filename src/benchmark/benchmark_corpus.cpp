#include "benchmark/benchmark_corpus.h"

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>

#include <nlohmann/json.hpp>

#include "platform/file_io.h"
#include "relay/json_reader.h"

namespace vask {

namespace {

constexpr std::array categoryNames{
    std::pair{QueryCategory::keyword, std::string_view("keyword")},
    std::pair{QueryCategory::semantic, std::string_view("semantic")},
    std::pair{QueryCategory::temporal, std::string_view("temporal")},
    std::pair{QueryCategory::multiHop, std::string_view("multi-hop")},
    std::pair{QueryCategory::negation, std::string_view("negation")},
};

// A whole number that the JSON holds as such: the shared reader also takes 10.0, but a corpus
// timestamp written with a fraction is a mistake in the corpus, not a rounding to hide.
std::int64_t strictInteger(const JsonReader& reader, const nlohmann::json& object,
                           std::string_view key) {
    const auto value = reader.integer(key);
    if (!object.at(std::string(key)).is_number_integer()) {
        reader.fail(key, "must be a whole number");
    }
    return value;
}

std::vector<std::string> stringList(const JsonReader& reader, std::string_view key,
                                    const nlohmann::json& value) {
    if (!value.is_array()) {
        reader.fail(key, "must be an array of strings");
    }
    std::vector<std::string> strings;
    strings.reserve(value.size());
    for (const auto& element : value) {
        if (!element.is_string()) {
            reader.fail(key, "must be an array of strings");
        }
        strings.push_back(element.get<std::string>());
    }
    return strings;
}

const nlohmann::json* present(const nlohmann::json& object, std::string_view key) {
    const auto it = object.find(key);
    return it == object.end() || it->is_null() ? nullptr : &*it;
}

std::vector<std::string> requiredStrings(const JsonReader& reader, const nlohmann::json& object,
                                         std::string_view key) {
    const auto* value = present(object, key);
    if (value == nullptr) {
        reader.fail(key, "is missing");
    }
    return stringList(reader, key, *value);
}

std::optional<std::vector<std::string>> optionalStrings(const JsonReader& reader,
                                                        const nlohmann::json& object,
                                                        std::string_view key) {
    const auto* value = present(object, key);
    return value ? std::optional(stringList(reader, key, *value)) : std::nullopt;
}

std::vector<const nlohmann::json*> requiredObjects(const JsonReader& reader,
                                                   const nlohmann::json& object,
                                                   std::string_view key) {
    const auto* value = present(object, key);
    if (value == nullptr) {
        reader.fail(key, "is missing");
    }
    if (!value->is_array()) {
        reader.fail(key, "must be an array");
    }
    std::vector<const nlohmann::json*> elements;
    for (const auto& element : *value) {
        elements.push_back(&element);
    }
    return elements;
}

std::string childPath(const JsonReader& reader, std::string_view key) {
    const std::string quoted = "\"" + std::string(key) + "\"";
    return reader.path().empty() ? quoted : reader.path() + "." + quoted;
}

std::string elementPath(const JsonReader& reader, std::string_view key, std::size_t index) {
    return childPath(reader, key) + "[" + std::to_string(index) + "]";
}

CorpusMessage readMessage(const nlohmann::json& json, std::string path) {
    const JsonReader reader(json, std::move(path));
    return {
        .guid = reader.string("guid"),
        .chatId = reader.string("chat_id"),
        .chatName = reader.optionalString("chat_name"),
        .sender = reader.string("sender"),
        .text = reader.string("text"),
        .timestamp = strictInteger(reader, json, "timestamp"),
        .isFromMe = reader.boolean("is_from_me"),
        .isGroup = reader.boolean("is_group"),
    };
}

CorpusChat readChat(const nlohmann::json& json, std::string path) {
    const JsonReader reader(json, std::move(path));
    return {
        .id = reader.string("id"),
        .name = reader.string("name"),
        .isGroup = reader.boolean("is_group"),
        .participants = optionalStrings(reader, json, "participants"),
    };
}

CorpusQuery readQuery(const nlohmann::json& json, std::string path) {
    const JsonReader reader(json, std::move(path));
    CorpusQuery query;
    query.id = reader.string("id");
    query.text = reader.string("text");
    const auto raw = reader.string("category");
    const auto category = queryCategoryFromRawValue(raw);
    if (!category) {
        reader.fail("category", "is not a known category: \"" + raw + "\"");
    }
    query.category = *category;
    query.description = reader.optionalString("description");
    query.expectedGuids = requiredStrings(reader, json, "expected_guids");
    if (const auto* atK = present(json, "expected_at_k")) {
        if (!atK->is_object()) {
            reader.fail("expected_at_k", "must be an object");
        }
        const JsonReader atKReader(*atK, childPath(reader, "expected_at_k"));
        std::map<std::string, std::vector<std::string>> lists;
        for (const auto& [k, guids] : atK->items()) {
            lists.emplace(k, requiredStrings(atKReader, *atK, k));
        }
        query.expectedAtK = std::move(lists);
    }
    query.notes = reader.optionalString("notes");
    return query;
}

template <typename T>
std::vector<T> readObjects(const JsonReader& reader, const nlohmann::json& object,
                           std::string_view key, T (*read)(const nlohmann::json&, std::string)) {
    std::vector<T> values;
    const auto elements = requiredObjects(reader, object, key);
    values.reserve(elements.size());
    for (std::size_t i = 0; i < elements.size(); ++i) {
        values.push_back(read(*elements[i], elementPath(reader, key, i)));
    }
    return values;
}

template <typename Value>
void putOptional(nlohmann::ordered_json& json, const char* key, const std::optional<Value>& value) {
    if (value) {
        json[key] = *value;
    }
}

// Builds the document as nlohmann's own DOM builder does, except for the elements of the
// top-level "messages" array: each is handed on as soon as it is complete and not kept, so a
// corpus of any size is never held whole. The array itself stays in the document, empty.
class StreamingCorpusParser {
  public:
    using json = nlohmann::json;

    explicit StreamingCorpusParser(std::function<void(json&&)> onMessage)
        : onMessage_(std::move(onMessage)) {}

    const json& document() const { return document_; }
    bool streamedMessages() const { return messages_ != nullptr; }

    bool null() { return scalar(nullptr); }
    bool boolean(bool v) { return scalar(v); }
    bool number_integer(json::number_integer_t v) { return scalar(v); }
    bool number_unsigned(json::number_unsigned_t v) { return scalar(v); }
    bool number_float(json::number_float_t v, const json::string_t&) { return scalar(v); }
    bool string(json::string_t& v) { return scalar(std::move(v)); }
    bool binary(json::binary_t& v) { return scalar(std::move(v)); }
    bool start_object(std::size_t) { return open(json::object()); }
    bool start_array(std::size_t) { return open(json::array()); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    bool key(json::string_t& name) {
        if (stack_.size() == 1 && name == "messages") {
            if (sawMessages_) {
                throw DecodingError("\"messages\" appears twice");
            }
            sawMessages_ = true;
            nextIsMessages_ = true;
        }
        member_ = &(*stack_.back())[name];
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
        throw DecodingError(std::string("not valid JSON: ") + error.what());
    }

  private:
    // Puts a value where the document expects the next one; returns where it went. Pointers to
    // open containers stay valid: a parent array grows only once its open child is closed.
    json* place(json&& v) {
        nextIsMessages_ = false;
        if (stack_.empty()) {
            document_ = std::move(v);
            return &document_;
        }
        auto& parent = *stack_.back();
        if (parent.is_array()) {
            parent.push_back(std::move(v));
            return &parent.back();
        }
        *member_ = std::move(v);
        return member_;
    }
    bool scalar(json&& v) {
        place(std::move(v));
        if (isDirectlyInMessages()) {
            handOn();
        }
        return true;
    }
    bool open(json&& empty) {
        if (stack_.size() >= BenchmarkCorpus::maximumDepth) {
            throw DecodingError("values are nested deeper than " +
                                std::to_string(BenchmarkCorpus::maximumDepth) + " levels");
        }
        const bool isMessages = nextIsMessages_ && empty.is_array();
        stack_.push_back(place(std::move(empty)));
        if (isMessages) {
            messages_ = stack_.back();
        }
        return true;
    }
    bool close() {
        stack_.pop_back();
        if (isDirectlyInMessages()) {
            handOn();
        }
        return true;
    }
    bool isDirectlyInMessages() const {
        return messages_ != nullptr && !stack_.empty() && stack_.back() == messages_;
    }
    void handOn() {
        onMessage_(std::move(messages_->back()));
        messages_->get_ref<json::array_t&>().pop_back();
    }

    std::function<void(json&&)> onMessage_;
    json document_;
    std::vector<json*> stack_;
    json* member_ = nullptr;
    json* messages_ = nullptr;
    bool sawMessages_ = false;
    bool nextIsMessages_ = false;
};

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

// The corpus file, opened without waiting (a FIFO with no writer would block the open) and
// checked to be a regular file of a size a corpus may have before anything is read.
File openCorpusFile(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        throw FileError("read", path, errno);
    }
    File file(::fdopen(fd, "r"), &std::fclose);
    if (!file) {
        const int error = errno;
        ::close(fd);
        throw FileError("read", path, error);
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        throw FileError("read", path, errno);
    }
    if (!S_ISREG(status.st_mode)) {
        throw FileError("read", path, EINVAL,
                        "a corpus is read only from a regular file, not a pipe, device or folder");
    }
    if (static_cast<std::uintmax_t>(status.st_size) > BenchmarkCorpus::maximumFileBytes) {
        throw FileError("read", path, EFBIG,
                        "it has " + std::to_string(status.st_size) + " bytes, more than the " +
                            std::to_string(BenchmarkCorpus::maximumFileBytes >> 20) +
                            " MiB a corpus may have");
    }
    // Only this thread reads it: no lock per character.
    ::__fsetlocking(file.get(), FSETLOCKING_BYCALLER);
    return file;
}

// `messages`, when given, were read already (streamed); the document's own are read otherwise.
BenchmarkCorpus decode(const nlohmann::json& json,
                       std::optional<std::vector<CorpusMessage>> messages) {
    const JsonReader reader(json, "");
    BenchmarkCorpus corpus;
    corpus.version = reader.string("version");
    corpus.description = reader.optionalString("description");
    corpus.messages = messages ? std::move(*messages)
                               : readObjects<CorpusMessage>(reader, json, "messages", readMessage);
    if (present(json, "chats")) {
        corpus.chats = readObjects<CorpusChat>(reader, json, "chats", readChat);
    }
    corpus.queries = readObjects<CorpusQuery>(reader, json, "queries", readQuery);
    return corpus;
}

}  // namespace

std::string_view rawValue(QueryCategory category) {
    for (const auto& [value, name] : categoryNames) {
        if (value == category) {
            return name;
        }
    }
    return "keyword";
}

std::optional<QueryCategory> queryCategoryFromRawValue(std::string_view raw) {
    for (const auto& [value, name] : categoryNames) {
        if (name == raw) {
            return value;
        }
    }
    return std::nullopt;
}

const std::vector<QueryCategory>& allQueryCategories() {
    static const std::vector<QueryCategory> all = [] {
        std::vector<QueryCategory> categories;
        categories.reserve(categoryNames.size());
        for (const auto& [value, name] : categoryNames) {
            categories.push_back(value);
        }
        return categories;
    }();
    return all;
}

ShadowMessage CorpusMessage::toShadowMessage() const {
    // The most negative hash has no positive counterpart; it maps to the largest value instead.
    const auto hash = static_cast<std::int64_t>(std::hash<std::string>{}(guid));
    const std::int64_t rowid = hash == std::numeric_limits<std::int64_t>::min()
                                   ? std::numeric_limits<std::int64_t>::max()
                               : hash < 0 ? -hash
                                          : hash;
    return {
        .guid = guid,
        .chatId = chatId,
        .chatName = chatName,
        .sender = sender,
        .text = text,
        .timestamp = timestamp,
        .isFromMe = isFromMe,
        .isGroup = isGroup,
        .recipientHandle = std::nullopt,
        .hasAttachments = false,
        .attachmentTypes = {},
        .sourceRowid = rowid,
    };
}

BenchmarkCorpus BenchmarkCorpus::fromFile(const std::filesystem::path& path) {
    std::vector<CorpusMessage> messages;
    auto corpus = streamFromFile(path, [&](std::vector<CorpusMessage>& batch) {
        std::move(batch.begin(), batch.end(), std::back_inserter(messages));
    });
    corpus.messages = std::move(messages);
    return corpus;
}

BenchmarkCorpus BenchmarkCorpus::streamFromFile(const std::filesystem::path& path,
                                                const MessageConsumer& consume,
                                                std::size_t batchSize) {
    const auto file = openCorpusFile(path);
    batchSize = std::max<std::size_t>(batchSize, 1);
    std::vector<CorpusMessage> batch;
    std::size_t index = 0;
    StreamingCorpusParser parser([&](nlohmann::json&& element) {
        batch.push_back(readMessage(element, "\"messages\"[" + std::to_string(index++) + "]"));
        if (batch.size() >= batchSize) {
            consume(batch);
            batch.clear();
        }
    });
    nlohmann::json::sax_parse(file.get(), &parser);
    if (std::ferror(file.get()) != 0) {
        throw FileError("read", path, EIO);
    }
    if (!parser.streamedMessages()) {
        // Missing or not an array: decoding says which.
        return decode(parser.document(), std::nullopt);
    }
    auto corpus = decode(parser.document(), std::vector<CorpusMessage>{});
    if (!batch.empty()) {
        consume(batch);
    }
    return corpus;
}

BenchmarkCorpus BenchmarkCorpus::fromJSON(const nlohmann::json& json) {
    return decode(json, std::nullopt);
}

nlohmann::ordered_json BenchmarkCorpus::toJSON() const {
    nlohmann::ordered_json json;
    json["version"] = version;
    putOptional(json, "description", description);
    auto& messageArray = json["messages"] = nlohmann::ordered_json::array();
    for (const auto& message : messages) {
        nlohmann::ordered_json m;
        m["guid"] = message.guid;
        m["chat_id"] = message.chatId;
        putOptional(m, "chat_name", message.chatName);
        m["sender"] = message.sender;
        m["text"] = message.text;
        m["timestamp"] = message.timestamp;
        m["is_from_me"] = message.isFromMe;
        m["is_group"] = message.isGroup;
        messageArray.push_back(std::move(m));
    }
    if (chats) {
        auto& chatArray = json["chats"] = nlohmann::ordered_json::array();
        for (const auto& chat : *chats) {
            nlohmann::ordered_json c;
            c["id"] = chat.id;
            c["name"] = chat.name;
            c["is_group"] = chat.isGroup;
            putOptional(c, "participants", chat.participants);
            chatArray.push_back(std::move(c));
        }
    }
    auto& queryArray = json["queries"] = nlohmann::ordered_json::array();
    for (const auto& query : queries) {
        nlohmann::ordered_json q;
        q["id"] = query.id;
        q["text"] = query.text;
        q["category"] = rawValue(query.category);
        putOptional(q, "description", query.description);
        putOptional(q, "notes", query.notes);
        q["expected_guids"] = query.expectedGuids;
        putOptional(q, "expected_at_k", query.expectedAtK);
        queryArray.push_back(std::move(q));
    }
    return json;
}

}  // namespace vask
