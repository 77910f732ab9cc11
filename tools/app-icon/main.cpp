// vask-app-icon OUT_DIR
// Writes the application icon for the freedesktop icon theme:
// OUT_DIR/hicolor/scalable/apps/vask.svg and OUT_DIR/hicolor/<n>x<n>/apps/vask.png at each
// installed size, all drawn from the brand mark.
#include <QDir>
#include <QFile>
#include <QGuiApplication>

#include <iostream>

#include "ui/brand_marks.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: vask-app-icon OUT_DIR\n";
        return 2;
    }
    QGuiApplication app(argc, argv);
    const QString theme = QString::fromLocal8Bit(argv[1]) + "/hicolor";
    const auto fail = [](const QString& path) {
        std::cerr << "vask-app-icon: could not write " << path.toStdString() << "\n";
        return 1;
    };
    const QString scalable = theme + "/scalable/apps";
    QDir().mkpath(scalable);
    QFile svg(scalable + "/vask.svg");
    if (!svg.open(QIODevice::WriteOnly) || svg.write(vask::ui::appIconSvg()) < 0) {
        return fail(svg.fileName());
    }
    svg.close();
    for (const int size : vask::ui::appIconSizes) {
        const QString folder = QString("%1/%2x%2/apps").arg(theme).arg(size);
        QDir().mkpath(folder);
        if (!vask::ui::appIconImage(size).save(folder + "/vask.png")) {
            return fail(folder + "/vask.png");
        }
    }
    return 0;
}
