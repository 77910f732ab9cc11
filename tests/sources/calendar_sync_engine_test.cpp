#include "sources/calendar_sync_engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "calendar_fixtures.h"
#include "platform/change_observers.h"
#include "platform/file_io.h"
#include "platform/manual_executor.h"
#include "platform/user_defaults.h"
#include "sources/ics_calendar_store.h"
#include "store/shadow_db.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using namespace std::chrono_literals;
using Status = CalendarAuthorizationStatus;
using test::unixTime;

CalendarEvent meeting(std::string id, std::int64_t start) {
    CalendarEvent event;
    event.calendarItemIdentifier = std::move(id);
    event.title = "Meeting";
    event.startDate = unixTime(start);
    event.endDate = unixTime(start + 1800);
    event.calendarTitle = "Work";
    return event;
}

// Calendars in memory whose fetch can run a hook (to act "during" a synchronisation) and
// remembers the ranges it was asked for.
class ScriptedCalendarStore final : public CalendarEventStore {
  public:
    std::atomic<Status> status{Status::fullAccess};
    bool grantOnRequest = true;
    std::optional<std::string> requestError;
    std::atomic<int> accessRequests{0};
    std::function<void()> duringFetch;
    std::optional<std::string> fetchError;

    void setEvents(std::vector<CalendarEvent> events) {
        std::lock_guard lock(mutex_);
        events_ = std::move(events);
    }
    std::vector<std::pair<CalendarEvent::Time, CalendarEvent::Time>> ranges() const {
        std::lock_guard lock(mutex_);
        return ranges_;
    }

    Status authorizationStatus() const override { return status; }
    void requestFullAccessToEvents(AccessCompletion completion) override {
        ++accessRequests;
        if (grantOnRequest && !requestError) {
            status = Status::fullAccess;
        }
        completion(grantOnRequest && !requestError, requestError);
    }
    std::vector<CalendarEvent> events(CalendarEvent::Time start, CalendarEvent::Time end) override {
        {
            std::lock_guard lock(mutex_);
            ranges_.emplace_back(start, end);
        }
        if (duringFetch) {
            duringFetch();
        }
        if (fetchError) {
            throw CalendarEventStoreError(CalendarEventStoreError::Case::fetchFailed, *fetchError);
        }
        std::lock_guard lock(mutex_);
        return events_;
    }
    Subscription observeChanges(std::function<void()> changed) override {
        return changes.observe(std::move(changed));
    }

    ChangeObservers changes;

  private:
    mutable std::mutex mutex_;
    std::vector<CalendarEvent> events_;
    std::vector<std::pair<CalendarEvent::Time, CalendarEvent::Time>> ranges_;
};

// The stored event ids, after checking that the full-text index still matches the rows.
std::vector<std::string> storedIds(const std::filesystem::path& path) {
    {
        auto writer = SQLiteConnection::open(path, SQLiteSupport::OpenMode::readWriteCreate);
        SQLiteStatement check(writer.get(),
                              "INSERT INTO events_fts(events_fts) VALUES('integrity-check')");
        check.step();
    }
    auto db = SQLiteConnection::open(path, SQLiteSupport::OpenMode::readOnly);
    SQLiteStatement rows(db.get(), "SELECT id FROM events ORDER BY start_date, id");
    std::vector<std::string> ids;
    while (rows.step()) {
        ids.push_back(rows.columnText(0));
    }
    return ids;
}

class CalendarSyncEngineTest : public ::testing::Test {
  protected:
    std::unique_ptr<CalendarSyncEngine> makeEngine(int lookback = 30, int lookahead = 30) {
        auto engine = std::make_unique<CalendarSyncEngine>(dbPath(), lookback, lookahead, calendar_,
                                                           clock_, queue_);
        engine->setOnSyncComplete([this] { ++completions_; });
        engine->setOnSyncError([this](const std::exception& error) {
            std::lock_guard lock(errorsMutex_);
            errors_.emplace_back(error.what());
        });
        return engine;
    }

    std::filesystem::path dbPath() const { return dir_ / "shadow.db"; }
    void postChange() { calendar_->changes.notify(); }
    int fetches() const { return static_cast<int>(calendar_->ranges().size()); }

    test::TempDir dir_;
    test::FakeClock clock_;
    std::shared_ptr<ScriptedCalendarStore> calendar_ = std::make_shared<ScriptedCalendarStore>();
    std::shared_ptr<ManualExecutor> queue_ = std::make_shared<ManualExecutor>();
    std::atomic<int> completions_{0};
    std::mutex errorsMutex_;
    std::vector<std::string> errors_;
};

