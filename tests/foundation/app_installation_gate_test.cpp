#include <gtest/gtest.h>

#include <fstream>

#include "foundation/app_installation_gate.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

class RecordingPresenter final : public AlertPresenter {
  public:
    int runModal(const Alert& alert) override {
        shown.push_back(alert);
        return 0;
    }
    std::vector<Alert> shown;
};

TEST(AppInstallationGate, LocationCheckResolvesLinksAndDotComponents) {
    test::TempDir dir;
    const auto installed = dir / "usr" / "bin" / "vask";
    std::filesystem::create_directories(installed.parent_path());
    std::ofstream(installed) << "binary";
    std::filesystem::create_directories(dir / "links");
    std::filesystem::create_symlink(installed, dir / "links" / "vask");
    std::filesystem::create_directory_symlink(dir / "usr", dir / "usr-link");
    std::filesystem::create_directories(dir / "home" / "Applications");
    std::filesystem::copy_file(installed, dir / "home" / "Applications" / "vask");

    using Status = AppInstallation::Status;
    struct Case {
        const char* name;
        std::filesystem::path running;
        Status expected;
    };
    const Case cases[] = {
        {"the installed path", installed, Status::installed},
        {"a symbolic link to it", dir / "links" / "vask", Status::installed},
        {"through a linked folder", dir / "usr-link" / "bin" / "vask", Status::installed},
        {"dot components", dir / "usr" / "." / "lib" / ".." / "bin" / "vask", Status::installed},
        {"a copy elsewhere", dir / "home" / "Applications" / "vask", Status::requiresInstallation},
        {"a path that does not exist", dir / "mnt" / "image" / "vask",
         Status::requiresInstallation},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(AppInstallation::check({c.running, installed, false}), c.expected);
    }
    EXPECT_EQ(AppInstallation::check({dir / "usr" / "bin" / "", dir / "usr" / "bin", false}),
              Status::installed);
}

TEST(AppInstallationGate, OnlyAPackagedBuildInTheWrongPlaceIsStopped) {
    test::TempDir dir;
    RecordingPresenter presenter;
    int terminated = 0;
    const auto gate = [&](const AppInstallation::Context& location) {
        AppInstallationGate::requireCanonicalInstall(location, presenter, [&] { ++terminated; });
    };
    gate({dir.path(), dir.path(), false});                    // the right place
    gate({dir / "build" / "vask", dir / "installed", true});  // a development build
    EXPECT_EQ(terminated, 0);
    EXPECT_TRUE(presenter.shown.empty());

    gate({dir / "elsewhere", dir / "installed", false});
    EXPECT_EQ(terminated, 1);
    ASSERT_EQ(presenter.shown.size(), 1u);
    EXPECT_EQ(presenter.shown[0].buttons, (std::vector<std::string>{"Quit Vask"}));
    EXPECT_EQ(presenter.shown[0].style, Alert::Style::informational);
}

}  // namespace
}  // namespace vask
