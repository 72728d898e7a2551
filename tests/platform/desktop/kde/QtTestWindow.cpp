// A native Wayland window of Qt's for the KWin tests (foot cannot run on kwin_wayland --virtual: it
// divides by the virtual output's physical size, -1 mm). Usage: qt_test_window APP_ID TITLE [RETITLE]
// shows a window with that app_id and title; with RETITLE it sets that title a second later.
#include <QGuiApplication>
#include <QRasterWindow>
#include <QTimer>

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    qputenv("QT_QPA_PLATFORM", "wayland");
    QGuiApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QString::fromLocal8Bit(argv[1]));
    QRasterWindow window;
    window.setTitle(QString::fromLocal8Bit(argv[2]));
    window.resize(320, 200);
    window.show();
    if (argc > 3) {
        QTimer::singleShot(1000, &window,
                           [&window, title = QString::fromLocal8Bit(argv[3])] { window.setTitle(title); });
    }
    return QGuiApplication::exec();
}
