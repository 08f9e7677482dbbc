// The Qt toolkit against the toolkit contract, on the offscreen platform.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include <QtCore/QElapsedTimer>
#include <QtCore/QTimer>
#include <QtGui/QFontMetrics>
#include <QtGui/QCloseEvent>
#include <QtGui/QKeyEvent>
#include <QtGui/QMouseEvent>
#include <QtGui/QPaintEvent>
#include <QtGui/QWindow>
#include <QtTest/QTest>
#include <QtTest/qtestspontaneevent.h>
#include <QtWidgets/QApplication>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QGroupBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QListWidget>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>

#include "app/FlashFormResource.h"
#include "tests/qt/DialogUser.h"
#include "tests/unit/WindowTexts.h"
#include "toolkit/Forms.h"
#include "toolkit/qt/QtToolkit.h"

namespace fs = std::filesystem;

namespace {

struct Event {
  ControlId control;
  ControlEvent event;
  int comboIndex;  // what a handler reading the combo box sees
};

class RecordingSink : public FormEventSink {
 public:
  explicit RecordingSink(Toolkit& tk) : tk_(tk) {}
  void DispatchEvent(ControlId control, ControlEvent event) override {
    events.push_back({control, event, tk_.ComboIndex()});
    if (onEvent) onEvent();
  }
  std::vector<Event> events;
  std::function<void()> onEvent;

 private:
  Toolkit& tk_;
};

// Counts the events of some types that reach the objects it is installed on.
class EventCounter : public QObject {
 public:
  explicit EventCounter(std::initializer_list<QEvent::Type> types) : types_(types) {}
  int count = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    count += std::count(types_.begin(), types_.end(), event->type());
    return false;
  }

 private:
  std::vector<QEvent::Type> types_;
};

class QtToolkitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tk.SetApplicationTitle("KORVEL Windows Flash utility");
    tk.CreateWindowFrom(kFlashFormResource, &sink);
    InstallToolkit(&tk);
  }
  void TearDown() override { InstallToolkit(nullptr); }

  template <class W>
  W* Get(ControlId id) {
    return qobject_cast<W*>(tk.Widget(id));
  }
  QComboBox* Combo() { return Get<QComboBox>(ControlId::ComboBox); }
  QListWidget* Files() { return Get<QListWidget>(ControlId::FileListBox1); }
  QWidget* Window() { return tk.Widget(ControlId::Form); }
  void ShowWindow() {
    Window()->show();
    Window()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Window()));
  }
  // Runs the message loop with the user's steps delivered from a timer.
  int RunLoopWith(std::function<void()> steps) {
    QTimer::singleShot(20, Window(), std::move(steps));
    QTimer::singleShot(10000, Window(), [this] { tk.PostQuit(); });  // never hang
    return tk.RunMessageLoop();
  }
  int CountEvents(ControlId control, ControlEvent event) {
    int n = 0;
    for (const Event& e : sink.events) n += e.control == control && e.event == event;
    return n;
  }

  QtToolkit tk;
  RecordingSink sink{tk};
};

const ControlResource& Resource(ControlId id) {
  return *FindControl(kFlashFormResource, id);
}

TEST_F(QtToolkitTest, WindowTakesPositionFontAndSizeOfItsContent) {
  QWidget* window = Window();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(window->isWindow());
  EXPECT_FALSE(window->isVisible()) << "built, not yet shown";
  EXPECT_EQ(window->pos(), QPoint(192, 128));
  // Auto-size: the client area is the extent of Panel1.
  EXPECT_EQ(window->size(), QSize(425, 201));
  EXPECT_EQ(window->minimumSize(), window->maximumSize());
  // The resource's 16 pixels are the font's cell, as large as fits.
  EXPECT_LE(QFontMetrics(window->font()).height(), 16);
  QFont larger = window->font();
  larger.setPixelSize(larger.pixelSize() + 1);
  EXPECT_GT(QFontMetrics(larger).height(), 16);
  EXPECT_TRUE(window->font().bold());
  EXPECT_EQ(tk.GetText(ControlId::Form), "");
  EXPECT_EQ(Get<QPushButton>(ControlId::FlashButton)->font().pixelSize(),
            window->font().pixelSize());
}

