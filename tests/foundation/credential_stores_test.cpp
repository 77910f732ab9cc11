#include <gtest/gtest.h>

#include <thread>

#include "foundation/api_key_store.h"
#include "foundation/cloud_auth_store.h"
#include "foundation/customer_token_store.h"
#include "foundation/keychain_store.h"
#include "platform/file_secret_backend.h"
#include "platform/in_memory_secret_backend.h"
#include "platform/iso8601.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using Op = InMemorySecretBackend::Operation;
constexpr const char* service = "test.service";
constexpr SecretBackend::Status locked = SecretBackend::interactionNotAllowed;

class CredentialStoresTest : public ::testing::Test {
  protected:
    std::shared_ptr<InMemorySecretBackend> backend = std::make_shared<InMemorySecretBackend>();
    KeychainStore keychain{service, backend};
    test::LogCapture log;

    static CloudAuthSession session(std::string accessToken = "access-1") {
        return {std::move(accessToken), "refresh-1", *parseISO8601("2026-01-31T09:30:00Z"),
                "user-7", "ada@example.com"};
    }
};

// The user reads what failed and why in this system's words: the storage's own reason when it
// gave one, never a made-up status number; the number stays in the log.
TEST_F(CredentialStoresTest, KeychainErrorsSayWhyInWords) {
    struct Case {
        SecretBackend::Status status;
        const char* text;
    };
    const Case cases[] = {
        {SecretBackend::interactionNotAllowed,
         "Could not remove the saved credentials: the keyring is locked"},
        {SecretBackend::notAvailable,
         "Could not remove the saved credentials: no keyring answers and there is no data folder"},
        {SecretBackend::decodeFailed,
         "Could not remove the saved credentials: the stored credentials are damaged"},
        {SecretBackend::internalError,
         "Could not remove the saved credentials: the credential storage failed"},
    };
    for (const auto& c : cases) {
        backend->put(service, "item", "old");
        backend->fail(Op::remove, "item", c.status);
        try {
            keychain.remove("item");
            ADD_FAILURE() << "no error";
        } catch (const KeychainError& e) {
            EXPECT_EQ(std::string(e.what()), c.text);
        }
        backend->clearFailures();
    }

    test::TempDir dir;
    const auto file = dir / "credentials.json";
    std::filesystem::create_directories(file / "in the way");
    KeychainStore onFile(service, std::make_shared<FileSecretBackend>(file));
    try {
        onFile.remove("item");
        FAIL() << "no error";
    } catch (const KeychainError& e) {
        const std::string text = e.what();
        EXPECT_TRUE(text.starts_with("Could not remove the saved credentials: ")) << text;
        EXPECT_NE(text.find(file.string()), std::string::npos) << text;
        EXPECT_NE(text.find("folder"), std::string::npos) << text;
        EXPECT_EQ(text.find("status"), std::string::npos) << text;
    }
    // A failure's reason is its own: the next one, without a reason, does not inherit it.
    backend->fail(Op::copyMatching, "item", locked);
    EXPECT_THROW(
        {
            try {
                keychain.read("item");
            } catch (const KeychainError& e) {
                EXPECT_EQ(std::string(e.what()),
                          "Could not read the saved credentials: the keyring is locked");
                throw;
            }
        },
        KeychainError);
}

TEST_F(CredentialStoresTest, KeychainStoreMapsStatusesToErrorsAndLogEvents) {
    struct Case {
        const char* name;
        Op failing;
        std::function<void(KeychainStore&)> call;
        KeychainError::Kind kind;
        const char* event;
    };
    const Case cases[] = {
        {"read", Op::copyMatching, [](KeychainStore& k) { k.read("item"); },
         KeychainError::Kind::readFailed, "keychain_read_failed"},
        {"update of an existing item", Op::update, [](KeychainStore& k) { k.write("v", "item"); },
         KeychainError::Kind::writeFailed, "keychain_update_failed"},
        {"add after not found", Op::add, [](KeychainStore& k) { k.write("v", "fresh"); },
         KeychainError::Kind::writeFailed, "keychain_add_failed"},
        {"delete", Op::remove, [](KeychainStore& k) { k.remove("item"); },
         KeychainError::Kind::deleteFailed, "keychain_delete_failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        backend->clearFailures();
        backend->put(service, "item", "old");
        log->clear();
        backend->fail(c.failing, c.failing == Op::add ? "fresh" : "item", locked);
        try {
            c.call(keychain);
            FAIL() << "no error";
        } catch (const KeychainError& e) {
            EXPECT_EQ(e.kind(), c.kind);
            EXPECT_EQ(e.status(), locked);
        }
        const auto events = log->events(c.event);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].metadata.at("status"), "-25308");
        EXPECT_EQ(events[0].metadata.at("key"), c.failing == Op::add ? "fresh" : "item");
        EXPECT_EQ(backend->get(service, "item"), "old");
    }
}

