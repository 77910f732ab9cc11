#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/crypto.h"
#include "platform/file_secret_backend.h"
#include "platform/in_memory_secret_backend.h"
#include "platform/libsecret_backend.h"
#include "support/silent_dbus_service.h"
#include "support/special_files.h"
#include "support/temp_dir.h"
#include "support/usable_secret_service.h"

namespace vask {
namespace {

using Status = SecretBackend::Status;
const std::string binary("\0\xff\x80 value\n\"}", 12);

// The contract every backend keeps, driven step by step.
void checkItemLifecycle(SecretBackend& backend, const std::string& service) {
    struct Step {
        const char* name;
        std::function<SecretBackend::Outcome()> run;
        Status expected;
    };
    const Step steps[] = {
        {"read absent", [&] { return backend.copyMatching(service, "a").status; },
         SecretBackend::itemNotFound},
        {"update absent", [&] { return backend.update(service, "a", "x"); },
         SecretBackend::itemNotFound},
        {"delete absent", [&] { return backend.remove(service, "a"); },
         SecretBackend::itemNotFound},
        {"add", [&] { return backend.add(service, "a", "first"); }, SecretBackend::success},
        {"add again", [&] { return backend.add(service, "a", "second"); },
         SecretBackend::duplicateItem},
        {"update", [&] { return backend.update(service, "a", binary); }, SecretBackend::success},
        {"other service unaffected",
         [&] { return backend.copyMatching(service + ".other", "a").status; },
         SecretBackend::itemNotFound},
        {"add beside", [&] { return backend.add(service, "b", ""); }, SecretBackend::success},
    };
    for (const auto& step : steps) {
        EXPECT_EQ(step.run(), step.expected) << step.name;
    }
    EXPECT_EQ(backend.copyMatching(service, "a").data, binary);
    EXPECT_EQ(backend.copyMatching(service, "b").data, "");
    EXPECT_EQ(backend.remove(service, "a"), SecretBackend::success);
    EXPECT_EQ(backend.copyMatching(service, "a").status, SecretBackend::itemNotFound);
    EXPECT_EQ(backend.remove(service, "b"), SecretBackend::success);
    // A service's items go together, and only its own.
    EXPECT_EQ(backend.add(service, "a", "x"), SecretBackend::success);
    EXPECT_EQ(backend.add(service, "b", "y"), SecretBackend::success);
    EXPECT_EQ(backend.add(service + ".other", "a", "z"), SecretBackend::success);
    EXPECT_EQ(backend.removeService(service), SecretBackend::success);
    EXPECT_EQ(backend.copyMatching(service, "b").status, SecretBackend::itemNotFound);
    EXPECT_EQ(backend.removeService(service), SecretBackend::itemNotFound);
    EXPECT_EQ(backend.copyMatching(service + ".other", "a").data, "z");
    EXPECT_EQ(backend.remove(service + ".other", "a"), SecretBackend::success);
}

TEST(SecretBackendTest, MemoryAndFileBackendsKeepTheContract) {
    test::TempDir dir;
    InMemorySecretBackend memory;
    FileSecretBackend file(dir / "credentials.json");
    checkItemLifecycle(memory, "svc");
    checkItemLifecycle(file, "svc");
}

TEST(SecretBackendTest, FileIsPrivateAndSharedBetweenInstances) {
    test::TempDir dir;
    const auto path = dir / "credentials.json";
    FileSecretBackend first(path);
    FileSecretBackend second(path);
    ASSERT_EQ(first.add("svc", "token", "t1"), SecretBackend::success);
    ASSERT_EQ(second.add("svc", "email", "e1"), SecretBackend::success);
    EXPECT_EQ(first.copyMatching("svc", "email").data, "e1");
    EXPECT_EQ(second.copyMatching("svc", "token").data, "t1");

    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // Two instances writing different items at once never drop each other's.
    std::vector<std::thread> writers;
    for (int i = 0; i < 8; ++i) {
        writers.emplace_back([&, i] {
            FileSecretBackend& backend = i % 2 == 0 ? first : second;
            EXPECT_EQ(backend.add("svc", "item-" + std::to_string(i), std::to_string(i)),
                      SecretBackend::success);
        });
    }
    for (auto& t : writers) {
        t.join();
    }
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(first.copyMatching("svc", "item-" + std::to_string(i)).data, std::to_string(i));
    }
}

TEST(SecretBackendTest, CorruptFileFailsReadsAndIsKeptAsideOnTheNextChange) {
    const char* corrupt[] = {"{not json", R"({"svc": {"token": 5}})",
                             R"({"svc": {"token": "!!"}})"};
    for (const char* contents : corrupt) {
        SCOPED_TRACE(contents);
        test::TempDir dir;
        const auto path = dir / "credentials.json";
        std::ofstream(path) << contents;
        FileSecretBackend backend(path);
        EXPECT_EQ(backend.copyMatching("svc", "token").status, SecretBackend::decodeFailed);
        if (std::string(contents).find("!!") != std::string::npos) {
            continue;  // the file itself is sound; only that value is not base64
        }
        EXPECT_EQ(backend.add("svc", "token", "fresh"), SecretBackend::success);
        EXPECT_EQ(backend.copyMatching("svc", "token").data, "fresh");
        int kept = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            if (entry.path().filename().string().starts_with("credentials.json.corrupt-")) {
                ++kept;
                std::ifstream in(entry.path());
                EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), contents);
            }
        }
        EXPECT_EQ(kept, 1);
    }
}

