// The main window's content, 460 x 300 on the dark background (taller only where the signed-in column
// cannot fit its texts otherwise): the sign-in screen while nobody
// is signed in, else the recording panel, the account row and the privacy note. While the signed-in
// column is on screen the accessibility permission is polled every 2 s.
#pragma once

#include <memory>

#include <QWidget>

namespace brisko::app {

class AccountSection;
class CompanionViewModel;
class HeroStatus;
class LoginView;
class TextLabel;

class CompanionContentView : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 460;
    static constexpr int kHeight = 300;

    // With its own view model over the shared monitor, recorder and account service.
    explicit CompanionContentView(QWidget* parent = nullptr);
    // With the given view model (it becomes the view's child).
    explicit CompanionContentView(CompanionViewModel* vm, QWidget* parent = nullptr);
    // Takes the signed-in column down first, which stops the poll while this view is still whole.
    ~CompanionContentView() override;

    CompanionViewModel* viewModel() const { return vm_; }
    bool showsSignedInContent() const;
    LoginView* loginView() const { return login_; }
    HeroStatus* heroStatus() const { return hero_; }
    AccountSection* accountSection() const { return account_; }

    void startPermissionPolling();
    void stopPermissionPolling();

signals:
    // Its fixed size changed: taller than the designed height while the signed-in column needs more.
    void contentSizeChanged();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void build();
    void updateScreen();
    void setContentHeight(int height);
    void applyContentHeight();
    void startSignIn();
    void startSignOut();

    CompanionViewModel* vm_;
    LoginView* login_ = nullptr;
    QWidget* signedIn_ = nullptr;
    HeroStatus* hero_ = nullptr;
    AccountSection* account_ = nullptr;
    int neededHeight_ = kHeight;
};

}  // namespace brisko::app
