// Writes message bodies made by the typedstream writer into a folder, one file each, as the seed
// corpus of fuzz_typedstream. Usage: fuzz_typedstream_seeds <folder>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "typedstream-writer/attributed_body.h"

using namespace vask::typedstream;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: fuzz_typedstream_seeds <folder>\n";
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::filesystem::create_directories(folder);

    std::vector<AttributedBody> bodies = {
        AttributedBody::plain("See you at 5"),
        AttributedBody::plain("Grüße aus Köln 😀"),
        AttributedBody::plain(std::string(200, 'x')),
    };
    AttributedBody rich;
    rich.text = "Look https://example.com " + std::string(kAttachmentCharacter) + " @Ann";
    rich.runs = {
        {5, {{std::string(kMessagePartAttributeName), std::int64_t{0}}}},
        {19,
         {{std::string(kMessagePartAttributeName), std::int64_t{0}},
          {std::string(kLinkAttributeName), UrlValue{"https://example.com"}}}},
        {1,
         {{std::string(kMessagePartAttributeName), std::int64_t{1}},
          {std::string(kFileTransferGUIDAttributeName), std::string("at_0_0000-1111")}}},
        {1, {{std::string(kMessagePartAttributeName), std::int64_t{0}}}},
        {4,
         {{std::string(kMessagePartAttributeName), std::int64_t{2}},
          {std::string(kMentionAttributeName), std::string("ann@example.com")}}},
    };
    bodies.push_back(rich);

    for (std::size_t i = 0; i < bodies.size(); ++i) {
        const auto bytes = encodeAttributedBody(bodies[i]);
        std::ofstream out(folder / ("body-" + std::to_string(i)), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            std::cerr << "cannot write " << (folder / ("body-" + std::to_string(i))) << "\n";
            return 1;
        }
    }
    return 0;
}
