#include "sources/file_beneath.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "folder_fixtures.h"
#include "platform/file_io.h"
#include "sources/file_access_types.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

namespace fs = std::filesystem;

TEST(FileBeneathTest, OnlyRegularFilesReachedWithoutLinksOpen) {
    test::TempDir dir;
    const auto root = dir / "root";
    test::writeFileCreatingFolders(root / "sub" / "a.txt", "inside");
    test::writeFileCreatingFolders(dir / "outside" / "a.txt", "outside");
    fs::create_directory_symlink(root / "sub", root / "sub-link");
    fs::create_directory_symlink(dir / "outside", root / "out-link");
    fs::create_symlink(root / "sub" / "a.txt", root / "file-link.txt");
    ASSERT_EQ(::mkfifo((root / "fifo").c_str(), 0600), 0);
    fs::create_directories(root / "folder");

    struct Case {
        const char* relative;
        bool opens;
    };
    const std::vector<Case> cases = {
        {"sub/a.txt", true},
        {"sub-link/a.txt", false},  // a link, even one that stays inside
        {"out-link/a.txt", false},
        {"file-link.txt", false},
        {"fifo", false},  // and without waiting for a writer
        {"folder", false},
        {"sub/../sub/a.txt", false},
        {"../outside/a.txt", false},
        {"missing.txt", false},
    };
    fs::create_directory_symlink(root, dir / "root-link");
    EXPECT_THROW(FileBeneath::openRegularFile(dir / "root-link", "sub/a.txt"), FileError);
    for (const auto walk :
         {FileBeneath::Walk::automatic, FileBeneath::Walk::componentByComponent}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.relative) +
                         (walk == FileBeneath::Walk::automatic ? " automatic" : " by component"));
            if (c.opens) {
                const auto fd = FileBeneath::openRegularFile(root, c.relative, walk);
                EXPECT_EQ(FileBeneath::readAll(fd, 100), "inside");
            } else {
                EXPECT_THROW(FileBeneath::openRegularFile(root, c.relative, walk), Error);
            }
        }
    }
}

TEST(FileBeneathTest, ReadingStopsAtTheCapAndOnCancellation) {
    test::TempDir dir;
    test::writeFileCreatingFolders(dir / "f.txt", std::string(200 * 1024, 'x'));
    {
        const auto fd = FileBeneath::openRegularFile(dir.path(), "f.txt");
        EXPECT_EQ(FileBeneath::readAll(fd, 200 * 1024).size(), 200U * 1024);
    }
    {
        const auto fd = FileBeneath::openRegularFile(dir.path(), "f.txt");
        try {
            FileBeneath::readAll(fd, 100 * 1024);
            ADD_FAILURE() << "read past the cap";
        } catch (const FileAccessError& error) {
            EXPECT_EQ(error.kind(), FileAccessError::Case::tooLarge);
        }
    }
    {
        const auto fd = FileBeneath::openRegularFile(dir.path(), "f.txt");
        std::stop_source stop;
        stop.request_stop();
        EXPECT_THROW(FileBeneath::readAll(fd, 1024 * 1024, stop.get_token()), Error);
    }
}

}  // namespace
}  // namespace vask
