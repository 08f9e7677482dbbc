// Fitting texts into the controls sized for the resource's font.
#include <algorithm>

#include <QtWidgets/QComboBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QStyleOptionComboBox>

#include "toolkit/qt/QtToolkitParts.h"

using qtk::Index;
using qtk::kCaptionInset;
using qtk::kCaptionPad;

void qtk::FitFont(QWidget& widget, const QFont& form, const QStringList& texts, int room) {
  QFont font = form;
  for (int stretch = kFormStretch; stretch >= kFormStretch * 3 / 5; --stretch) {
    font.setStretch(stretch);
    const QFontMetrics metrics(font);
    int widest = 0;
    for (const QString& text : texts) widest = std::max(widest, metrics.horizontalAdvance(text));
    if (widest <= room) break;
  }
  if (widget.font() != font) widget.setFont(font);
}

// The texts a control shows on one line, and the pixels it has for them.
QStringList QtToolkit::OneLineTexts(ControlId control, int* room) const {
  QWidget& widget = Require(control);
  switch (kinds_[Index(control)]) {
    case ControlKind::Label:
      *room = static_cast<QLabel&>(widget).contentsRect().width();
      return {static_cast<QLabel&>(widget).text()};
    case ControlKind::GroupBox:
      *room = widget.width() - 2 * (kCaptionInset + kCaptionPad);
      return {static_cast<QGroupBox&>(widget).title()};
    case ControlKind::Button:
      *room = widget.width() - 2 * widget.style()->pixelMetric(QStyle::PM_ButtonMargin);
      return {static_cast<QPushButton&>(widget).text()};
    case ControlKind::ComboBox: {
      QStyleOptionComboBox option;
      option.initFrom(combo_);
      option.editable = true;
      option.frame = combo_->hasFrame();
      const QRect field = combo_->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                          QStyle::SC_ComboBoxEditField, combo_);
      // The edit field keeps 2 pixels either side and a cursor after the text.
      *room = field.width() - 2 * 2 - 2;
      QStringList texts{combo_->currentText()};
      for (int i = 0; i < combo_->count(); ++i) texts << combo_->itemText(i);
      return texts;
    }
    default:
      *room = 0;
      return {};
  }
}

// Our font is wider than the one the window was designed with: a control whose text
// would not fit gets it narrowed, as the Windows toolkit does.
void QtToolkit::FitText(ControlId control) {
  int room = 0;
  const QStringList texts = OneLineTexts(control, &room);
  if (!texts.isEmpty() && room > 0) qtk::FitFont(Require(control), formFont_, texts, room);
}
