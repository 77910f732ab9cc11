// A scripted stand-in for the RLM helper. It speaks the helper's protocol (request on standard
// input, events on the descriptor named by ZENDREL_RELAY_EVENT_FD, answer on standard output,
// diagnostics on standard error) and does what the scenario file named by
// VASK_TEST_RLM_SCENARIO says:
//
//   {"record_dir": "/tmp/x",              optional: where argv, environment and request go
//    "attempts": [[step, ...], [...]]}    steps of the first, second, ... run (the last repeats)
//   or {"steps": [step, ...]}
//
// Steps, one key each:
//   {"read_stdin": "all" | N}              read the whole request or its first N bytes
//   {"record": true}                       write <record_dir>/<attempt>/{argv,env,request,
//                                          deno_dir,fd3}
//   {"event": {...}}                       one event line
//   {"event_raw": "text"}                  bytes as they are (split lines, non-JSON)
//   {"event_repeat": {"event": {...}, "count": N}}
//   {"stdout": "text"}, {"stderr": "text"}
//   {"stdout_hex": "c3 28"}                raw bytes (invalid UTF-8)
//   {"stdout_repeat": {"text": "x", "count": N}}, {"stderr_repeat": {...}}
//   {"sleep_ms": N}, {"hang": true}, {"ignore_sigterm": true}
//   {"spawn_grandchild": "/path/pidfile"}  a process in the same group that sleeps forever
//   {"spawn_daemon": "/path/pidfile"}      one in a session of its own, keeping every pipe open
//   {"kill_self": signal}, {"exit": code}
//   {"respond": {...}}                     the JSON as the response on standard output
//   {"refuse_without_credentials": {...}} when the request carries neither an API key nor a
//                                          customer token, the JSON as the response, then exit 0
//   {"record_staged": true}                write <record_dir>/<attempt>/staged.json: the files
//                                          of the request's db_path folder with their modes and
//                                          link counts, and which request paths exist
//   {"read_staged": {"count": N, "pause_ms": M}}
//                                          read the staged shadow database N times, M ms apart,
//                                          each read on a connection of its own, as a real
//                                          helper's sub-queries do over its run (needs the
//                                          request); a failed read fails the helper
//   {"answer_from_staged": {...}}          answer from the staged databases (needs the request):
//                                          a full-text search of the question's words (common
//                                          words left out) in the shadow database, the messages
//                                          holding the most of them first, at most 20; their
//                                          guids become one evidence record. Keys of the object
//                                          are added to the response.
// Without an exit step it exits 0. Its reads of the staged databases wait out a lock that passes
// (up to 10 s), as a real helper's connections do.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sqlite3.h>
#include <nlohmann/json.hpp>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "stand-in-helper: %s\n", message.c_str());
    std::_Exit(70);
}

void writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

// How long a read of the staged databases waits out a lock another connection holds (a writer
// closing, a checkpoint, the first read of a log): a transient lock is waited for, as a real
// helper's connections do, never reported as a failure.
constexpr int stagedBusyWaitMilliseconds = 10000;

// The staged database, read-only, its connection waiting out a lock.
sqlite3* openStaged(const std::string& dbPath) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(dbPath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        fail("cannot open the staged shadow database");
    }
    sqlite3_busy_timeout(db, stagedBusyWaitMilliseconds);
    return db;
}