TEST_F(QtToolkitTest, ControlsFollowTheResource) {
  const char* kinds[] = {"",          "QFrame",       "QLabel",     "QComboBox", "QListWidget",
                         "QGroupBox", "QProgressBar", "QPushButton"};
  for (std::size_t i = 0; i < kFlashFormResource.controlCount; ++i) {
    const ControlResource& c = kFlashFormResource.controls[i];
    SCOPED_TRACE(c.name);
    QWidget* w = tk.Widget(c.id);
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->inherits(kinds[static_cast<int>(c.kind)]));
    EXPECT_EQ(w->objectName(), c.name);
    EXPECT_EQ(w->parentWidget(), tk.Widget(c.parent));
    EXPECT_EQ(w->geometry(), QRect(c.left, c.top, c.width, c.height));
    EXPECT_EQ(w->isHidden(), !c.visible);
    EXPECT_EQ(w->isEnabled(), c.enabled);
    EXPECT_EQ(tk.GetText(c.id), c.caption);
  }
  EXPECT_TRUE(Combo()->isEditable());

  QProgressBar* bar = Get<QProgressBar>(ControlId::ProgressBar);
  EXPECT_EQ(bar->minimum(), 0);
  EXPECT_EQ(bar->maximum(), 100);
  EXPECT_EQ(bar->value(), 0);
  EXPECT_FALSE(bar->isTextVisible());

  // What a screen reader announces, as Windows' standard controls give it.
  EXPECT_EQ(Get<QLabel>(ControlId::SelectDriveLabel)->buddy(), Combo());
  EXPECT_EQ(bar->accessibleName(), "Progress");
  EXPECT_EQ(Files()->accessibleName(), "Firmware files");
  EXPECT_EQ(tk.Widget(ControlId::GroupBox2)->accessibleName(), "Status");
  tk.SetText(ControlId::GroupBox2, "Flash Completed.");
  EXPECT_EQ(tk.Widget(ControlId::GroupBox2)->accessibleName(), "Flash Completed.");
}

// The resource sized its controls for a narrow bitmap font: every text the program shows
// fits the control that shows it, whole and with its descenders. The CTest entries run
// this at 96 dpi and, scaled, at 144 (KF_QT_DPI).
TEST_F(QtToolkitTest, TheProgramsTextsFitTheirControls) {
  ShowWindow();
  const char* wanted = std::getenv("KF_QT_DPI");
  ASSERT_EQ(qRound(Window()->devicePixelRatioF() * 96), wanted ? std::atoi(wanted) : 96);
  auto measure = [](QWidget* widget, const std::string& text) {
    const QFontMetrics metrics(widget->font());
    return std::make_pair(metrics.horizontalAdvance(QString::fromStdString(text)),
                          metrics.height());
  };
  // The caption sits 8 pixels in from either side and clears the frame line 2 pixels
  // round it; its cell ends above the progress bar.
  QWidget* group = tk.Widget(ControlId::GroupBox2);
  const int barTop = tk.Widget(ControlId::ProgressBar)->y();
  const int listRoom = Files()->viewport()->width() - 2 * 2;
  const std::string name = window_texts::LongestListedName(
      [&](const std::string& text) { return measure(Files(), text).first; }, listRoom);
  for (const std::string& text : window_texts::StatusTexts(name)) {
    SCOPED_TRACE(text);
    tk.SetText(ControlId::GroupBox2, text);
    EXPECT_LE(measure(group, text).first, group->width() - 2 * (8 + 2));
    EXPECT_LE(measure(group, text).second, barTop) << "descenders under the progress bar";
  }
  QWidget* label = tk.Widget(ControlId::SelectDriveLabel);
  for (const std::string& text : window_texts::LabelTexts()) {
    SCOPED_TRACE(text);
    tk.SetText(ControlId::SelectDriveLabel, text);
    EXPECT_LE(measure(label, text).first, label->contentsRect().width());
    EXPECT_LE(measure(label, text).second, label->contentsRect().height());
  }
  // A line edit scrolls its text unless it fits between its 2-pixel margins with the
  // cursor after it.
  for (const std::string& text : window_texts::ComboTexts()) tk.ComboAdd(text);
  QApplication::processEvents();
  QLineEdit* edit = Combo()->lineEdit();
  for (const std::string& text : window_texts::ComboTexts()) {
    SCOPED_TRACE(text);
    EXPECT_LE(measure(edit, text).first, edit->contentsRect().width() - 2 * 2 - 2);
    EXPECT_LE(measure(edit, text).second, edit->contentsRect().height());
  }
  QWidget* button = tk.Widget(ControlId::FlashButton);
  for (const char* text : {"FLASH", "Build"}) {
    tk.SetText(ControlId::FlashButton, text);
    EXPECT_LE(measure(button, text).first, button->width() - 12) << text;
  }
  // Two files show, each with its descenders, in rows of the designed height.
  const int item = Resource(ControlId::FileListBox1).itemHeight;
  EXPECT_LE(measure(Files(), name).second, item);
  EXPECT_LE(2 * item, Files()->viewport()->height());
}