TEST(SecretBackendTest, UnwritableFolderReportsAnError) {
    FileSecretBackend backend("/proc/vask-no-such-folder/credentials.json");
    EXPECT_EQ(backend.copyMatching("svc", "a").status, SecretBackend::itemNotFound);
    EXPECT_EQ(backend.add("svc", "a", "x"), SecretBackend::internalError);
}

// Runs against a real Secret Service that can keep items: scripts/secret-service-test.sh starts
// one on a private session bus. Without one the test is skipped with the reason, unless
// VASK_REQUIRE_SECRET_SERVICE=1 says it must run.
TEST(SecretServiceTest, RoundTripsItemsThroughTheSecretService) {
    std::string whyNot;
    const auto backend = test::usableSecretService(whyNot);
    if (!backend) {
        ASSERT_FALSE(test::secretServiceRequired()) << whyNot;
        GTEST_SKIP() << whyNot << ": run scripts/secret-service-test.sh";
    }
    const auto service = "ai.ternwick.Vask.test." + randomUUID();
    checkItemLifecycle(*backend, service);
}

// The credential file belongs to the data folder: a link planted there is not written through.
TEST(SecretBackendTest, LinkAtTheCredentialFileIsNotWrittenThrough) {
    test::TempDir dir;
    std::ofstream(dir / "elsewhere.json") << "{}\n";
    std::filesystem::create_symlink(dir / "elsewhere.json", dir / "credentials.json");
    FileSecretBackend backend(dir / "credentials.json");
    // Nor read through: a sign-in read from it could not be signed out of.
    EXPECT_EQ(backend.copyMatching("svc", "token").status, SecretBackend::internalError);
    EXPECT_EQ(backend.add("svc", "token", "secret"), SecretBackend::internalError);
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "credentials.json"));
    std::ifstream in(dir / "elsewhere.json");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "{}\n");
}

