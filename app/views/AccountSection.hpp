// The account row: the section label, then a card with the avatar, the e-mail address, "接続済み" and
// the sign-out button.
#pragma once

#include <QWidget>

namespace brisko::app {

class CompanionViewModel;
class TextLabel;

class AccountSection : public QWidget {
    Q_OBJECT
  public:
    explicit AccountSection(CompanionViewModel* vm, QWidget* parent = nullptr);

    // The signed-in user's address (empty when none) and the avatar letter.
    QString emailText() const;
    QString avatarLetter() const;
    // Re-reads the signed-in user.
    void refresh();

  signals:
    void signOutRequested();

  private:
    CompanionViewModel* vm_;
    TextLabel* email_;
    QWidget* avatar_;
};

// The avatar letter: the address's first character, or the fallback, lower-cased.
QString avatarLetterFor(const QString& email);

}  // namespace brisko::app