TEST_F(QtToolkitTest, ListsUseTheResourceItemHeight) {
  tk.ComboAdd("one");
  tk.ComboAdd("two");
  EXPECT_EQ(Combo()->view()->sizeHintForRow(0), Resource(ControlId::ComboBox).itemHeight);
  const fs::path dir = fs::path(testing::TempDir()) / "kf_qt_item_height";
  fs::create_directories(dir);
  std::ofstream(dir / "x.bin") << "x";
  tk.FileListSetDirectory(dir.string());
  ASSERT_EQ(Files()->count(), 1);
  EXPECT_EQ(Files()->sizeHintForRow(0), Resource(ControlId::FileListBox1).itemHeight);
  fs::remove_all(dir);
}

TEST_F(QtToolkitTest, TabMovesThroughTheControlsInResourceOrder) {
  ShowWindow();
  Combo()->setFocus(Qt::OtherFocusReason);
  auto focused = [] {
    QWidget* w = QApplication::focusWidget();
    // The combo's edit field stands for the combo box.
    return w && w->parentWidget() && qobject_cast<QComboBox*>(w->parentWidget()) ? w->parentWidget()
                                                                                 : w;
  };
  ASSERT_EQ(focused(), Combo());
  QWidget* expected[] = {Files(), tk.Widget(ControlId::FlashButton), Combo()};
  for (QWidget* next : expected) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(focused(), next) << (next ? next->objectName().toStdString() : "");
  }
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
  EXPECT_EQ(focused(), tk.Widget(ControlId::FlashButton));
}

TEST_F(QtToolkitTest, TextsReachTheirWidgetsAsPlainText) {
  tk.SetText(ControlId::SelectDriveLabel, "Select the <b>Korvel</b> drive you want to update:");
  tk.SetText(ControlId::GroupBox2, "Writing firmware ...");
  tk.SetText(ControlId::FlashButton, "Build");
  QLabel* label = Get<QLabel>(ControlId::SelectDriveLabel);
  EXPECT_EQ(label->textFormat(), Qt::PlainText);
  EXPECT_EQ(label->text(), "Select the <b>Korvel</b> drive you want to update:");
  EXPECT_EQ(label->geometry().size(), QSize(369, 25)) << "no auto-size";
  EXPECT_EQ(Get<QGroupBox>(ControlId::GroupBox2)->title(), "Writing firmware ...");
  EXPECT_EQ(Get<QPushButton>(ControlId::FlashButton)->text(), "Build");
  // Qt's modified-mark placeholder must not eat a caption's text.
  tk.SetText(ControlId::Form, "KRW [*] QF01");
  ShowWindow();
  EXPECT_EQ(Window()->windowHandle()->title(), "KRW [*] QF01");
  EXPECT_EQ(tk.GetText(ControlId::Form), "KRW [*] QF01");
  // Bytes beyond ASCII come back as they went in.
  tk.SetText(ControlId::GroupBox2, "M\xC3\xBCller");
  EXPECT_EQ(tk.GetText(ControlId::GroupBox2), "M\xC3\xBCller");
}

TEST_F(QtToolkitTest, ShowHideAndEnableAct) {
  QPushButton* button = Get<QPushButton>(ControlId::FlashButton);
  ShowWindow();
  tk.SetVisible(ControlId::FileListBox1, false);
  EXPECT_FALSE(Files()->isVisible());
  tk.SetVisible(ControlId::FileListBox1, true);
  EXPECT_TRUE(Files()->isVisible());

  tk.SetEnabled(ControlId::FlashButton, false);
  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_EQ(CountEvents(ControlId::FlashButton, ControlEvent::Click), 0);
  tk.SetEnabled(ControlId::FlashButton, true);
  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_EQ(CountEvents(ControlId::FlashButton, ControlEvent::Click), 1);
  // Disabling the group box disables what it holds.
  tk.SetEnabled(ControlId::GroupBox2, false);
  EXPECT_FALSE(button->isEnabled());
}

