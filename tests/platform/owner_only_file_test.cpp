#include "platform/owner_only_file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/file_io.h"
#include "support/special_files.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

namespace fs = std::filesystem;

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info.st_mode & 07777;
}

// A database path that is a link, or a companion that is one, is refused and left alone, and
// its target keeps its mode; only regular files are made private.
TEST(OwnerOnlyDatabase, RefusesLinksAndOddFilesAndLeavesThemAsTheyAre) {
    struct Case {
        const char* name;
        std::function<void(const fs::path& db, const fs::path& target)> plant;
        bool refused;
    };
    const Case cases[] = {
        {"missing file", [](const fs::path&, const fs::path&) {}, false},
        {"own file open to others",
         [](const fs::path& db, const fs::path&) {
             std::ofstream(db) << "";
             ::chmod(db.c_str(), 0644);
         },
         false},
        {"link to a file",
         [](const fs::path& db, const fs::path& target) { fs::create_symlink(target, db); }, true},
        {"dangling link",
         [](const fs::path& db, const fs::path& target) {
             fs::create_symlink(target.string() + "-absent", db);
         },
         true},
        {"-wal is a link",
         [](const fs::path& db, const fs::path& target) {
             std::ofstream(db) << "";
             fs::create_symlink(target, db.string() + "-wal");
         },
         true},
        {"FIFO", [](const fs::path& db, const fs::path&) { ::mkfifo(db.c_str(), 0644); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const bool create : {true, false}) {
            test::TempDir dir;
            const auto db = dir / "memory.db";
            const auto target = dir / "unrelated.txt";
            std::ofstream(target) << "unrelated";
            ::chmod(target.c_str(), 0644);
            c.plant(db, target);
            const bool missing = !fs::exists(fs::symlink_status(db));
            const auto kindBefore = fs::symlink_status(db).type();
            try {
                create ? prepareOwnerOnlyDatabase(db) : restrictDatabaseToOwner(db);
                EXPECT_FALSE(c.refused);
                EXPECT_FALSE(!create && missing) << "a missing file is an error without create";
                EXPECT_EQ(modeOf(db), 0600u);
            } catch (const fs::filesystem_error& error) {
                EXPECT_TRUE(c.refused || (!create && missing)) << error.what();
                if (c.refused) {
                    EXPECT_TRUE(isRefusedDatabasePath(error)) << error.what();
                    EXPECT_NE(std::string(error.what()).find(dir.path().string()),
                              std::string::npos);
                }
                EXPECT_EQ(fs::symlink_status(db).type(), kindBefore);
            }
            EXPECT_EQ(modeOf(target), 0644u);
        }
    }
}

// Runs `work` in a child that sees no /proc (a tmpfs over it, in a mount namespace of its own)
// and returns what it wrote; nothing, with the reason in `whyNot`, where the system does not let
// the child hide /proc (no namespace for this user).
std::optional<std::string> withoutProc(const std::function<std::string()>& work,
                                       std::string& whyNot) {
    std::array<int, 2> ends{};
    if (::pipe(ends.data()) != 0) {
        whyNot = "no pipe";
        return std::nullopt;
    }
    constexpr int cannotHide = 77;
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ends[0]);
        // Root needs only a mount namespace; another user maps itself in a user namespace.
        const bool hidden =
            (uid == 0 ? ::unshare(CLONE_NEWNS) == 0
                      : ::unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 &&
                            (std::ofstream("/proc/self/setgroups") << "deny").good() &&
                            (std::ofstream("/proc/self/uid_map") << uid << " " << uid << " 1")
                                .good() &&
                            (std::ofstream("/proc/self/gid_map") << gid << " " << gid << " 1")
                                .good()) &&
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            ::mount("none", "/proc", "tmpfs", 0, nullptr) == 0 &&
            ::access("/proc/self/fd", F_OK) != 0;
        if (!hidden) {
            ::_exit(cannotHide);
        }
        const auto said = work();
        const bool written = ::write(ends[1], said.data(), said.size()) ==
                             static_cast<ssize_t>(said.size());
        ::_exit(written ? 0 : 1);
    }
    ::close(ends[1]);
    std::string said;
    std::array<char, 512> chunk{};
    for (ssize_t n = 0; (n = ::read(ends[0], chunk.data(), chunk.size())) > 0;) {
        said.append(chunk.data(), static_cast<std::size_t>(n));
    }
    ::close(ends[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == cannotHide) {
        whyNot = "this user cannot hide /proc in a mount namespace of its own";
        return std::nullopt;
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return said;
}

// Without /proc (a container, a tmpfs over it) a database is made private all the same, a new
// one under a umask that leaves even the owner out included, and a link is still refused.
TEST(OwnerOnlyDatabase, ModesAreSetWhereThereIsNoProc) {
    test::TempDir dir;
    const auto db = dir / "memory.db";
    const auto target = dir / "unrelated.txt";
    struct Case {
        const char* name;
        std::function<void()> plant;
        bool create;
        fs::path checked;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"an existing database open to others",
         [&] {
             std::ofstream(db) << "";
             ::chmod(db.c_str(), 0644);
         },
         true, db, "600"},
        {"a new database under umask 0277", [] { ::umask(0277); }, true, db, "600"},
        {"an existing database, restricted",
         [&] {
             std::ofstream(db) << "";
             ::chmod(db.c_str(), 0640);
         },
         false, db, "600"},
        {"a companion open to others",
         [&] {
             std::ofstream(db) << "";
             std::ofstream(db.string() + "-wal") << "";
             ::chmod(db.c_str(), 0600);
             ::chmod((db.string() + "-wal").c_str(), 0644);
         },
         true, db.string() + "-wal", "600"},
        {"a link to a file", [&] { fs::create_symlink(target, db); }, true, target,
         "refused 644"},
    };
    std::string whyNot;
    const auto said = withoutProc(
        [&] {
            std::ostringstream out;
            for (const auto& c : cases) {
                fs::remove(db);
                fs::remove(db.string() + "-wal");
                std::ofstream(target) << "unrelated";
                ::chmod(target.c_str(), 0644);
                const mode_t umask = ::umask(022);
                ::umask(umask);
                c.plant();
                out << c.name << ": ";
                try {
                    c.create ? prepareOwnerOnlyDatabase(db) : restrictDatabaseToOwner(db);
                } catch (const fs::filesystem_error& error) {
                    out << (isRefusedDatabasePath(error) ? "refused " : error.what());
                }
                ::umask(umask);
                out << std::oct << modeOf(c.checked) << std::dec << "\n";
            }
            return out.str();
        },
        whyNot);
    if (!said) {
        GTEST_SKIP() << whyNot;
    }
    std::string expected;
    for (const auto& c : cases) {
        expected += std::string(c.name) + ": " + c.expected + "\n";
    }
    EXPECT_EQ(*said, expected);
}

