#include "shell/full_disk_access_view_model.h"

#include <gtest/gtest.h>

#include "platform/manual_executor.h"
#include "support/log_capture.h"

namespace vask {
namespace {

class RecordingOpener final : public SystemSettingsOpener {
  public:
    explicit RecordingOpener(int opensAt) : opensAt_(opensAt) {}
    bool open(const std::string& link) override {
        tried.push_back(link);
        return static_cast<int>(tried.size()) == opensAt_;
    }
    std::vector<std::string> tried;

  private:
    int opensAt_;
};

struct FdaFixture {
    explicit FdaFixture(std::shared_ptr<SystemSettingsOpener> opener =
                            std::make_shared<UnavailableSystemSettingsOpener>()) {
        viewModel = FullDiskAccessViewModel::make({
            .probe =
                [this](const StructuredLogger&) {
                    ++probes;
                    return answers.at(std::min(probes, answers.size()) - 1);
                },
            .opener = std::move(opener),
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

TEST(FullDiskAccessViewModelTest, OpeningSettingsTriesTheLinksInOrder) {
    struct Case {
        int opensAt;  // 0: none opens
        std::size_t tried;
        bool failed;
    };
    for (const auto& c : {Case{1, 1, false}, Case{3, 3, false}, Case{0, 4, true}}) {
        test::LogCapture log;
        auto opener = std::make_shared<RecordingOpener>(c.opensAt);
        FdaFixture fixture(opener);
        fixture.viewModel->openSettings();
        EXPECT_EQ(opener->tried.size(), c.tried) << c.opensAt;
        EXPECT_EQ(opener->tried.front(),
                  "x-apple.systempreferences:com.apple.preference.security?Privacy_AllFiles");
        if (c.failed) {
            EXPECT_EQ(fixture.viewModel->lastError.get(), "Could not open System Settings");
            EXPECT_TRUE(log->contains("fda_open_settings_failed"));
        } else {
            EXPECT_EQ(fixture.viewModel->lastError.get(), std::nullopt);
            EXPECT_EQ(log->events("fda_open_settings").at(0).metadata.at("url"),
                      opener->tried.back());
        }
    }
}

// On Linux no settings link opens: the failure text shows until a probe replaces it.
TEST(FullDiskAccessViewModelTest, ProbeAnswersReplaceWhatIsShownUnlessTheyCannotTell) {
    FdaFixture fixture;
    auto& vm = *fixture.viewModel;
    vm.openSettings();
    EXPECT_EQ(vm.lastError.get(), "Could not open System Settings");
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
