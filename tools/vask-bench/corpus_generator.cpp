#include "vask-bench/corpus_generator.h"

#include <algorithm>
#include <array>
#include <random>
#include <string>
#include <vector>

namespace vask::tools {

namespace {

constexpr std::int64_t nanosecondsPerSecond = 1'000'000'000;
// 2024-01-01 00:00:00 UTC in seconds since 2001-01-01.
constexpr std::int64_t corpusStart = 725'846'400;
constexpr std::int64_t corpusSpan = 2 * 365 * 24 * 3600;

constexpr std::array names{"Maya",   "Jonas", "Priya", "Theo",  "Lena",  "Omar",  "Sofia",
                           "Ravi",   "Clara", "Diego", "Hana",  "Felix", "Amara", "Noah",
                           "Ingrid", "Kofi",  "Mei",   "Lucas", "Zara",  "Elias"};

constexpr std::array chatter{
    "sounds good, see you then",
    "running about ten minutes late, sorry",
    "did you see the game last night",
    "can you grab milk on the way home",
    "haha that is amazing",
    "ok let me check my calendar and get back to you",
    "happy birthday!! hope it is a great one",
    "traffic is terrible on the bridge again",
    "just landed, will call you from the taxi",
    "thanks so much for dinner yesterday",
    "are we still on for saturday",
    "I left my keys at your place I think",
    "the kids loved the park this morning",
    "work is crazy this week, talk later",
    "did you book the tickets yet",
    "what time does the movie start",
    "let me know when you get home safe",
    "I'll send you the photos tonight",
    "can we move the call to tomorrow",
    "good morning! coffee later?",
    "the weather is lovely today",
    "my phone is almost dead, text you later",
    "congrats on the new job!",
    "on my way now",
    "no worries at all",
    "that restaurant was so loud last time",
    "we should plan a trip this summer",
    "remind me to pay you back for lunch",
    "is the meeting still at three",
    "I finally finished that book you lent me",
};

struct Plant {
    const char* message;
    const char* query;
};

// Meaning shared, words not: full-text search cannot connect these.
constexpr std::array semanticPlants{
    Plant{"the vet says Biscuit needs her booster shots next week", "dog vaccination appointment"},
    Plant{"our flat is flooding, the pipe under the sink burst", "water leak in the apartment"},
    Plant{"I got the offer letter from the studio today!", "new job news"},
    Plant{"she had the baby this morning, a little girl", "birth announcement"},
    Plant{"my car would not start again, the battery is dead", "vehicle trouble"},
    Plant{"we are splitting up, I moved out on Sunday", "breakup"},
    Plant{"the landlord is putting the rent up by two hundred", "housing cost increase"},
    Plant{"grandpa is in the hospital after a fall", "family member injured"},
    Plant{"I passed the bar exam!!", "test results celebration"},
    Plant{"the wedding venue cancelled on us", "marriage ceremony location problem"},
};

constexpr std::array restaurantKinds{"Thai",    "Mexican", "Italian", "Ethiopian", "Korean",
                                     "Italian", "Greek",   "Italian", "Lebanese",  "Japanese"};
constexpr std::array topics{"plumber", "passport", "mortgage", "piano", "camping",
                            "dentist", "marathon", "garden",   "tax",   "roof"};
constexpr std::array months{"January", "February", "March",     "April",   "May",      "June",
                            "July",    "August",   "September", "October", "November", "December"};

class Builder {
  public:
    explicit Builder(const CorpusGeneratorOptions& options)
        : rng_(options.seed), chats_(std::max<std::size_t>(options.chats, 2)) {}

    std::string chatId(std::size_t index) const { return "chat-" + std::to_string(index); }
    bool isGroup(std::size_t index) const { return index % 5 == 0; }
    std::string person(std::size_t index) const {
        return "+1555" + std::to_string(1'000'000 + index * 7919 % 9'000'000);
    }

    std::string add(std::size_t chat, std::string text, std::int64_t seconds, bool fromMe) {
        CorpusMessage message;
        message.guid = "gen-" + std::to_string(corpus_.messages.size());
        message.chatId = chatId(chat);
        if (isGroup(chat)) {
            message.chatName = std::string(names[chat % names.size()]) + "'s group";
        }
        message.sender = fromMe ? "me" : person(chat * 3 + rng_() % 3);
        message.text = std::move(text);
        message.timestamp = seconds * nanosecondsPerSecond;
        message.isFromMe = fromMe;
        message.isGroup = isGroup(chat);
        corpus_.messages.push_back(std::move(message));
        return corpus_.messages.back().guid;
    }

    std::size_t randomChat() { return rng_() % chats_; }
    std::int64_t randomTime() {
        return corpusStart + static_cast<std::int64_t>(rng_() % corpusSpan);
    }
    std::uint64_t next() { return rng_(); }

    void query(std::string id, std::string text, QueryCategory category,
               std::vector<std::string> expected) {
        corpus_.queries.push_back({.id = std::move(id),
                                   .text = std::move(text),
                                   .category = category,
                                   .description = std::nullopt,
                                   .expectedGuids = std::move(expected),
                                   .expectedAtK = std::nullopt,
                                   .notes = std::nullopt});
    }

