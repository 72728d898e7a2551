// The sign-in screen: the mark, the wordmark, a line saying sign-in is needed, and "Ezevar でログイン";
// while the browser page is open it says so and offers to cancel, and after a failed sign-in it says why.
#pragma once

#include <memory>
#include <optional>

#include <QWidget>

#include "platform/base/Error.hpp"

namespace brisko::app {

class CapsuleButton;
class CompanionViewModel;
class EzevarSignInClient;
class TextLabel;

class LoginView : public QWidget {
    Q_OBJECT
public:
    explicit LoginView(CompanionViewModel* vm, QWidget* parent = nullptr);
    ~LoginView() override;
    CapsuleButton* signInButton() const { return button_; }
    CapsuleButton* cancelButton() const { return cancel_; }
    bool isWaitingForBrowser() const { return waiting_; }
    // The line under the wordmark as it reads now.
    QString statusText() const;

signals:
    void signInRequested();

private:
    void setWaiting(bool waiting, std::optional<platform::Error> error);

    // The sign-in layer this screen listens to (the view model may go first at teardown).
    std::weak_ptr<EzevarSignInClient> ezevar_;
    TextLabel* note_;
    CapsuleButton* button_;
    CapsuleButton* cancel_;
    bool waiting_ = false;
};

}  // namespace brisko::app
