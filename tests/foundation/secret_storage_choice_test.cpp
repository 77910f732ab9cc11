#include <gtest/gtest.h>

#include <csignal>

#include <gio/gio.h>

#include <atomic>
#include <fstream>
#include <map>
#include <cstdlib>
#include <future>
#include <set>
#include <thread>

#include "foundation/api_key_store.h"
#include "foundation/auth_mode_resolver.h"
#include "foundation/cloud_auth_store.h"
#include "foundation/customer_token_store.h"
#include "foundation/keychain_store.h"
#include "foundation/secret_storage_choice.h"
#include "foundation/sign_in_record.h"
#include "platform/iso8601.h"
#include "platform/file_secret_backend.h"
#include "platform/in_memory_secret_backend.h"
#include "platform/user_defaults.h"
#include "platform/uuid.h"
#include "support/fake_clock.h"
#include "support/eventually.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/usable_secret_service.h"

namespace vask {
namespace {

using DefaultKeyring = LibsecretBackend::DefaultKeyring;
using Op = InMemorySecretBackend::Operation;

// A desktop keyring: whether one answers, the state of its default keyring, and what it
// answers to what is written into it. Counts what it is asked.
struct FakeKeyring {
    bool answers = true;
    // Not answering: whether it did not answer in time (else the bus says there is none).
    bool hangs = false;
    int connects = 0;
    std::optional<DefaultKeyring> state = DefaultKeyring::unlocked;
    SecretBackend::Status writes = SecretBackend::success;
    std::shared_ptr<InMemorySecretBackend> items = std::make_shared<InMemorySecretBackend>();
    int stateQueries = 0;

    SecretStorageChoice::Keyring keyring() {
        return {
            .connect = [this](SecretBackend::Outcome& whyNot) -> std::shared_ptr<SecretBackend> {
                ++connects;
                if (!answers) {
                    whyNot = {hangs ? SecretBackend::cancelled : SecretBackend::notAvailable,
                              hangs ? "did not answer in time" : "no Secret Service"};
                    return nullptr;
                }
                items->clearFailures();
                if (writes != SecretBackend::success) {
                    for (const char* account : {"tokens", "key"}) {
                        items->fail(Op::add, account, writes, "as scripted");
                        items->fail(Op::update, account, writes, "as scripted");
                    }
                }
                return items;
            },
            .defaultKeyring =
                [this](std::string&) {
                    ++stateQueries;
                    return state;
                },
        };
    }
};

struct ChoiceFixture {
    ChoiceFixture() {
        FileSecretBackend file(dir / "credentials.json");
        EXPECT_EQ(file.add("svc", "tokens", "t"), SecretBackend::success);
        EXPECT_EQ(file.add("svc", "key", "k"), SecretBackend::success);
    }
    std::shared_ptr<SecretBackend> choose() {
        return SecretStorageChoice{
            .keyring = keyring.keyring(),
            .supportDirectory = [this] { return dir.path(); },
            .defaults = defaults,
            .keptKey = "kept",
            .clock = clock,
        }
            .choose();
    }

