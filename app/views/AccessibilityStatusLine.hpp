// The permission line: a dot and the accessibility state, a button to ask for the permission while it
// is missing, and a hint once it has been asked for.
#pragma once

#include <QWidget>

namespace brisko::app {

class CapsuleButton;
class CompanionViewModel;
class PulsingDot;
class TextLabel;

class AccessibilityStatusLine : public QWidget {
    Q_OBJECT
  public:
    explicit AccessibilityStatusLine(CompanionViewModel* vm, QWidget* parent = nullptr);
    void refresh();

    QString statusText() const;
    // The button's label, empty when the button is not shown.
    QString buttonText() const;
    bool showsHint() const;
    QString hintText() const;

  private:
    CompanionViewModel* vm_;
    PulsingDot* dot_;
    TextLabel* status_;
    CapsuleButton* requestButton_;
    CapsuleButton* settingsButton_;
    TextLabel* hint_;
};

}  // namespace brisko::app
