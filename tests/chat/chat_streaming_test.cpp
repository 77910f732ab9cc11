// What a long turn and a long history cost the main executor: streamed events gathered into
// few publishes, reasoning that grows in place, history lengths counted once, and saved chats
// read on the worker.
#include <fstream>
#include <future>
#include <set>
#include <thread>

#include "chat/turn_stream.h"
#include "chat_fixture.h"
#include "platform/text.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

class ChatStreamingTest : public test::ChatFixture {
  protected:
    // A helper that streams `count` reasoning pieces of `size` bytes, then answers.
    void streamReasoning(int count, std::size_t size) {
        runner->setScript(
            [count, size](const auto&, const auto&, auto&, const auto& callbacks, std::stop_token) {
                for (int i = 0; i < count; ++i) {
                    callbacks.onReasoning(std::string(size, static_cast<char>('a' + i % 26)));
                    callbacks.onProgress("Executing step " + std::to_string(i));
                }
                RLMHelperResult result;
                result.answer = "done";
                return result;
            });
    }

    // Sends a question whose helper stays running, with its callbacks in `live`, until
    // finishTurn().
    void startHeldTurn(ChatViewModel& model) {
        auto ready = std::make_shared<std::promise<void>>();
        runner->setScript(
            [this, ready](const auto&, const auto&, auto&, const auto& callbacks, std::stop_token) {
                live = callbacks;
                ready->set_value();
                release.get_future().wait();
                RLMHelperResult result;
                result.answer = "done";
                return result;
            });
        model.inputText.set("why?");
        model.send();
        helper = std::thread([this] { worker.runUntilIdle(); });
        ready->get_future().wait();
        main.runUntilIdle();
    }
    void finishTurn() {
        release.set_value();
        helper.join();
        settle();
    }

    RLMHelperRunner::RunCallbacks live;
    std::promise<void> release;
    std::thread helper;
};

TEST_F(ChatStreamingTest, ABurstOfEventsIsOnePublishOnTheMainExecutor) {
    for (const int count : {1, 2000}) {
        auto model = makeModel(false);
        streamReasoning(count, 256);
        int sendingPublishes = 0;
        std::size_t reasoningSeen = 0;
        auto subscription = model->state.subscribe(
            [&](const ChatState& state) {
                if (const auto* sending = state.asSending(); sending && sending->reasoning) {
                    ++sendingPublishes;
                    reasoningSeen = sending->reasoning->size();
                }
            },
            Delivery::changesOnly);
        model->inputText.set("why?");
        model->send();
        // The helper streams everything before the main executor runs once.
        worker.runUntilIdle();
        EXPECT_EQ(main.pendingCount(), 2u) << count;  // the batch and the result
        main.runUntilIdle();
        EXPECT_EQ(sendingPublishes, 1) << count;
        EXPECT_EQ(reasoningSeen, static_cast<std::size_t>(count) * 256) << count;
        settle();
        EXPECT_TRUE(model->state.get().isIdle());
    }
}

TEST_F(ChatStreamingTest, ReasoningGrowsInPlaceWithoutACopyPerPiece) {
    auto model = makeModel(false);
    constexpr int pieces = 2000;
    startHeldTurn(*model);
    // One piece per turn of the main executor: the worst case for copying.
    std::set<const char*> buffers;
    for (int i = 0; i < pieces; ++i) {
        live.onReasoning(std::string(256, 'r'));
        main.runUntilIdle();
        buffers.insert(model->state.get().asSending()->reasoning->data());
    }
    EXPECT_EQ(model->state.get().asSending()->reasoning->size(), pieces * 256u);
    // Appending reallocates a logarithmic number of times; a copy per piece would give a new
    // buffer every time.
    EXPECT_LT(buffers.size(), 64u);
    finishTurn();
}

