// The flash engine and the user's window over the pipe. The tests' engine drives the
// emulated drive behind the fake platform; the window is the headless toolkit, served by
// the same code that serves the Qt window. The installed engine is run too, never as far
// as a device.
#if defined(__linux__)

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <sstream>

#include "emulator/EmulatorConfig.h"
#include "engine/Engine.h"
#include "engine/Hardening.h"
#include "tests/fake/ProgramFixture.h"
#include "toolkit/remote/EngineClient.h"

namespace {

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class Engine : public ProgramTest {
 protected:
  // The window's script of a whole flash: the warning and the question Yes, the restart
  // question No, FLASH pressed once.
  void ScriptFlash() {
    tk.answers = {ModalResult::Yes, ModalResult::Yes, ModalResult::No};
    tk.userActions.push_back([this] { tk.UserClicksFlashButton(); });
  }
  // One drive D, its commands traced and its commits written to files of the test's own.
  remote::EngineEnd Serve(Toolkit& window, const std::string& engine = KF_TEST_ENGINE_FILE) {
    if (dir_.empty()) dir_ = TempDir();
    std::ofstream(dir_ + "/drives.txt")
        << "trace " << dir_ << "/trace.txt\ndrive\nimage " << dir_ << "/image.bin\n";
    setenv("KORVEL_EMULATOR_CONFIG", (dir_ + "/drives.txt").c_str(), 1);
    remote::EngineEnd end = remote::ServeEngine({engine}, window, nullptr, P());
    unsetenv("KORVEL_EMULATOR_CONFIG");
    return end;
  }
  std::vector<std::string> Trace() { return Lines(dir_ + "/trace.txt"); }
  std::string Image() { return Slurp(dir_ + "/image.bin"); }
  std::vector<std::string> Boxes() {
    std::vector<std::string> texts;
    for (const DialogRecord& d : tk.dialogs) texts.push_back(d.text);
    return texts;
  }

  std::string dir_;
};

TEST_F(Engine, AFlashThroughTheEngineIsTheProgramAloneCommandForCommand) {
  // The program alone, in this process.
  fake.AddDrive(Drive('D'));
  ScriptFlash();
  ASSERT_EQ(Run(), 0);
  std::vector<std::string> alone;
  for (const emu::TraceEntry& e : fake.bus.Trace()) alone.push_back(emu::FormatTraceLine(e));
  const std::vector<std::string> aloneLog = tk.log, aloneBoxes = Boxes();
  ASSERT_EQ(tk.Control(ControlId::GroupBox2).text, "Flash Completed.");

  tk = HeadlessToolkit();
  ScriptFlash();
  remote::EngineEnd end = Serve(tk);
  EXPECT_TRUE(end.started && end.finished) << end.detail;
  EXPECT_EQ(end.exitCode, 0);
  EXPECT_EQ(tk.Control(ControlId::GroupBox2).text, "Flash Completed.");
  EXPECT_EQ(Trace(), alone);
  EXPECT_EQ(tk.log, aloneLog);
  EXPECT_EQ(Boxes(), aloneBoxes);
  EXPECT_EQ(Image(), std::string(reinterpret_cast<const char*>(P().FirmwareImage), 0x80000));
  int commits = 0;
  for (const std::string& line : Trace()) {
    std::istringstream fields(line);
    std::string drive, cdb;
    fields >> drive >> cdb;
    commits +=
        cdb.compare(0, 2, "3B") == 0 && (cdb.substr(18, 2) == "80" || cdb.substr(18, 2) == "A0");
  }
  EXPECT_EQ(commits, 1);
}

struct Refusal {
  const char* name;
  void (*spoil)(FlashPayloadRecord&);
  const char* told;
};

const Refusal kRefusals[] = {
    {"a builder", [](FlashPayloadRecord& p) { std::memcpy(p.FirmwareImage, p.TailMark, 4); },
     "it is the builder's"},
    {"an image length past the area", [](FlashPayloadRecord& p) { p.FirmwareLength[2] = 0x09; },
     "This flash program is damaged: its firmware image is 589824 bytes long"},
    {"a chip profile past the profiles",
     [](FlashPayloadRecord& p) { p.ChipTable[3].ProfileLengthBE[0] = 0xFF; },
     "This flash program is damaged: entry 3 of its chip table"},
    {"another record", [](FlashPayloadRecord& p) { p.BuildKey[0] ^= 1; },
     "it is not the payload of a korvel-flash flash program"},
    {"a control character in the identification",
     [](FlashPayloadRecord& p) { p.InquiryText[3] = '\n'; }, "control characters"},
};

TEST_F(Engine, RefusesAnyPayloadThatFailsACheckWithItsBoxAndNoCommand) {
  for (const Refusal& r : kRefusals) {
    SCOPED_TRACE(r.name);
    P() = FlashPayload;
    MakeFlashProgram();
    r.spoil(P());
    tk = HeadlessToolkit();
    ScriptFlash();
    remote::EngineEnd end = Serve(tk);
    EXPECT_TRUE(end.finished) << end.detail;
    EXPECT_EQ(end.exitCode, 2);
    ASSERT_EQ(tk.dialogs.size(), 1u);
    EXPECT_NE(tk.dialogs[0].text.find(r.told), std::string::npos) << tk.dialogs[0].text;
    EXPECT_NE(tk.dialogs[0].text.find("Nothing was sent to any drive."), std::string::npos);
    EXPECT_FALSE(tk.windowCreated);
    EXPECT_TRUE(Trace().empty());
  }
}

// A window that lies to the engine: a button the update box does not have, a selection
// the drive list does not hold, FLASH sent from behind the warning box or after the
// program closed the window.
class LyingWindow : public HeadlessToolkit {
 public:
  ModalResult updateAnswer = ModalResult::Yes;
  std::optional<int> selected;
  bool staysOpen = false;
  void PostQuit() override {
    if (!staysOpen) HeadlessToolkit::PostQuit();
  }
  void CloseMainWindow() override {
    if (!staysOpen) HeadlessToolkit::CloseMainWindow();
  }
  ModalResult MessageDialog(const std::string& text, DialogKind kind,
                            DialogButtons buttons) override {
    ModalResult answer = HeadlessToolkit::MessageDialog(text, kind, buttons);
    return text.find("Update Firmware") != std::string::npos ? updateAnswer : answer;
  }
  int ComboIndex() override { return selected ? *selected : HeadlessToolkit::ComboIndex(); }
};

struct Lie {
  const char* name;
  void (*tell)(LyingWindow&);
  bool listed;  // the drive was found and checked before the lie
};

const Lie kLies[] = {
    {"a button the update box does not have",
     [](LyingWindow& w) { w.updateAnswer = static_cast<ModalResult>(9); }, true},
    {"no selection right after the program selected the drive",
     [](LyingWindow& w) { w.selected = -1; }, true},
    {"an entry past the drive list", [](LyingWindow& w) { w.selected = 5; }, true},
    {"FLASH behind the warning box",
     [](LyingWindow& w) {
       w.onDialog = [&w](const DialogRecord& d) {
         if (d.kind == DialogKind::Warning) w.UserClicksFlashButton();
       };
     },
     false},
    {"FLASH after the warning was answered No",
     [](LyingWindow& w) {
       w.answers = {ModalResult::No};
       w.staysOpen = true;
     },
     false},
};

TEST_F(Engine, AWindowThatBreaksTheProtocolStopsTheEngineBeforeItsNextCommand) {
  for (const Lie& lie : kLies) {
    SCOPED_TRACE(lie.name);
    LyingWindow window;
    window.answers = {ModalResult::Yes, ModalResult::Yes, ModalResult::No};
    window.userActions.push_back([&] { window.UserClicksFlashButton(); });
    lie.tell(window);
    remote::EngineEnd end = Serve(window);
    EXPECT_TRUE(end.started);
    EXPECT_FALSE(end.finished);
    EXPECT_EQ(end.status, kEngineWindowLost << 8);
    std::vector<std::string> trace = Trace();
    EXPECT_EQ(trace.empty(), !lie.listed);
    for (const std::string& line : trace) EXPECT_EQ(line.find(" 3B"), std::string::npos) << line;
    EXPECT_FALSE(remote::EngineEndText(end, {}, {}).empty());
  }
}

// The installed engine, placed beside the emulated layer (which would be a drive if it were
// loaded) and run with an environment that names it, a plugin folder and a search path.
TEST_F(Engine, TheInstalledEngineRunsNothingItIsNamedAndLoadsNothingBesideIt) {
  if (std::filesystem::exists("/dev/sr0")) GTEST_SKIP() << "this machine has an optical drive";
  dir_ = TempDir();
  const std::string place = dir_ + "/place", copy = place + "/korvel-flash-engine";
  std::filesystem::create_directories(place);
  std::filesystem::copy_file(KF_ENGINE_FILE, copy);
  std::filesystem::copy_file(KF_WNASPI32_FILE, place + "/libwnaspi32.so");
  std::filesystem::create_directories(place + "/bin");
  std::ofstream(place + "/bin/systemctl") << "#!/bin/sh\ntouch " << place << "/ran\n";
  std::filesystem::permissions(place + "/bin/systemctl", std::filesystem::perms::owner_all);
  setenv("PATH", (place + "/bin:" + getenv("PATH")).c_str(), 1);
  setenv("QT_PLUGIN_PATH", place.c_str(), 1);

  remote::EngineEnd named =
      remote::ServeEngine({copy, "/bin/sh", "-c", "touch " + place + "/ran"}, tk, nullptr, P());
  EXPECT_FALSE(named.started);
  EXPECT_EQ(named.status, 1 << 8);

  tk.answers = {ModalResult::Yes};
  remote::EngineEnd end = Serve(tk, copy);
  EXPECT_TRUE(end.finished) << end.detail;
  ASSERT_FALSE(tk.dialogs.empty());
  EXPECT_NE(tk.dialogs.back().text.find("Can't find ATAPI Drive !"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/trace.txt"));
  EXPECT_FALSE(std::filesystem::exists(place + "/ran"));
  unsetenv("QT_PLUGIN_PATH");
  setenv("PATH", std::string(getenv("PATH")).substr(place.size() + 5).c_str(), 1);
}

// What the engine keeps of what it was handed, seen from inside a child that hardened
// itself: each lapse is a bit of its exit code.
TEST(EngineHardening, KeepsNothingItWasHandedButThePipe) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setenv("LD_PRELOAD", "/tmp/evil.so", 1);
    setenv("KORVEL_EMULATOR_CONFIG", "/tmp/drives.txt", 1);
    int extra = open("/dev/null", O_RDONLY);
    if (chdir("/tmp") != 0) _exit(100);
    if (!HardenEngineProcess().empty()) _exit(101);
    int lapses = 0;
    lapses |= (environ[0] == nullptr || std::string(environ[0]) != kEnginePath || environ[1]) << 0;
    lapses |= (fcntl(extra, F_GETFD) != -1) << 1;
    char cwd[8] = {};
    lapses |= (getcwd(cwd, sizeof cwd) == nullptr || std::string(cwd) != "/") << 2;
    lapses |= (prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) != 1) << 3;
    lapses |= (prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) != 0) << 4;
    if (geteuid() == 0) {
      std::ifstream status("/proc/self/status");
      std::string line, eff, bnd;
      while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) == 0) eff = line.substr(line.find_first_not_of(" \t", 7));
        if (line.rfind("CapBnd:", 0) == 0) bnd = line.substr(line.find_first_not_of(" \t", 7));
      }
      lapses |= (eff != "0000000000020000") << 5;  // CAP_SYS_RAWIO is bit 17
      lapses |= (bnd != "0000000000020000") << 6;
    }
    _exit(lapses);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Each end takes only what its peer may send, in the shape and ranges of its operation.
