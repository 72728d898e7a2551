// The idle benchmark's baseline: the design's minimal version of the tray app, built without any code of
// ours from the libraries the app stands on: a Qt Widgets window with the app's texts in the app's font,
// a tray item with a menu (StatusNotifierItem over D-Bus where a host runs), and uploads over HTTPS by
// libcurl (OpenSSL) on a network thread of its own that keeps its connection between uploads. Closing the
// window releases what the app releases then (the native window, Qt's font engines and pixmap cache,
// freed heap). What it keeps resident is what any such app keeps; the benchmark measures both alike.
// Environment: BRISKO_SERVICE_URL (the service's base address), SSL_CERT_FILE (the trusted CAs).
#include <curl/curl.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPixmapCache>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if __has_include(<QtGui/private/qfont_p.h>)
#include <QtGui/private/qfont_p.h>
#define BASELINE_HAS_FONT_CACHE 1
#endif

namespace {
constexpr const char* kWindowTitle = "Brisko Baseline";
constexpr const char* kIngestPath = "/api/mac-activity/ingest";
constexpr int kReleaseDelayMilliseconds = 500;

// One thread, one libcurl multi handle: uploads run one after another and reuse its connection.
class Uploader {
public:
    Uploader(std::string url, std::string caFile)
        : url_(std::move(url)), caFile_(std::move(caFile)), thread_([this] { run(); }) {}
    ~Uploader() {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    void upload(std::string body) {
        {
            std::lock_guard lock(mutex_);
            bodies_.push_back(std::move(body));
        }
        wake_.notify_one();
    }

private:
    static size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

    void run() {
        CURLM* multi = curl_multi_init();
        for (;;) {
            std::string body;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return quit_ || !bodies_.empty(); });
                if (quit_) break;
                body = std::move(bodies_.front());
                bodies_.erase(bodies_.begin());
            }
            CURL* easy = curl_easy_init();
            curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
            curl_easy_setopt(easy, CURLOPT_URL, url_.c_str());
            if (!caFile_.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, caFile_.c_str());
            curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.c_str());
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
            curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Uploader::discard);
            curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
            curl_multi_add_handle(multi, easy);
            for (int running = 1; running;) {
                curl_multi_perform(multi, &running);
                if (running) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
            }
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
                if (message->msg == CURLMSG_DONE && message->data.result != CURLE_OK)
                    std::fprintf(stderr, "baseline upload failed: %s\n", curl_easy_strerror(message->data.result));
            }
            curl_multi_remove_handle(multi, easy);
            curl_easy_cleanup(easy);
            curl_slist_free_all(headers);
        }
        curl_multi_cleanup(multi);
    }

    std::string url_;
    std::string caFile_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<std::string> bodies_;
    bool quit_ = false;
    std::thread thread_;
};

QIcon trayIcon() {
    QIcon icon;
    for (int side : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(side, side);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.setBrush(QColor(28, 197, 217));
        p.setPen(Qt::NoPen);
        p.drawEllipse(QRectF(side * 0.07, side * 0.07, side * 0.86, side * 0.86));
        icon.addPixmap(pixmap);
    }
    return icon;
}

QLabel* label(const char* text, double pixels, QFont::Weight weight) {
    auto* l = new QLabel(QString::fromUtf8(text));
    QFont font;
    font.setFamilies({QStringLiteral("Noto Sans CJK JP"), QStringLiteral("Noto Sans"), QStringLiteral("sans-serif")});
    font.setPixelSize(qRound(pixels));
    font.setWeight(weight);
    l->setFont(font);
    return l;
}

// The window; once hidden it gives back what only drawing needed, as the app does.
class Window : public QWidget {
public:
    Window() {
        setWindowTitle(QString::fromUtf8(kWindowTitle));
        setFixedSize(460, 300);
        QPalette dark = palette();
        dark.setColor(QPalette::Window, QColor(18, 20, 24));
        dark.setColor(QPalette::WindowText, QColor(235, 235, 240));
        setPalette(dark);
        setAutoFillBackground(true);
        auto* column = new QVBoxLayout(this);
        column->addWidget(label("Brisko Desktop", 17, QFont::Bold));
        column->addWidget(label("記録中", 12.5, QFont::DemiBold));
        column->addWidget(label("トグルをオンにすると再開します", 11, QFont::Normal));
        column->addWidget(label("アクセシビリティの権限が許可されています", 11, QFont::Normal));
        column->addWidget(label("bench-account@example.com", 13, QFont::Normal));
        column->addWidget(label("作業中のウィンドウ — 今日の努力、昨日の自分は知らない", 11, QFont::Normal));
        release_.setSingleShot(true);
        release_.setInterval(kReleaseDelayMilliseconds);
        QObject::connect(&release_, &QTimer::timeout, this, [this] {
            if (isVisible()) return;
            destroy();
#if BASELINE_HAS_FONT_CACHE
            QFontCache::cleanup();
#endif
            QPixmapCache::clear();
#if defined(__GLIBC__)
            ::malloc_trim(0);
#endif
        });
    }

protected:
    void hideEvent(QHideEvent* event) override {
        QWidget::hideEvent(event);
        release_.start();
    }

private:
    QTimer release_;
};

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}
}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    Uploader uploader(environment("BRISKO_SERVICE_URL") + kIngestPath, environment("SSL_CERT_FILE"));

    Window window;
    QSystemTrayIcon tray(trayIcon());
    QMenu menu;
    int uploads = 0;
    QObject::connect(menu.addAction(QString::fromUtf8("記録を停止")), &QAction::triggered, [&] {
        std::string body = R"({"date":"2025-01-01","entries":[)";
        for (int i = 0; i < 20; ++i) {
            if (i) body += ',';
            body += R"({"timestamp":"2025-01-01T09:00:00Z","appName":"BenchProbe","idleSeconds":0,)"
                    R"("isAccessibilityGranted":true,"windowTitle":"作業中のウィンドウ )" +
                    std::to_string(++uploads) + "\"}";
        }
        uploader.upload(body + "]}");
    });
    QObject::connect(menu.addAction(QString::fromUtf8("アプリを開く")), &QAction::triggered, [&] {
        window.show();
        window.raise();
        window.activateWindow();
    });
    QObject::connect(menu.addAction(QString::fromUtf8("終了")), &QAction::triggered, &QApplication::quit);
    tray.setContextMenu(&menu);
    tray.show();
    window.show();
    const int status = QApplication::exec();
    curl_global_cleanup();
    return status;
}
