// vask-screenshots OUT_DIR
// Renders the views in their named states with stand-in data, in the light and the dark
// appearance, as OUT_DIR/<view>-<state>-<light|dark>.png.
#include <QApplication>
#include <QDir>

#include <filesystem>
#include <iostream>
#include <string>

#include "screenshot_scenes.h"
#include "ui/keyboard.h"
#include "ui/theme.h"

using namespace vask;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: vask-screenshots OUT_DIR\n";
        return 2;
    }
    QApplication app(argc, argv);
    ui::Theme::initResources();
    // Tab's ring and Return on a button, for the states reached by the keyboard.
    ui::installKeyboardHandling(app);
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);
    const auto scratch = std::filesystem::path(QDir::tempPath().toStdString()) /
                         ("vask-screenshots-" + std::to_string(QApplication::applicationPid()));
    const auto shots = screenshots::allShots(scratch);
    int written = 0;
    for (const auto appearance : {ui::Appearance::light, ui::Appearance::dark}) {
        ui::Theme::apply(app, appearance);
        const char* suffix = appearance == ui::Appearance::dark ? "dark" : "light";
        for (const auto& shot : shots) {
            const screenshots::ShownShot shown(shot, scratch);
            const QString file = QString("%1/%2-%3-%4.png").arg(out, shot.view, shot.state, suffix);
            if (!shown.widget()->grab().save(file)) {
                std::cerr << "vask-screenshots: could not write " << file.toStdString() << "\n";
                return 1;
            }
            ++written;
        }
    }
    std::filesystem::remove_all(scratch);
    std::cout << written << " screenshots in " << out.toStdString() << "\n";
    return 0;
}
