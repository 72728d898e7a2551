// The sign-in screen: the mark, the wordmark, a line saying sign-in is needed, and "Ezevar でログイン".
#pragma once

#include <QWidget>

namespace brisko::app {

class CapsuleButton;
class CompanionViewModel;

class LoginView : public QWidget {
    Q_OBJECT
  public:
    explicit LoginView(CompanionViewModel* vm, QWidget* parent = nullptr);
    CapsuleButton* signInButton() const { return button_; }

  signals:
    void signInRequested();

  private:
    CompanionViewModel* vm_;
    CapsuleButton* button_;
};

}  // namespace brisko::app
