// sample-chatdb: builds a Messages database for tests, benchmarks and the end-to-end run.

#include <charconv>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "sample-chatdb/conversations.h"
#include "sample-chatdb/sample_chat_db.h"

namespace {

constexpr const char* usage =
    "Usage: sample-chatdb --messages N --chats M --seed S --out PATH\n"
    "       sample-chatdb --conversations CORPUS --out PATH [--contacts FOLDER]\n"
    "\n"
    "Builds a Messages database (chat.db schema) at PATH, which must not exist yet, with N\n"
    "messages over M chats, the same for the same seed; or with the hand-written conversations\n"
    "of a retrieval benchmark corpus (tests/data/benchmark_corpus.json) and a few recent\n"
    "messages after them that await a reply.\n"
    "\n"
    "  --messages N  number of messages (0 or more)\n"
    "  --chats M     number of chats (1 or more)\n"
    "  --seed S      seed of the generator (a whole number)\n"
    "  --out PATH    file to create\n"
    "  --conversations CORPUS  the corpus whose conversations to write\n"
    "  --contacts FOLDER       also write a vCard per person of the conversations there\n"
    "  --help        show this text\n";

template <typename T>
bool parseNumber(std::string_view text, T& value) {
    const auto* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "sample-chatdb: %s\n\n%s", message.c_str(), usage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    vask::sample::SampleChatDBOptions options;
    std::string out;
    std::string conversations;
    std::string contacts;
    bool haveMessages = false;
    bool haveChats = false;
    bool haveSeed = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage, stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            return fail("missing value after " + std::string(arg));
        }
        const std::string_view value = argv[++i];
        if (arg == "--messages") {
            haveMessages = parseNumber(value, options.messages) && options.messages >= 0;
            if (!haveMessages) {
                return fail("--messages wants a whole number of 0 or more, not " +
                            std::string(value));
            }
        } else if (arg == "--chats") {
            haveChats = parseNumber(value, options.chats) && options.chats >= 1;
            if (!haveChats) {
                return fail("--chats wants a whole number of 1 or more, not " + std::string(value));
            }
        } else if (arg == "--seed") {
            haveSeed = parseNumber(value, options.seed);
            if (!haveSeed) {
                return fail("--seed wants a whole number, not " + std::string(value));
            }
        } else if (arg == "--out") {
            out = value;
        } else if (arg == "--conversations") {
            conversations = value;
        } else if (arg == "--contacts") {
            contacts = value;
        } else {
            return fail("unknown option " + std::string(arg));
        }
    }
    if (!conversations.empty()) {
        if (haveMessages || haveChats || haveSeed || out.empty()) {
            return fail(
                "--conversations takes --out (and --contacts), not --messages, --chats or --seed");
        }
        try {
            const auto read = vask::sample::readConversations(conversations);
            const auto summary = vask::sample::buildConversationChatDB(out, read);
            std::printf("%s: %lld messages, %lld chats, %lld handles\n", out.c_str(),
                        static_cast<long long>(summary.messages),
                        static_cast<long long>(summary.chats),
                        static_cast<long long>(summary.handles));
            if (!contacts.empty()) {
                const auto cards = vask::sample::writeConversationContacts(contacts, read);
                std::printf("%s: %lld contacts\n", contacts.c_str(), static_cast<long long>(cards));
            }
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s\n", error.what());
            return 1;
        }
        return 0;
    }
    if (!contacts.empty()) {
        return fail("--contacts goes with --conversations");
    }
    if (!haveMessages || !haveChats || !haveSeed || out.empty()) {
        return fail("--messages, --chats, --seed and --out are all required");
    }
    try {
        const auto summary = vask::sample::buildSampleChatDB(out, options);
        std::printf("%s: %lld messages, %lld chats, %lld handles, %lld attachments\n", out.c_str(),
                    static_cast<long long>(summary.messages), static_cast<long long>(summary.chats),
                    static_cast<long long>(summary.handles),
                    static_cast<long long>(summary.attachments));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