TEST_F(QtToolkitTest, RepaintPaintsBeforeReturning) {
  ShowWindow();
  QApplication::processEvents();
  EventCounter paints{QEvent::Paint};
  QWidget* group = tk.Widget(ControlId::GroupBox2);
  group->installEventFilter(&paints);
  tk.SetText(ControlId::GroupBox2, "Verify ...");
  tk.Repaint(ControlId::GroupBox2);
  EXPECT_GE(paints.count, 1) << "painted without returning to the event loop";
  group->removeEventFilter(&paints);
}

// While a handler waits for a drive command the window paints, but the user's clicks and
// keys are dropped (not put off until after the run), a close request from the desktop
// is refused, and no second handler starts.
TEST_F(QtToolkitTest, AWaitInAHandlerPaintsButDropsInputAndRefusesToClose) {
  ShowWindow();
  auto* button = Get<QPushButton>(ControlId::FlashButton);
  QWidget* group = tk.Widget(ControlId::GroupBox2);
  EventCounter paints{QEvent::Paint};
  EventCounter input{QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::KeyPress};
  group->installEventFilter(&paints);
  button->installEventFilter(&input);
  auto desktopCloses = [this] {
    QCloseEvent close;
    QSpontaneKeyEvent::setSpontaneous(&close);
    QCoreApplication::instance()->notify(Window(), &close);  // as the window system delivers it
    return close.isAccepted();
  };
  bool closedDuringTheRun = true;
  sink.onEvent = [&] {
    if (sink.events.size() > 1) return;
    group->update();
    const QPoint at = button->rect().center();
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
      QCoreApplication::postEvent(
          button, new QMouseEvent(type, at, button->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                                  Qt::NoModifier));
    QCoreApplication::postEvent(button, new QKeyEvent(QEvent::KeyPress, Qt::Key_Space, {}));
    input.count = paints.count = 0;
    tk.KeepAlive();
    closedDuringTheRun = desktopCloses();
  };
  button->click();
  QApplication::processEvents();
  EXPECT_GE(paints.count, 1);
  EXPECT_EQ(input.count, 0);
  EXPECT_FALSE(closedDuringTheRun);
  EXPECT_EQ(CountEvents(ControlId::FlashButton, ControlEvent::Click), 1);
  EXPECT_TRUE(desktopCloses()) << "once the run is over, as before";
}

TEST_F(QtToolkitTest, ComboItemsAndProgramSelection) {
  EXPECT_EQ(tk.ComboCount(), 0);
  tk.ComboAdd("D: drive");
  EXPECT_EQ(tk.ComboIndex(), -1) << "adding selects nothing";
  tk.ComboAdd("F: drive");
  tk.ComboInsert(1, "E: drive");
  tk.ComboInsert(3, "G: drive");
  ASSERT_EQ(tk.ComboCount(), 4);
  EXPECT_EQ(Combo()->itemText(1), "E: drive");
  EXPECT_EQ(Combo()->itemText(3), "G: drive");
  EXPECT_THROW(tk.ComboInsert(5, "x"), std::out_of_range);
  EXPECT_THROW(tk.ComboDelete(4), std::out_of_range);

  tk.ComboSetIndex(2);
  EXPECT_EQ(tk.ComboIndex(), 2);
  EXPECT_EQ(tk.GetText(ControlId::ComboBox), "F: drive");
  tk.ComboSetIndex(-1);
  EXPECT_EQ(tk.ComboIndex(), -1);
  tk.ComboSetIndex(9);
  EXPECT_EQ(tk.ComboIndex(), -1);
  tk.ComboSetIndex(0);
  EXPECT_EQ(tk.ComboIndex(), 0);
  EXPECT_TRUE(sink.events.empty()) << "the program's selection raises no event";

  // The index stays a number across changes of the list, as the headless toolkit keeps it.
  tk.ComboSetIndex(3);
  tk.ComboInsert(0, "C: drive");
  EXPECT_EQ(tk.ComboIndex(), 3);
  tk.ComboDelete(4);
  EXPECT_EQ(tk.ComboIndex(), 3);
  tk.ComboDelete(3);
  EXPECT_EQ(tk.ComboIndex(), -1);
  EXPECT_EQ(tk.ComboCount(), 3);
  EXPECT_TRUE(sink.events.empty());
}