// Runs `attempt` again while it meets a lock that SQLite did not wait out itself (it does not
// call the busy handler for every lock a read can meet), until the same limit.
int retryingWhileLocked(const std::function<int()>& attempt) {
    const auto giveUp =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(stagedBusyWaitMilliseconds);
    for (;;) {
        const int rc = attempt();
        const int primary = rc & 0xff;
        if ((primary != SQLITE_BUSY && primary != SQLITE_LOCKED) ||
            std::chrono::steady_clock::now() >= giveUp) {
            return rc;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const fs::path& path, const std::string& contents) {
    const fs::path temp = path.string() + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << contents;
    }
    fs::rename(temp, path);
}

std::string readStdin(std::size_t limit) {
    std::string data;
    char buffer[65536];
    while (data.size() < limit) {
        const std::size_t want = std::min(sizeof buffer, limit - data.size());
        const ssize_t n = ::read(0, buffer, want);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        data.append(buffer, static_cast<std::size_t>(n));
    }
    return data;
}

// Numbers runs across processes in the record folder, so a scenario can answer differently per
// attempt. Each run claims the lowest number whose marker file it alone manages to create, so
// two runs started at the same moment never take the same attempt.
int nextAttempt(const std::string& recordDir) {
    if (recordDir.empty()) {
        return 1;
    }
    for (int attempt = 1;; ++attempt) {
        const std::string marker = recordDir + "/attempt-" + std::to_string(attempt);
        const int fd = ::open(marker.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
            return attempt;
        }
        if (errno != EEXIST) {
            fail("cannot claim an attempt number in " + recordDir);
        }
    }
}

json listing(const char* directory) {
    if (directory == nullptr || !fs::is_directory(directory)) {
        return nullptr;
    }
    json entries = json::array();
    for (const auto& entry : fs::recursive_directory_iterator(directory)) {
        entries.push_back(fs::relative(entry.path(), directory).string());
    }
    return entries;
}

void record(const fs::path& folder, int argc, char** argv, const std::string& request) {
    fs::create_directories(folder);
    json args = json::array();
    for (int i = 0; i < argc; ++i) {
        args.push_back(argv[i]);
    }
    json env = json::object();
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const auto eq = entry.find('=');
        env[entry.substr(0, eq)] = eq == std::string::npos ? "" : entry.substr(eq + 1);
    }
    writeFile(folder / "argv.json", args.dump());
    writeFile(folder / "env.json", env.dump(-1, ' ', false, json::error_handler_t::replace));
    writeFile(folder / "request", request);
    writeFile(folder / "deno_dir.json", listing(std::getenv("DENO_DIR")).dump());
    struct stat fd3 {};
    writeFile(folder / "fd3", ::fstat(3, &fd3) != 0   ? "closed"
                              : S_ISFIFO(fd3.st_mode) ? "pipe"
                                                      : "other");
}

std::string hexBytes(const std::string& hex) {
    std::string bytes;
    std::istringstream in(hex);
    std::string pair;
    while (in >> pair) {
        bytes.push_back(static_cast<char>(std::stoi(pair, nullptr, 16)));
    }
    return bytes;
}

void sleepMilliseconds(long ms) {
    timespec remaining{ms / 1000, (ms % 1000) * 1000000};
    while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

[[noreturn]] void hang() {
    for (;;) {
        ::pause();
    }
}

void spawnGrandchild(const std::string& pidFile, bool ownSession) {
    fs::remove(pidFile);
    const pid_t child = ::fork();
    if (child < 0) {
        fail("fork failed");
    }
    if (child == 0) {
        if (ownSession) {
            // Out of the helper's group before the helper goes on: the file says so.
            ::setsid();
            writeFile(pidFile, std::to_string(::getpid()));
        }
        hang();
    }
    if (ownSession) {
        while (!fs::exists(pidFile)) {
            sleepMilliseconds(1);
        }
        return;
    }
    // Written by the parent, so the file exists before the helper goes on and exits.
    writeFile(pidFile, std::to_string(child));
}

json fileEntry(const fs::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return nullptr;
    }
    return {{"mode", info.st_mode & 07777}, {"links", info.st_nlink}, {"size", info.st_size}};
}

