// Shadow-database queries at 1,000,000 messages over 5,000 chats with 2,000 contacts, each beside
// the bare SQLite statement it wraps, run on the same connection in the same process. The
// databases are built once and kept in the build folder between runs.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sample-chatdb/sample_chat_db.h"
#include "sources/contacts_store.h"
#include "store/shadow_db.h"
#include "store/shadow_query_sql.h"
#include "store/shadow_sync.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"

namespace {

namespace fs = std::filesystem;
using vask::ShadowDB;
using vask::SQLiteStatement;

constexpr std::int64_t messageCount = 1000000;
constexpr std::int64_t chatCount = 5000;
constexpr int contactCount = 2000;
constexpr int windowDays = 7;

struct Fixture {
    fs::path shadow;
    fs::path contacts;
    std::string rareWord;
    std::string commonWord;
    std::string phrase;
    std::vector<std::string> guids;  // 200 live messages
    std::int64_t now = 0;            // a day after the newest message, Unix seconds
};

std::int64_t scalar(sqlite3* db, const std::string& sql) {
    SQLiteStatement statement(db, sql);
    return statement.step() ? statement.columnInt64(0) : 0;
}

std::string text(sqlite3* db, const std::string& sql) {
    SQLiteStatement statement(db, sql);
    return statement.step() ? statement.columnText(0) : std::string();
}

// Contacts for the first 2,000 distinct incoming senders.
void buildContacts(const fs::path& shadow, const fs::path& contacts) {
    auto db = vask::SQLiteConnection::open(shadow, vask::SQLiteSupport::OpenMode::readOnly);
    SQLiteStatement senders(db.get(),
                            "SELECT DISTINCT sender FROM messages WHERE is_from_me = 0 AND sender "
                            "!= 'unknown' ORDER BY sender LIMIT ?");
    senders.bind(1, contactCount);
    std::vector<vask::ContactPayload> payloads;
    while (senders.step()) {
        vask::ContactPayload payload;
        const auto handle = senders.columnText(0);
        payload.appleID = "contact-" + std::to_string(payloads.size());
        payload.displayName = "Contact " + std::to_string(payloads.size());
        payload.identifiers = {{handle.find('@') == std::string::npos
                                    ? vask::ContactIdentifierType::phone
                                    : vask::ContactIdentifierType::email,
                                handle}};
        payloads.push_back(std::move(payload));
    }
    vask::ContactsStore store(contacts);
    store.createSchemaIfNeeded();
    store.replaceAll(payloads);
}

const Fixture& fixture() {
    static const Fixture built = [] {
        Fixture f;
        const fs::path folder = fs::path(VASK_BENCH_CACHE_DIR) / "queries-1m";
        f.shadow = folder / "shadow.db";
        f.contacts = folder / "contacts.db";
        const auto done = folder / "complete";
        if (!fs::exists(done)) {
            fs::remove_all(folder);
            fs::create_directories(folder);
            vask::sample::buildSampleChatDB(folder / "chat.db", {messageCount, chatCount, 1});
            vask::ShadowSync(folder / "chat.db", f.shadow).performSync();
            buildContacts(f.shadow, f.contacts);
            fs::remove(folder / "chat.db");
            std::ofstream(done) << "1\n";
        }
        // A cached contacts database gets the indexes added to the schema since it was built.
        vask::ContactsStore(f.contacts).createSchemaIfNeeded();
        auto db =
            vask::SQLiteConnection::open(f.shadow, vask::SQLiteSupport::OpenMode::readWriteCreate);
        db.execute(
            "CREATE VIRTUAL TABLE IF NOT EXISTS temp.vocab USING fts5vocab(main, "
            "messages_fts, row)");
        // Rare: a word in about twenty messages; common: the word in the most messages.
        f.rareWord = text(db.get(),
                          "SELECT term FROM temp.vocab WHERE doc BETWEEN 10 AND 30 AND "
                          "term GLOB '[a-z][a-z][a-z]*' ORDER BY doc DESC, term LIMIT 1");
        f.commonWord = text(db.get(), "SELECT term FROM temp.vocab ORDER BY doc DESC LIMIT 1");
        // A phrase: the first two words of a message text in lower-case Latin letters.
        const auto sentence = text(db.get(),
                                   "SELECT text FROM messages WHERE text GLOB "
                                   "'[a-z]* [a-z]* *' AND rowid > 500000 LIMIT 1");
        const auto second = sentence.find(' ', sentence.find(' ') + 1);
        f.phrase.append(1, '"').append(sentence, 0, second).append(1, '"');
        const auto newest = scalar(db.get(), "SELECT MAX(timestamp) FROM messages");
        f.now = newest / 1000000000 + 978307200 + 86400;
        SQLiteStatement pick(db.get(),
                             "SELECT guid FROM messages WHERE deleted_at IS NULL AND "
                             "rowid % 4999 = 7 LIMIT 200");
        while (pick.step()) {
            f.guids.push_back(pick.columnText(0));
        }
        return f;
    }();
    return built;
}

// Times every iteration and reports its median and 95th percentile in milliseconds.
template <typename Body>
void timed(benchmark::State& state, Body&& body) {
    std::vector<double> ms;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        body();
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(ms.begin(), ms.end());
    state.counters["p50_ms"] = ms[ms.size() / 2];
    state.counters["p95_ms"] = ms[std::min(ms.size() - 1, ms.size() * 95 / 100)];
}

// Steps `statement` to the end, reading every column as text the way the wrappers read them.
std::size_t drain(SQLiteStatement& statement) {
    std::size_t rows = 0;
    while (statement.step()) {
        for (int column = 0; column < statement.columnCount(); ++column) {
            benchmark::DoNotOptimize(statement.columnOptionalText(column));
        }
        ++rows;
    }
    statement.reset();
    return rows;
}

const std::string& term(int which) {
    const auto& f = fixture();
    return which == 0 ? f.rareWord : which == 1 ? f.commonWord : f.phrase;
}

void BM_Search(benchmark::State& state) {
    ShadowDB db(fixture().shadow, ShadowDB::OpenMode::readOnly);
    const auto& query = term(static_cast<int>(state.range(0)));
    state.SetLabel(query);
    timed(state, [&] { benchmark::DoNotOptimize(db.search(query, 50)); });
}
BENCHMARK(BM_Search)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_SearchBare(benchmark::State& state) {
    ShadowDB db(fixture().shadow, ShadowDB::OpenMode::readOnly);
    auto raw =
        vask::SQLiteConnection::open(fixture().shadow, vask::SQLiteSupport::OpenMode::readOnly);
    SQLiteStatement statement(raw.get(), vask::shadow_sql::search);
    const auto& query = term(static_cast<int>(state.range(0)));
    state.SetLabel(query);
    timed(state, [&] {
        statement.bind(1, query).bind(2, 50);
        benchmark::DoNotOptimize(drain(statement));
    });
}
BENCHMARK(BM_SearchBare)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

constexpr const char* rankedAwaitingSQL = R"(WITH latest AS (
    SELECT chat_id, sender, text, timestamp, is_from_me, is_group,
           ROW_NUMBER() OVER (PARTITION BY chat_id ORDER BY timestamp DESC, rowid DESC) AS rn
    FROM messages
    WHERE deleted_at IS NULL
)
SELECT l.chat_id, ct.display_name, l.sender, l.text, l.timestamp
FROM latest l
JOIN contacts.contact_identifiers ci ON ci.value = l.sender
JOIN contacts.contacts ct ON ct.id = ci.contact_id
WHERE l.rn = 1
  AND l.is_from_me = 0
  AND l.is_group = 0
  AND l.timestamp >= ?