TEST_F(QtToolkitTest, UserChoosingAComboItemRaisesChange) {
  tk.ComboAdd("D: drive");
  tk.ComboAdd("E: drive");
  tk.ComboSetIndex(0);
  ShowWindow();
  QTest::keyClick(Combo(), Qt::Key_Down);
  ASSERT_EQ(sink.events.size(), 1u);
  EXPECT_EQ(sink.events[0].control, ControlId::ComboBox);
  EXPECT_EQ(sink.events[0].event, ControlEvent::Change);
  EXPECT_EQ(sink.events[0].comboIndex, 1);
  EXPECT_EQ(tk.GetText(ControlId::ComboBox), "E: drive");
}

TEST_F(QtToolkitTest, TypingIntoTheComboLeavesNoSelection) {
  tk.ComboAdd("D: drive");
  tk.ComboAdd("E: drive");
  tk.ComboSetIndex(1);
  ShowWindow();
  QLineEdit* edit = Combo()->lineEdit();
  edit->setFocus();
  edit->end(false);
  QTest::keyClicks(edit, "xy");
  ASSERT_EQ(sink.events.size(), 2u) << "one change per keystroke";
  for (const Event& e : sink.events) {
    EXPECT_EQ(e.control, ControlId::ComboBox);
    EXPECT_EQ(e.event, ControlEvent::Change);
    EXPECT_EQ(e.comboIndex, -1);
  }
  EXPECT_EQ(tk.ComboIndex(), -1);
  EXPECT_EQ(tk.GetText(ControlId::ComboBox), "E: drivexy");
  // Enter neither adds the text as an item nor selects one.
  QTest::keyClick(edit, Qt::Key_Return);
  EXPECT_EQ(tk.ComboCount(), 2);
  EXPECT_EQ(tk.ComboIndex(), -1);
  // No completion from the items while typing.
  edit->clear();
  QTest::keyClicks(edit, "D");
  EXPECT_EQ(tk.GetText(ControlId::ComboBox), "D");
  EXPECT_EQ(tk.ComboIndex(), -1);
  // The program setting the text is no user event.
  const std::size_t before = sink.events.size();
  tk.SetText(ControlId::ComboBox, "typed by the program");
  EXPECT_EQ(sink.events.size(), before);
  EXPECT_EQ(tk.GetText(ControlId::ComboBox), "typed by the program");
}

class FileListTest : public QtToolkitTest {
 protected:
  void SetUp() override {
    QtToolkitTest::SetUp();
    dir = fs::path(testing::TempDir()) / "kf_qt_file_list";
    fs::remove_all(dir);
    fs::create_directories(dir / "sub.bin");
    for (const char* name :
         {"b.BIN", "A.bin", "_first.bin", "notes.txt", "README", "a10.bin", "a2.bin"})
      std::ofstream(dir / name) << name;
  }
  void TearDown() override {
    fs::remove_all(dir);
    QtToolkitTest::TearDown();
  }
  std::vector<std::string> Listed() {
    std::vector<std::string> names;
    for (int i = 0; i < Files()->count(); ++i)
      names.push_back(Files()->item(i)->text().toStdString());
    return names;
  }
  void ClickRow(int row) {
    QListWidget* list = Files();
    QRect rect = list->visualItemRect(list->item(row));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
  }
  fs::path dir;
};

TEST_F(FileListTest, ListsMatchingRegularFilesSortedWithoutRegardToCase) {
  tk.FileListSetMask("*.bin");
  tk.FileListSetDirectory(dir.string());
  EXPECT_EQ(Listed(),
            (std::vector<std::string>{"_first.bin", "A.bin", "a10.bin", "a2.bin", "b.BIN"}));
  tk.FileListSetMask("*.*");
  tk.FileListUpdate();
  EXPECT_EQ(Listed(), (std::vector<std::string>{"_first.bin", "A.bin", "a10.bin", "a2.bin", "b.BIN",
                                                "notes.txt", "README"}));
  tk.FileListSetMask("A?.BIN");
  tk.FileListUpdate();
  EXPECT_EQ(Listed(), (std::vector<std::string>{"a2.bin"}));
  EXPECT_TRUE(sink.events.empty()) << "reading the directory is no user event";
}

