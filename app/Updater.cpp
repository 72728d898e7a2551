// The updater's notice.
#include "app/Updater.hpp"

#include <QMessageBox>

namespace brisko::app {

Updater::Updater(bool startingUpdater, QObject* parent) : QObject(parent) {
    if (startingUpdater) startUpdater();
}

void Updater::startUpdater() {
    started_ = true;
}

void Updater::checkForUpdates() {
    if (!notice_) {
        notice_ = new QMessageBox(QMessageBox::Information, QString::fromUtf8(kCheckTitle),
                                  QString::fromUtf8(kCheckMessage), QMessageBox::Ok);
        notice_->setAttribute(Qt::WA_DeleteOnClose);
    }
    notice_->show();
    notice_->raise();
    notice_->activateWindow();
}

}  // namespace brisko::app
