// The software updater: started at launch, with the user-initiated check of the tray menu. On Linux the
// system's package manager delivers updates, so the check tells the user so.
#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPointer>

namespace brisko::app {

class Updater : public QObject {
    Q_OBJECT
  public:
    static constexpr const char* kCheckTitle = "アップデートを確認";
    static constexpr const char* kCheckMessage =
        "Brisko Desktop のアップデートは、システムのパッケージマネージャーから提供されます。";

    explicit Updater(bool startingUpdater, QObject* parent = nullptr);
    bool isStarted() const { return started_; }
    void startUpdater();
    // Shows the notice (one at a time, without blocking the event loop).
    void checkForUpdates();
    QMessageBox* notice() const { return notice_; }

  private:
    bool started_ = false;
    QPointer<QMessageBox> notice_;
};

}  // namespace brisko::app
