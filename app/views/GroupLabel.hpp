// A section label: an accent kicker and a quiet title on one baseline.
#pragma once

#include <QString>
#include <QWidget>

namespace brisko::app {

class TextLabel;

class GroupLabel : public QWidget {
    Q_OBJECT
  public:
    GroupLabel(const QString& kicker, const QString& title, QWidget* parent = nullptr);

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    TextLabel* kicker_;
    TextLabel* title_;
};

}  // namespace brisko::app