    test::TempDir dir;
    test::FakeClock clock;
    FakeKeyring keyring;
    InMemoryDefaults defaults;
};

// Credentials a run kept in the file move only into a default keyring that exists and is
// unlocked; otherwise they stay in the file (read first, beside the keyring), the log says so
// once in words, and only a keyring that refused them is not asked again at the next start: a
// move cut short by a quit, a time limit or a D-Bus error records nothing and is tried again.
TEST(SecretStorageChoiceTest, TheFileMovesOnlyIntoAnUnlockedDefaultKeyringAndOnlyARefusalSticks) {
    struct Case {
        const char* name;
        bool answers;
        std::optional<DefaultKeyring> state;
        SecretBackend::Status writes;
        const char* backend;
        std::optional<std::string> kept;
        bool fileStays;
        // Second start: whether the keyring's state is asked again.
        bool askedAgain;
    };
    constexpr auto ok = SecretBackend::success;
    const std::vector<Case> cases = {
        {"no keyring answers", false, DefaultKeyring::unlocked, ok, "secret_service",
         std::nullopt, true, false},
        {"moved", true, DefaultKeyring::unlocked, ok, "memory", std::nullopt, false, false},
        {"no default keyring", true, DefaultKeyring::missing, ok, "memory", "noDefaultKeyring",
         true, true},
        {"locked", true, DefaultKeyring::locked, ok, "memory", "keyringLocked", true, true},
        {"state unknown", true, std::nullopt, ok, "memory", std::nullopt, true, true},
        {"refused", true, DefaultKeyring::unlocked, SecretBackend::interactionNotAllowed, "memory",
         "keyringRefused", true, false},
        {"cut short by a quit", true, DefaultKeyring::unlocked, SecretBackend::cancelled, "memory",
         std::nullopt, true, true},
        {"D-Bus error", true, DefaultKeyring::unlocked, SecretBackend::notAvailable, "memory",
         std::nullopt, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChoiceFixture f;
        f.keyring.answers = c.answers;
        f.keyring.state = c.state;
        f.keyring.writes = c.writes;
        test::LogCapture log;
        const auto first = f.choose();
        EXPECT_EQ(first->kind(), c.backend);
        EXPECT_EQ(f.defaults.stringValue("kept").optional(), c.kept);
        EXPECT_EQ(std::filesystem::exists(f.dir / "credentials.json"), c.fileStays);
        EXPECT_EQ(first->copyMatching("svc", "tokens").data, "t") << "nothing is lost";
        EXPECT_EQ(f.keyring.items->operationCount() > 0,
                  c.answers && c.state == DefaultKeyring::unlocked)
            << "the keyring is written only while unlocked";

        const int queries = f.keyring.stateQueries;
        const auto second = f.choose();
        EXPECT_EQ(second->kind(), c.backend);
        EXPECT_EQ(f.keyring.stateQueries > queries, c.askedAgain && c.answers);
        const auto kept = log->events("secret_file_kept");
        ASSERT_EQ(kept.size(), c.kept ? 1u : 0u) << "said once";
        if (c.kept) {
            EXPECT_NE(kept[0].metadata.at("message").find((f.dir / "credentials.json").string()),
                      std::string::npos);
        }
    }
}

// A move a quit cut short is finished by the next start, without asking anyone.
TEST(SecretStorageChoiceTest, AMoveCutShortIsFinishedByTheNextStart) {
    ChoiceFixture f;
    f.keyring.writes = SecretBackend::cancelled;
    ASSERT_TRUE(f.choose());
    f.keyring.writes = SecretBackend::success;
    const auto next = f.choose();
    EXPECT_EQ(next->kind(), "memory");
    EXPECT_FALSE(std::filesystem::exists(f.dir / "credentials.json"));
    EXPECT_EQ(f.keyring.items->get("svc", "tokens"), "t");
    EXPECT_EQ(f.keyring.items->get("svc", "key"), "k");
}

// After a refusal, what the keyring took before it never comes back as a signed-in account
// once the user signed out, and a start meanwhile reads what the keyring took: the record
// stays beside the keyring.
TEST(SecretStorageChoiceTest, AfterARefusalTheRecordStaysBesideTheKeyring) {
    ChoiceFixture f;
    f.keyring.writes = SecretBackend::interactionNotAllowed;
    // The keyring took one item before it refused the other.
    f.keyring.items->put("svc", "taken", "before");
    auto first = f.choose();
    EXPECT_EQ(first->copyMatching("svc", "taken").data, "before") << "not read as signed out";
    f.keyring.items->put("svc", "tokens", "taken before");
    EXPECT_EQ(first->remove("svc", "tokens"), SecretBackend::success);
    EXPECT_EQ(first->remove("svc", "key"), SecretBackend::success);
    const auto next = f.choose();
    EXPECT_EQ(next->copyMatching("svc", "tokens").status, SecretBackend::itemNotFound);

    // With the file gone the keyring takes the record at start again.
    std::filesystem::remove(f.dir / "credentials.json");
    f.keyring.writes = SecretBackend::success;
    EXPECT_EQ(f.choose()->copyMatching("svc", "tokens").status, SecretBackend::itemNotFound);
    EXPECT_EQ(f.keyring.items->get("svc", "tokens"), std::nullopt);
    EXPECT_EQ(f.defaults.stringValue("kept").optional(), std::nullopt);
}

// A keyring that does not answer at start is its own state: the run keeps what the user does
// in the record (a sign-in, then a sign-out), reads it from there, and asks the keyring again
// at each use; once it answers the run goes on with it, and the next start whose keyring
// answers is signed out with none of the earlier account's items left in the keyring.
TEST(SecretStorageChoiceTest, AKeyringThatDoesNotAnswerAtStartIsAskedAgainAndMissesNothing) {
    ChoiceFixture f;
    std::filesystem::remove(f.dir / "credentials.json");
    f.keyring.items->put("svc", "tokens", "earlier account");
    f.keyring.items->put("svc", "email", "earlier e-mail");
    f.keyring.answers = false;
    f.keyring.hangs = true;
    const auto run = f.choose();
    EXPECT_EQ(run->copyMatching("svc", "tokens").status, SecretBackend::cancelled)
        << "not answering, which is not signed out";
    EXPECT_EQ(run->add("svc", "tokens", "new account"), SecretBackend::success);
    EXPECT_EQ(run->copyMatching("svc", "tokens").data, "new account");
    EXPECT_EQ(run->removeAll("svc", {"tokens", "email"}), SecretBackend::success);
    EXPECT_EQ(run->copyMatching("svc", "tokens").status, SecretBackend::itemNotFound);
    EXPECT_EQ(run->copyMatching("svc", "email").status, SecretBackend::itemNotFound);
    EXPECT_EQ(f.keyring.items->itemCount(), 2u) << "the keyring was never reached";
    EXPECT_EQ(f.keyring.connects, 1) << "asked again only once it may have come back";
    f.clock.advance(std::chrono::seconds(3));
    EXPECT_EQ(run->copyMatching("svc", "email").status, SecretBackend::itemNotFound);
    EXPECT_EQ(run->copyMatching("svc", "other").status, SecretBackend::cancelled);
    EXPECT_EQ(f.keyring.connects, 2);

    // The keyring answers later in the same run: the run goes on with it.
    const int connects = f.keyring.connects;
    f.clock.advance(std::chrono::seconds(3));
    f.keyring.answers = true;
    EXPECT_EQ(run->add("svc", "key", "k"), SecretBackend::success);
    EXPECT_EQ(f.keyring.items->get("svc", "key"), "k");
    EXPECT_EQ(f.keyring.connects, connects + 1);
    EXPECT_EQ(run->remove("svc", "key"), SecretBackend::success);

    // The next start finishes the sign-out the keyring did not hear of.
    const auto next = f.choose();
    EXPECT_EQ(next->copyMatching("svc", "tokens").status, SecretBackend::itemNotFound);
    EXPECT_EQ(f.keyring.items->itemCount(), 0u);
    EXPECT_FALSE(std::filesystem::exists(f.dir / "credentials-removed.json"));
}

// The user's Try Again (or Unlock) asks a keyring that did not answer at once, however recently
// it was last tried, and a use right after reads what that asking found; reads alone wait out
// the pause between tries.
TEST(SecretStorageChoiceTest, AskedAgainAKeyringThatDidNotAnswerIsTriedAtOnce) {
    struct Case {
        const char* name;
        bool answersBy;
        int connects;
        SecretBackend::Status read;
    };
    const Case cases[] = {
        {"still silent", false, 2, SecretBackend::cancelled},
        {"answering again", true, 2, SecretBackend::success},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChoiceFixture f;
        std::filesystem::remove(f.dir / "credentials.json");
        f.keyring.items->put("svc", "tokens", "t");
        f.keyring.answers = false;
        f.keyring.hangs = true;
        const auto run = f.choose();
        ASSERT_EQ(f.keyring.connects, 1);
        f.keyring.answers = c.answersBy;
        EXPECT_EQ(run->copyMatching("svc", "tokens").status, SecretBackend::cancelled)
            << "a read moments after the last try asks nothing";
        run->askAgain();
        EXPECT_EQ(f.keyring.connects, c.connects);
        EXPECT_EQ(run->copyMatching("svc", "tokens").status, c.read);
        EXPECT_EQ(f.keyring.connects, c.connects) << "the read goes on with that answer";
    }
}

// A sign-out beside a keyring that has not answered since start is noted and answers at once,
// however long since the keyring was last tried: it never waits out a connection to it.
TEST(SecretStorageChoiceTest, ASignOutNeverWaitsForAKeyringThatDidNotAnswer) {
    ChoiceFixture f;
    f.keyring.answers = false;
    f.keyring.hangs = true;
    const auto run = f.choose();
    f.clock.advance(std::chrono::seconds(3));
    const int connects = f.keyring.connects;
    EXPECT_EQ(run->removeAll("svc", {"tokens", "key"}), SecretBackend::success);
    EXPECT_EQ(f.keyring.connects, connects);
    EXPECT_EQ(run->copyMatching("svc", "tokens").status, SecretBackend::itemNotFound);
}

// Where the bus says there is no Secret Service at all, the record beside the keyring holds the
// credentials: what it keeps reads as before, what it does not answers "not available" (never
// "no item": the account may be in a keyring that starts later), a sign-in goes into it, and a
// keyring that appears is asked at the next use once the pause is over, or at once when asked
// again (its name came on the bus).
TEST(SecretStorageChoiceTest, NoSecretServiceKeepsTheRecordAndFollowsOneThatAppears) {
    ChoiceFixture f;
    f.keyring.answers = false;
    const auto run = f.choose();
    EXPECT_EQ(run->kind(), "secret_service");
    EXPECT_EQ(run->copyMatching("svc", "tokens").data, "t");
    EXPECT_EQ(run->copyMatching("svc", "session").status, SecretBackend::notAvailable);
    EXPECT_EQ(run->add("svc", "email", "e"), SecretBackend::success);
    EXPECT_EQ(run->copyMatching("svc", "email").data, "e");

    f.keyring.items->put("svc", "session", "s");
    f.keyring.answers = true;
    EXPECT_EQ(run->copyMatching("svc", "session").status, SecretBackend::notAvailable)
        << "tried moments ago";
    run->askAgain();
    EXPECT_EQ(run->copyMatching("svc", "session").data, "s");
}

// VASK_CREDENTIAL_STORE=file: no keyring is asked, and the file alone is the storage.
TEST(SecretStorageChoiceTest, NoKeyringAtAllLeavesTheFile) {
    ChoiceFixture f;
    const auto run = SecretStorageChoice{.keyring = f.keyring.keyring(),
                                         .supportDirectory = [&f] { return f.dir.path(); },
                                         .defaults = f.defaults,
                                         .keptKey = "kept",
                                         .clock = f.clock,
                                         .fileOnly = "VASK_CREDENTIAL_STORE=file"}
                         .choose();
    EXPECT_EQ(run->kind(), "file");
    EXPECT_EQ(f.keyring.connects, 0);
}

// GLib's type macros are C and cast the old way.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"

// Every call this process sends on the session bus that would make the keyring show a prompt.
class PromptRecorder {
  public:
    PromptRecorder() : connection_(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)) {
        if (connection_ != nullptr) {
            filter_ =
                g_dbus_connection_add_filter(connection_, &PromptRecorder::seen, this, nullptr);
        }
    }
    ~PromptRecorder() {
        if (connection_ != nullptr) {
            g_dbus_connection_remove_filter(connection_, filter_);
            g_object_unref(connection_);
        }
    }
    PromptRecorder(const PromptRecorder&) = delete;
    PromptRecorder& operator=(const PromptRecorder&) = delete;

    bool connected() const { return connection_ != nullptr; }
    int promptingCalls() const { return prompting_.load(); }
    // The calls that show a prompt.
    int promptsShown() const { return prompts_.load(); }
    // The calls that take a prompt down (which makes gnome-keyring-daemon abort).
    int dismissals() const { return dismissals_.load(); }

  private:
    static GDBusMessage* seen(GDBusConnection*, GDBusMessage* message, gboolean incoming,
                              gpointer data) {
        if (!incoming &&
            g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_METHOD_CALL) {
            static const std::set<std::string> prompting = {"Prompt", "CreateCollection", "Unlock"};
            const char* member = g_dbus_message_get_member(message);
            if (member != nullptr && std::string(member) == "Prompt") {
                ++static_cast<PromptRecorder*>(data)->prompts_;
            }
            if (member != nullptr && std::string(member) == "Dismiss") {
                ++static_cast<PromptRecorder*>(data)->dismissals_;
            }
            if (member != nullptr && prompting.contains(member)) {
                ++static_cast<PromptRecorder*>(data)->prompting_;
            }
        }
        return message;
    }

    GDBusConnection* connection_;
    guint filter_ = 0;
    std::atomic<int> prompting_{0};
    std::atomic<int> prompts_{0};
    std::atomic<int> dismissals_{0};
};

#pragma GCC diagnostic pop

// The application's choice of storage on the session bus, with `folder` as the data folder.
std::shared_ptr<SecretBackend> chooseBesideTheSecretService(const std::filesystem::path& folder,
                                                            UserDefaults& defaults) {
    return SecretStorageChoice{
        .keyring = SecretStorageChoice::Keyring::secretService(),
        .supportDirectory = [folder] { return folder; },
        .defaults = defaults,
        .keptKey = "kept",
    }
        .choose();
}

// Against a real, unlocked Secret Service (the first bus scripts/secret-service-test.sh starts;
// skipped elsewhere unless VASK_REQUIRE_SECRET_SERVICE=1): a sign-in kept in the file while no
// keyring ran moves into the keyring, the way the application chooses its storage.
TEST(SecretServiceTest, TheCredentialFileMovesIntoTheSecretService) {
    std::string whyNot;
    const auto keyring = test::usableSecretService(whyNot);
    if (!keyring) {
        ASSERT_FALSE(test::secretServiceRequired()) << whyNot;
        GTEST_SKIP() << whyNot << ": run scripts/secret-service-test.sh";
    }
    test::TempDir dir;
    const auto service = "ai.ternwick.Vask.test." + Uuid::random().lowercaseString();
    ASSERT_EQ(FileSecretBackend(dir / "credentials.json").add(service, "tokens", "t\n\x01"),
              SecretBackend::success);
    InMemoryDefaults defaults;
    const auto storage = chooseBesideTheSecretService(dir.path(), defaults);
    EXPECT_EQ(storage->copyMatching(service, "tokens").data, "t\n\x01");
    EXPECT_FALSE(std::filesystem::exists(dir / "credentials.json"));
    EXPECT_EQ(keyring->copyMatching(service, "tokens").data, "t\n\x01");
    EXPECT_EQ(storage->remove(service, "tokens"), SecretBackend::success);
}

// A desktop whose gnome-keyring starts on demand and has no keyring yet (the bus that
// scripts/secret-service-test.sh starts for it): credentials kept in the file stay there (read
// first, beside the keyring), no prompt opens, and the next start does not ask either.
TEST(SecretServicePromptTest, AnOnDemandKeyringWithoutKeyringsOpensNoPrompt) {
    const char* onDemand = std::getenv("VASK_ON_DEMAND_KEYRING");
    if (onDemand == nullptr || std::string(onDemand) != "1") {
        GTEST_SKIP() << "run scripts/secret-service-test.sh";
    }
    PromptRecorder recorder;
    ASSERT_TRUE(recorder.connected());
    test::TempDir dir;
    {
        FileSecretBackend file(dir / "credentials.json");
        ASSERT_EQ(file.add("svc", "tokens", "t"), SecretBackend::success);
        ASSERT_EQ(file.add("svc", "key", "k"), SecretBackend::success);
    }
    InMemoryDefaults defaults;
    test::LogCapture log;
    const auto choose = [&] { return chooseBesideTheSecretService(dir.path(), defaults); };
    for (int start = 0; start < 2; ++start) {
        SCOPED_TRACE(start == 0 ? "first start" : "next start");
        const auto storage = choose();
        EXPECT_EQ(storage->kind(), "secret_service");
        EXPECT_EQ(storage->copyMatching("svc", "tokens").data, "t");
        EXPECT_EQ(recorder.promptingCalls(), 0);
        EXPECT_TRUE(std::filesystem::exists(dir / "credentials.json"));
    }
    EXPECT_EQ(defaults.stringValue("kept").optional(), "noDefaultKeyring");
    EXPECT_EQ(log->events("secret_file_kept").size(), 1u);
}

// Against the stand-in Secret Service whose default keyring is locked, holds Vask's customer
// token, and whose prompt never completes (the third bus scripts/secret-service-test.sh starts):
// reading the credentials at start and at use opens no prompt and says the keyring is locked
// (not "signed out"), though a locked keyring shows none of its items; a sign-in meanwhile is
// kept in the data folder; and the unlock the user asks for, whose prompt nobody answers, gives
// way to a quit at once, which dismisses that prompt (Vask's own) rather than leave it on the
// screen.
TEST(SecretServiceLockedTest, ALockedKeyringIsNeverUnlockedUnaskedAndItsPromptNeverHoldsAQuit) {
    const char* service = std::getenv("VASK_LOCKED_KEYRING_SERVICE");
    if (service == nullptr) {
        GTEST_SKIP() << "run scripts/secret-service-test.sh";
    }
    PromptRecorder recorder;
    ASSERT_TRUE(recorder.connected());
    test::TempDir dir;
    InMemoryDefaults defaults;
    const auto storage = chooseBesideTheSecretService(dir.path(), defaults);
    ASSERT_EQ(storage->kind(), "secret_service");
    KeychainStore keychain(service, storage);
    CustomerTokenStore tokens(keychain);
    CloudAuthStore cloud(keychain);
    APIKeyStore keys(keychain);
    for (int use = 0; use < 2; ++use) {
        SCOPED_TRACE(use == 0 ? "at start" : "at use");
        EXPECT_EQ(storage->copyMatching(service, "corvane.customer.token").status,
                  SecretBackend::interactionNotAllowed);
        EXPECT_TRUE(AuthModeResolver({tokens, cloud, keys, {}, false}).resolve() ==
                    AuthMode::keyringLocked());
    }
    EXPECT_EQ(storage->add(service, "corvane.user.email", "e"), SecretBackend::success);
    EXPECT_EQ(FileSecretBackend(dir / "credentials.json")
                  .copyMatching(service, "corvane.user.email")
                  .data,
              "e");
    EXPECT_EQ(recorder.promptingCalls(), 0) << "nothing asked the keyring to unlock";

    // The user asks: the keyring's prompt shows, and nobody answers it.
    auto unlocked = std::make_shared<std::promise<SecretBackend::Outcome>>();
    auto answer = unlocked->get_future();
    std::thread([storage, unlocked, service = std::string(service)] {
        unlocked->set_value(storage->unlock(service));
    }).detach();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (recorder.promptsShown() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(recorder.promptsShown(), 1);
    EXPECT_EQ(answer.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    LibsecretBackend::abandonCalls();
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(5)), std::future_status::ready)
        << "a quit waits for no prompt";
    EXPECT_EQ(answer.get().status, SecretBackend::cancelled);
    // Dismissed before abandonCalls() returned: the quit leaves no prompt behind.
    EXPECT_EQ(recorder.dismissals(), 1) << "the quit left the prompt on the screen";
}

// The pid of whoever owns the Secret Service's name on the session bus; 0 when none does.
pid_t secretServiceOwner() {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (bus == nullptr) {
        return 0;
    }
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "GetConnectionUnixProcessID", g_variant_new("(s)", "org.freedesktop.secrets"),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    g_object_unref(bus);
    if (reply == nullptr) {
        return 0;
    }
    guint32 pid = 0;
    g_variant_get(reply, "(u)", &pid);
    g_variant_unref(reply);
    return static_cast<pid_t>(pid);
}

// The same stand-in, restarted (SIGUSR1: it gives its name up and takes it again) while the
// prompt of the unlock the user asked for is open: the unlock ends at once as not answered, and
// the next Unlock opens the prompt of the daemon there now, rather than join one nobody can
// answer any more.
TEST(SecretServiceLockedTest, AKeyringThatGoesWithItsPromptOpenEndsTheUnlock) {
    const char* service = std::getenv("VASK_LOCKED_KEYRING_SERVICE");
    if (service == nullptr) {
        GTEST_SKIP() << "run scripts/secret-service-test.sh";
    }
    PromptRecorder recorder;
    ASSERT_TRUE(recorder.connected());
    std::atomic<int> went{0};
    std::atomic<int> came{0};
    const auto watched = LibsecretBackend::watchService([&](bool present) {
        ++(present ? came : went);
    });
    test::TempDir dir;
    InMemoryDefaults defaults;
    const auto storage = chooseBesideTheSecretService(dir.path(), defaults);
    const auto unlockAsked = [&] {
        auto unlocked = std::make_shared<std::promise<SecretBackend::Outcome>>();
        auto answer = unlocked->get_future();
        std::thread([storage, unlocked, service = std::string(service)] {
            unlocked->set_value(storage->unlock(service));
        }).detach();
        return answer;
    };
    const auto promptsReach = [&](int count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (recorder.promptsShown() < count && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return recorder.promptsShown() == count;
    };
    auto first = unlockAsked();
    ASSERT_TRUE(promptsReach(1));
    const pid_t owner = secretServiceOwner();
    ASSERT_GT(owner, 0);
    ASSERT_EQ(::kill(owner, SIGUSR1), 0);
    ASSERT_EQ(first.wait_for(std::chrono::seconds(20)), std::future_status::ready)
        << "the unlock waits for a prompt whose daemon went";
    EXPECT_EQ(first.get().status, SecretBackend::cancelled);
    EXPECT_TRUE(test::eventually([&] { return went.load() >= 1 && came.load() >= 1; }))
        << "the name's going and coming are told";

    auto second = unlockAsked();
    EXPECT_TRUE(promptsReach(2)) << "Unlock opens the prompt of the daemon there now";
    LibsecretBackend::abandonCalls();
    ASSERT_EQ(second.wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

// Against the stand-in Secret Service that hides a locked keyring's items from every search, as
// gnome-keyring's login keyring locked at start does, and whose prompt unlocks at once (the
// fourth bus scripts/secret-service-test.sh starts). Each test keeps its items under a service
// of its own, stored while the keyring is unlocked, then locks it.
class HiddenItemsKeyring {
  public:
    HiddenItemsKeyring() : service_("ai.ternwick.Vask.hidden." + Uuid::random().lowercaseString()) {}

    static bool available() {
        const char* hidden = std::getenv("VASK_HIDDEN_KEYRING");
        return hidden != nullptr && std::string(hidden) == "1";
    }
    const std::string& service() const { return service_; }

    // Stores `items` unlocked, then locks the keyring: they are out of sight.
    ::testing::AssertionResult lockedHolding(const std::map<std::string, std::string>& items) {
        SecretBackend::Outcome whyNot;
        keyring_ = LibsecretBackend::connect(whyNot);
        if (!keyring_) {
            return ::testing::AssertionFailure() << "no Secret Service: " << whyNot.reason;
        }
        if (const auto unlocked = keyring_->unlock(service_); unlocked.status != 0) {
            return ::testing::AssertionFailure() << "not unlocked: " << unlocked.reason;
        }
        for (const auto& [account, value] : items) {
            if (const auto added = keyring_->add(service_, account, value); added.status != 0) {
                return ::testing::AssertionFailure() << "not stored: " << added.reason;
            }
        }
        return lock();
    }
    ::testing::AssertionResult lock() {
        GError* error = nullptr;
        GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
        if (bus == nullptr) {
            const std::string why = error->message;
            g_error_free(error);
            return ::testing::AssertionFailure() << why;
        }
        GVariantBuilder objects;
        g_variant_builder_init(&objects, G_VARIANT_TYPE("ao"));
        g_variant_builder_add(&objects, "o", "/org/freedesktop/secrets/collection/login");
        GVariant* reply = g_dbus_connection_call_sync(
            bus, "org.freedesktop.secrets", "/org/freedesktop/secrets",
            "org.freedesktop.Secret.Service", "Lock", g_variant_new("(ao)", &objects), nullptr,
            G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
        g_object_unref(bus);
        if (reply == nullptr) {
            const std::string why = error->message;
            g_error_free(error);
            return ::testing::AssertionFailure() << why;
        }
        g_variant_unref(reply);
        return ::testing::AssertionSuccess();
    }
    // What the keyring itself holds of `account`, read with it unlocked (it is then).
    SecretBackend::ReadResult held(const std::string& account) const {
        return keyring_->copyMatching(service_, account);
    }

  private:
    std::string service_;
    std::shared_ptr<LibsecretBackend> keyring_;
};

// The credential stores of one start over the storage the application chooses, with the sign-in
// record kept in `defaults`.
struct HiddenItemsStart {
    HiddenItemsStart(const std::filesystem::path& folder, UserDefaults& defaults,
                     const std::string& service)
        : storage(chooseBesideTheSecretService(folder, defaults)),
          record(defaults, "account.signedIn"),
          keychain(service, storage) {}

    AuthMode resolve() {
        return AuthModeResolver{tokens, cloud, keys, {}, false, StructuredLogger("auth-mode"),
                                &record}
            .resolve();
    }
    // As a sign-out does: the record first, then every item in one removal.
    void signOut() {
        record.noteSignedOut();
        auto all = tokens.keys();
        for (const auto& more : {cloud.keys(), keys.keys()}) {
            all.insert(all.end(), more.begin(), more.end());
        }
        keychain.removeAll(all);
    }

    std::shared_ptr<SecretBackend> storage;
    SignInRecord record;
    KeychainStore keychain;
    CustomerTokenStore tokens{keychain};
    CloudAuthStore cloud{keychain};
    APIKeyStore keys{keychain};
};

std::map<std::string, std::string> anAccount() {
    return {{"corvane.customer.token", "tok"},
            {"corvane.customer.email", "ada@example.com"},
            {"cloud.auth.session",
             CloudAuthSession{"acc", "ref", *parseISO8601("2030-01-01T00:00:00Z"), "u",
                              "ada@example.com"}
                 .encoded()}};
}

// Signed in, the login keyring locked at start hiding the account: the start says locked; a
// sign-out is one at once (its notes stay while the keyring cannot show the items gone); the
// unlock the user asks for removes them and stays signed out; the next start is signed out with
// nothing left in the keyring.
TEST(SecretServiceHiddenTest, ASignOutBehindALockedKeyringHoldsThroughTheUnlock) {
    if (!HiddenItemsKeyring::available()) {
        GTEST_SKIP() << "run scripts/secret-service-test.sh";
    }
    HiddenItemsKeyring keyring;
    ASSERT_TRUE(keyring.lockedHolding(anAccount()));
    test::TempDir dir;
    InMemoryDefaults defaults;
    SignInRecord(defaults, "account.signedIn").noteSignedIn();
    const auto& service = keyring.service();
    {
        HiddenItemsStart start(dir.path(), defaults, service);
        EXPECT_TRUE(start.resolve() == AuthMode::keyringLocked());
        ASSERT_NO_THROW(start.signOut());
    }
    EXPECT_TRUE(FileSecretBackend(dir / "credentials-removed.json").holdsItems())
        << "the removals stay noted while the keyring hides the items";
    HiddenItemsStart afterSignOut(dir.path(), defaults, service);
    EXPECT_TRUE(afterSignOut.resolve() == AuthMode::none());
    EXPECT_EQ(afterSignOut.storage->copyMatching(service, "corvane.customer.token").status,
              SecretBackend::itemNotFound);

    ASSERT_EQ(afterSignOut.storage->unlock(service), SecretBackend::success);
    HiddenItemsStart afterUnlock(dir.path(), defaults, service);
    EXPECT_TRUE(afterUnlock.resolve() == AuthMode::none()) << "still signed out";
    for (const auto& [account, value] : anAccount()) {
        EXPECT_EQ(keyring.held(account).status, SecretBackend::itemNotFound) << account;
    }
    EXPECT_FALSE(FileSecretBackend(dir / "credentials-removed.json").holdsItems());

    ASSERT_TRUE(keyring.lock());
    HiddenItemsStart next(dir.path(), defaults, service);
    EXPECT_TRUE(next.resolve() == AuthMode::none());
}

// A damaged record of removals while the locked keyring hides the account: no change sets it
// aside (a sign-in write fails, saying why; a sign-out leaves it), the account reads as signed
// out; the unlock finishes the sign-out it may hold (the keyring's items go, then the record).
TEST(SecretServiceHiddenTest, ADamagedRecordStaysWhileTheLockedKeyringHidesTheItems) {
    if (!HiddenItemsKeyring::available()) {
        GTEST_SKIP() << "run scripts/secret-service-test.sh";
    }
    HiddenItemsKeyring keyring;
    ASSERT_TRUE(keyring.lockedHolding(anAccount()));
    test::TempDir dir;
    const auto record = dir / "credentials-removed.json";
    std::ofstream(record) << "{\"cut short";
    InMemoryDefaults defaults;
    SignInRecord(defaults, "account.signedIn").noteSignedIn();
    const auto& service = keyring.service();
    test::LogCapture log;
    {
        HiddenItemsStart start(dir.path(), defaults, service);
        EXPECT_TRUE(start.resolve() == AuthMode::none()) << "a damaged record reads signed out";
        const auto written = start.storage->add(service, "corvane.api.key", "k");
        EXPECT_EQ(written.status, SecretBackend::interactionNotAllowed) << written.reason;
        start.storage->removeAll(service, {"corvane.customer.token", "cloud.auth.session"});
    }
    EXPECT_FALSE(log->mentions("secret_removal_record_replaced"));
    EXPECT_TRUE(std::filesystem::exists(record)) << "set aside with the items there";

    HiddenItemsStart unlocking(dir.path(), defaults, service);
    ASSERT_EQ(unlocking.storage->unlock(service), SecretBackend::success);
    EXPECT_EQ(keyring.held("corvane.customer.token").status, SecretBackend::itemNotFound);
    EXPECT_EQ(keyring.held("cloud.auth.session").status, SecretBackend::itemNotFound);
    EXPECT_TRUE(log->mentions("secret_removal_record_replaced"));
    HiddenItemsStart afterUnlock(dir.path(), defaults, service);
    EXPECT_TRUE(afterUnlock.resolve() == AuthMode::none());
    ASSERT_TRUE(keyring.lock());
}

// Nothing of Vask's in the locked keyring and no sign-in recorded: a user who never signed in
// is signed out (asked to sign in), never taken for one behind a locked keyring.
TEST(SecretServiceHiddenTest, NoItemsAndNoRecordIsSignedOut) {
    if (!HiddenItemsKeyring::available()) {
        GTEST_SKIP() << "run scripts/secret-service-test.sh";
    }
    HiddenItemsKeyring keyring;
    ASSERT_TRUE(keyring.lockedHolding({}));
    test::TempDir dir;
    InMemoryDefaults defaults;
    HiddenItemsStart start(dir.path(), defaults, keyring.service());
    EXPECT_EQ(start.storage->copyMatching(keyring.service(), "corvane.customer.token").status,
              SecretBackend::interactionNotAllowed)
        << "what the keyring holds is unknown";
    EXPECT_TRUE(start.resolve() == AuthMode::none());
    EXPECT_FALSE(start.record.signedIn());
}

}  // namespace
}  // namespace vask