TEST_F(ChatStreamingTest, TheStreamPostsOnlyWhenNothingIsWaiting) {
    int applied = 0;
    std::string reasoning;
    const auto stream = TurnStream::make(main, [&](TurnStream::Batch batch) {
        ++applied;
        reasoning += batch.reasoning;
        EXPECT_EQ(batch.progress, "third");
        ASSERT_TRUE(batch.usage.has_value());
        EXPECT_EQ(batch.usage->totalTokens, 30);
        EXPECT_EQ(batch.events.size(), 2u);
    });
    stream->progress("first");
    stream->reasoning("a");
    stream->reasoning("");
    stream->progress("second");
    stream->reasoning("b");
    stream->progress("third");
    ChatTokenUsage usage;
    usage.totalTokens = 10;
    stream->usage(usage);
    usage.totalTokens = 30;
    stream->usage(usage);
    stream->event({});
    stream->event({});
    EXPECT_EQ(stream->postedCount(), 1u);
    main.runUntilIdle();
    EXPECT_EQ(applied, 1);
    EXPECT_EQ(reasoning, "ab");
    // Once taken, the next piece posts again.
    stream->progress("third");
    stream->usage(usage);
    stream->event({});
    stream->event({});
    EXPECT_EQ(stream->postedCount(), 2u);
    main.runUntilIdle();
    EXPECT_EQ(applied, 2);
}

TEST_F(ChatStreamingTest, HistoryLengthsAreCountedOncePerMessage) {
    auto model = makeModel(false);
    for (int i = 0; i < 3; ++i) {
        commit(*model, "question " + std::to_string(i));
    }
    ask(*model, "fourth");
    EXPECT_EQ(model->historyCountsMade(), 6u);
    ask(*model, "fifth");
    // Only the newest exchange is new to the count; the history itself is as before.
    EXPECT_EQ(model->historyCountsMade(), 8u);
    const auto inputs = runner->inputs();
    ASSERT_EQ(inputs.size(), 2u);
    EXPECT_EQ(inputs[1].conversation.size(), 6u);
    EXPECT_EQ(inputs[1].conversation.back().text, "An answer.");
}

// The counts are kept for the next question only: chats asked in and left (the popover's, dropped
// at each new chat) leave none behind, however many questions they had.
TEST_F(ChatStreamingTest, HistoryLengthsKeptAreThoseOfTheLastHistoryOnly) {
    for (const bool persists : {false, true}) {
        SCOPED_TRACE(persists ? "main window" : "popover");
        auto model = makeModel(persists);
        for (int chat = 0; chat < 5; ++chat) {
            for (int i = 0; i < 4; ++i) {
                ask(*model, "question " + std::to_string(i));
                EXPECT_LE(model->historyCountsKept(), ChatViewModel::historyMaxMessages);
            }
            model->startNewSession();
        }
        // A chat's first question has no history to count.
        ask(*model, "in a new chat");
        EXPECT_EQ(model->historyCountsKept(), 0u);
    }
}

TEST_F(ChatStreamingTest, AnAnswerOfMegabytesIsCountedOnlyUpToTheBudget) {
    const std::string huge(4'000'000, 'x');
    EXPECT_EQ(ChatViewModel::historyCharacterCount(huge, 12000), 12001u);
    EXPECT_EQ(ChatViewModel::historyCharacterCount("short", 12000), 5u);
    std::vector<ChatMessage> messages = {test::message(ChatRole::user, "q"),
                                         test::message(ChatRole::assistant, huge)};
    const auto history = ChatViewModel::recentConversationHistory(messages, 6, 12000);
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(text::graphemeCount(history[0].text), 12000u);
}