GROUP BY l.chat_id
ORDER BY l.timestamp DESC
LIMIT ?)";

std::int64_t windowStart() {
    return (fixture().now - windowDays * 86400 - 978307200) * 1000000000;
}

void BM_AwaitingReplies(benchmark::State& state) {
    ShadowDB db(fixture().shadow, ShadowDB::OpenMode::readOnly);
    std::size_t rows = 0;
    timed(state, [&] {
        rows = db.awaitingReplies(fixture().contacts, windowDays, 50, fixture().now).size();
    });
    state.counters["rows"] = static_cast<double>(rows);
}
BENCHMARK(BM_AwaitingReplies)->Unit(benchmark::kMillisecond);

// arg 0: the statement ShadowDB runs; arg 1: the window-function statement it replaces.
void BM_AwaitingRepliesBare(benchmark::State& state) {
    auto raw =
        vask::SQLiteConnection::open(fixture().shadow, vask::SQLiteSupport::OpenMode::readOnly);
    SQLiteStatement attach(raw.get(), "ATTACH DATABASE ? AS contacts");
    attach.bind(1, fixture().contacts.string()).run();
    SQLiteStatement statement(raw.get(), state.range(0) == 0 ? vask::shadow_sql::awaitingReplies
                                                             : std::string_view(rankedAwaitingSQL));
    state.SetLabel(state.range(0) == 0 ? "latest-message lookup" : "window function");
    std::size_t rows = 0;
    timed(state, [&] {
        statement.bind(1, windowStart()).bind(2, 50);
        rows = drain(statement);
    });
    state.counters["rows"] = static_cast<double>(rows);
}
BENCHMARK(BM_AwaitingRepliesBare)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_FetchMessages200(benchmark::State& state) {
    ShadowDB db(fixture().shadow, ShadowDB::OpenMode::readOnly);
    timed(state, [&] {
        benchmark::DoNotOptimize(db.fetchMessages(fixture().guids, fixture().contacts, 200));
    });
}
BENCHMARK(BM_FetchMessages200)->Unit(benchmark::kMillisecond);

