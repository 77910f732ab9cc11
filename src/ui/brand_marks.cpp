#include "ui/brand_marks.h"

#include <QEvent>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cmath>
#include <numbers>

#include "ui/theme.h"

namespace vask::ui {

namespace {

constexpr qreal breathScale = 1.18;
constexpr qreal breathOutOpacity = 0.45;

// Nothing breathes with reduce-motion.
Breath* breathFor(QWidget* owner, std::function<void(qreal)> changed) {
    return Theme::reduceMotion() ? nullptr : new Breath(owner, std::move(changed));
}

// The ring: 240 degrees with its 120-degree opening centred on the right-hand side.
void paintRing(QPainter& painter, const QRectF& square, qreal lineWidth, qreal inset,
               const QColor& colour) {
    QPen pen(colour, lineWidth, Qt::SolidLine, Qt::RoundCap, Qt::MiterJoin);
    pen.setMiterLimit(10);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    const QRectF ring = square.adjusted(inset, inset, -inset, -inset);
    // Qt measures angles counter-clockwise from 3 o'clock, in sixteenths of a degree.
    painter.drawArc(ring, 60 * 16, 240 * 16);
}

}  // namespace

Breath::Breath(QWidget* owner, std::function<void(qreal)> changed)
    : QObject(owner), changed_(std::move(changed)) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] {
        const qint64 elapsed = clock_.elapsed();
        changed_(phaseAt(elapsed));
        timer_.start(frameAfter(elapsed));
    });
    // Only while on screen: hidden (a page not shown, a window closed to the tray) it would go
    // on waking the application for frames nobody sees.
    owner->installEventFilter(this);
    if (owner->isVisible()) {
        start();
    }
}

qreal Breath::phaseAt(qint64 elapsed) {
    const qreal turn = static_cast<qreal>(elapsed % cycleMilliseconds) / cycleMilliseconds;
    return (1 - std::cos(2 * std::numbers::pi * turn)) / 2;
}

int Breath::frameAfter(qint64 elapsed) {
    constexpr int resolution = 5;
    const qreal drawn = phaseAt(elapsed);
    int wait = resolution;
    while (wait < longestFrameMilliseconds &&
           std::abs(phaseAt(elapsed + wait) - drawn) < phaseStep) {
        wait += resolution;
    }
    return wait;
}

void Breath::start() {
    clock_.start();
    timer_.start(frameAfter(0));
}

bool Breath::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Show && !timer_.isActive()) {
        start();
    } else if (event->type() == QEvent::Hide) {
        timer_.stop();
    }
    return QObject::eventFilter(watched, event);
}

CurlMarkGeometry CurlMarkGeometry::forSize(QSizeF size) {
    const qreal side = std::min(size.width(), size.height());
    return {.side = side,
            .lineWidth = 0.14 * side,
            .inset = 0.09 * side,
            .dotDiameter = 0.22 * side,
            .square = QRectF((size.width() - side) / 2, (size.height() - side) / 2, side, side)};
}

BreathingDot::BreathingDot(qreal diameter, QWidget* parent) : QWidget(parent), diameter_(diameter) {
    setAttribute(Qt::WA_TranslucentBackground);
    const int extent = static_cast<int>(std::ceil(diameter * breathScale));
    setFixedSize(extent, extent);
    breath_ = breathFor(this, [this](qreal phase) {
        phase_ = phase;
        update();
    });
}

void BreathingDot::paintDot(QPainter& painter, QPointF centre, qreal diameter, qreal phase,
                            bool still) {
    const qreal scale = still ? 1.0 : 1.0 + (breathScale - 1.0) * phase;
    const qreal opacity = still ? 1.0 : breathOutOpacity + (1.0 - breathOutOpacity) * phase;
    const qreal d = diameter * scale;
    painter.save();
    painter.setOpacity(opacity);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Theme::palette().accent);
    painter.drawEllipse(QRectF(centre.x() - d / 2, centre.y() - d / 2, d, d));
    painter.restore();
}

void BreathingDot::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    paintDot(painter, QRectF(rect()).center(), diameter_, phase_, breath_ == nullptr);
}

CurlMark::CurlMark(bool breathing, QWidget* parent) : QWidget(parent), breathing_(breathing) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAccessibleName(QString());
    setFocusPolicy(Qt::NoFocus);
    if (breathing_) {
        // The ring stays as it is: only the dot is drawn again.
        breath_ = breathFor(this, [this](qreal phase) {
            phase_ = phase;
            update(dotBounds());
        });
    }
}

QRect CurlMark::dotBounds() const {
    const auto geometry = CurlMarkGeometry::forSize(QSizeF(size()));
    const qreal d = geometry.dotDiameter * breathScale;
    const QPointF centre = geometry.square.center();
    // Every pixel it touches, its antialiased edge included.
    return QRectF(centre.x() - d / 2, centre.y() - d / 2, d, d).toAlignedRect();
}

