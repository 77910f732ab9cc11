#include "shell/full_disk_access_view_model.h"

#include <gtest/gtest.h>

#include "platform/file_io.h"
#include "platform/manual_executor.h"
#include "platform/open_command.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

class RecordingOpener final : public UrlOpener {
  public:
    explicit RecordingOpener(bool opens) : opens_(opens) {}
    bool open(const std::string& url) override {
        opened.push_back(url);
        return opens_;
    }
    std::vector<std::string> opened;

  private:
    bool opens_;
};

struct FdaFixture {
    explicit FdaFixture(std::shared_ptr<UrlOpener> opener = nullptr,
                        std::filesystem::path chatDB = "/nonexistent/Messages/chat.db") {
        viewModel = FullDiskAccessViewModel::make({
            .probe =
                [this](const StructuredLogger&) {
                    ++probes;
                    return answers.at(std::min(probes, answers.size()) - 1);
                },
            .chatDBPath = std::move(chatDB),
            .folderOpener = std::move(opener),
            .main = main,
            .worker = worker,
        });
    }
    void check() {
        viewModel->checkAccess();
        while (worker.runUntilIdle() + main.runUntilIdle() > 0) {
        }
    }

    ManualExecutor main;
    ManualExecutor worker;
    std::vector<FullDiskAccessResult> answers;
    std::size_t probes = 0;
    std::shared_ptr<FullDiskAccessViewModel> viewModel;
};