TEST(OwnerOnlyFile, AppendsOnlyToARegularFileOfThisUser) {
    test::TempDir dir;
    const auto file = dir / "log";
    EXPECT_FALSE(appendToOwnerOnlyFile(file, "one\n"));
    ::chmod(file.c_str(), 0644);
    EXPECT_FALSE(appendToOwnerOnlyFile(file, "two\n"));
    EXPECT_EQ(modeOf(file), 0600u);
    std::ifstream in(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "one\ntwo\n");

    const auto link = dir / "link";
    fs::create_symlink(file, link);
    const auto refused = appendToOwnerOnlyFile(link, "three\n");
    ASSERT_TRUE(refused);
    EXPECT_NE(refused->find(link.string()), std::string::npos);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
        EXPECT_TRUE(appendToOwnerOnlyFile(file, "four\n")) << "another user's file";
    }
}

// Sockets and locks go only to a folder of this user that no one else may enter, and never to
// a shared temporary folder.
TEST(PrivateRuntimeFolder, TakesTheFirstFolderThatIsTheUsersOwnAndPrivate) {
    test::TempDir root;
    const auto runtime = root / "runtime";
    const auto cache = root / "cache";
    const auto data = root / "data";
    struct Case {
        const char* name;
        std::function<void()> prepare;
        std::optional<fs::path> chosen;
    };
    const Case cases[] = {
        {"private runtime folder",
         [&] {
             fs::create_directory(runtime);
             ::chmod(runtime.c_str(), 0700);
         },
         runtime},
        {"runtime folder open to others",
         [&] {
             fs::create_directory(runtime);
             ::chmod(runtime.c_str(), 0755);
         },
         cache / "vask-runtime"},
        {"runtime folder is a link",
         [&] {
             fs::create_directory(root / "elsewhere");
             ::chmod((root / "elsewhere").c_str(), 0700);
             fs::create_directory_symlink(root / "elsewhere", runtime);
         },
         cache / "vask-runtime"},
        {"runtime folder missing", [] {}, cache / "vask-runtime"},
        {"own cache folder left open is narrowed",
         [&] {
             fs::create_directories(cache / "vask-runtime");
             ::chmod((cache / "vask-runtime").c_str(), 0777);
         },
         cache / "vask-runtime"},
        {"cache place is a link",
         [&] {
             fs::create_directories(cache);
             fs::create_directory(root / "elsewhere");
             fs::create_directory_symlink(root / "elsewhere", cache / "vask-runtime");
         },
         data / "vask-runtime"},
        {"cache place is a file",
         [&] {
             fs::create_directories(cache);
             std::ofstream(cache / "vask-runtime") << "";
         },
         data / "vask-runtime"},
        {"nothing fits",
         [&] {
             std::ofstream(cache) << "";
             std::ofstream(data) << "";
         },
         std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& entry : fs::directory_iterator(root.path())) {
            fs::remove_all(entry.path());
        }
        c.prepare();
        const Environment env{{"XDG_RUNTIME_DIR", runtime.string()},
                              {"XDG_CACHE_HOME", cache.string()},
                              {"XDG_DATA_HOME", data.string()}};
        if (!c.chosen) {
            EXPECT_THROW(privateRuntimeFolder(env), Error);
            continue;
        }
        EXPECT_EQ(privateRuntimeFolder(env), *c.chosen);
        struct stat info {};
        ASSERT_EQ(::lstat(c.chosen->c_str(), &info), 0);
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0700u);
        EXPECT_EQ(info.st_uid, ::geteuid());
    }
    if (::geteuid() == 0) {
        SCOPED_TRACE("another user's folders");
        for (const auto& entry : fs::directory_iterator(root.path())) {
            fs::remove_all(entry.path());
        }
        for (const auto& folder : {runtime, cache / "vask-runtime"}) {
            fs::create_directories(folder);
            ::chmod(folder.c_str(), 0700);
            ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
        }
        EXPECT_EQ(privateRuntimeFolder({{"XDG_RUNTIME_DIR", runtime.string()},
                                        {"XDG_CACHE_HOME", cache.string()},
                                        {"XDG_DATA_HOME", data.string()}}),
                  data / "vask-runtime");
    }
}

