#include "tests/qt/DialogUser.h"

#include <QtTest/QTest>
#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QApplication>

namespace {

QString ButtonName(QMessageBox::StandardButton button) {
  switch (button) {
    case QMessageBox::Yes:
      return "Yes";
    case QMessageBox::No:
      return "No";
    case QMessageBox::Ok:
      return "OK";
    default:
      return QString::number(button, 16);
  }
}

SeenDialog Describe(QMessageBox& box) {
  SeenDialog d;
  d.title = box.windowTitle();
  d.text = box.text();
  d.icon = box.icon();
  for (QAbstractButton* b : box.buttons()) d.buttons << ButtonName(box.standardButton(b));
  d.buttons.sort();
  d.parent = box.parentWidget();
  d.modal = box.isModal();
  d.format = box.textFormat();
  return d;
}

}  // namespace

DialogUser::DialogUser() {
  QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
  timer_.start(5);
}

DialogUser::Answer DialogUser::Press(QMessageBox::StandardButton button) {
  return [button](QMessageBox& box) {
    QAbstractButton* b = box.button(button);
    if (b)
      QTest::mouseClick(b, Qt::LeftButton);
    else
      box.close();
  };
}

DialogUser::Answer DialogUser::PressEscape() {
  return [](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Escape); };
}

DialogUser::Answer DialogUser::CloseBox() {
  return [](QMessageBox& box) { box.close(); };
}

void DialogUser::Poll() {
  auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
  if (!box || !box->isVisible()) return;
  seen.push_back(Describe(*box));
  if (answers_.empty()) {
    ++unexpected;
    box->close();
    return;
  }
  Answer answer = std::move(answers_.front());
  answers_.pop_front();
  answer(*box);
}
