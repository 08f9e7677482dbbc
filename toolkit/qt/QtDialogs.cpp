// The modal boxes, owned by the window.
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>

#include "toolkit/qt/QtToolkitParts.h"

using qtk::ToQt;

ModalResult QtToolkit::RunBox(int icon, const QString& title, const std::string& text,
                              DialogButtons buttons) {
  QMessageBox box(static_cast<QMessageBox::Icon>(icon), title, ToQt(text), QMessageBox::NoButton,
                  window_.get());
  box.setTextFormat(Qt::PlainText);
  if (buttons == DialogButtons::Ok) {
    box.setDefaultButton(box.addButton(QMessageBox::Ok));
    box.exec();
    return ModalResult::Ok;
  }
  QAbstractButton* yes = box.addButton(QMessageBox::Yes);
  QAbstractButton* no = box.addButton(QMessageBox::No);
  box.setDefaultButton(static_cast<QPushButton*>(yes));
  box.setEscapeButton(no);
  box.exec();
  // Closed any other way than by Yes: the user did not agree.
  return box.clickedButton() == yes ? ModalResult::Yes : ModalResult::No;
}

ModalResult QtToolkit::MessageDialog(const std::string& text, DialogKind kind,
                                     DialogButtons buttons) {
  static const QMessageBox::Icon icons[] = {QMessageBox::Warning, QMessageBox::Critical,
                                            QMessageBox::Question};
  static const char* const titles[] = {"Warning", "Error", "Confirm"};
  const int k = static_cast<int>(kind);
  return RunBox(icons[k], QString::fromLatin1(titles[k]), text, buttons);
}

void QtToolkit::ShowMessage(const std::string& text) {
  RunBox(QMessageBox::NoIcon, ToQt(title_), text, DialogButtons::Ok);
}

void QtToolkit::ShowException(const std::string& message) {
  RunBox(QMessageBox::Critical, ToQt(title_), message, DialogButtons::Ok);
}