TEST(FullDiskAccessViewModelTest, OpeningTheFolderMakesItAndSaysWhereWhenItCannot) {
    test::TempDir dir;
    // A file where a folder should be: the folder cannot be made.
    writeFileAtomically(dir / "blocked", "");
    struct Case {
        const char* name;
        std::filesystem::path chatDB;
        bool hasOpener;
        bool opens;
        std::optional<std::string> error;  // prefix of lastError
        const char* event;
    };
    const auto made = dir / "new folder" / "Messages" / "chat.db";
    const std::vector<Case> cases{
        {"opened", made, true, true, std::nullopt, "fda_open_folder"},
        {"file manager refuses", made, true, false,
         "Could not open the folder " + made.parent_path().string() + " in the file manager",
         "fda_open_folder_failed"},
        {"no file manager", made, false, false, "Could not open the folder ",
         "fda_open_folder_failed"},
        {"cannot be made", dir / "blocked" / "Messages" / "chat.db", true, true,
         "Could not open the folder " + (dir / "blocked" / "Messages").string() + ": ",
         "fda_create_folder_failed"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(dir / "new folder");
        test::LogCapture log;
        auto opener = std::make_shared<RecordingOpener>(c.opens);
        FdaFixture fixture(c.hasOpener ? opener : nullptr, c.chatDB);
        fixture.viewModel->openDatabaseFolder();
        fixture.main.runUntilIdle();
        const auto& error = fixture.viewModel->lastError.get();
        EXPECT_EQ(error.has_value(), c.error.has_value()) << c.name;
        if (c.error && error) {
            EXPECT_TRUE(error->starts_with(*c.error)) << c.name << ": " << *error;
        }
        EXPECT_TRUE(log->contains(c.event)) << c.name;
        if (std::string_view(c.event) != "fda_create_folder_failed") {
            EXPECT_TRUE(std::filesystem::is_directory(c.chatDB.parent_path())) << c.name;
        }
        if (c.hasOpener && std::string_view(c.event) != "fda_create_folder_failed") {
            EXPECT_EQ(
                opener->opened,
                std::vector<std::string>{FullDiskAccessViewModel::fileURL(c.chatDB.parent_path())})
                << c.name;
        }
    }
}

// xdg-open starts, then fails: its exit status is the only sign, and the user learns of it
// with the folder to go to by hand.
TEST(FullDiskAccessViewModelTest, AnOpenerThatStartsButFailsIsReported) {
    struct Case {
        std::vector<std::string> command;
        std::optional<std::string> why;
    };
    const std::vector<Case> cases{
        {{"true"}, std::nullopt},
        {{"false"}, "false exited with status 1"},
        {{"sh", "-c", "kill -9 $$"}, "sh was ended by signal 9"},
        {{"/nonexistent/xdg-open"}, "/nonexistent/xdg-open: No such file or directory"},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        test::LogCapture log;
        const auto chatDB = dir / "Messages" / "chat.db";
        FdaFixture fixture(std::make_shared<CommandUrlOpener>(
                               c.command, std::make_shared<OpenCommandRunner>(WithheldVariables{})),
                           chatDB);
        fixture.viewModel->openDatabaseFolder();
        const char* event = c.why ? "fda_open_folder_failed" : "fda_open_folder";
        ASSERT_TRUE(
            fixture.main.runUntil([&] { return log->contains(event); }, std::chrono::seconds(30)))
            << c.command.front();
        if (c.why) {
            EXPECT_EQ(fixture.viewModel->lastError.get(),
                      "Could not open the folder " + chatDB.parent_path().string() +
                          " in the file manager (" + *c.why + "). Copy chat.db into it by hand.");
            // Kept while the probe goes on answering, for the user to act on.
            fixture.answers = {{false, "chat.db not found"}};
            fixture.check();
            EXPECT_EQ(fixture.viewModel->folderFailure.get(),
                      "The folder did not open in the file manager (" + *c.why +
                          "). Copy chat.db into it by hand.");
        } else {
            EXPECT_EQ(fixture.viewModel->folderFailure.get(), std::nullopt);
        }
    }
}

TEST(FullDiskAccessViewModelTest, FolderAddressesAreEncodedSegmentBySegment) {
    EXPECT_EQ(FullDiskAccessViewModel::fileURL("/home/ada/Library/Messages"),
              "file:///home/ada/Library/Messages");
    EXPECT_EQ(FullDiskAccessViewModel::fileURL("/home/a d/50%#?/"),
              "file:///home/a%20d/50%25%23%3F");
    EXPECT_EQ(FullDiskAccessViewModel::fileURL("/"), "file:///");
}

// A failure to open the folder shows until a probe replaces it.
TEST(FullDiskAccessViewModelTest, ProbeAnswersReplaceWhatIsShownUnlessTheyCannotTell) {
    test::TempDir dir;
    FdaFixture fixture(nullptr, dir / "Messages" / "chat.db");
    auto& vm = *fixture.viewModel;
    vm.openDatabaseFolder();
    EXPECT_TRUE(vm.lastError.get().has_value());
    struct Step {
        FullDiskAccessResult answer;
        bool hasAccess;
        std::optional<std::string> lastError;
    };
    const std::vector<Step> steps{
        {{true, std::nullopt}, true, std::nullopt},
        // Another program holds the database: still granted, nothing to do for the user.
        {{false, "database is locked"}, true, std::nullopt},
        {{false, "authorization denied"}, false, "authorization denied"},
        {{false, "database table is locked"}, false, "authorization denied"},
        {{false, "chat.db not found"}, false, "chat.db not found"},
    };
    for (const auto& step : steps) {
        fixture.answers = {step.answer};
        fixture.probes = 0;
        fixture.check();
        EXPECT_EQ(vm.hasAccess.get(), step.hasAccess) << step.answer.reason.value_or("ok");
        EXPECT_EQ(vm.lastError.get(), step.lastError) << step.answer.reason.value_or("ok");
    }
}

TEST(FullDiskAccessViewModelTest, ACheckAskedDuringAProbeRunsOnceMoreAfterIt) {
    FdaFixture fixture;
    fixture.answers = {{false, "authorization denied"}, {true, std::nullopt}};
    fixture.viewModel->checkAccess();
    fixture.viewModel->checkAccess();
    fixture.viewModel->checkAccess();
    while (fixture.worker.runUntilIdle() + fixture.main.runUntilIdle() > 0) {
    }
    EXPECT_EQ(fixture.probes, 2u);
    EXPECT_TRUE(fixture.viewModel->hasAccess.get()) << "the last answer is the newest";
}

}  // namespace
}  // namespace vask
