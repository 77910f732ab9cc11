// The history index as the synchronisation reports it to a question that waits for it: what each
// run's outcome makes of it, a question asked as a first copy starts, and questions waiting on a
// pool of two threads while the run that builds the index still gets one.
#include <gtest/gtest.h>

#include <fstream>

#include "chat/chat_view_model.h"
#include "platform/manual_executor.h"
#include "platform/worker_pool.h"
#include "relay/preset_selection.h"
#include "sample-chatdb/sample_chat_db.h"
#include "shell/shadow_sync_view_model.h"
#include "store/shadow_sync.h"
#include "store/sqlite_connection.h"
#include "support/fake_chat_helper_runner.h"
#include "support/fake_chat_memory_committer.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "sync_test_support.h"

namespace vask {
namespace {

using namespace std::chrono_literals;
using Phase = HistoryIndexState::Phase;

class HistoryIndexTest : public ::testing::Test {
  public:
    void SetUp() override {
        std::filesystem::create_directories(dir / "Messages");
        std::filesystem::create_directories(support);
        sample::buildSampleChatDB(chatDB, {.messages = 600, .chats = 10, .seed = 11});
    }

    std::shared_ptr<ShadowSyncViewModel> makeSync(Executor& runner) {
        return ShadowSyncViewModel::make({
            .supportDirectory = [this] { return support; },
            .chatDBPath = chatDB,
            .defaults = defaults,
            .fileAccessEnabledKey = "fileAccessEnabled.test",
            .keepMessagesPreference = [] { return std::optional<int>(); },
            .main = main,
            .worker = runner,
            .scheduler = Scheduler::system(),
            .firstRetryDelay = std::chrono::hours(1),
        });
    }

    // A first copy that builds its indexes at its end, stopped after its first batch: the
    // shadow database keeps what was copied, its full-text index still to be built.
    void cutShortFirstCopy() {
        ShadowSync copy(chatDB, shadowDB);
        copy.setDeferredIndexingThreshold(0);
        copy.setBatchSize(100);
        std::stop_source stop;
        EXPECT_THROW(copy.performSync(
                         [&](std::int64_t processed, std::int64_t) {
                             if (processed > 0) {
                                 stop.request_stop();
                             }
                         },
                         stop.get_token()),
                     ShadowSyncError);
        ASSERT_TRUE(copy.fullTextIndexPending());
    }

    std::shared_ptr<ChatViewModel> makeChat(Executor& runner, std::shared_ptr<HistoryIndex> index,
                                            bool persists) {
        ChatViewModel::Dependencies deps{
            .main = main, .worker = runner, .defaults = defaults, .presets = presets};
        deps.shadowDBPath = shadowDB.string();
        deps.historyIndex = std::move(index);
        deps.memoryPrincipalProvider = [] { return MemoryPrincipal::make("local"); };
        deps.memoryCommitter = std::make_shared<test::FakeChatMemoryCommitter>();
        deps.authModeProvider = [] { return AuthMode::managed("token", "access"); };
        deps.persistsSessions = persists;
        deps.supportDirectory = [this] { return support; };
        deps.helperRunnerFactory = [this](PersonaContextHostFactory) { return helper; };
        deps.tierSnapshotRefreshed = std::make_shared<bool>(true);
        return ChatViewModel::make(std::move(deps));
    }

