#pragma once

#include <QIcon>
#include <QWidget>

class QVariantAnimation;

namespace vask::ui {

// Where the curl mark's parts go in a frame of the given size: the ring's stroke and inset and the
// dot's diameter all follow the smaller side, and the mark is centred.
struct CurlMarkGeometry {
    qreal side = 0;
    qreal lineWidth = 0;
    qreal inset = 0;
    qreal dotDiameter = 0;
    QRectF square;  // the centred side x side square the mark is drawn in

    static CurlMarkGeometry forSize(QSizeF size);
};

// The accent dot that slowly swells and fades (still with reduce-motion).
class BreathingDot : public QWidget {
    Q_OBJECT
  public:
    explicit BreathingDot(qreal diameter, QWidget* parent = nullptr);

    // 0 breathed out (scale 1.0, opacity 0.45) to 1 breathed in (scale 1.18, opacity 1.0).
    qreal phase() const { return phase_; }
    static void paintDot(QPainter& painter, QPointF centre, qreal diameter, qreal phase,
                         bool still);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    qreal diameter_;
    qreal phase_ = 0;
    QVariantAnimation* animation_ = nullptr;
};

// The product's mark: an open ring with a dot in its middle. Decorative: hidden from
// accessibility.
class CurlMark : public QWidget {
    Q_OBJECT
  public:
    explicit CurlMark(bool breathing = false, QWidget* parent = nullptr);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    bool breathing_;
    qreal phase_ = 0;
    QVariantAnimation* animation_ = nullptr;
};

// The tray icon: the ring and dot in one colour, drawn at every size a panel may ask for, light
// on dark panels and dark on light ones.
QIcon menubarIcon(bool forDarkPanel);

}  // namespace vask::ui