TEST_F(CredentialStoresTest, AbsentItemsReadAndDeleteQuietlyAndWritesUpdateInPlace) {
    EXPECT_EQ(keychain.read("missing"), std::nullopt);
    keychain.remove("missing");
    EXPECT_TRUE(log->records().empty());

    const std::string bytes("\0\xff\x01 binary", 10);
    keychain.write(bytes, "item");
    keychain.write("second", "item");
    EXPECT_EQ(backend->itemCount(), 1u);
    EXPECT_EQ(keychain.read("item"), "second");
    keychain.write(bytes, "item");
    EXPECT_EQ(keychain.read("item"), bytes);
}

TEST_F(CredentialStoresTest, ServiceNameFromEnvironmentBundleOrDefault) {
    struct Case {
        Environment env;
        std::optional<std::string> bundle;
        std::string expected;
    };
    const Case cases[] = {
        {{{"VASK_KEYCHAIN_SERVICE", "  dev.vask \n"}}, "b.id", "dev.vask"},
        {{{"VASK_KEYCHAIN_SERVICE", " \t\n"}}, "b.id", "b.id"},
        {{}, " b.id ", " b.id "},
        {{}, std::nullopt, "ai.ternwick.Vask"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(KeychainStore::serviceName(c.env, c.bundle), c.expected) << c.expected;
    }
}

TEST_F(CredentialStoresTest, CloudRecordDecodingIsStrict) {
    const std::string valid =
        R"({"accessToken":"a","refreshToken":"r","refreshExpiresAt":"2026-01-31T09:30:00Z",)"
        R"("userID":"u","userEmail":"e"})";
    struct Case {
        const char* name;
        std::string stored;
        bool decodes;
    };
    const Case cases[] = {
        {"whole seconds", valid, true},
        {"fraction of seconds",
         R"({"accessToken":"a","refreshToken":"r","refreshExpiresAt":"2026-01-31T09:30:00.5Z",)"
         R"("userID":"u","userEmail":"e"})",
         false},
        {"missing key",
         R"({"accessToken":"a","refreshToken":"r",)"
         R"("refreshExpiresAt":"2026-01-31T09:30:00Z","userID":"u"})",
         false},
        {"not JSON", "cloud", false},
        {"number for a string",
         R"({"accessToken":1,"refreshToken":"r","refreshExpiresAt":"2026-01-31T09:30:00Z",)"
         R"("userID":"u","userEmail":"e"})",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        backend->put(service, "cloud.auth.session", c.stored);
        CloudAuthStore store(keychain);
        log->clear();
        if (c.decodes) {
            const auto loaded = store.load();
            ASSERT_TRUE(loaded);
            EXPECT_EQ(loaded->refreshExpiresAt, *parseISO8601("2026-01-31T09:30:00Z"));
            continue;
        }
        for (int attempt = 0; attempt < 2; ++attempt) {
            try {
                store.load();
                FAIL() << "decoded";
            } catch (const CloudAuthStoreError& e) {
                EXPECT_EQ(e.kind(), CloudAuthStoreError::Kind::decodeFailed);
            }
        }
        EXPECT_EQ(log->events("cloud_auth_decode_failed").size(), 2u);
    }
}

TEST_F(CredentialStoresTest, CloudStoreCachesAndKeepsCacheOnFailures) {
    CloudAuthStore store(keychain);
    store.save(session());
    EXPECT_EQ(log->events("cloud_auth_saved").at(0).metadata.at("user_id"), "user-7");
    EXPECT_EQ(CloudAuthSession::decode(*backend->get(service, "cloud.auth.session")), session());

    backend->fail(Op::update, "cloud.auth.session", locked);
    EXPECT_THROW(store.save(session("access-2")), CloudAuthStoreError);
    EXPECT_EQ(store.load(), session());

    backend->fail(Op::remove, "cloud.auth.session", locked);
    EXPECT_THROW(store.clear(), CloudAuthStoreError);
    EXPECT_EQ(store.load(), session());

    backend->clearFailures();
    store.clear();
    const auto before = backend->operationCount();
    EXPECT_EQ(store.load(), std::nullopt);
    EXPECT_EQ(backend->operationCount(), before);
    EXPECT_TRUE(log->contains("cloud_auth_cleared"));
}

TEST_F(CredentialStoresTest, CloudStoreRetriesAfterAFailedRead) {
    backend->put(service, "cloud.auth.session", session().encoded());
    CloudAuthStore store(keychain);
    backend->fail(Op::copyMatching, "cloud.auth.session", locked);
    try {
        store.load();
        FAIL();
    } catch (const CloudAuthStoreError& e) {
        EXPECT_EQ(e.kind(), CloudAuthStoreError::Kind::keychainReadFailed);
    }
    backend->clearFailures();
    EXPECT_EQ(store.load(), session());
}

TEST_F(CredentialStoresTest, CustomerTokenCacheFilling) {
    struct Case {
        const char* name;
        std::optional<std::string> token;
        std::optional<std::string> email;
        std::optional<std::string> expectedToken;
        const char* hasToken;
        const char* hasEmail;
    };
    const Case cases[] = {
        {"both", "tok", "ada@example.com", "tok", "true", "true"},
        {"none", std::nullopt, std::nullopt, std::nullopt, "false", "false"},
        {"token not UTF-8", std::string("\xc3\x28", 2), "e", std::nullopt, "false", "true"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto fresh = std::make_shared<InMemorySecretBackend>();
        KeychainStore k(service, fresh);
        if (c.token)
            fresh->put(service, "corvane.customer.token", *c.token);
        if (c.email)
            fresh->put(service, "corvane.customer.email", *c.email);
        CustomerTokenStore store(k);
        log->clear();
        EXPECT_EQ(store.loadToken(), c.expectedToken);
        EXPECT_EQ(store.loadEmail(), c.email);
        const auto loaded = log->events("keychain_cache_loaded");
        ASSERT_EQ(loaded.size(), 1u);
        EXPECT_EQ(loaded[0].metadata.at("has_token"), c.hasToken);
        EXPECT_EQ(loaded[0].metadata.at("has_email"), c.hasEmail);
    }
}

TEST_F(CredentialStoresTest, FailedEmailReadLeavesTheStoreUnloaded) {
    backend->put(service, "corvane.customer.token", "tok");
    backend->put(service, "corvane.customer.email", "e");
    CustomerTokenStore store(keychain);
    backend->fail(Op::copyMatching, "corvane.customer.email", locked);
    EXPECT_THROW(store.loadToken(), KeychainError);
    backend->clearFailures();
    backend->put(service, "corvane.customer.token", "tok-2");
    EXPECT_EQ(store.loadToken(), "tok-2");
    EXPECT_EQ(store.loadEmail(), "e");
}

// The token item written, the e-mail item not: the store must answer what storage holds
// (the new token), not what it cached before.
TEST_F(CredentialStoresTest, PartialWritesAndDeletesKeepTheCacheInStepWithStorage) {
    backend->put(service, "corvane.customer.token", "old-token");
    backend->put(service, "corvane.customer.email", "old@example.com");
    CustomerTokenStore store(keychain);
    ASSERT_EQ(store.loadToken(), "old-token");

    backend->fail(Op::update, "corvane.customer.email", locked);
    EXPECT_THROW(store.save("new-token", "new@example.com"), KeychainError);
    backend->clearFailures();
    EXPECT_EQ(store.loadToken(), "new-token");
    EXPECT_EQ(store.loadEmail(), "old@example.com");
    EXPECT_FALSE(log->contains("customer_token_saved"));

    backend->fail(Op::remove, "corvane.customer.email", locked);
    EXPECT_THROW(store.clear(), KeychainError);
    backend->clearFailures();
    EXPECT_EQ(store.loadToken(), std::nullopt);
    EXPECT_EQ(store.loadEmail(), "old@example.com");

    backend->fail(Op::update, "corvane.customer.token", locked);
    backend->fail(Op::add, "corvane.customer.token", locked);
    EXPECT_THROW(store.save("third", "x@example.com"), KeychainError);
    EXPECT_EQ(backend->get(service, "corvane.customer.email"), "old@example.com");
    EXPECT_EQ(store.loadToken(), std::nullopt);
}

TEST_F(CredentialStoresTest, CustomerTokenSaveAndClear) {
    CustomerTokenStore store(keychain);
    EXPECT_THROW(store.save(std::string("\xff\xfe", 2), "e"), CustomerTokenStoreError);
    EXPECT_EQ(backend->itemCount(), 0u);

    store.save("tok", "ada@example.com");
    EXPECT_EQ(log->events("customer_token_saved").at(0).metadata.at("email"), "ada@example.com");
    const auto before = backend->operationCount();
    EXPECT_EQ(store.loadToken(), "tok");
    EXPECT_EQ(backend->operationCount(), before);

    store.clear();
    EXPECT_EQ(backend->itemCount(), 0u);
    EXPECT_EQ(store.loadEmail(), std::nullopt);
    EXPECT_TRUE(log->contains("customer_token_cleared"));
}

TEST_F(CredentialStoresTest, APIKeyStoreLoadsOnceAndRetriesFailures) {
    backend->put(service, "corvane.api.key", "key-1");
    APIKeyStore store(keychain);
    backend->fail(Op::copyMatching, "corvane.api.key", locked);
    const auto failed = store.loadResult();
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().kind(), KeychainError::Kind::readFailed);
    backend->clearFailures();
    EXPECT_EQ(store.loadResult().value(), "key-1");
    backend->put(service, "corvane.api.key", "key-2");
    EXPECT_EQ(store.loadResult().value(), "key-1");
    store.clear();
    EXPECT_EQ(store.loadResult().value(), std::nullopt);
    EXPECT_TRUE(log->contains("api_key_cleared"));
}

// Loads racing saves must never leave a stale value cached once both are done.
TEST_F(CredentialStoresTest, ConcurrentLoadsAndSavesEndWithTheLastSave) {
    CloudAuthStore store(keychain);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&store, i] {
            for (int n = 0; n < 50; ++n) {
                if (i == 0) {
                    store.save(session("access-" + std::to_string(n)));
                } else {
                    store.load();
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(store.load()->accessToken, "access-49");
    EXPECT_EQ(CloudAuthSession::decode(*backend->get(service, "cloud.auth.session")).accessToken,
              "access-49");
}

}  // namespace
}  // namespace vask
