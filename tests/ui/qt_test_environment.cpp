#include <QApplication>

#include <gtest/gtest.h>

#include <memory>

#include "ui/theme.h"

namespace {

// One application object for the whole suite, on the offscreen platform (widget tests need no
// display), in the light brand palette as the application sets it at start.
class QtEnvironment final : public ::testing::Environment {
  public:
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "vask_ui_tests";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QApplication>(argc, argv);
        vask::ui::Theme::initResources();
        // As the application starts: the brand palette, which fades every disabled text.
        vask::ui::Theme::apply(*app_, vask::ui::Appearance::light);
    }
    void TearDown() override { app_.reset(); }

  private:
    std::unique_ptr<QApplication> app_;
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace
