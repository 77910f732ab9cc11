#include <gtest/gtest.h>

#include <fstream>

#include "foundation/cloud_config.h"
#include "foundation/config_manager.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

class ConfigManagerTest : public ::testing::Test {
  protected:
    void write(const std::string& contents) { std::ofstream(path()) << contents; }
    std::filesystem::path path() const { return dir / "config.json"; }
    ConfigManager manager() const { return ConfigManager(path(), env()); }
    Environment env() const { return {{"HOME", (dir / "home").string()}}; }
    std::vector<std::string> defaultScopes() const {
        const auto home = (dir / "home").string();
        return {home + "/Documents", home + "/Desktop", home + "/Downloads"};
    }

    test::TempDir dir;
};

TEST_F(ConfigManagerTest, MissingFileMeansEveryDefault) {
    auto config = manager();
    const auto result = config.loadResult();
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value(), AppConfig{});
    EXPECT_FALSE(config.loadError());

    const auto access = config.fileAccessConfig(std::nullopt);
    EXPECT_EQ(access.allowedScopes, defaultScopes());
    EXPECT_EQ(access.excludedPatterns, FileAccessDefaults::excludedPatterns());
    EXPECT_EQ(access.maxPages, 10);
    EXPECT_EQ(access.maxFiles, 5);
    EXPECT_EQ(access.useVision, FileVisionMode::automatic);
    EXPECT_EQ(access.visionModel, std::nullopt);
    EXPECT_EQ(access.requestTimeoutSeconds, 45.0);

    // Without a location there is no file to read either.
    ConfigManager nowhere(std::nullopt, env());
    EXPECT_TRUE(nowhere.loadResult().ok());
    EXPECT_EQ(nowhere.fileUseVision(), FileVisionMode::automatic);
}

TEST_F(ConfigManagerTest, FileValuesShapeTheFileAccessConfig) {
    struct Case {
        const char* name;
        std::string json;
        std::optional<std::vector<std::string>> scopes;  // nothing: the defaults
        std::int64_t maxPages;
        FileVisionMode vision;
    };
    const Case cases[] = {
        {"page limit zero counts as one", R"({"fileMaxPages": 0})", std::nullopt, 1,
         FileVisionMode::automatic},
        {"negative page limit counts as one", R"({"fileMaxPages": -3})", std::nullopt, 1,
         FileVisionMode::automatic},
        {"whole number written with a fraction", R"({"fileMaxPages": 25.0})", std::nullopt, 25,
         FileVisionMode::automatic},
        {"empty scope list stays empty", R"({"fileScopes": []})", std::vector<std::string>{}, 10,
         FileVisionMode::automatic},
        {"scopes as given", R"({"fileScopes": ["~/Notes", "/srv/docs"]})",
         std::vector<std::string>{"~/Notes", "/srv/docs"}, 10, FileVisionMode::automatic},
        {"vision enabled", R"({"fileUseVision": "enabled"})", std::nullopt, 10,
         FileVisionMode::enabled},
        {"vision disabled", R"({"fileUseVision": "disabled"})", std::nullopt, 10,
         FileVisionMode::disabled},
        {"vision match is case-sensitive", R"({"fileUseVision": "Enabled"})", std::nullopt, 10,
         FileVisionMode::automatic},
        {"nulls and unknown keys", R"({"fileScopes": null, "fileMaxPages": null, "x": [1]})",
         std::nullopt, 10, FileVisionMode::automatic},
        {"wrong type fails the whole file", R"({"fileScopes": ["~/A"], "fileMaxPages": "ten"})",
         std::nullopt, 10, FileVisionMode::automatic},
        {"fractional page limit fails the file",
         R"({"fileMaxPages": 2.5, "fileUseVision": "enabled"})", std::nullopt, 10,
         FileVisionMode::automatic},
        {"top level array fails the file", R"(["fileMaxPages"])", std::nullopt, 10,
         FileVisionMode::automatic},
        {"page limit past the 64-bit range fails the file, never wraps",
         R"({"fileMaxPages": 18446744073709551615, "fileUseVision": "enabled"})", std::nullopt, 10,
         FileVisionMode::automatic},
        {"largest 64-bit page limit is kept", R"({"fileMaxPages": 9223372036854775807})",
         std::nullopt, INT64_MAX, FileVisionMode::automatic},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write(c.json);
        auto config = manager();
        const auto access = config.fileAccessConfig("vision-model");
        EXPECT_EQ(access.allowedScopes, c.scopes.value_or(defaultScopes()));
        EXPECT_EQ(access.maxPages, c.maxPages);
        EXPECT_EQ(access.useVision, c.vision);
        EXPECT_EQ(access.visionModel, "vision-model");
    }
}

