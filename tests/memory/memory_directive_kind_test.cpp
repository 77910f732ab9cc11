#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "memory/memory_directive_kind.h"

namespace vask {
namespace {

using Kind = MemoryDirectiveKind;

TEST(MemoryDirectiveKind, ClassifiesExplicitInstructionsOnly) {
    struct Case {
        const char* text;
        std::optional<Kind> expected;
    };
    const Case cases[] = {
        {"remember that the lake house means the cabin", Kind::save},
        {"please remember to call mum", std::nullopt},
        {"remember when we met", std::nullopt},
        {"Can you remember what she said", std::nullopt},
        {"I want you to remember to water the plants", std::nullopt},
        {"save this", std::nullopt},
        {"save this to my memory", Kind::save},
        {"save it in memory", Kind::save},
        {"delete the lake house", std::nullopt},
        {"delete the lake house from memory", Kind::forget},
        {"remove the association for Bean", Kind::forget},
        {"forget the lake house", Kind::forget},
        {"forget the last question", std::nullopt},
        {"could you please forget this conversation", std::nullopt},
        {"change what the cabin means", Kind::update},
        {"update the definition of Bean", Kind::update},
        {"change the plan", std::nullopt},
        {"update me on the trip", std::nullopt},
        {"would you update them about it", std::nullopt},
        {"  Can you please remember that the cabin is ours", Kind::save},
        {"I need you to associate the cabin with the lake", Kind::save},
        {"REMEMBER THAT BEAN IS MY SISTER", Kind::save},
        // A word that only starts with a directive is none: the directive needs a word boundary.
        {"remembering the trip was fun", std::nullopt},
        {"forgetful people exist", std::nullopt},
        {"what is bean", std::nullopt},
        {"", std::nullopt},
        {"   \n", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(memory_directive::classify(c.text), c.expected);
    }
}

TEST(MemoryDirectiveKind, ClassificationIsSafeFromManyThreads) {
    std::vector<std::thread> threads;
    std::atomic<int> saves{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                if (memory_directive::classify("remember that x means y") == Kind::save) {
                    ++saves;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(saves, 400);
}

}  // namespace
}  // namespace vask