// A Secret Service that stopped answering holds each call for D-Bus's 25 s: a quitting
// application gives up the call it waits in, and makes no more.
TEST(SecretServiceQuitTest, AbandonedCallsToAStoppedServiceReturnAtOnce) {
    test::SilentDBusService service("org.freedesktop.secrets");
    ASSERT_TRUE(service.owned());
    SecretBackend::Outcome whyNot;
    auto connecting =
        std::async(std::launch::async, [&] { return LibsecretBackend::connect(whyNot); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (service.calls() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_GE(service.calls(), 1);
    LibsecretBackend::abandonCalls();
    ASSERT_EQ(connecting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(connecting.get(), nullptr);
    EXPECT_FALSE(whyNot.reason.empty());
    const int calls = service.calls();
    SecretBackend::Outcome again;
    EXPECT_EQ(LibsecretBackend::connect(again), nullptr);
    EXPECT_EQ(service.calls(), calls);
}

// The threads of this process now.
std::size_t threadCount() {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                      std::filesystem::directory_iterator()));
}

// A watch hears a daemon that takes the Secret Service's name right after it returns, however
// soon; the last watch's end takes its thread and bus connection with it (a test's private bus
// is left by nothing of the watch's). Round after round, so a watch that returned before its
// subscription would miss one.
TEST(SecretServiceWatchTest, AWatchHearsADaemonComingRightAfterItAndEndsWithItsOwner) {
    test::SilentDBusService bus("org.example.Unrelated");
    ASSERT_TRUE(bus.owned());
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    ASSERT_NE(address, nullptr);
    const std::string busAddress = address;
    g_free(address);
    const auto threadsBefore = threadCount();
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        std::atomic<int> came{0};
        std::atomic<int> went{0};
        auto watch =
            LibsecretBackend::watchService([&](bool present) { ++(present ? came : went); });
        GDBusConnection* daemon = g_dbus_connection_new_for_address_sync(
            busAddress.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        ASSERT_NE(daemon, nullptr);
        GVariant* reply = g_dbus_connection_call_sync(
            daemon, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "RequestName", g_variant_new("(su)", "org.freedesktop.secrets", 0u), nullptr,
            G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr);
        ASSERT_NE(reply, nullptr);
        g_variant_unref(reply);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (came.load() == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_EQ(came.load(), 1) << "the daemon that came right after the watch";
        g_dbus_connection_close_sync(daemon, nullptr, nullptr);
        g_object_unref(daemon);
        while (went.load() == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_EQ(went.load(), 1);
        watch.cancel();
        EXPECT_EQ(threadCount(), threadsBefore) << "the watch's thread ended with it";
    }
}

// A listener is not called once its watch's cancel has returned, however many threads watch
// and cancel at once while daemons come and go: a last cancel waits for a call under way on any
// watch thread, a previous one still ending included.
TEST(SecretServiceWatchTest, NoListenerIsCalledAfterItsCancelReturned) {
    test::SilentDBusService bus("org.example.Unrelated");
    ASSERT_TRUE(bus.owned());
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    ASSERT_NE(address, nullptr);
    GDBusConnection* daemon = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    g_free(address);
    ASSERT_NE(daemon, nullptr);
    // The name taken and released every 2 ms until the watchers are done.
    std::atomic<bool> flapping{true};
    std::thread flapper([&] {
        for (bool take = true; flapping.load(); take = !take) {
            GVariant* reply = g_dbus_connection_call_sync(
                daemon, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                take ? "RequestName" : "ReleaseName",
                take ? g_variant_new("(su)", "org.freedesktop.secrets", 0u)
                     : g_variant_new("(s)", "org.freedesktop.secrets"),
                nullptr, G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr);
            if (reply != nullptr) {
                g_variant_unref(reply);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    // Kept by every listener: one called late must find them.
    struct Counts {
        std::atomic<int> heard{0};
        std::atomic<int> late{0};
    };
    const auto counts = std::make_shared<Counts>();
    std::vector<std::thread> watchers;
    for (int t = 0; t < 6; ++t) {
        watchers.emplace_back([counts, t] {
            for (int cycle = 0; cycle < 480; ++cycle) {
                const auto cancelled = std::make_shared<std::atomic<bool>>(false);
                auto watch = LibsecretBackend::watchService([counts, cancelled](bool) {
                    ++counts->heard;
                    if (cancelled->load()) {
                        ++counts->late;
                    }
                    // A call that takes a while, so that calls to later listeners wait behind it.
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                });
                std::this_thread::sleep_for(std::chrono::microseconds(100 * ((t + cycle) % 7)));
                watch.cancel();
                cancelled->store(true);
            }
        });
    }
    for (auto& watcher : watchers) {
        watcher.join();
    }
    flapping.store(false);
    flapper.join();
    g_dbus_connection_close_sync(daemon, nullptr, nullptr);
    g_object_unref(daemon);
    EXPECT_GT(counts->heard.load(), 0) << "no watch heard the name change";
    EXPECT_EQ(counts->late.load(), 0) << "a listener was called after its cancel returned";
}

// A keyring that holds what it is given, or answers `writes` to every write from the
// `after`-th on (a refusal, or a call given up at a quit).
class ScriptedKeyring final : public SecretBackend {
  public:
    ScriptedKeyring(Status writes, int after) : writes_(writes), after_(after) {}
    ReadResult copyMatching(std::string_view service, std::string_view account) override {
        return items.copyMatching(service, account);
    }
    Outcome update(std::string_view service, std::string_view account,
                   std::string_view data) override {
        return scripted() ? Outcome(writes_) : items.update(service, account, data);
    }
    Outcome add(std::string_view service, std::string_view account,
                std::string_view data) override {
        return scripted() ? Outcome(writes_) : items.add(service, account, data);
    }
    Outcome remove(std::string_view service, std::string_view account) override {
        return items.remove(service, account);
    }
    std::string_view kind() const override { return "memory"; }

    InMemorySecretBackend items;

  private:
    // Whether this write answers `writes_` (an update found nothing counts once with its add).
    bool scripted() { return writes_ != success && calls_++ >= after_ * 2; }

    Status writes_;
    int after_;
    int calls_ = 0;
};

// A sign-in kept in the file while no keyring ran survives the keyring's arrival: the file's
// items move into it (over what the keyring still held from before), each leaving the file as it
// moves, and the file goes with its lock file once empty. A move cut short (a refusal, or a
// quit) keeps in the file exactly what did not move, so nothing is lost and a later move
// finishes it without putting back what already moved.
TEST(SecretBackendTest, TheCredentialFileMovesIntoAKeyringThatAppears) {
    struct Case {
        const char* name;
        Status writes;
        int after;
        std::size_t moved;
    };
    const Case cases[] = {
        {"keyring takes them", SecretBackend::success, 0, 2},
        {"keyring refuses", SecretBackend::interactionNotAllowed, 0, 0},
        {"quit after the first item", SecretBackend::cancelled, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const auto path = dir / "credentials.json";
        {
            FileSecretBackend before(path);
            ASSERT_EQ(before.add("svc", "tokens", binary), SecretBackend::success);
            ASSERT_EQ(before.add("svc.dev", "key", "k"), SecretBackend::success);
        }
        ScriptedKeyring keyring(c.writes, c.after);
        // Left from before the file was written: older than what the file holds.
        keyring.items.put("svc.dev", "key", "old");
        FileSecretBackend file(path);

        const auto moved = file.moveInto(keyring);
        EXPECT_EQ(moved.moved, c.moved);
        EXPECT_EQ(moved.firstFailure.has_value(), c.moved < 2);
        if (moved.firstFailure) {
            EXPECT_EQ(moved.firstFailure->status, c.writes);
        }
        EXPECT_EQ(std::filesystem::exists(path), c.moved < 2);
        EXPECT_EQ(std::filesystem::exists(dir / "credentials.json.lock"), c.moved < 2)
            << "an emptied file leaves no lock file behind";
        // Every item is in exactly one place, the file's value winning.
        for (const auto& [service, account, value] :
             {std::tuple<std::string, std::string, std::string>{"svc", "tokens", binary},
              {"svc.dev", "key", "k"}}) {
            const bool inFile =
                file.copyMatching(service, account).status == SecretBackend::success;
            const auto inKeyring = keyring.items.get(service, account);
            EXPECT_TRUE(inFile != (inKeyring == value)) << account;
            if (inFile) {
                EXPECT_EQ(file.copyMatching(service, account).data, value);
            }
        }
        // The next start finishes what is left.
        ScriptedKeyring healthy(SecretBackend::success, 0);
        const auto rest = file.moveInto(healthy);
        EXPECT_EQ(rest.moved, 2 - c.moved);
        EXPECT_FALSE(std::filesystem::exists(path));
    }
}

// A FIFO at the credential file is refused at once, never waited on, and left as it is.
TEST(SecretBackendTest, AFifoAtTheCredentialFileIsRefusedWithoutWaiting) {
    test::TempDir dir;
    const auto path = dir / "credentials.json";
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    FileSecretBackend backend(path);
    EXPECT_TRUE(test::returnsWithoutWaitingOn({path}, [&] {
        EXPECT_EQ(backend.copyMatching("svc", "tokens").status, SecretBackend::internalError);
        EXPECT_EQ(backend.add("svc", "tokens", "x"), SecretBackend::internalError);
    }));
    EXPECT_TRUE(test::isFifo(path));
}

}  // namespace
}  // namespace vask