void recordStaged(const fs::path& folder, const json& request) {
    fs::create_directories(folder);
    json staged = json::object();
    const std::string dbPath = request.value("db_path", "");
    const fs::path runFolder = fs::path(dbPath).parent_path();
    staged["folder"] = runFolder.string();
    staged["folder_entry"] = fileEntry(runFolder);
    json files = json::object();
    if (!dbPath.empty() && fs::is_directory(runFolder)) {
        for (const auto& entry : fs::directory_iterator(runFolder)) {
            files[entry.path().filename().string()] = fileEntry(entry.path());
        }
    }
    staged["files"] = files;
    json exists = json::object();
    for (const char* key : {"db_path", "contacts_db_path", "memory_db_path"}) {
        if (request.contains(key)) {
            exists[key] = fs::exists(request[key].get<std::string>());
        }
    }
    staged["exists"] = exists;
    writeFile(folder / "staged.json", staged.dump());
}

// Words too common to say what a question is about: matching them would cite every message
// that asks "where" or says "have".
const std::set<std::string>& stopWords() {
    static const std::set<std::string> words = {
        "about", "after",  "again", "all",  "also",  "and",   "any",  "are",   "been", "before",
        "but",   "can",    "could", "did",  "does",  "for",   "from", "get",   "got",  "had",
        "has",   "have",   "her",   "here", "him",   "his",   "how",  "into",  "its",  "just",
        "last",  "let",    "may",   "more", "much",  "not",   "now",  "our",   "out",  "over",
        "she",   "should", "some",  "tell", "than",  "that",  "the",  "their", "them", "then",
        "there", "these",  "they",  "this", "those", "was",   "were", "what",  "when", "where",
        "which", "who",    "why",   "will", "with",  "would", "you",  "your",
    };
    return words;
}

// The words of the question a search looks for: runs of letters and digits (any byte of a
// multi-byte character counts as a letter), three bytes or longer, lower-cased, each once, common
// words left out.
std::vector<std::string> questionWords(const std::string& question) {
    std::vector<std::string> words;
    std::string word;
    const auto flush = [&] {
        if (word.size() >= 3 && stopWords().count(word) == 0 &&
            std::find(words.begin(), words.end(), word) == words.end()) {
            words.push_back(word);
        }
        word.clear();
    };
    for (const char c : question) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) != 0 || (byte & 0x80) != 0) {
            word.push_back(static_cast<char>(std::tolower(byte)));
        } else {
            flush();
        }
    }
    flush();
    return words;
}

struct Found {
    int wordsHeld = 0;
    sqlite3_int64 timestamp = 0;
};

// The messages holding any of the question's words, those holding the most of them first (then
// the oldest first), at most 20: a question's own sentence then cites what it is about, not
// every message that shares one word with it.
std::vector<std::string> searchStaged(const std::string& dbPath, const std::string& question) {
    std::vector<std::string> guids;
    const auto words = questionWords(question);
    if (words.empty()) {
        return guids;
    }
    sqlite3* db = openStaged(dbPath);
    sqlite3_stmt* statement = nullptr;
    const char* sql =
        "SELECT m.guid, m.timestamp FROM messages_fts f JOIN messages m ON m.rowid = f.rowid "
        "WHERE messages_fts MATCH ? AND m.deleted_at IS NULL";
    if (retryingWhileLocked([&] {
            return sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
        }) != SQLITE_OK) {
        const std::string message = sqlite3_errmsg(db);
        sqlite3_close(db);
        fail("search failed: " + message);
    }
    std::map<std::string, Found> found;
    for (const auto& word : words) {
        const std::string phrase = "\"" + word + "\"";
        sqlite3_reset(statement);
        sqlite3_bind_text(statement, 1, phrase.c_str(), -1, SQLITE_TRANSIENT);
        int rc = 0;
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
            auto& entry = found[reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))];
            ++entry.wordsHeld;
            entry.timestamp = sqlite3_column_int64(statement, 1);
        }
        if (rc != SQLITE_DONE) {
            sqlite3_finalize(statement);
            sqlite3_close(db);
            fail("search step failed");
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);

    std::vector<std::pair<std::string, Found>> ranked(found.begin(), found.end());
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
        if (a.second.wordsHeld != b.second.wordsHeld) {
            return a.second.wordsHeld > b.second.wordsHeld;
        }
        return a.second.timestamp < b.second.timestamp;
    });
    for (std::size_t i = 0; i < ranked.size() && i < 20; ++i) {
        guids.push_back(ranked[i].first);
    }
    return guids;
}