TEST(EnginePipe, EachEndTakesOnlyWellFormedMessagesOfItsPeer) {
  using remote::Op;
  using remote::Side;
  auto message = [](Op op, std::int32_t a = 0, std::int32_t b = 0, std::string text = "") {
    remote::Message m;
    m.op = op;
    m.n[0] = a;
    m.n[1] = b;
    m.text = std::move(text);
    return remote::Encode(m).substr(4);  // the body, without its length
  };
  const std::string record(sizeof(FlashPayloadRecord), 'x');
  struct Case {
    const char* name;
    std::string body;
    Side from;
    bool taken;
  };
  const Case cases[] = {
      {"a text for a control", message(Op::SetText, 3, 0, "Flash Completed."), Side::Engine, true},
      {"a control past the last", message(Op::SetText, kControlCount, 0, "x"), Side::Engine, false},
      {"an engine's call from the window", message(Op::SetText, 3, 0, "x"), Side::Window, false},
      {"a window's event from the engine", message(Op::DispatchEvent, 7, 2), Side::Engine, false},
      {"an event", message(Op::DispatchEvent, 7, 2), Side::Window, true},
      {"an event past Click", message(Op::DispatchEvent, 7, 3), Side::Window, false},
      {"a dialog of no kind", message(Op::MessageDialog, 3, 0, "?"), Side::Engine, false},
      {"a boolean of 2", message(Op::SetVisible, 1, 2), Side::Engine, false},
      {"an answer either way", message(Op::Return, -7, 0, "t"), Side::Window, true},
      {"the payload record", message(Op::Payload, 0, 0, record), Side::Window, true},
      {"a payload a byte short", message(Op::Payload, 0, 0, record.substr(1)), Side::Window, false},
      {"a text with a zero byte", message(Op::ComboAdd, 0, 0, std::string("a\0b", 3)), Side::Engine,
       false},
      {"a text past the limit", message(Op::ComboAdd, 0, 0, std::string(remote::kMaxText + 1, 'a')),
       Side::Engine, false},
      {"a byte to spare", message(Op::Repaint, 2) + "!", Side::Engine, false},
      {"cut short", message(Op::SetEnabled, 2, 1).substr(0, 6), Side::Engine, false},
      {"another version", message(Op::Hello, remote::kProtocolVersion + 1), Side::Engine, false},
      {"no operation", std::string(1, '\0'), Side::Engine, false},
      {"an operation past the last", std::string(1, '\x7f'), Side::Engine, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    remote::Message out;
    std::string why;
    bool taken = remote::Decode(reinterpret_cast<const std::uint8_t*>(c.body.data()), c.body.size(),
                                c.from, &out, &why);
    EXPECT_EQ(taken, c.taken) << why;
    if (taken) {
      EXPECT_EQ(remote::Encode(out).substr(4), c.body);
    }
  }
}

TEST(EngineEnd, TheWindowSaysOnlyWhatItKnows) {
  RightsPlan plan;
  plan.rawIo = true;
  Elevation elevation{"/usr/bin/pkexec", "/e", "/home/u/QF2Z.EXE", false, ""};
  struct Case {
    const char* name;
    remote::EngineEnd end;
    std::vector<std::string> told, never;
  };
  const Case cases[] = {
      {"ran to its end", {true, true, 0, 0, ""}, {}, {}},
      {"the password dismissed",
       {false, false, 0, 126 << 8, ""},
       {"did not start", "password was not given", "No drive has been sent anything."},
       {"may have sent"}},
      {"pkexec missing",
       {false, false, 0, -1, "/usr/bin/pkexec: No such file or directory"},
       {"No such file", "No drive has been sent anything."},
       {}},
      {"killed mid-run",
       {true, false, 0, SIGKILL, "the end of the pipe"},
       {"ended by signal 9", "may have sent commands"},
       {"No drive has been sent anything", "Nothing was sent"}},
      {"ended with an error", {true, false, 0, 3 << 8, ""}, {"ended with status 3"}, {"No drive"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text = remote::EngineEndText(c.end, plan, elevation);
    EXPECT_EQ(text.empty(), c.end.finished);
    for (const std::string& t : c.told) EXPECT_NE(text.find(t), std::string::npos) << text;
    for (const std::string& t : c.never) EXPECT_EQ(text.find(t), std::string::npos) << text;
  }
}

}  // namespace

#endif
