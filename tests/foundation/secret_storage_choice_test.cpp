#include <gtest/gtest.h>

#include <gio/gio.h>

#include <atomic>
#include <cstdlib>
#include <set>

#include "foundation/secret_storage_choice.h"
#include "platform/file_secret_backend.h"
#include "platform/in_memory_secret_backend.h"
#include "platform/user_defaults.h"
#include "platform/uuid.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using DefaultKeyring = LibsecretBackend::DefaultKeyring;
using Op = InMemorySecretBackend::Operation;

// A desktop keyring: whether one answers, the state of its default keyring, and whether it
// takes what is written into it. Counts what it is asked.
struct FakeKeyring {
    bool answers = true;
    std::optional<DefaultKeyring> state = DefaultKeyring::unlocked;
    bool refuses = false;
    std::shared_ptr<InMemorySecretBackend> items = std::make_shared<InMemorySecretBackend>();
    int stateQueries = 0;
    int moves = 0;

    SecretStorageChoice::Keyring keyring() {
        return {
            .connect = [this](std::string& whyNot) -> std::shared_ptr<SecretBackend> {
                if (!answers) {
                    whyNot = "no Secret Service";
                    return nullptr;
                }
                return items;
            },
            .defaultKeyring =
                [this](std::string&) {
                    ++stateQueries;
                    return state;
                },
            .withoutPrompts =
                [this](const std::shared_ptr<SecretBackend>& keyring) {
                    ++moves;
                    if (refuses) {
                        for (const char* account : {"tokens", "key"}) {
                            items->fail(Op::add, account, SecretBackend::interactionNotAllowed);
                            items->fail(Op::update, account, SecretBackend::interactionNotAllowed);
                        }
                    }
                    return keyring;
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
        }
            .choose();
    }

    test::TempDir dir;
    FakeKeyring keyring;
    InMemoryDefaults defaults;
};

// Credentials a run kept in the file move only into a default keyring that exists and is
// unlocked; otherwise the file stays the storage, the log says so once in words, and a keyring
// that refused them is not asked again at the next start.
TEST(SecretStorageChoiceTest, TheFileMovesOnlyIntoAnUnlockedDefaultKeyringAndOnlyOnce) {
    struct Case {
        const char* name;
        bool answers;
        std::optional<DefaultKeyring> state;
        bool refuses;
        const char* backend;
        std::optional<std::string> kept;
        // Second start: whether the keyring's state is asked again.
        bool askedAgain;
    };
    const std::vector<Case> cases = {
        {"no keyring answers", false, DefaultKeyring::unlocked, false, "file", std::nullopt, false},
        {"moved", true, DefaultKeyring::unlocked, false, "memory", std::nullopt, false},
        {"no default keyring", true, DefaultKeyring::missing, false, "file", "noDefaultKeyring",
         true},
        {"locked", true, DefaultKeyring::locked, false, "file", "keyringLocked", true},
        {"state unknown", true, std::nullopt, false, "file", std::nullopt, true},
        {"refused", true, DefaultKeyring::unlocked, true, "file", "keyringRefused", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChoiceFixture f;
        f.keyring.answers = c.answers;
        f.keyring.state = c.state;
        f.keyring.refuses = c.refuses;
        test::LogCapture log;
        const auto first = f.choose();
        EXPECT_EQ(first->kind(), c.backend);
        EXPECT_EQ(f.defaults.stringValue("kept").optional(), c.kept);
        EXPECT_EQ(std::filesystem::exists(f.dir / "credentials.json"),
                  std::string(c.backend) == "file");
        EXPECT_EQ(first->copyMatching("svc", "tokens").data, "t") << "nothing is lost";
        EXPECT_EQ(f.keyring.moves, c.state == DefaultKeyring::unlocked && c.answers ? 1 : 0);

        const int queries = f.keyring.stateQueries;
        const auto second = f.choose();
        EXPECT_EQ(second->kind(), c.backend);
        EXPECT_EQ(f.keyring.stateQueries > queries, c.askedAgain && c.answers);
        EXPECT_LE(f.keyring.moves, 1) << "a refused move is not tried at the next start";
        const auto kept = log->events("secret_file_kept");
        ASSERT_EQ(kept.size(), c.kept ? 1u : 0u) << "said once";
        if (c.kept) {
            EXPECT_NE(kept[0].metadata.at("message").find((f.dir / "credentials.json").string()),
                      std::string::npos);
        }
    }
}

// A keyring that refused the file stays unasked after a sign-out emptied the file: what the
// keyring took before the refusal must not come back as a signed-in account.
TEST(SecretStorageChoiceTest, AnEmptiedFileStaysTheStorageAfterARefusal) {
    ChoiceFixture f;
    f.keyring.refuses = true;
    auto first = f.choose();
    ASSERT_EQ(first->kind(), "file");
    f.keyring.items->put("svc", "tokens", "taken before");
    EXPECT_EQ(first->remove("svc", "tokens"), SecretBackend::success);
    EXPECT_EQ(first->remove("svc", "key"), SecretBackend::success);
    const auto next = f.choose();
    EXPECT_EQ(next->kind(), "file");
    EXPECT_EQ(next->copyMatching("svc", "tokens").status, SecretBackend::itemNotFound);

    // With the file gone the keyring is the storage again.
    std::filesystem::remove(f.dir / "credentials.json");
    EXPECT_EQ(f.choose()->kind(), "memory");
    EXPECT_EQ(f.defaults.stringValue("kept").optional(), std::nullopt);
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

  private:
    static GDBusMessage* seen(GDBusConnection*, GDBusMessage* message, gboolean incoming,
                              gpointer data) {
        if (!incoming &&
            g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_METHOD_CALL) {
            static const std::set<std::string> prompting = {"Prompt", "CreateCollection", "Unlock"};
            const char* member = g_dbus_message_get_member(message);
            if (member != nullptr && prompting.contains(member)) {
                ++static_cast<PromptRecorder*>(data)->prompting_;
            }
        }
        return message;
    }

    GDBusConnection* connection_;
    guint filter_ = 0;
    std::atomic<int> prompting_{0};
};

#pragma GCC diagnostic pop

// Against a real, unlocked Secret Service (the first bus scripts/secret-service-test.sh starts;
// skipped elsewhere unless VASK_REQUIRE_SECRET_SERVICE=1): a sign-in kept in the file while no
// keyring ran moves into the keyring, the way the application chooses its storage.
TEST(SecretServiceTest, TheCredentialFileMovesIntoTheSecretService) {
    std::string whyNot;
    const auto keyring = LibsecretBackend::connect(whyNot);
    if (!keyring) {
        const char* required = std::getenv("VASK_REQUIRE_SECRET_SERVICE");
        ASSERT_FALSE(required != nullptr && std::string(required) == "1")
            << "no Secret Service answers: " << whyNot;
        GTEST_SKIP() << "no Secret Service on the session bus: run scripts/secret-service-test.sh";
    }
    test::TempDir dir;
    const auto service = "ai.ternwick.Vask.test." + Uuid::random().lowercaseString();
    ASSERT_EQ(FileSecretBackend(dir / "credentials.json").add(service, "tokens", "t\n\x01"),
              SecretBackend::success);
    InMemoryDefaults defaults;
    const auto storage = SecretStorageChoice{
        .keyring = SecretStorageChoice::Keyring::secretService(),
        .supportDirectory = [&] { return dir.path(); },
        .defaults = defaults,
        .keptKey = "kept",
    }
                             .choose();
    EXPECT_EQ(storage->copyMatching(service, "tokens").data, "t\n\x01");
    EXPECT_FALSE(std::filesystem::exists(dir / "credentials.json"));
    EXPECT_EQ(keyring->copyMatching(service, "tokens").data, "t\n\x01");
    EXPECT_EQ(storage->remove(service, "tokens"), SecretBackend::success);
}

// A desktop whose gnome-keyring starts on demand and has no keyring yet (the bus that
// scripts/secret-service-test.sh starts for it): credentials kept in the file stay there, no
// prompt opens, and the next start does not ask either.
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
    const auto choose = [&] {
        return SecretStorageChoice{
            .keyring = SecretStorageChoice::Keyring::secretService(),
            .supportDirectory = [&] { return dir.path(); },
            .defaults = defaults,
            .keptKey = "kept",
        }
            .choose();
    };
    for (int start = 0; start < 2; ++start) {
        SCOPED_TRACE(start == 0 ? "first start" : "next start");
        const auto storage = choose();
        EXPECT_EQ(storage->kind(), "file");
        EXPECT_EQ(storage->copyMatching("svc", "tokens").data, "t");
        EXPECT_EQ(recorder.promptingCalls(), 0);
        EXPECT_TRUE(std::filesystem::exists(dir / "credentials.json"));
    }
    EXPECT_EQ(defaults.stringValue("kept").optional(), "noDefaultKeyring");
    EXPECT_EQ(log->events("secret_file_kept").size(), 1u);
}

}  // namespace
}  // namespace vask