void CurlMark::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const auto geometry = CurlMarkGeometry::forSize(QSizeF(size()));
    const auto palette = Theme::palette();
    paintRing(painter, geometry.square, geometry.lineWidth, geometry.inset, palette.ink);
    BreathingDot::paintDot(painter, geometry.square.center(), geometry.dotDiameter, phase_,
                           breath_ == nullptr);
}

namespace {

// The brand plum behind the white mark: 8.9:1 against white, so the ring and dot stay crisp.
constexpr QRgb iconPlum = 0x93408A;
constexpr QRgb iconPlumDeep = 0x6A2A63;
// In hundredths of the icon's side, shared by the painted and the vector picture.
constexpr qreal iconCorner = 22;
constexpr qreal iconRingInset = 24;
constexpr qreal iconRingWidth = 9;
constexpr qreal iconDotRadius = 7;

void paintIconMark(QPainter& painter, const QRectF& square) {
    const qreal u = square.width() / 100.0;
    const QRectF markSquare = square.adjusted(iconRingInset * u, iconRingInset * u,
                                              -iconRingInset * u, -iconRingInset * u);
    paintRing(painter, markSquare, iconRingWidth * u, iconRingWidth * u / 2, Qt::white);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawEllipse(square.center(), iconDotRadius * u, iconDotRadius * u);
}

}  // namespace

QImage appIconImage(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF square(0, 0, size, size);
    QLinearGradient fill(square.topLeft(), square.bottomRight());
    fill.setColorAt(0, QColor::fromRgb(iconPlum));
    fill.setColorAt(1, QColor::fromRgb(iconPlumDeep));
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    const qreal corner = iconCorner * size / 100.0;
    painter.drawRoundedRect(square, corner, corner);
    paintIconMark(painter, square);
    return image;
}

QIcon appIcon() {
    QIcon icon;
    for (const int size : appIconSizes) {
        icon.addPixmap(QPixmap::fromImage(appIconImage(size)));
    }
    return icon;
}

QByteArray appIconSvg() {
    // The ring as paintRing draws it: 240 degrees, open on the right (from 60 to 300 degrees,
    // counter-clockwise from three o'clock), on a circle inset by half the stroke.
    const qreal radius = 50 - iconRingInset - iconRingWidth / 2;
    const qreal startX = 50 + radius * 0.5;
    const qreal startY = 50 - radius * 0.8660254037844386;
    const qreal endY = 50 + radius * 0.8660254037844386;
    const auto n = [](qreal value) { return QByteArray::number(value, 'f', 3); };
    QByteArray svg;
    svg += R"svg(<svg xmlns="http://www.w3.org/2000/svg" width="100" height="100" )svg"
           R"svg(viewBox="0 0 100 100">)svg"
           "\n";
    svg +=
        R"svg(  <defs><linearGradient id="plum" x1="0" y1="0" x2="1" y2="1"><stop offset="0" )svg"
        R"svg(stop-color=")svg" +
        QColor::fromRgb(iconPlum).name().toLatin1() + R"svg("/><stop offset="1" stop-color=")svg" +
        QColor::fromRgb(iconPlumDeep).name().toLatin1() + R"svg("/></linearGradient></defs>)svg" +
        "\n";
    svg += R"svg(  <rect width="100" height="100" rx=")svg" + n(iconCorner) +
           R"svg(" fill="url(#plum)"/>)svg" + "\n";
    svg += R"svg(  <path d="M )svg" + n(startX) + " " + n(startY) + " A " + n(radius) + " " +
           n(radius) + " 0 1 0 " + n(startX) + " " + n(endY) +
           R"svg(" fill="none" stroke="#ffffff" stroke-width=")svg" + n(iconRingWidth) +
           R"svg(" stroke-linecap="round"/>)svg" + "\n";
    svg += R"svg(  <circle cx="50" cy="50" r=")svg" + n(iconDotRadius) +
           R"svg(" fill="#ffffff"/>)svg" + "\n";
    svg += "</svg>\n";
    return svg;
}

QIcon trayIcon() {
    QIcon icon;
    for (const int size : {16, 18, 20, 22, 24, 32, 36, 44, 48, 64, 96, 128}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF square(0, 0, size, size);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor::fromRgb(iconPlum));
        painter.drawEllipse(square);
        // The mark a little larger than on the app icon: a panel shows it small.
        const qreal u = size / 100.0;
        paintRing(painter, square.adjusted(20 * u, 20 * u, -20 * u, -20 * u), 12 * u, 6 * u,
                  Qt::white);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Qt::white);
        painter.drawEllipse(square.center(), 9 * u, 9 * u);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace vask::ui