TEST_F(ChatStreamingTest, SavedChatsArriveFromTheWorkerAndSendingWaitsForThem) {
    const auto t0 = clock.now();
    withStoredSessions({test::storedSession("older", t0 - std::chrono::minutes(5)),
                        test::storedSession("newer", t0)});
    auto model = ChatViewModel::make(dependencies());
    EXPECT_TRUE(model->loadingSessions.get());
    ASSERT_EQ(model->sessions.get().size(), 1u);
    EXPECT_TRUE(model->sessions.get()[0]->messages.empty());

    model->inputText.set("a question before the history is in");
    model->send();
    EXPECT_TRUE(model->state.get().isIdle());
    EXPECT_EQ(model->inputText.get(), "a question before the history is in");
    EXPECT_TRUE(logs->contains("chat_send_refused_while_loading"));

    settle();
    EXPECT_FALSE(model->loadingSessions.get());
    ASSERT_EQ(model->sessions.get().size(), 2u);
    EXPECT_EQ(model->currentTitle(), "newer");
    EXPECT_EQ(store->saveCount(), 0);
    model->send();
    EXPECT_TRUE(model->state.get().isSending());
    settle();
}

TEST_F(ChatStreamingTest, AHandOffWhileLoadingJoinsTheSavedChatsAndIsWrittenOnce) {
    for (const bool quitBeforeLoad : {false, true}) {
        withStoredSessions({test::storedSession("saved", clock.now())});
        auto model = ChatViewModel::make(dependencies());
        auto handedOff = test::storedSession("from the popover", clock.now());
        model->adopt(handedOff);
        // Nothing is written over the saved chats before they are in.
        EXPECT_EQ(store->saveCount(), 0) << quitBeforeLoad;
        if (!quitBeforeLoad) {
            settle();
        }
        model->flushPendingSaves();
        EXPECT_FALSE(model->loadingSessions.get()) << quitBeforeLoad;
        EXPECT_EQ(model->currentSessionID.get(), handedOff.id) << quitBeforeLoad;
        EXPECT_EQ(model->savedSessions().size(), 2u) << quitBeforeLoad;
        ASSERT_EQ(store->stored().size(), 2u) << quitBeforeLoad;
        EXPECT_EQ(store->saveCount(), 1) << quitBeforeLoad;
        // The late result of the worker's read changes nothing.
        settle();
        EXPECT_EQ(model->savedSessions().size(), 2u) << quitBeforeLoad;
    }
}

TEST_F(ChatStreamingTest, AnUnreadableFileSaysNewChatsWillNotBeSavedAndWhereItIs) {
    withStoredSessions({});
    store->failLoads("file is not a database");
    auto model = loaded(ChatViewModel::make(dependencies()));
    ASSERT_TRUE(model->lastError.get().has_value());
    const std::string path = (storeFolder / "sessions.db").string();
    const std::string& text = *model->lastError.get();
    EXPECT_TRUE(text.starts_with("Chat history could not be loaded: ")) << text;
    EXPECT_NE(text.find("file is not a database"), std::string::npos) << text;
    EXPECT_TRUE(text.ends_with(". New chats will not be saved until the file " + path +
                               " is repaired, moved or deleted."))
        << text;
    commit(*model, "question");
    model->flushPendingSaves();
    EXPECT_EQ(store->saveCount(), 0);
    // Every turn puts the same words back.
    ask(*model, "another");
    EXPECT_EQ(model->lastError.get(), *model->persistentError());
}

TEST_F(ChatStreamingTest, OutlineObserversMissOnlyTheRunningTurnsStreamedUpdates) {
    auto model = makeModel(false);
    int changes = 0;
    auto subscription = model->observeOutline([&] { ++changes; });
    startHeldTurn(*model);
    const int sending = changes;
    EXPECT_GE(sending, 1);
    for (int i = 0; i < 100; ++i) {
        live.onProgress("Executing " + std::to_string(i));
        live.onReasoning("more");
        main.runUntilIdle();
    }
    EXPECT_EQ(changes, sending);
    finishTurn();
    EXPECT_GT(changes, sending);
    EXPECT_TRUE(model->state.get().isIdle());
}

}  // namespace
}  // namespace vask
