#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/unique_fd.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

namespace fs = std::filesystem;

constexpr auto ownerOnly = fs::perms::owner_read | fs::perms::owner_write;

struct stat lstatOf(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status;
}

// Nothing but the named entries: a failed or finished write leaves no temporary file behind.
std::vector<std::string> entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string contentsOf(const fs::path& path) {
    return readFileIfExists(path).value_or("<none>");
}

TEST(WriteFileAtomicallyTest, RegularFilesAndLinksToThem) {
    struct Case {
        const char* name;
        std::function<void(const test::TempDir&)> plant;  // what "settings.json" is beforehand
        LinkPolicy links;
        std::optional<int> error;              // FileError's number, or success
        bool isLinkAfter;                      // settings.json is still a link afterwards
        const char* targetAfter;               // what "real/settings.json" holds afterwards
        std::vector<std::string> folderAfter;  // the entries of the folder
    };
    const auto link = [](const char* target) {
        return [target](const test::TempDir& dir) {
            fs::create_directories(dir / "real");
            writeFileAtomically(dir / "real" / "settings.json", "old");
            fs::create_symlink(target, dir / "settings.json");
        };
    };
    const std::vector<Case> cases = {
        {"missing file is created",
         [](const auto&) {},
         LinkPolicy::replaceTarget,
         std::nullopt,
         false,
         "<none>",
         {"settings.json"}},
        {"regular file is replaced",
         [](const auto& dir) { writeFileAtomically(dir / "settings.json", "old"); },
         LinkPolicy::replaceTarget,
         std::nullopt,
         false,
         "<none>",
         {"settings.json"}},
        {"relative link: target replaced, link kept",
         link("real/settings.json"),
         LinkPolicy::replaceTarget,
         std::nullopt,
         true,
         "new",
         {"real", "settings.json"}},
        {"chain of links: last target replaced",
         [link](const test::TempDir& dir) {
             link("real/settings.json")(dir);
             fs::rename(dir / "settings.json", dir / "middle.json");
             fs::create_symlink(dir / "middle.json", dir / "settings.json");
         },
         LinkPolicy::replaceTarget,
         std::nullopt,
         true,
         "new",
         {"middle.json", "real", "settings.json"}},
        {"dangling link: target created, link kept",
         [](const test::TempDir& dir) {
             fs::create_directories(dir / "real");
             fs::create_symlink("real/settings.json", dir / "settings.json");
         },
         LinkPolicy::replaceTarget,
         std::nullopt,
         true,
         "new",
         {"real", "settings.json"}},
        {"link refused: link and target untouched",
         link("real/settings.json"),
         LinkPolicy::refuse,
         ELOOP,
         true,
         "old",
         {"real", "settings.json"}},
        {"link that goes round",
         [](const auto& dir) { fs::create_symlink("settings.json", dir / "settings.json"); },
         LinkPolicy::replaceTarget,
         ELOOP,
         true,
         "<none>",
         {"settings.json"}},
        {"folder is refused",
         [](const auto& dir) { fs::create_directory(dir / "settings.json"); },
         LinkPolicy::replaceTarget,
         EISDIR,
         false,
         "<none>",
         {"settings.json"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const test::TempDir dir;
        c.plant(dir);
        const auto path = dir / "settings.json";
        try {
            writeFileAtomically(path, "new", ownerOnly, c.links);
            EXPECT_FALSE(c.error) << "no error";
        } catch (const FileError& error) {
            ASSERT_TRUE(c.error) << error.what();
            EXPECT_EQ(error.errorNumber(), *c.error) << error.what();
            EXPECT_NE(std::string(error.what()).find(path.string()), std::string::npos);
        }
        EXPECT_EQ(S_ISLNK(lstatOf(path).st_mode), c.isLinkAfter);
        EXPECT_EQ(contentsOf(dir / "real" / "settings.json"), c.targetAfter);
        if (!c.error) {
            EXPECT_EQ(contentsOf(path), "new");
            EXPECT_EQ(lstatOf(fs::canonical(path)).st_mode & 0777, 0600U);
        }
        EXPECT_EQ(entries(dir.path()), c.folderAfter);
        if (fs::is_directory(dir / "real")) {
            const auto real = entries(dir / "real");
            EXPECT_LE(real.size(), 1U) << "a temporary file is left: " << real.back();
        }
    }
}

// A path naming a FIFO or a device is written to, never replaced by a regular file.
TEST(WriteFileAtomicallyTest, FifoWithReaderReceivesTheContentsAndStaysAFifo) {
    const test::TempDir dir;
    const auto fifo = dir / "report";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto reader = std::async(std::launch::async, [&] {
        UniqueFd fd(::open(fifo.c_str(), O_RDONLY | O_CLOEXEC));
        std::string got;
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::read(fd.get(), buffer, sizeof buffer)) > 0) {
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    });
    // The writer refuses a FIFO nobody reads yet; retry until the reader has opened its end.
    const std::string report(100'000, 'r');  // more than a pipe holds at once
    for (int attempt = 0;; ++attempt) {
        try {
            writeFileAtomically(fifo, report, ownerOnly);
            break;
        } catch (const FileError& error) {
            ASSERT_EQ(error.errorNumber(), ENXIO) << error.what();
            ASSERT_LT(attempt, 5000) << "the reader never opened the pipe";
            ::usleep(1000);
        }
    }
    EXPECT_EQ(reader.get(), report);
    EXPECT_TRUE(S_ISFIFO(lstatOf(fifo).st_mode));
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"report"});
}