TEST_F(FileListTest, UpdateSeesNewFilesAndAMissingFolderListsNothing) {
  tk.FileListSetMask("*.txt");
  tk.FileListSetDirectory(dir.string());
  EXPECT_EQ(Listed(), (std::vector<std::string>{"notes.txt"}));
  std::ofstream(dir / "later.txt") << "x";
  EXPECT_EQ(Listed().size(), 1u) << "not re-read until asked";
  tk.FileListUpdate();
  EXPECT_EQ(Listed(), (std::vector<std::string>{"later.txt", "notes.txt"}));
  tk.FileListSetDirectory((dir / "missing").string());
  EXPECT_TRUE(Listed().empty());
  EXPECT_EQ(tk.FileListSelectedPath(), "");
}

TEST_F(FileListTest, ClickingAFileRaisesClickAndGivesItsFullPath) {
  tk.FileListSetMask("*.bin");
  tk.FileListSetDirectory(dir.string());
  ShowWindow();
  EXPECT_EQ(tk.FileListSelectedPath(), "") << "nothing selected yet";
  ClickRow(1);
  ASSERT_EQ(CountEvents(ControlId::FileListBox1, ControlEvent::Click), 1);
  EXPECT_EQ(tk.FileListSelectedPath(), (dir / "A.bin").string());
  // Moving with the keyboard chooses too.
  QTest::keyClick(Files(), Qt::Key_Down);
  EXPECT_EQ(CountEvents(ControlId::FileListBox1, ControlEvent::Click), 2);
  EXPECT_EQ(tk.FileListSelectedPath(), (dir / "a10.bin").string());
  // A directory given with a trailing separator joins without doubling it.
  tk.FileListSetDirectory(dir.string() + "/");
  EXPECT_EQ(tk.FileListSelectedPath(), "") << "re-reading drops the selection";
  ClickRow(0);
  EXPECT_EQ(tk.FileListSelectedPath(), (dir / "_first.bin").string());
  EXPECT_EQ(CountEvents(ControlId::FileListBox1, ControlEvent::Click), 3);
}

TEST_F(QtToolkitTest, ProgressBarKeepsPositionWithinItsRange) {
  QProgressBar* bar = Get<QProgressBar>(ControlId::ProgressBar);
  tk.ProgressSetMin(0);
  tk.ProgressSetMax(524288);
  tk.ProgressSetStep(16384);
  tk.ProgressSetPosition(0);
  for (int i = 0; i < 31; ++i) tk.ProgressStepIt();
  EXPECT_EQ(tk.ProgressPosition(), 31 * 16384);
  EXPECT_EQ(bar->value(), 31 * 16384);
  EXPECT_EQ(bar->maximum(), 524288);
  tk.ProgressStepIt();
  tk.ProgressStepIt();
  EXPECT_EQ(tk.ProgressPosition(), 524288) << "stepping stops at the maximum";
  EXPECT_EQ(bar->value(), 524288);
  tk.ProgressSetPosition(-5);
  EXPECT_EQ(tk.ProgressPosition(), 0);
  tk.ProgressSetMax(4000000);
  tk.ProgressSetPosition(3999999);
  EXPECT_EQ(bar->value(), 3999999);
  // An empty range shows an empty bar, not Qt's busy animation.
  tk.ProgressSetMax(0);
  tk.ProgressSetPosition(0);
  EXPECT_LT(bar->minimum(), bar->maximum());
  EXPECT_EQ(bar->value(), bar->minimum());
}

