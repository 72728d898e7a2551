// The open window's baseline, no code of ours: a 460 x 300 Qt window on the app's dark background with
// one 8-point dot that breathes as the app's does (0.9 s each way, ease-in-out, 25 frames a second,
// repainted alone), under the same X11 settings as the app. app_window_bench measures it beside the app.
#include <QApplication>
#include <QEasingCurve>
#include <QElapsedTimer>
#include <QPainter>
#include <QTimer>
#include <QWidget>
#include <cmath>

namespace {
class Dot : public QWidget {
public:
    explicit Dot(QWidget* parent) : QWidget(parent) {
        setFixedSize(8, 8);
        setAttribute(Qt::WA_TranslucentBackground);
        clock_.start();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        const double t = std::fmod(clock_.elapsed() / 1000.0, 1.8) / 0.9;
        const double phase = QEasingCurve(QEasingCurve::InOutQuad).valueForProgress(t <= 1 ? t : 2 - t);
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setOpacity(1 - 0.35 * phase);
        p.setBrush(QColor(93, 207, 154));
        const double d = 8 * (1 - 0.08 * phase);
        p.drawEllipse(QRectF((8 - d) / 2, (8 - d) / 2, d, d));
    }

private:
    QElapsedTimer clock_;
};
}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM")) qputenv("QT_XCB_NO_MITSHM", "1");
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Brisko Window Baseline"));
    window.setFixedSize(460, 300);
    QPalette dark = window.palette();
    dark.setColor(QPalette::Window, QColor(10, 11, 13));
    window.setPalette(dark);
    window.setAutoFillBackground(true);
    auto* dot = new Dot(&window);
    dot->move(24, 80);
    QTimer frames;
    frames.setTimerType(Qt::PreciseTimer);
    frames.setInterval(40);
    QObject::connect(&frames, &QTimer::timeout, dot, [dot] { dot->repaint(); });
    frames.start();
    window.show();
    return QApplication::exec();
}