TEST(WriteFileAtomicallyTest, FifoWithoutReaderFailsAtOnceAndStaysAFifo) {
    const test::TempDir dir;
    const auto fifo = dir / "report";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    try {
        writeFileAtomically(fifo, "report", ownerOnly);
        FAIL() << "wrote to a pipe nobody reads";
    } catch (const FileError& error) {
        EXPECT_EQ(error.errorNumber(), ENXIO);
        EXPECT_NE(std::string(error.what()).find("no process is reading"), std::string::npos)
            << error.what();
    }
    const auto status = lstatOf(fifo);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0644U) << "the mode of what the user named is left alone";
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"report"});
}

TEST(WriteFileAtomicallyTest, DeviceNodeIsWrittenInPlace) {
    const test::TempDir dir;
    const auto device = dir / "null";
    // The same device as /dev/null, made here so that the real one is never at stake.
    if (::mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
        GTEST_SKIP() << "mknod is not permitted here (" << std::strerror(errno)
                     << "): the test needs root or CAP_MKNOD";
    }
    const auto modeBefore = lstatOf(device).st_mode & 0777;
    for (const auto links : {LinkPolicy::replaceTarget, LinkPolicy::refuse}) {
        writeFileAtomically(device, "report", ownerOnly, links);
    }
    // Through a link the user made, too.
    fs::create_symlink(device, dir / "out");
    writeFileAtomically(dir / "out", "report", ownerOnly);

    const auto status = lstatOf(device);
    EXPECT_TRUE(S_ISCHR(status.st_mode));
    EXPECT_EQ(status.st_rdev, makedev(1, 3));
    EXPECT_EQ(status.st_mode & 0777, modeBefore);
    EXPECT_TRUE(S_ISLNK(lstatOf(dir / "out").st_mode));
    EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"null", "out"}));
}

// A reader never waits on a FIFO (or reads a device) put where a file is expected: it is refused
// at once with the path named, and left where it is.
TEST(ReadFileIfExistsTest, RefusesWhatIsNotARegularFileWithoutWaiting) {
    test::TempDir dir;
    std::ofstream(dir / "file") << "contents";
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    fs::create_directory(dir / "folder");
    fs::create_symlink(dir / "file", dir / "link");
    fs::create_symlink(dir / "fifo", dir / "link-to-fifo");
    const UniqueFd socketFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const auto socketPath = (dir / "socket").string();
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(socketFd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    struct Case {
        const char* name;
        LinkPolicy links;
        std::optional<std::string> contents;  // or refused with FileError
    };
    const Case cases[] = {
        {"file", LinkPolicy::refuse, "contents"},
        {"missing", LinkPolicy::refuse, std::nullopt},
        {"link", LinkPolicy::replaceTarget, "contents"},
        {"link", LinkPolicy::refuse, std::nullopt},
        {"fifo", LinkPolicy::replaceTarget, std::nullopt},
        {"link-to-fifo", LinkPolicy::replaceTarget, std::nullopt},
        {"folder", LinkPolicy::replaceTarget, std::nullopt},
        {"socket", LinkPolicy::replaceTarget, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto path = dir / c.name;
        const bool missing = std::string_view(c.name) == "missing";
        auto read = std::async(std::launch::async, [&] { return readFileIfExists(path, c.links); });
        if (read.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
            ::close(::open((dir / "fifo").c_str(), O_WRONLY | O_NONBLOCK));
            ADD_FAILURE() << c.name << " waited";
        }
        if (c.contents || missing) {
            EXPECT_EQ(read.get(), c.contents) << c.name;
            continue;
        }
        try {
            read.get();
            ADD_FAILURE() << c.name << " was read";
        } catch (const FileError& error) {
            EXPECT_NE(std::string(error.what()).find(path.string()), std::string::npos)
                << error.what();
        }
    }
    EXPECT_TRUE(S_ISFIFO(lstatOf(dir / "fifo").st_mode));
}

}  // namespace
}  // namespace vask
