#include "benchmark/benchmark_corpus.h"

#include <array>
#include <cerrno>
#include <functional>
#include <limits>

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
    auto contents = readFileIfExists(path);
    if (!contents) {
        throw FileError("read", path, ENOENT);
    }
    return fromJSON(parseJsonDocument(*contents));
}

BenchmarkCorpus BenchmarkCorpus::fromJSON(const nlohmann::json& json) {
    const JsonReader reader(json, "");
    BenchmarkCorpus corpus;
    corpus.version = reader.string("version");
    corpus.description = reader.optionalString("description");
    corpus.messages = readObjects<CorpusMessage>(reader, json, "messages", readMessage);
    if (present(json, "chats")) {
        corpus.chats = readObjects<CorpusChat>(reader, json, "chats", readChat);
    }
    corpus.queries = readObjects<CorpusQuery>(reader, json, "queries", readQuery);
    return corpus;
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
