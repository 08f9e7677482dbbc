// Plays the user in front of modal message boxes: a timer finds the active modal box,
// notes what it shows and answers it, while the box runs its own event loop.
#pragma once

#include <deque>
#include <functional>
#include <vector>

#include <QtCore/QString>
#include <QtCore/QStringList>
#include <QtCore/QTimer>
#include <QtWidgets/QMessageBox>

struct SeenDialog {
  QString title;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QStringList buttons;  // the standard buttons, by role name
  QWidget* parent = nullptr;
  bool modal = false;
  Qt::TextFormat format = Qt::AutoText;
};

class DialogUser {
 public:
  using Answer = std::function<void(QMessageBox&)>;
  DialogUser();

  static Answer Press(QMessageBox::StandardButton button);
  static Answer PressEscape();
  static Answer CloseBox();  // the window's close button

  // Answers for the next boxes, in order. A box nobody expected is closed and counted.
  void Expect(Answer answer) { answers_.push_back(std::move(answer)); }
  std::vector<SeenDialog> seen;
  int unexpected = 0;

 private:
  void Poll();
  QTimer timer_;
  std::deque<Answer> answers_;
};
