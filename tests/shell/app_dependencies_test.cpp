#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/iso8601.h"
#include "platform/manual_executor.h"
#include "shell/app_dependencies.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

// The composition root is process-wide, so this suite drives it once, on a private data folder
// and with no session bus (the file backend), never the user's own secret storage.
TEST(AppDependenciesTest, CachedModeChangesOnlyWhenReset) {
    test::TempDir dir;
    ::setenv("XDG_DATA_HOME", dir.path().c_str(), 1);
    ::setenv("VASK_SUPPORT_DIR", "VaskTest", 1);
    ::setenv("VASK_KEYCHAIN_SERVICE", " vask.test \n", 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vask-test-bus", 1);
    test::LogCapture log;
    EXPECT_EQ(AppDependencies::secretBackend()->kind(), "file");
    EXPECT_EQ(AppDependencies::keychain().service(), "vask.test");
    EXPECT_TRUE(AppDependencies::authMode() == AuthMode::none());

    AppDependencies::customerTokenStore().save("tok", "ada@example.com");
    AppDependencies::cloudAuthStore().save(
        {"acc", "ref", *parseISO8601("2030-01-01T00:00:00Z"), "u", "ada@example.com"});
    EXPECT_TRUE(AppDependencies::authMode() == AuthMode::none());
    AppDependencies::resetAuthMode();
    EXPECT_TRUE(AppDependencies::authMode() == AuthMode::managed("tok", "acc"));
    EXPECT_EQ(log->events("auth_mode_resolved").size(), 2u);

    EXPECT_TRUE(std::filesystem::exists(dir / "VaskTest" / "credentials.json"));
    EXPECT_EQ(log->events("secret_storage_selected").at(0).metadata.at("backend"), "file");
}

// Private memory follows the account: the signed-in user's id with a managed account, none
// without credentials, and no store path while memory is switched off.
TEST(AppDependenciesTest, MemoryPrincipalFollowsTheAccount) {
    test::TempDir dir;
    ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    ::setenv("VASK_SUPPORT_DIR", "VaskTest", 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vask-test-bus", 1);
    ::setenv("VASK_MEMORY_ENABLED", "1", 1);

    EXPECT_EQ(AppDependencies::memoryDBPath(), dir / "data" / "VaskTest" / "memory.db");
    ASSERT_NE(AppDependencies::canonicalMemoryStore(), nullptr);
    EXPECT_TRUE(std::filesystem::exists(dir / "data" / "VaskTest" / "memory.db"));

    // Without credentials there is no account to scope memory to. (The application never
    // allows API keys, so the local principal is not reachable from here.)
    EXPECT_EQ(AppDependencies::canonicalMemoryPrincipal(), std::nullopt);

    AppDependencies::customerTokenStore().save("tok", "ada@example.com");
    AppDependencies::cloudAuthStore().save(
        {"acc", "ref", *parseISO8601("2030-01-01T00:00:00Z"), "user-7", "ada@example.com"});
    AppDependencies::resetAuthMode();
    EXPECT_EQ(AppDependencies::canonicalMemoryPrincipal(), MemoryPrincipal::make("user-7"));

    ::setenv("VASK_MEMORY_ENABLED", "0", 1);
    EXPECT_EQ(AppDependencies::memoryDBPath(), std::nullopt);
}

TEST(AppDependenciesTest, RelayServicesUseTheOverriddenBaseURLAndTheInstalledMainExecutor) {
    test::TempDir dir;
    ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    ::setenv("VASK_SUPPORT_DIR", "VaskTest", 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vask-test-bus", 1);
    ::setenv("VASK_RELAY_BASE_URL", " http://127.0.0.1:9/ ", 1);

    EXPECT_THROW(AppDependencies::mainExecutor(), std::logic_error);
    ManualExecutor main;
    AppDependencies::installMainExecutor(main);
    EXPECT_EQ(&AppDependencies::mainExecutor(), &main);
    EXPECT_EQ(AppDependencies::relayBaseURL().absoluteString(), "http://127.0.0.1:9/");
    const auto catalog = AppDependencies::presetCatalogService();
    ASSERT_NE(catalog, nullptr);
    EXPECT_EQ(AppDependencies::presetCatalogService(), catalog) << "one service per process";
    const auto signIn = AppDependencies::signInViewModel();
    ASSERT_NE(signIn, nullptr);
    EXPECT_EQ(AppDependencies::signInViewModel(), signIn);
    EXPECT_NE(AppDependencies::billingViewModel(), nullptr);
    EXPECT_FALSE(AppDependencies::webAuthenticationSession().deliverCallback(
        *Url::parse("vask://auth?code=x")))
        << "no flow is waiting for a callback";
}

}  // namespace
}  // namespace vask