// One read of the staged shadow database on a connection of its own: the messages counted.
void readStagedOnce(const std::string& dbPath) {
    sqlite3* db = openStaged(dbPath);
    if (retryingWhileLocked([&] {
            return sqlite3_exec(db, "SELECT count(*) FROM messages", nullptr, nullptr, nullptr);
        }) != SQLITE_OK) {
        const std::string message = sqlite3_errmsg(db);
        sqlite3_close(db);
        fail("reading the staged shadow database failed: " + message);
    }
    sqlite3_close(db);
}

json answerFromStaged(const json& request, const json& extra) {
    const std::string question = request.value("question", "");
    const auto guids = searchStaged(request.value("db_path", ""), question);
    json fingerprint = {{"question_hash", "0"},
                        {"question_length", question.size()},
                        {"context_length", 0},
                        {"db_exists", fs::exists(request.value("db_path", ""))},
                        {"contacts_exists", request.contains("contacts_db_path") &&
                                                fs::exists(request.value("contacts_db_path", ""))},
                        {"root_model", request.value("root_model", "default")},
                        {"subcall_model", request.value("subcall_model", "default")},
                        {"max_depth", 1},
                        {"max_calls", 10},
                        {"max_iterations", request.value("max_iterations", 0)},
                        {"max_output_chars", request.value("max_output_chars", 0)}};
    if (request.contains("contacts_db_path")) {
        fingerprint["contacts_path"] = request["contacts_db_path"];
    }
    json response = {
        {"answer", "Found " + std::to_string(guids.size()) + " matching messages."},
        {"fingerprint", fingerprint},
        {"evidence",
         {{{"id", "search-1"},
           {"accessor", "search_messages"},
           {"label", "Messages matching the question"},
           {"source_kind", "messages"},
           {"arguments", {{"query", question}}},
           {"row_count", guids.size()},
           {"result_truncated", false},
           {"message_guids", guids}}}},
        {"evidence_records_count", 1},
        {"root_usage", {{"input_tokens", 100}, {"output_tokens", 20}, {"total_tokens", 120}}},
    };
    for (const auto& [key, value] : extra.items()) {
        response[key] = value;
    }
    return response;
}

}  // namespace