TEST_F(QtToolkitTest, BusyCursorIsASettingNotAStack) {
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  tk.SetBusyCursor(true);
  ASSERT_NE(QApplication::overrideCursor(), nullptr);
  EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
  tk.SetBusyCursor(true);
  tk.SetBusyCursor(false);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  tk.SetBusyCursor(false);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(QtToolkitTest, MessageDialogsAnswerAsClickedWithTitleAndIcon) {
  DialogUser user;
  user.Expect(DialogUser::Press(QMessageBox::Yes));
  EXPECT_EQ(tk.MessageDialog("\nWARNING:\nDo you wish to continue?\n", DialogKind::Warning,
                             DialogButtons::YesNo),
            ModalResult::Yes);
  user.Expect(DialogUser::Press(QMessageBox::No));
  EXPECT_EQ(tk.MessageDialog("Flash?", DialogKind::Confirmation, DialogButtons::YesNo),
            ModalResult::No);
  user.Expect(DialogUser::Press(QMessageBox::Ok));
  EXPECT_EQ(tk.MessageDialog("\nERROR:\n<none>", DialogKind::Error, DialogButtons::Ok),
            ModalResult::Ok);
  ASSERT_EQ(user.seen.size(), 3u);
  EXPECT_EQ(user.unexpected, 0);

  const SeenDialog& warning = user.seen[0];
  EXPECT_EQ(warning.title, "Warning");
  EXPECT_EQ(warning.icon, QMessageBox::Warning);
  EXPECT_EQ(warning.text, "\nWARNING:\nDo you wish to continue?\n");
  EXPECT_EQ(warning.buttons, QStringList({"No", "Yes"}));
  EXPECT_EQ(user.seen[1].title, "Confirm");
  EXPECT_EQ(user.seen[1].icon, QMessageBox::Question);
  const SeenDialog& error = user.seen[2];
  EXPECT_EQ(error.title, "Error");
  EXPECT_EQ(error.icon, QMessageBox::Critical);
  EXPECT_EQ(error.buttons, QStringList({"OK"}));
  EXPECT_EQ(error.format, Qt::PlainText);
  for (const SeenDialog& d : user.seen) {
    EXPECT_TRUE(d.modal);
    EXPECT_EQ(d.parent, Window()) << "owned by the window, shown or not";
  }
}

TEST_F(QtToolkitTest, ClosingAYesNoDialogOtherwiseIsNo) {
  DialogUser user;
  user.Expect(DialogUser::PressEscape());
  EXPECT_EQ(tk.MessageDialog("Continue?", DialogKind::Warning, DialogButtons::YesNo),
            ModalResult::No);
  user.Expect(DialogUser::CloseBox());
  EXPECT_EQ(tk.MessageDialog("Continue?", DialogKind::Warning, DialogButtons::YesNo),
            ModalResult::No);
  user.Expect(DialogUser::PressEscape());
  EXPECT_EQ(tk.MessageDialog("Failed.", DialogKind::Error, DialogButtons::Ok), ModalResult::Ok);
  EXPECT_EQ(user.seen.size(), 3u);
  EXPECT_EQ(user.unexpected, 0);
}

TEST_F(QtToolkitTest, PlainBoxAndExceptionBoxCarryTheApplicationTitle) {
  DialogUser user;
  user.Expect(DialogUser::Press(QMessageBox::Ok));
  user.Expect(DialogUser::Press(QMessageBox::Ok));
  tk.ShowMessage("Can't load /opt/korvel/korvel-flash.INI");
  tk.ShowException("List index out of bounds");
  ASSERT_EQ(user.seen.size(), 2u);
  EXPECT_EQ(user.seen[0].title, "KORVEL Windows Flash utility");
  EXPECT_EQ(user.seen[0].icon, QMessageBox::NoIcon);
  EXPECT_EQ(user.seen[0].text, "Can't load /opt/korvel/korvel-flash.INI");
  EXPECT_EQ(user.seen[0].buttons, QStringList({"OK"}));
  EXPECT_EQ(user.seen[1].title, "KORVEL Windows Flash utility");
  EXPECT_EQ(user.seen[1].icon, QMessageBox::Critical);
  EXPECT_EQ(user.seen[1].text, "List index out of bounds");
  EXPECT_EQ(user.seen[1].parent, Window());
}

TEST_F(QtToolkitTest, QuitBeforeTheLoopEndsItWithoutShowingTheWindow) {
  tk.PostQuit();
  EXPECT_EQ(tk.RunMessageLoop(), 0);
  EXPECT_FALSE(Window()->isVisible());
}

TEST_F(QtToolkitTest, CloseBeforeTheLoopEndsItWithoutShowingTheWindow) {
  tk.CloseMainWindow();
  EXPECT_EQ(tk.RunMessageLoop(), 0);
  EXPECT_FALSE(Window()->isVisible());
}

TEST_F(QtToolkitTest, LoopShowsTheWindowAndEndsWhenTheUserClosesIt) {
  bool shownDuringLoop = false;
  EXPECT_EQ(RunLoopWith([&] {
              shownDuringLoop = Window()->isVisible();
              Window()->close();
            }),
            0);
  EXPECT_TRUE(shownDuringLoop);
  EXPECT_FALSE(Window()->isVisible());
  EXPECT_FALSE(tk.QuitPosted()) << "ended by the close, not by the watchdog";
}

// The start-up warning closes while the window is still hidden: no window is left
// visible then, and Qt must not take that for the end of the program.
TEST_F(QtToolkitTest, ADialogBeforeTheLoopDoesNotEndIt) {
  DialogUser user;
  user.Expect(DialogUser::Press(QMessageBox::Yes));
  ASSERT_EQ(tk.MessageDialog("Continue?", DialogKind::Warning, DialogButtons::YesNo),
            ModalResult::Yes);
  bool stillShown = false;
  EXPECT_EQ(RunLoopWith([&] {
              QTest::qWait(300);
              stillShown = Window()->isVisible();
              Window()->close();
            }),
            0);
  EXPECT_TRUE(stillShown);
  EXPECT_FALSE(tk.QuitPosted());
}

TEST_F(QtToolkitTest, QuitFromAHandlerEndsTheLoop) {
  sink.onEvent = [this] { tk.PostQuit(); };
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(
      RunLoopWith([this] { QTest::mouseClick(tk.Widget(ControlId::FlashButton), Qt::LeftButton); }),
      0);
  EXPECT_LT(clock.elapsed(), 5000) << "ended by the handler's quit, not by the watchdog";
  EXPECT_EQ(CountEvents(ControlId::FlashButton, ControlEvent::Click), 1);
}

TEST_F(QtToolkitTest, CloseMainWindowFromAHandlerEndsTheLoop) {
  sink.onEvent = [this] { tk.CloseMainWindow(); };
  EXPECT_EQ(
      RunLoopWith([this] { QTest::mouseClick(tk.Widget(ControlId::FlashButton), Qt::LeftButton); }),
      0);
  EXPECT_FALSE(Window()->isVisible());
  EXPECT_FALSE(tk.QuitPosted());
}

// A form whose button handler fails once.
class FailingForm : public TForm {
 public:
  FailingForm() : TForm(kFlashFormResource) {
    Bind(ControlId::FlashButton, [this](TObject*) {
      if (++clicks == 1) throw std::runtime_error("Access violation at address 00401000");
    });
  }
  int clicks = 0;
};

TEST(QtToolkitForm, AnExceptionInAHandlerIsShownAndTheProgramGoesOn) {
  QtToolkit tk;
  InstallToolkit(&tk);
  tk.SetApplicationTitle("KORVEL Windows Flash utility");
  FailingForm form;
  form.CreateWindowAndRunOnCreate();
  DialogUser user;
  user.Expect(DialogUser::Press(QMessageBox::Ok));
  QWidget* button = tk.Widget(ControlId::FlashButton);
  QTimer::singleShot(20, button, [&] {
    QTest::mouseClick(button, Qt::LeftButton);  // shows the box; returns once answered
    QTest::mouseClick(button, Qt::LeftButton);
    tk.Widget(ControlId::Form)->close();
  });
  QTimer::singleShot(10000, button, [&] { tk.PostQuit(); });
  EXPECT_EQ(tk.RunMessageLoop(), 0);
  EXPECT_EQ(form.clicks, 2);
  ASSERT_EQ(user.seen.size(), 1u);
  EXPECT_EQ(user.seen[0].title, "KORVEL Windows Flash utility");
  EXPECT_EQ(user.seen[0].icon, QMessageBox::Critical);
  EXPECT_EQ(user.seen[0].text, "Access violation at address 00401000");
  EXPECT_FALSE(tk.QuitPosted());
  InstallToolkit(nullptr);
}

// A sink that is not a form: the toolkit still keeps exceptions out of Qt's loop.
TEST_F(QtToolkitTest, AnExceptionFromAnySinkIsShown) {
  sink.onEvent = [] { throw std::out_of_range("List index out of bounds"); };
  DialogUser user;
  user.Expect(DialogUser::Press(QMessageBox::Ok));
  ShowWindow();
  QTest::mouseClick(tk.Widget(ControlId::FlashButton), Qt::LeftButton);
  ASSERT_EQ(user.seen.size(), 1u);
  EXPECT_EQ(user.seen[0].text, "List index out of bounds");
  EXPECT_EQ(user.seen[0].icon, QMessageBox::Critical);
}

}  // namespace
