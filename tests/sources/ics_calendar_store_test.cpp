#include "sources/ics_calendar_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "calendar_fixtures.h"
#include "folder_fixtures.h"
#include "platform/file_io.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using namespace std::chrono_literals;
using test::eventually;
using Status = CalendarAuthorizationStatus;
using test::unixTime;

std::string singleEvent(std::string_view uid, std::string_view extraCalendarLines = "") {
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Vask tests//EN\r\n" +
           std::string(extraCalendarLines) + "BEGIN:VEVENT\r\nUID:" + std::string(uid) +
           "\r\nDTSTAMP:20240101T000000Z\r\nDTSTART:20240110T100000Z\r\nEND:VEVENT\r\n"
           "END:VCALENDAR\r\n";
}

class IcsCalendarStoreTest : public ::testing::Test {
  protected:
    std::filesystem::path folder() const { return dir_ / "calendars"; }
    std::unique_ptr<IcsCalendarStore> makeStore() {
        return std::make_unique<IcsCalendarStore>(folder(), defaults_, clock_);
    }
    std::vector<CalendarEvent> january(IcsCalendarStore& store) {
        return store.events(unixTime(test::january1st2024), unixTime(test::january31st2024));
    }

    test::TempDir dir_;
    InMemoryDefaults defaults_;
    test::FakeClock clock_;
};

TEST_F(IcsCalendarStoreTest, AccessFollowsThePersistedGrant) {
    struct Case {
        const char* name;
        std::optional<nlohmann::json> stored;
        Status before;
        bool granted;
        Status after;
    };
    const std::vector<Case> cases = {
        {"never asked: the request grants and remembers", std::nullopt, Status::notDetermined, true,
         Status::fullAccess},
        {"granted before", "fullAccess", Status::fullAccess, true, Status::fullAccess},
        {"refused before: not asked again", "denied", Status::denied, false, Status::denied},
        {"a value this program never writes reads as a refusal", 3, Status::denied, false,
         Status::denied},
    };
    auto store = makeStore();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.stored) {
            defaults_.set(IcsCalendarStore::accessGrantKey, *c.stored);
        } else {
            defaults_.remove(IcsCalendarStore::accessGrantKey);
        }
        EXPECT_EQ(store->authorizationStatus(), c.before);
        std::optional<bool> answer;
        store->requestFullAccessToEvents(
            [&](bool granted, const std::optional<std::string>& error) {
                EXPECT_FALSE(error);
                answer = granted;
            });
        EXPECT_EQ(answer, c.granted);
        EXPECT_EQ(store->authorizationStatus(), c.after);
    }
}

TEST_F(IcsCalendarStoreTest, CalendarsAreNamedByTheirFileTheirFolderOrThemselves) {
    test::writeFileCreatingFolders(folder() / "holidays.ics", singleEvent("a"));
    test::writeFileCreatingFolders(folder() / "family" / "event-b.ics", singleEvent("b"));
    test::writeFileCreatingFolders(folder() / "team" / "event-c.ics",
                                   singleEvent("c", "X-WR-CALNAME:Team Room\r\n"));
    test::writeFileCreatingFolders(folder() / ".sync-state" / "event-d.ics", singleEvent("d"));
    test::writeFileCreatingFolders(folder() / "notes.txt", singleEvent("e"));
    test::writeFileCreatingFolders(folder() / "broken.ics", "not a calendar");
    auto store = makeStore();

    std::map<std::string, std::string> calendarOf;
    for (const auto& event : january(*store)) {
        calendarOf[event.calendarItemIdentifier] = event.calendarTitle;
    }
    EXPECT_EQ(calendarOf, (std::map<std::string, std::string>{
                              {"a", "holidays"}, {"b", "family"}, {"c", "Team Room"}}));
}

TEST_F(IcsCalendarStoreTest, AFileLargerThanTheCapIsPassedOver) {
    test::writeFileCreatingFolders(folder() / "small.ics", singleEvent("small"));
    test::writeFileCreatingFolders(
        folder() / "large.ics",
        singleEvent("large", "X-PADDING:" + std::string(4096, 'p') + "\r\n"));
    IcsCalendarStore store(folder(), defaults_, clock_, FolderWatcher::defaultLatency, 2048);
    const auto events = january(store);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].calendarItemIdentifier, "small");
}

TEST_F(IcsCalendarStoreTest, MissingFolderIsEmptyButAFileInItsPlaceIsAnError) {
    auto store = makeStore();
    EXPECT_TRUE(january(*store).empty());

    test::writeFileCreatingFolders(folder(), "a file, not a folder");
    try {
        january(*store);
        FAIL() << "expected a fetch failure";
    } catch (const CalendarEventStoreError& error) {
        EXPECT_EQ(error.kind(), CalendarEventStoreError::Case::fetchFailed);
    }
}

TEST_F(IcsCalendarStoreTest, ABurstOfWritesRaisesOneNotification) {
    std::filesystem::create_directories(folder());
    auto store = makeStore();
    std::atomic<int> notifications{0};
    auto observer = store->observeChanges([&] { ++notifications; });

    test::writeFileCreatingFolders(folder() / "work.ics", singleEvent("a"));
    test::writeFileCreatingFolders(folder() / "work.ics", singleEvent("b"));
    ASSERT_TRUE(eventually([&] { return store->watcher().relevantEventCount() >= 2; }));
    EXPECT_EQ(notifications, 0);
    clock_.advance(FolderWatcher::defaultLatency);
    ASSERT_TRUE(eventually([&] { return notifications == 1; }));

    // A file of another kind is not a calendar change.
    const auto seen = store->watcher().relevantEventCount();
    test::writeFileCreatingFolders(folder() / "notes.txt", "hello");
    test::writeFileCreatingFolders(folder() / "work.ics", singleEvent("c"));
    ASSERT_TRUE(eventually([&] { return store->watcher().relevantEventCount() > seen; }));
    EXPECT_EQ(store->watcher().relevantEventCount(), seen + 1);
}

}  // namespace
}  // namespace vask
