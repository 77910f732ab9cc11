#include <gtest/gtest.h>

#include <fstream>

#include "engine/file_access_prefetch.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

// The helper's prefetch reaches the real file access service: a text file in an allowed folder
// is found, parsed and cached once; asking again finds it cached.
TEST(FileAccessPrefetch, CachesAllowedFilesOnce) {
    test::TempDir dir;
    std::filesystem::create_directories(dir / "Documents");
    std::ofstream(dir / "Documents" / "lease.txt") << "The landlord renews the lease in March.\n";

    FileAccessConfig config = FileAccessConfig::defaults(std::nullopt, {});
    config.allowedScopes = {(dir / "Documents").string()};
    config.useVision = FileVisionMode::disabled;

    const HttpClient http;
    const auto factory = fileAccessPrefetchFactory(*Url::parse("http://127.0.0.1:9"), http);
    const auto service = factory((dir / "shadow.db").string(), std::nullopt, std::nullopt, config);
    EXPECT_EQ(service->prefetch("landlord lease", {}), 1);
    EXPECT_EQ(service->prefetch("landlord lease", {}), 0);
}

}  // namespace
}  // namespace vask