TEST_F(ConfigManagerTest, CorruptFileIsReportedUntilAValidOneReplacesIt) {
    test::LogCapture log;
    write(R"({"fileMaxPages": "ten"})");
    auto config = manager();
    const auto failed = config.loadResult();
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().kind(), ConfigLoadError::Case::decodeFailed);
    ASSERT_TRUE(config.loadError());
    EXPECT_EQ(std::string(config.loadError()->what()),
              "Config file corrupted: \"fileMaxPages\" must be a whole number");
    EXPECT_EQ(log->events("config_decode_failed").size(), 1u);

    write(R"({"fileMaxPages": 3})");
    const auto recovered = config.loadResult();
    ASSERT_TRUE(recovered.ok());
    EXPECT_EQ(recovered.value().fileMaxPages, 3);
    EXPECT_FALSE(config.loadError());
}

TEST_F(ConfigManagerTest, UnreadableFileIsAReadFailure) {
    test::LogCapture log;
    std::filesystem::create_directory(path());  // reading a folder fails
    auto config = manager();
    const auto result = config.loadResult();
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), ConfigLoadError::Case::fileReadFailed);
    EXPECT_TRUE(std::string(result.error().what()).starts_with("Failed to read config file: "));
    EXPECT_TRUE(log->contains("config_read_failed"));
    EXPECT_EQ(config.fileAccessConfig(std::nullopt).maxPages, 10);
}

TEST(CloudConfig, BaseUrlComesFromTheEnvironmentOnlyWhenItParses) {
    struct Case {
        const char* name;
        std::optional<std::string> value;
        std::optional<std::string> expected;  // nothing: the default
    };
    const Case cases[] = {
        {"unset", std::nullopt, std::nullopt},
        {"blank", "  \n", std::nullopt},
        {"empty", "", std::nullopt},
        {"trimmed override", " http://127.0.0.1:8787 \n", "http://127.0.0.1:8787"},
        {"https with path", "https://staging.example.com/base", "https://staging.example.com/base"},
        {"not a url", "staging server", std::nullopt},
        {"no scheme", "staging.example.com", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::LogCapture log;
        Environment env;
        if (c.value) {
            env["VASK_CLOUD_BASE_URL"] = *c.value;
        }
        const auto config = CloudConfig::resolve(env, StructuredLogger("cloud-config"));
        if (c.expected) {
            EXPECT_EQ(config.source.kind(), CloudBaseURLSource::Kind::environment);
            EXPECT_EQ(config.baseURL.absoluteString(), *c.expected);
            const auto events = log->events("cloud_base_url_override");
            ASSERT_EQ(events.size(), 1u);
            EXPECT_EQ(events[0].metadata.at("base_url"), *c.expected);
        } else {
            EXPECT_EQ(config.source, CloudBaseURLSource::defaultProd());
            EXPECT_EQ(config.baseURL, CloudConfig::defaultBaseURL());
            EXPECT_TRUE(log->records().empty());
        }
    }
    EXPECT_EQ(CloudConfig::defaultBaseURL().scheme(), "https");
}

}  // namespace
}  // namespace vask