    test::TempDir dir;
    std::filesystem::path chatDB = dir / "Messages" / "chat.db";
    std::filesystem::path support = dir / "support";
    std::filesystem::path shadowDB = support / "shadow.db";
    InMemoryDefaults defaults;
    PresetSelection presets{defaults};
    ManualExecutor main;
    ManualExecutor worker;
    test::LogCapture log;
    std::shared_ptr<test::FakeChatHelperRunner> helper =
        std::make_shared<test::FakeChatHelperRunner>();
};

// What a question waiting for the index is told after each kind of run: whole after a run that
// succeeded (or failed once the index was whole: it is answered from what was copied); failed,
// with the run's error, after a run that failed with the index still to be built; and pending
// for a shadow database that cannot be read (failing closed). Asked with nothing running, the
// state looks, and starts the run that ends the wait.
TEST_F(HistoryIndexTest, EachRunsOutcomeIsWhatAWaitingQuestionIsTold) {
    struct Case {
        const char* name;
        std::function<void(HistoryIndexTest&)> before;
        Phase phase;
        bool failureNamesTheRun;
    };
    const Case cases[] = {
        {"no shadow database yet: the run it starts copies and builds",
         [](HistoryIndexTest&) {}, Phase::whole, false},
        {"a cut-short first copy, gone on with", [](HistoryIndexTest& t) { t.cutShortFirstCopy(); },
         Phase::whole, false},
        {"a cut-short first copy, chat.db gone since",
         [](HistoryIndexTest& t) {
             t.cutShortFirstCopy();
             std::filesystem::remove(t.chatDB);
         },
         Phase::failed, true},
        {"a whole index, chat.db gone since",
         [](HistoryIndexTest& t) {
             ShadowSync(t.chatDB, t.shadowDB).performSync();
             std::filesystem::remove(t.chatDB);
         },
         Phase::whole, false},
        {"a shadow database that is not one, chat.db gone",
         [](HistoryIndexTest& t) {
             std::ofstream(t.shadowDB) << "not a database at all, and long enough to be read";
             std::filesystem::remove(t.chatDB);
         },
         Phase::failed, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(support);
        std::filesystem::create_directories(support);
        if (!std::filesystem::exists(chatDB)) {
            sample::buildSampleChatDB(chatDB, {.messages = 600, .chats = 10, .seed = 11});
        }
        c.before(*this);
        auto sync = makeSync(worker);
        auto index = sync->historyIndex();
        int changes = 0;
        auto watch = index->observe([&] { ++changes; });
        EXPECT_EQ(index->state().phase, Phase::building) << "nothing known yet";
        ASSERT_TRUE(test::driveUntil(main, worker, [&] {
            return index->state().phase != Phase::building && !sync->isSyncing.get();
        }));
        const auto state = index->state();
        EXPECT_EQ(state.phase, c.phase) << state.failure;
        EXPECT_EQ(!state.failure.empty(), c.failureNamesTheRun);
        if (c.failureNamesTheRun) {
            EXPECT_EQ(state.failure, sync->lastError.get().value_or(""));
        }
        EXPECT_GT(changes, 0);
    }
}

// The look at the index fails closed: anything but a shadow database whose full-text index is
// whole counts as pending, so that no question is answered from an index not built yet.
TEST_F(HistoryIndexTest, TheLookAtTheIndexFailsClosed) {
    struct Case {
        const char* name;
        std::function<void(HistoryIndexTest&)> make;
        bool pending;
    };
    const Case cases[] = {
        {"no shadow database", [](HistoryIndexTest&) {}, true},
        {"an empty file, as a first open leaves it",
         [](HistoryIndexTest& t) { std::ofstream(t.shadowDB).flush(); }, true},
        {"a database without the full-text table",
         [](HistoryIndexTest& t) {
             auto db = SQLiteConnection::open(t.shadowDB, SQLiteSupport::OpenMode::readWriteCreate);
             db.execute("CREATE TABLE messages(guid TEXT)");
         },
         true},
        {"not a database",
         [](HistoryIndexTest& t) {
             std::ofstream(t.shadowDB) << std::string(4096, 'x');
         },
         true},
        {"a cut-short first copy", [](HistoryIndexTest& t) { t.cutShortFirstCopy(); }, true},
        {"a whole copy",
         [](HistoryIndexTest& t) { ShadowSync(t.chatDB, t.shadowDB).performSync(); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(support);
        std::filesystem::create_directories(support);
        c.make(*this);
        EXPECT_EQ(ShadowSyncViewModel::fullTextIndexPending(shadowDB, StructuredLogger("test")),
                  c.pending);
    }
}

// A question asked as a first copy starts (no shadow database yet, nothing of the run done) waits
// for the copy to end, and is asked once the index holds the history: never "Found 0". The chat's
// worker runs first, as it may on a busy machine.
TEST_F(HistoryIndexTest, AQuestionAskedAsAFirstCopyStartsWaitsForIt) {
    ManualExecutor chatWorker;
    auto sync = makeSync(worker);
    std::optional<bool> pendingWhenAsked;
    helper->setScript([&](const RLMTurnAttempt::TurnInputs&, const auto&, auto&, const auto&,
                          std::stop_token) {
        pendingWhenAsked = ShadowSync(chatDB, shadowDB).fullTextIndexPending();
        RLMHelperResult result;
        result.answer = "An answer.";
        return result;
    });
    auto chat = makeChat(chatWorker, sync->historyIndex(), false);
    sync->syncIfPossible();
    chat->inputText.set("dinner plans");
    chat->send();
    main.runUntilIdle();
    chatWorker.runUntilIdle();
    main.runUntilIdle();
    ASSERT_TRUE(chat->isSending());
    EXPECT_EQ(chat->state.get().asSending()->progress,
              std::optional(std::string(ChatViewModel::indexingHistoryText)));
    EXPECT_TRUE(helper->inputs().empty()) << "asked of a copy that has not begun";
    ASSERT_TRUE(test::driveUntil(main, worker, [&] { return sync->hasSynced.get(); }));
    ASSERT_TRUE(test::driveUntil(main, chatWorker, [&] { return !chat->isSending(); }));
    ASSERT_EQ(helper->inputs().size(), 1u);
    EXPECT_EQ(pendingWhenAsked, false) << "asked once the index was whole";
}

// Two questions waiting for the index on the real pool of two threads hold neither: the run that
// builds the index (started by the wait itself, nothing else asking for one) gets a thread, and
// both are answered.
TEST_F(HistoryIndexTest, TwoWaitingQuestionsOnAPoolOfTwoLeaveTheSyncAThread) {
    cutShortFirstCopy();
    WorkerPool pool(2);
    auto sync = makeSync(pool);
    auto index = sync->historyIndex();
    std::vector<std::shared_ptr<ChatViewModel>> chats = {makeChat(pool, index, false),
                                                         makeChat(pool, index, false)};
    for (const auto& chat : chats) {
        chat->inputText.set("where is the van?");
        chat->send();
        ASSERT_TRUE(chat->isSending());
    }
    const bool answered = main.runUntil(
        [&] {
            return std::none_of(chats.begin(), chats.end(),
                                [](const auto& chat) { return chat->isSending(); });
        },
        60s);
    EXPECT_TRUE(answered) << "the run that builds the index never got a thread";
    EXPECT_TRUE(sync->hasSynced.get());
    EXPECT_EQ(helper->inputs().size(), 2u);
    for (const auto& chat : chats) {
        chat->stopRunningTurns();
    }
    sync->stopSynchronising();
    sync->waitUntilStopped(Clock::system().monotonicNow() + 30s);
}

}  // namespace
}  // namespace vask