int main(int argc, char** argv) {
    const char* scenarioPath = std::getenv("VASK_TEST_RLM_SCENARIO");
    if (scenarioPath == nullptr) {
        fail("VASK_TEST_RLM_SCENARIO is not set");
    }
    const json scenario = json::parse(readFile(scenarioPath), nullptr, false);
    if (scenario.is_discarded() || !scenario.is_object()) {
        fail(std::string("scenario is not a JSON object: ") + scenarioPath);
    }
    const std::string recordDir = scenario.value("record_dir", "");
    const int attempt = nextAttempt(recordDir);
    json steps = scenario.value("steps", json::array());
    if (scenario.contains("attempts") && !scenario["attempts"].empty()) {
        const auto& attempts = scenario["attempts"];
        steps = attempts[std::min<std::size_t>(static_cast<std::size_t>(attempt - 1),
                                               attempts.size() - 1)];
    }

    const char* eventFdText = std::getenv("ZENDREL_RELAY_EVENT_FD");
    const int eventFd = eventFdText != nullptr ? std::atoi(eventFdText) : -1;
    const auto emitEvent = [&](const std::string& bytes) {
        if (eventFd >= 0) {
            writeAll(eventFd, bytes);
        }
    };

    std::string request;
    for (const auto& step : steps) {
        if (step.contains("read_stdin")) {
            const auto& amount = step["read_stdin"];
            request += readStdin(amount.is_number() ? amount.get<std::size_t>() : SIZE_MAX);
        } else if (step.contains("record")) {
            record(fs::path(recordDir) / std::to_string(attempt), argc, argv, request);
        } else if (step.contains("event")) {
            emitEvent(step["event"].dump() + "\n");
        } else if (step.contains("event_raw")) {
            emitEvent(step["event_raw"].get<std::string>());
        } else if (step.contains("event_repeat")) {
            const std::string line = step["event_repeat"]["event"].dump() + "\n";
            const int count = step["event_repeat"]["count"].get<int>();
            std::string batch;
            for (int i = 0; i < count; ++i) {
                batch += line;
                if (batch.size() > 65536) {
                    emitEvent(batch);
                    batch.clear();
                }
            }
            emitEvent(batch);
        } else if (step.contains("stdout")) {
            writeAll(1, step["stdout"].get<std::string>());
        } else if (step.contains("stderr")) {
            writeAll(2, step["stderr"].get<std::string>());
        } else if (step.contains("stdout_hex")) {
            writeAll(1, hexBytes(step["stdout_hex"].get<std::string>()));
        } else if (step.contains("stdout_repeat") || step.contains("stderr_repeat")) {
            const bool toStdout = step.contains("stdout_repeat");
            const auto& repeat = step[toStdout ? "stdout_repeat" : "stderr_repeat"];
            const std::string text = repeat["text"].get<std::string>();
            const long count = repeat["count"].get<long>();
            std::string bytes;
            bytes.reserve(text.size() * static_cast<std::size_t>(count));
            for (long i = 0; i < count; ++i) {
                bytes += text;
            }
            writeAll(toStdout ? 1 : 2, bytes);
        } else if (step.contains("sleep_ms")) {
            sleepMilliseconds(step["sleep_ms"].get<long>());
        } else if (step.contains("hang")) {
            hang();
        } else if (step.contains("ignore_sigterm")) {
            ::signal(SIGTERM, SIG_IGN);
        } else if (step.contains("spawn_grandchild")) {
            spawnGrandchild(step["spawn_grandchild"].get<std::string>(), false);
        } else if (step.contains("spawn_daemon")) {
            spawnGrandchild(step["spawn_daemon"].get<std::string>(), true);
        } else if (step.contains("kill_self")) {
            ::kill(::getpid(), step["kill_self"].get<int>());
            hang();
        } else if (step.contains("respond")) {
            writeAll(1, step["respond"].dump());
        } else if (step.contains("refuse_without_credentials")) {
            const json parsed = json::parse(request, nullptr, false);
            const auto present = [&](const char* key) {
                return parsed.is_object() && parsed.contains(key) && parsed[key].is_string() &&
                       !parsed[key].get<std::string>().empty();
            };
            if (!present("api_key") && !present("customer_token")) {
                writeAll(1, step["refuse_without_credentials"].dump());
                std::_Exit(0);
            }
        } else if (step.contains("record_staged")) {
            recordStaged(fs::path(recordDir) / std::to_string(attempt),
                         json::parse(request, nullptr, false));
        } else if (step.contains("read_staged")) {
            const json parsed = json::parse(request, nullptr, false);
            if (!parsed.is_object()) {
                fail("read_staged needs the request");
            }
            const auto& reads = step["read_staged"];
            for (long i = 0; i < reads.value("count", 1L); ++i) {
                if (i > 0) {
                    sleepMilliseconds(reads.value("pause_ms", 0L));
                }
                readStagedOnce(parsed.value("db_path", ""));
            }
        } else if (step.contains("answer_from_staged")) {
            const json parsed = json::parse(request, nullptr, false);
            if (!parsed.is_object()) {
                fail("answer_from_staged needs the request");
            }
            writeAll(1, answerFromStaged(parsed, step["answer_from_staged"]).dump());
        } else if (step.contains("exit")) {
            std::_Exit(step["exit"].get<int>());
        } else {
            fail("unknown step: " + step.dump());
        }
    }
    std::_Exit(0);
}
