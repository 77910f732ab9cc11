// vask-bench-corpus --out FILE [--messages N] [--chats N] [--seed N]
// Writes a generated benchmark corpus (100,000 messages by default) for vask-bench.
#include <charconv>
#include <iostream>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/file_io.h"
#include "vask-bench/corpus_generator.h"

namespace {

bool readNumber(std::string_view text, auto& value) {
    const auto* end = text.data() + text.size();
    const auto [ptr, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && ptr == end;
}

}  // namespace

int main(int argc, char** argv) {
    vask::tools::CorpusGeneratorOptions options;
    std::string_view out;
    bool ok = true;
    for (int i = 1; ok && i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--out" && hasValue) {
            out = argv[++i];
        } else if (arg == "--messages" && hasValue) {
            ok = readNumber(argv[++i], options.messages);
        } else if (arg == "--chats" && hasValue) {
            ok = readNumber(argv[++i], options.chats);
        } else if (arg == "--seed" && hasValue) {
            ok = readNumber(argv[++i], options.seed);
        } else {
            ok = false;
        }
    }
    if (!ok || out.empty()) {
        std::cerr << "usage: vask-bench-corpus --out FILE [--messages N] [--chats N] [--seed N]\n";
        return 2;
    }
    try {
        const auto corpus = vask::tools::generateCorpus(options);
        vask::writeFileAtomically(
            std::string(out), corpus.toJSON().dump() + "\n",
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                std::filesystem::perms::group_read | std::filesystem::perms::others_read);
        std::cout << corpus.messages.size() << " messages, " << corpus.queries.size()
                  << " queries -> " << out << "\n";
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "vask-bench-corpus: " << error.what() << "\n";
        return 1;
    }
}