    BenchmarkCorpus take(std::size_t wanted) {
        while (corpus_.messages.size() < wanted) {
            add(randomChat(), chatter[next() % chatter.size()], randomTime(), next() % 2 == 0);
        }
        std::vector<CorpusChat> chats;
        for (std::size_t i = 0; i < chats_; ++i) {
            chats.push_back({.id = chatId(i),
                             .name = isGroup(i) ? std::string(names[i % names.size()]) + "'s group"
                                                : std::string(names[i % names.size()]),
                             .isGroup = isGroup(i),
                             .participants = std::nullopt});
        }
        corpus_.version = "1";
        corpus_.description = "Generated corpus";
        corpus_.chats = std::move(chats);
        return std::move(corpus_);
    }

  private:
    std::mt19937_64 rng_;
    std::size_t chats_;
    BenchmarkCorpus corpus_;
};

void plantKeyword(Builder& b) {
    for (int i = 0; i < 10; ++i) {
        const std::string code = "QX" + std::to_string(4000 + i * 37);
        const auto guid =
            b.add(b.randomChat(), "the booking reference is " + code + ", keep it somewhere safe",
                  b.randomTime(), false);
        b.query("kw-" + std::to_string(i), code, QueryCategory::keyword, {guid});
    }
}

// Everyday words the chatter is full of: each matches about one message in thirty, so the search
// ranks thousands of candidates at scale, as a person's "dinner" or "tickets" does. The planted
// message is the shortest to use the word, which is what ranks first.
constexpr std::array commonWordPlants{
    Plant{"dinner?", "dinner"},  Plant{"late again", "late"},    Plant{"tickets booked", "tickets"},
    Plant{"coffee?", "coffee"},  Plant{"home now", "home"},      Plant{"movie tonight?", "movie"},
    Plant{"call me", "call"},    Plant{"photos sent", "photos"}, Plant{"meeting moved", "meeting"},
    Plant{"keys found", "keys"},
};

void plantCommonWords(Builder& b) {
    int i = 0;
    for (const auto& plant : commonWordPlants) {
        const auto guid = b.add(b.randomChat(), plant.message, b.randomTime(), false);
        b.query("kw-common-" + std::to_string(i++), plant.query, QueryCategory::keyword, {guid});
    }
}

void plantSemantic(Builder& b) {
    int i = 0;
    for (const auto& plant : semanticPlants) {
        const auto guid = b.add(b.randomChat(), plant.message, b.randomTime(), false);
        b.query("sem-" + std::to_string(i++), plant.query, QueryCategory::semantic, {guid});
    }
}

// "What did we say about X in <month>": the topic recurs all year, the month is nowhere in the
// text.
void plantTemporal(Builder& b) {
    for (std::size_t i = 0; i < topics.size(); ++i) {
        const auto chat = b.randomChat();
        std::vector<std::string> expected;
        for (std::size_t month = 0; month < 12; ++month) {
            const std::int64_t when =
                corpusStart + static_cast<std::int64_t>((month * 30 + 10) * 24 * 3600);
            const auto guid = b.add(
                chat, std::string("update on the ") + topics[i] + ": still waiting to hear back",
                when, month % 2 == 0);
            if (month == i) {
                expected.push_back(guid);
            }
        }
        b.query("tmp-" + std::to_string(i), std::string(topics[i]) + " " + months[i] + " 2024",
                QueryCategory::temporal, expected);
    }
}

// The answer needs two messages: who recommended someone, and where that someone is.
void plantMultiHop(Builder& b) {
    for (int i = 0; i < 10; ++i) {
        const std::string friendName = names[static_cast<std::size_t>(i) % names.size()];
        const std::string expert = "Dr. Whitlock" + std::to_string(i);
        const auto first =
            b.add(b.randomChat(), friendName + " swears by " + expert + " for back pain",
                  b.randomTime(), false);
        const auto second = b.add(
            b.randomChat(), expert + " moved the practice to Elm Street " + std::to_string(10 + i),
            b.randomTime(), false);
        b.query("mh-" + std::to_string(i), "address of the doctor " + friendName + " recommended",
                QueryCategory::multiHop, {first, second});
    }
}

// Restaurant suggestions, some Italian: the query wants the others.
void plantNegation(Builder& b) {
    for (int i = 0; i < 10; ++i) {
        const auto chat = b.randomChat();
        std::vector<std::string> expected;
        for (const char* kind : restaurantKinds) {
            const auto guid =
                b.add(chat,
                      std::string("how about that ") + kind +
                          " restaurant near the station for round " + std::to_string(i),
                      b.randomTime(), true);
            if (std::string_view(kind) != "Italian") {
                expected.push_back(guid);
            }
        }
        b.query("neg-" + std::to_string(i),
                "restaurant round " + std::to_string(i) + " not Italian", QueryCategory::negation,
                expected);
    }
}

}  // namespace

BenchmarkCorpus generateCorpus(const CorpusGeneratorOptions& options) {
    Builder builder(options);
    plantKeyword(builder);
    plantCommonWords(builder);
    plantSemantic(builder);
    plantTemporal(builder);
    plantMultiHop(builder);
    plantNegation(builder);
    return builder.take(options.messages);
}

}  // namespace vask::tools
