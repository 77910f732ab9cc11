#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace vask::test {

// Points TMPDIR at `dir`/tmp and XDG_CACHE_HOME at `dir`/cache (each test runs in its own
// process, so a staged module cache left behind shows there) and lays out `dir`/resources/rlm as
// the application ships it, with the stand-in helper linked in as the bundled runtime. Returns the
// resource root.
inline std::filesystem::path makeHelperResources(const std::filesystem::path& dir) {
    namespace fs = std::filesystem;
    fs::create_directories(dir / "tmp");
    ::setenv("TMPDIR", (dir / "tmp").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (dir / "cache").c_str(), 1);
    const fs::path rlm = dir / "resources" / "rlm";
    fs::create_directories(rlm / "sources");
    fs::create_directories(rlm / "deno-cache" / "npm" / "registry.npmjs.org");
    std::ofstream(rlm / "deno-cache" / "npm" / "registry.npmjs.org" / "pkg.json") << "{}";
    std::ofstream(rlm / "relay.ts") << "// relay";
    fs::create_symlink(VASK_STAND_IN_HELPER, rlm / "deno");
    return dir / "resources";
}

}  // namespace vask::test
