#pragma once

#include <QElapsedTimer>
#include <QIcon>
#include <QImage>
#include <QTimer>
#include <QWidget>

#include <functional>

namespace vask::ui {

// A breath for a mark: 0 (breathed out) to 1 (breathed in) over 2.4 s and back over the next
// 2.4 s, eased as a sine, for as long as its owner is on screen. A new phase is taken only when
// it has moved by a twentieth of the way (the dot's opacity by under 3 %, its size by a twentieth
// of a pixel): about eight times a second on average, fewest where the breath turns. Owned by the
// widget that breathes.
class Breath : public QObject {
    Q_OBJECT
  public:
    static constexpr int cycleMilliseconds = 4800;
    static constexpr qreal phaseStep = 0.05;
    // Where the breath turns it barely moves: it is still drawn that often.
    static constexpr int longestFrameMilliseconds = 400;

    // `changed` gets each new phase while the breath runs.
    Breath(QWidget* owner, std::function<void(qreal phase)> changed);

    bool isRunning() const { return timer_.isActive(); }
    // The phase `elapsed` milliseconds into a breath.
    static qreal phaseAt(qint64 elapsed);
    // How long after a frame drawn at `elapsed` the next one is due.
    static int frameAfter(qint64 elapsed);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void start();

    std::function<void(qreal)> changed_;
    QTimer timer_;
    QElapsedTimer clock_;
};

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
    Breath* breath_ = nullptr;
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
    // Where the dot may paint, at its fullest: all that a new phase redraws.
    QRect dotBounds() const;

    bool breathing_;
    qreal phase_ = 0;
    Breath* breath_ = nullptr;
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
