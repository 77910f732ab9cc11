#include <QApplication>
#include <QFontInfo>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "ui/keyboard.h"
#include "ui/theme.h"

namespace {

constexpr auto fontFamily = "DejaVu Sans";

// One application object for the whole suite, on the offscreen platform (widget tests need no
// display), in the light brand palette as the application sets it at start. Every width and line
// height is measured with DejaVu Sans alone: fontconfig reads the suite's own configuration, so
// the fonts a machine has (or lacks) change no outcome.
class QtEnvironment final : public ::testing::Environment {
  public:
    void SetUp() override {
        std::error_code error;
        if (!std::filesystem::is_regular_file(VASK_TEST_FONT_FILE, error)) {
            GTEST_FAIL() << "The widget tests measure with " << fontFamily << ", and "
                         << VASK_TEST_FONT_FILE
                         << " is missing: scripts/setup.sh installs it (fonts-dejavu-core).";
        }
        qputenv("FONTCONFIG_FILE", VASK_TEST_FONTCONFIG_FILE);
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "vask_ui_tests";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QApplication>(argc, argv);
        vask::ui::Theme::initResources();
        // As the application starts: the brand palette, which fades every disabled text.
        vask::ui::Theme::apply(*app_, vask::ui::Appearance::light);
        vask::ui::installKeyboardHandling(*app_);
        const QString used = QFontInfo(QApplication::font()).family();
        if (used != QLatin1String(fontFamily)) {
            GTEST_FAIL() << "The widget tests measure with " << fontFamily << ", not with "
                         << used.toStdString() << " (" << VASK_TEST_FONTCONFIG_FILE << ").";
        }
    }
    void TearDown() override { app_.reset(); }

  private:
    std::unique_ptr<QApplication> app_;
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace
