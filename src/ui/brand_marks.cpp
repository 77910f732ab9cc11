#include "ui/brand_marks.h"

#include <QEvent>
#include <QPainter>
#include <QPainterPath>
#include <QVariantAnimation>

#include "ui/theme.h"

namespace vask::ui {

namespace {

constexpr qreal breathScale = 1.18;
constexpr qreal breathOutOpacity = 0.45;
constexpr int breathMilliseconds = 2400;

// Runs an endless animation only while its widget is on screen. Hidden (a page not shown, a
// window closed to the tray) it would go on waking the application at the display's rate for
// frames nobody sees.
class RunWhileVisible final : public QObject {
  public:
    RunWhileVisible(QWidget* owner, QAbstractAnimation* animation)
        : QObject(animation), animation_(animation) {
        owner->installEventFilter(this);
        if (owner->isVisible()) {
            animation_->start();
        }
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && animation_->state() != QAbstractAnimation::Running) {
            animation_->start();
        } else if (event->type() == QEvent::Hide) {
            animation_->stop();
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    QAbstractAnimation* animation_;
};

// Swells over 2.4 s and shrinks back over the next 2.4 s, for as long as the owner is visible;
// nothing with reduce-motion.
QVariantAnimation* startBreathing(QWidget* owner, qreal& phase) {
    if (Theme::reduceMotion()) {
        return nullptr;
    }
    auto* animation = new QVariantAnimation(owner);
    animation->setStartValue(0.0);
    animation->setKeyValueAt(0.5, 1.0);
    animation->setEndValue(0.0);
    animation->setDuration(2 * breathMilliseconds);
    animation->setEasingCurve(QEasingCurve::InOutSine);
    animation->setLoopCount(-1);
    QObject::connect(animation, &QVariantAnimation::valueChanged, owner,
                     [owner, &phase](const QVariant& value) {
                         phase = value.toReal();
                         owner->update();
                     });
    new RunWhileVisible(owner, animation);
    return animation;
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

CurlMarkGeometry CurlMarkGeometry::forSize(QSizeF size) {
    const qreal side = std::min(size.width(), size.height());
    return {.side = side,
            .lineWidth = 0.14 * side,
            .inset = 0.09 * side,
            .dotDiameter = 0.22 * side,
            .square = QRectF((size.width() - side) / 2, (size.height() - side) / 2, side, side)};
}

BreathingDot::BreathingDot(qreal diameter, QWidget* parent)
    : QWidget(parent), diameter_(diameter) {
    setAttribute(Qt::WA_TranslucentBackground);
    const int extent = static_cast<int>(std::ceil(diameter * breathScale));
    setFixedSize(extent, extent);
    animation_ = startBreathing(this, phase_);
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
    paintDot(painter, QRectF(rect()).center(), diameter_, phase_, animation_ == nullptr);
}

CurlMark::CurlMark(bool breathing, QWidget* parent) : QWidget(parent), breathing_(breathing) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAccessibleName(QString());
    setFocusPolicy(Qt::NoFocus);
    if (breathing_) {
        animation_ = startBreathing(this, phase_);
    }
}

void CurlMark::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const auto geometry = CurlMarkGeometry::forSize(QSizeF(size()));
    const auto palette = Theme::palette();
    paintRing(painter, geometry.square, geometry.lineWidth, geometry.inset, palette.ink);
    BreathingDot::paintDot(painter, geometry.square.center(), geometry.dotDiameter, phase_,
                           animation_ == nullptr);
}

QIcon menubarIcon(bool forDarkPanel) {
    const QColor colour = forDarkPanel ? QColor(Qt::white) : QColor(Qt::black);
    QIcon icon;
    for (const int size : {16, 18, 20, 22, 24, 32, 36, 44, 48, 64, 96, 128}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal u = size / 100.0;
        const QRectF square(0, 0, size, size);
        paintRing(painter, square, 14 * u, 12 * u, colour);
        painter.setPen(Qt::NoPen);
        painter.setBrush(colour);
        painter.drawEllipse(QPointF(50 * u, 50 * u), 11 * u, 11 * u);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace vask::ui
