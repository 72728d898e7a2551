// The tray menu's header: whether recording runs and, while it runs, the application and window of the
// latest sample and a line of encouragement. Exactly 240 wide.
#pragma once

#include <optional>
#include <string>

#include <QWidget>

namespace brisko::app {

class PulsingDot;
class TextLabel;

class MenuBarHeader : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kWidth = 240;

    struct Content {
        bool recording = false;
        std::string appName = "-";
        std::optional<std::string> windowTitle;
        std::optional<std::string> encouragement;
        bool operator==(const Content&) const = default;
    };

    explicit MenuBarHeader(Content content, QWidget* parent = nullptr);
    void setContent(Content content);
    const Content& content() const { return content_; }

    // The texts shown now, in reading order.
    QStringList visibleTexts() const;
    // The same information as plain lines, for menus that cannot show this view.
    static QStringList textLines(const Content& content);

  private:
    void rebuild();

    Content content_;
    PulsingDot* dot_;
    TextLabel* state_;
    TextLabel* separator_;
    TextLabel* appName_;
    TextLabel* windowTitle_;
    TextLabel* encouragement_;
};

}  // namespace brisko::app