// Vask's own folders are private from the moment they exist, whatever the umask; folders that
// were there already are left as they are.
TEST(OwnerOnlyDirectories, AreMadePrivateWhateverTheUmask) {
    test::TempDir root;
    fs::create_directory(root / "shared");
    ::chmod((root / "shared").c_str(), 0755);
    const mode_t umask = ::umask(0);
    createOwnerOnlyDirectories(root / "shared" / "a" / "b");
    ::umask(umask);
    EXPECT_EQ(modeOf(root / "shared"), 0755u);
    EXPECT_EQ(modeOf(root / "shared" / "a"), 0700u);
    EXPECT_EQ(modeOf(root / "shared" / "a" / "b"), 0700u);
    std::ofstream(root / "file") << "";
    EXPECT_THROW(createOwnerOnlyDirectories(root / "file" / "sub"), FileError);
}

// A home folder where nothing can be made: the reason given is why the first folder could not
// be made, not that a folder further down does not exist.
TEST(PrivateRuntimeFolder, SaysWhyTheFirstFolderCouldNotBeMade) {
    test::TempDir root;
    const auto home = root / "home";
    fs::create_directory(home);
    const bool locked =
        ::geteuid() == 0 ? test::setImmutable(home, true) : ::chmod(home.c_str(), 0500) == 0;
    if (!locked) {
        GTEST_SKIP() << "no way to make a folder unwritable here";
    }
    std::string reason;
    try {
        privateRuntimeFolder({{"HOME", home.string()}});
    } catch (const Error& error) {
        reason = error.what();
    }
    test::setImmutable(home, false);
    ::chmod(home.c_str(), 0700);
    EXPECT_NE(reason.find("Could not create the folder " + (home / ".cache").string()),
              std::string::npos)
        << reason;
    EXPECT_EQ(reason.find("No such file or directory"), std::string::npos) << reason;
}

}  // namespace
}  // namespace vask