TEST_F(CalendarSyncEngineTest, WeeklyEventInAFolderGivesOneRowPerOccurrence) {
    InMemoryDefaults defaults;
    const auto folder = dir_ / "calendars";
    std::filesystem::create_directories(folder / "work");
    writeFileAtomically(folder / "work" / "standup.ics", test::weeklyStandupICS);
    auto store = std::make_shared<IcsCalendarStore>(folder, defaults, clock_);
    clock_.setWallTime(unixTime(test::january1st2024));
    CalendarSyncEngine engine(dbPath(), 0, 30, store, clock_, queue_);

    engine.start();
    queue_->runUntilIdle();

    EXPECT_EQ(store->authorizationStatus(), Status::fullAccess);
    const auto id = [](std::int64_t start) { return "standup-1:" + std::to_string(start); };
    EXPECT_EQ(storedIds(dbPath()),
              (std::vector<std::string>{id(test::standupJanuary1st), id(test::standupJanuary8th),
                                        id(test::standupMovedJanuary23rd),
                                        id(test::standupJanuary29th)}));
    auto db = SQLiteConnection::open(dbPath(), SQLiteSupport::OpenMode::readOnly);
    SQLiteStatement row(db.get(),
                        "SELECT title, end_date, calendar_name, recurrence_rule, participants, "
                        "created_at FROM events WHERE id = ?");
    row.bind(1, id(test::standupJanuary8th));
    ASSERT_TRUE(row.step());
    EXPECT_EQ(row.columnText(0), "Standup");
    EXPECT_EQ(row.columnInt64(1), test::standupJanuary8th + 1800);
    EXPECT_EQ(row.columnText(2), "Work");
    EXPECT_EQ(row.columnText(3), "FREQ=WEEKLY;BYDAY=MO");
    EXPECT_EQ(row.columnText(4), R"(["mailto:ana@example.com","mailto:ben@example.com"])");
    EXPECT_EQ(row.columnInt64(5), 1703073600);

    SQLiteStatement moved(db.get(), "SELECT title, recurrence_rule FROM events WHERE id = ?");
    moved.bind(1, id(test::standupMovedJanuary23rd));
    ASSERT_TRUE(moved.step());
    EXPECT_EQ(moved.columnText(0), "Standup (moved)");
    EXPECT_EQ(moved.columnText(1), "FREQ=WEEKLY;BYDAY=MO");
}

TEST_F(CalendarSyncEngineTest, AccessDecidesWhetherTheEngineStarts) {
    struct Case {
        const char* name;
        Status status;
        bool grantOnRequest;
        std::optional<std::string> requestError;
        int expectedRequests;
        bool starts;
    };
    const std::vector<Case> cases = {
        {"full access", Status::fullAccess, true, std::nullopt, 0, true},
        {"not determined, granted", Status::notDetermined, true, std::nullopt, 1, true},
        {"write-only is asked again", Status::writeOnly, true, std::nullopt, 1, true},
        {"not determined, refused", Status::notDetermined, false, std::nullopt, 1, false},
        {"denied is not asked again", Status::denied, true, std::nullopt, 0, false},
        {"restricted is not asked", Status::restricted, true, std::nullopt, 0, false},
        {"the request itself fails", Status::notDetermined, true, "no session bus", 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(dbPath());
        calendar_->status = c.status;
        calendar_->grantOnRequest = c.grantOnRequest;
        calendar_->requestError = c.requestError;
        calendar_->accessRequests = 0;
        auto engine = makeEngine();
        if (c.starts) {
            engine->start();
            EXPECT_TRUE(engine->isStarted());
            EXPECT_TRUE(std::filesystem::exists(dbPath()));
        } else if (c.requestError) {
            EXPECT_THROW(engine->start(), CalendarEventStoreError);
        } else {
            try {
                engine->start();
                ADD_FAILURE() << "expected permissionDenied";
            } catch (const CalendarSyncError& error) {
                EXPECT_EQ(error.kind(), CalendarSyncError::Case::permissionDenied);
                EXPECT_STREQ(error.what(), "Calendar permission was not granted.");
            }
        }
        if (!c.starts) {
            EXPECT_FALSE(engine->isStarted());
            EXPECT_FALSE(std::filesystem::exists(dbPath()));
            EXPECT_EQ(queue_->pendingCount(), 0u);
        }
        EXPECT_EQ(calendar_->accessRequests, c.expectedRequests);
        queue_->runUntilIdle();
    }
}

TEST_F(CalendarSyncEngineTest, WindowSpansWholeDaysAroundNowAndNeverStartsAhead) {
    struct Case {
        int lookback;
        int lookahead;
        int expectedLookback;
        int expectedLookahead;
        std::int64_t expectedStart;
        std::int64_t expectedEnd;
    };
    const std::int64_t now = 1'700'000'000;
    const std::vector<Case> cases = {
        {7, 30, 7, 30, now - 7 * 86400, now + 30 * 86400},
        {-5, 1, 0, 1, now, now + 86400},
        {0, -3, 0, 0, now, now},
    };
    clock_.setWallTime(unixTime(now));
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.lookback) + "/" + std::to_string(c.lookahead));
        auto engine = makeEngine(c.lookback, c.lookahead);
        EXPECT_EQ(engine->lookbackDays(), c.expectedLookback);
        EXPECT_EQ(engine->lookaheadDays(), c.expectedLookahead);
        engine->scheduleSync();
        queue_->runUntilIdle();
        ASSERT_FALSE(calendar_->ranges().empty());
        const auto [start, end] = calendar_->ranges().back();
        EXPECT_EQ(start, unixTime(c.expectedStart));
        EXPECT_EQ(end, unixTime(c.expectedEnd));
    }
}

