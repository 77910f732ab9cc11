#pragma once

#include <QIcon>
#include <QImage>
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

// The application's icon, the same in both appearances: the ring and dot in white on a rounded
// square of the brand's plum. `appIconSvg` is the same picture for the icon theme.
QImage appIconImage(int size);
QIcon appIcon();
QByteArray appIconSvg();
// The pixel sizes installed under the icon theme besides the scalable picture.
inline constexpr int appIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256, 512};

// The tray icon. A panel may be light or dark whatever the application's appearance, so the mark
// sits on a disc of the brand's plum, white on plum: it reads on either.
QIcon trayIcon();

}  // namespace vask::ui
