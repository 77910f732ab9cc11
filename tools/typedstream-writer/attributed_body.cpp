#include "typedstream-writer/attributed_body.h"

#include "typedstream-writer/typedstream_writer.h"

namespace vask::typedstream {

namespace {

using Attributes = std::vector<std::pair<std::string, AttributeValue>>;

void writeValue(TypedStreamWriter& writer, const AttributeValue& value) {
    if (const auto* text = std::get_if<std::string>(&value)) {
        writer.stringObject(*text);
    } else if (const auto* number = std::get_if<std::int64_t>(&value)) {
        writer.numberObject(*number);
    } else {
        writer.types("@");
        writer.beginObject({{"NSURL", 0}, {"NSObject", 0}});
        writer.types("c");
        writer.signedInteger(0);  // no base URL
        writer.stringObject(std::get<UrlValue>(value).url);
        writer.endObject();
    }
}

}  // namespace

AttributedBody AttributedBody::plain(std::string text) {
    AttributedBody body;
    const std::size_t length = utf16Length(text);
    body.text = std::move(text);
    body.runs.push_back({length, {{std::string(kMessagePartAttributeName), std::int64_t{0}}}});
    return body;
}

std::size_t utf16Length(std::string_view text) {
    std::size_t units = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xC0) != 0x80) {
            units += byte >= 0xF0 ? 2 : 1;
        }
    }
    return units;
}

std::vector<std::uint8_t> encodeAttributedBody(const AttributedBody& body) {
    TypedStreamWriter writer;
    writer.types("@");
    std::vector<TypedStreamWriter::ClassRecord> chain;
    if (body.mutableAttributedString) {
        chain.push_back({"NSMutableAttributedString", 0});
    }
    chain.push_back({"NSAttributedString", 0});
    chain.push_back({"NSObject", 0});
    writer.beginObject(chain);

    writer.types("@");
    writer.beginObject({{"NSString", 1}, {"NSObject", 0}});
    writer.string(body.text);
    writer.endObject();

    std::vector<std::pair<const Attributes*, std::size_t>> written;
    for (std::size_t index = 0; index < body.runs.size(); ++index) {
        const AttributeRun& run = body.runs[index];
        writer.types("iI");
        writer.signedInteger(static_cast<std::int64_t>(index + 1));
        writer.unsignedInteger(run.length);
        writer.types("@");
        bool referred = false;
        for (const auto& [attributes, number] : written) {
            if (*attributes == run.attributes) {
                writer.objectReference(number);
                referred = true;
                break;
            }
        }
        if (referred) {
            continue;
        }
        const std::size_t number = writer.beginObject({{"NSDictionary", 0}, {"NSObject", 0}});
        written.emplace_back(&run.attributes, number);
        writer.types("i");
        writer.signedInteger(static_cast<std::int64_t>(run.attributes.size()));
        for (const auto& [key, value] : run.attributes) {
            writer.stringObject(key);
            writeValue(writer, value);
        }
        writer.endObject();
    }
    writer.endObject();
    return writer.bytes();
}

}  // namespace vask::typedstream