TEST_F(CalendarSyncEngineTest, ChangesFoldIntoOneRerun) {
    struct Case {
        const char* name;
        int requestsWhileQueued;  // after the first, before the queue runs
        int changesDuringSync;    // calendar changes while the first one runs
        int expectedSyncs;
    };
    const std::vector<Case> cases = {
        {"start alone", 0, 0, 1},
        {"five changes during one synchronisation", 0, 5, 2},
        {"a request while the first is still queued", 1, 0, 2},
        {"requests queued and changes running", 4, 3, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        calendar_ = std::make_shared<ScriptedCalendarStore>();
        completions_ = 0;
        auto engine = makeEngine();
        engine->start();
        for (int i = 0; i < c.requestsWhileQueued; ++i) {
            engine->scheduleSync();
        }
        bool first = true;
        calendar_->duringFetch = [&] {
            if (std::exchange(first, false)) {
                for (int i = 0; i < c.changesDuringSync; ++i) {
                    postChange();
                }
            }
        };
        queue_->runUntilIdle();
        EXPECT_EQ(fetches(), c.expectedSyncs);
        EXPECT_EQ(completions_, c.expectedSyncs);

        // Idle again: the next change runs exactly once more.
        postChange();
        queue_->runUntilIdle();
        EXPECT_EQ(fetches(), c.expectedSyncs + 1);
        calendar_->duringFetch = nullptr;
    }
}

TEST_F(CalendarSyncEngineTest, StoppedOrDestroyedEnginesWriteNothingMore) {
    calendar_->setEvents({meeting("a", 1'700'000'000)});
    auto engine = makeEngine();
    engine->start();
    queue_->runUntilIdle();
    ASSERT_EQ(fetches(), 1);

    engine->stop();
    postChange();
    EXPECT_EQ(queue_->pendingCount(), 0u);

    // Started again: a new first synchronisation, and changes count again.
    engine->start();
    queue_->runUntilIdle();
    postChange();
    queue_->runUntilIdle();
    EXPECT_EQ(fetches(), 3);

    // A job still queued when the engine goes does nothing.
    postChange();
    ASSERT_EQ(queue_->pendingCount(), 1u);
    engine.reset();
    postChange();
    queue_->runUntilIdle();
    EXPECT_EQ(fetches(), 3);
}

TEST_F(CalendarSyncEngineTest, FailedSynchronisationKeepsThePreviousEvents) {
    struct Case {
        const char* name;
        std::function<void(ScriptedCalendarStore&, const std::filesystem::path&)> breakIt;
        std::string expectedMessage;
    };
    const std::vector<Case> cases = {
        {"the calendars cannot be read",
         [](ScriptedCalendarStore& store, const std::filesystem::path&) {
             store.fetchError = "folder vanished";
         },
         "Could not read the calendars: folder vanished"},
        {"one row cannot be written",
         [](ScriptedCalendarStore& store, const std::filesystem::path& path) {
             store.setEvents({meeting("b", 1'700'000'000), meeting("poison", 1'700'003'600)});
             auto db = SQLiteConnection::open(path, SQLiteSupport::OpenMode::readWriteCreate);
             SQLiteStatement trigger(
                 db.get(),
                 "CREATE TRIGGER refuse_poison BEFORE INSERT ON events WHEN new.id = 'poison' "
                 "BEGIN SELECT RAISE(ABORT, 'poisoned row'); END");
             trigger.step();
         },
         "poisoned row"},
    };
    for (const bool withHandler : {true, false}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (withHandler ? ", with handler" : ", no handler"));
            std::filesystem::remove(dbPath());
            calendar_ = std::make_shared<ScriptedCalendarStore>();
            calendar_->setEvents({meeting("a", 1'699'990'000)});
            errors_.clear();
            auto engine = makeEngine();
            if (!withHandler) {
                engine->setOnSyncError(nullptr);
            }
            engine->start();
            queue_->runUntilIdle();
            ASSERT_EQ(storedIds(dbPath()), std::vector<std::string>{"a"});

            c.breakIt(*calendar_, dbPath());
            test::LogCapture log;
            postChange();
            queue_->runUntilIdle();

            EXPECT_EQ(storedIds(dbPath()), std::vector<std::string>{"a"});
            std::vector<std::string> lines;
            for (const auto& record : log->records()) {
                if (record.category == "CalendarSyncEngine") {
                    EXPECT_EQ(record.level, LogLevel::error);
                    EXPECT_EQ(record.subsystem, "ai.vask.VaskCore");
                    lines.push_back(record.message);
                }
            }
            if (withHandler) {
                ASSERT_EQ(errors_.size(), 1u);
                EXPECT_NE(errors_[0].find(c.expectedMessage), std::string::npos) << errors_[0];
                EXPECT_TRUE(lines.empty());
            } else {
                ASSERT_EQ(lines.size(), 1u);
                EXPECT_EQ(lines[0].rfind("Calendar sync error (no handler): ", 0), 0u) << lines[0];
                EXPECT_NE(lines[0].find(c.expectedMessage), std::string::npos) << lines[0];
            }
        }
    }
}

TEST_F(CalendarSyncEngineTest, EventsBecomeRows) {
    struct Case {
        const char* name;
        std::function<void(CalendarEvent&)> edit;
        std::function<void(const std::optional<ShadowEvent>&)> check;
    };
    const auto participant = [](std::string url, std::string name) {
        return CalendarParticipant{std::move(url), std::move(name)};
    };
    const std::vector<Case> cases = {
        {"without an identifier it is skipped",
         [](CalendarEvent& e) { e.calendarItemIdentifier.clear(); },
         [](const auto& row) { EXPECT_FALSE(row); }},
        {"untitled", [](CalendarEvent& e) { e.title = ""; },
         [](const auto& row) { EXPECT_EQ(row->title, "(No Title)"); }},
        {"a single event keeps its bare identifier and has no rule", [](CalendarEvent&) {},
         [](const auto& row) {
             EXPECT_EQ(row->id, "m");
             EXPECT_FALSE(row->recurrenceRule);
             EXPECT_FALSE(row->participants);
             EXPECT_FALSE(row->location);
             EXPECT_FALSE(row->createdAt);
             EXPECT_EQ(row->calendarName, "Work");
         }},
        {"rules are joined and the occurrence start is in the id",
         [](CalendarEvent& e) {
             e.recurrenceRules = {"FREQ=WEEKLY", "RDATE:20240105T100000Z"};
         },
         [](const auto& row) {
             EXPECT_EQ(row->id, "m:1700000000");
             EXPECT_EQ(row->recurrenceRule, "FREQ=WEEKLY; RDATE:20240105T100000Z");
         }},
        {"times before 1970 are truncated toward zero",
         [](CalendarEvent& e) {
             e.recurrenceRules = {"FREQ=YEARLY"};
             e.startDate = CalendarEvent::Time(-1500ms);
             e.endDate = CalendarEvent::Time(2500ms);
             e.lastModifiedDate = CalendarEvent::Time(-999ms);
         },
         [](const auto& row) {
             EXPECT_EQ(row->id, "m:-1");
             EXPECT_EQ(row->startDate, -1);
             EXPECT_EQ(row->endDate, 2);
             EXPECT_EQ(row->modifiedAt, 0);
         }},
        {"empty texts are absent, blank ones kept",
         [](CalendarEvent& e) {
             e.location = "";
             e.notes = " ";
             e.calendarTitle = "";
         },
         [](const auto& row) {
             EXPECT_FALSE(row->location);
             EXPECT_EQ(row->notes, " ");
             EXPECT_FALSE(row->calendarName);
         }},
        {"an organizer who also attends counts once; addresses before names, sorted",
         [&](CalendarEvent& e) {
             e.organizer = participant("mailto:zoe@example.com", "Zoe");
             e.attendees = {participant(" mailto:zoe@example.com\n", "Zoe"),
                            participant("", "  Carl "), participant("", ""),
                            participant("https://example.com/people/a", "")};
         },
         [](const auto& row) {
             EXPECT_EQ(row->participants,
                       R"(["Carl","https:\/\/example.com\/people\/a","mailto:zoe@example.com"])");
         }},
        {"participants with nothing to show are no participants",
         [&](CalendarEvent& e) { e.attendees = {participant(" ", "\t")}; },
         [](const auto& row) { EXPECT_FALSE(row->participants); }},
        {"a name that is not UTF-8 leaves the participants out rather than failing",
         [&](CalendarEvent& e) { e.attendees = {participant("", "\xff\xfe")}; },
         [](const auto& row) {
             ASSERT_TRUE(row);
             EXPECT_FALSE(row->participants);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto event = meeting("m", 1'700'000'000);
        c.edit(event);
        c.check(CalendarSyncEngine::makeShadowEvent(event));
    }
}

}  // namespace
}  // namespace vask