// The wrapper other components call: opens a read-only connection per call.
void BM_FetchMessages200ThroughShadowSync(benchmark::State& state) {
    vask::ShadowSync sync(fs::path("/nonexistent/chat.db"), fixture().shadow);
    timed(state, [&] {
        benchmark::DoNotOptimize(sync.fetchMessages(fixture().guids, fixture().contacts, 200));
    });
}
BENCHMARK(BM_FetchMessages200ThroughShadowSync)->Unit(benchmark::kMillisecond);

void BM_FetchMessages200Bare(benchmark::State& state) {
    auto raw =
        vask::SQLiteConnection::open(fixture().shadow, vask::SQLiteSupport::OpenMode::readOnly);
    std::string sql =
        "SELECT m.guid, ct.display_name, m.sender, m.text, m.timestamp, m.chat_id,\n"
        "       m.is_from_me, m.chat_name, m.is_group\nFROM messages m\n"
        "LEFT JOIN contacts.contact_identifiers ci ON ci.value = m.sender\n"
        "LEFT JOIN contacts.contacts ct ON ct.id = ci.contact_id\nWHERE m.guid IN (";
    for (std::size_t i = 0; i < fixture().guids.size(); ++i) {
        sql += i == 0 ? "?" : ",?";
    }
    sql += ") AND m.deleted_at IS NULL\nGROUP BY m.guid";
    // Attach, query and detach per call, as the operation does.
    timed(state, [&] {
        {
            SQLiteStatement attach(raw.get(), "ATTACH DATABASE ? AS contacts");
            attach.bind(1, fixture().contacts.string()).run();
        }
        {
            SQLiteStatement statement(raw.get(), sql);
            for (std::size_t i = 0; i < fixture().guids.size(); ++i) {
                statement.bind(static_cast<int>(i) + 1, fixture().guids[i]);
            }
            benchmark::DoNotOptimize(drain(statement));
        }
        raw.execute("DETACH DATABASE contacts");
    });
}
BENCHMARK(BM_FetchMessages200Bare)->Unit(benchmark::kMillisecond);

}  // namespace
