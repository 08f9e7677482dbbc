// The rights check of a Linux flash program, at its seam: the probe's answers are given,
// the devices are files in a temporary folder, and the system call is replaced, so any
// command the check sent would be seen.
#if defined(__linux__)

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "platform/linux/LinuxRights.h"

namespace {

namespace fs = std::filesystem;

class FakeProbe : public RightsProbe {
 public:
  std::set<std::string> closed;
  bool rawIo = true;
  int questions = 0;
  bool MayOpen(const std::string& device) override {
    ++questions;
    return !closed.count(device);
  }
  bool MaySendWriteBuffer() override {
    ++questions;
    return rawIo;
  }
};

using Route = RightsPlan::Route;

struct Case {
  const char* name;
  bool builder;
  bool aspiLayer;  // the emulated layer beside the program
  int devices;     // /dev/sr0 up
  std::set<int> closed;
  bool rawIo;
  bool pkexec, engine, root;
  const char* testEngine;
  // Expected.
  Route route;
  bool asked;
  std::vector<std::string> told;  // in the box
};

const char* const kProgram = "/home/u/My Flash/QF2Z.EXE";

// clang-format off
const Case kCases[] = {
  // name, builder, layer, devices, closed, rawIo, pkexec, engine, root, testEngine,
  //   route, asked, told
  {"builder without rights",         true,  false, 2, {0, 1}, false, true,  true,  false, "",
     Route::InProcess, false, {}},
  {"flash with rights",              false, false, 2, {},     true,  true,  true,  false, "",
     Route::InProcess, true,  {}},
  {"flash without CAP_SYS_RAWIO",    false, false, 2, {},     false, true,  true,  false, "",
     Route::Engine,    true,  {}},
  {"flash without access to sr1",    false, false, 2, {1},    true,  true,  true,  false, "",
     Route::Engine,    true,  {}},
  {"flash without pkexec",           false, false, 1, {0},    false, false, true,  false, "",
     Route::Refuse,    true,  {"{dev}/sr0", "CAP_SYS_RAWIO",
                               "pkexec, which starts the flash engine, is not installed.",
                               "No drive has been sent anything.", "install the korvel-flash package",
                               "sudo '/home/u/My Flash/QF2Z.EXE'", "Wayland"}},
  {"flash without the engine",       false, false, 1, {},     false, true,  false, false, "",
     Route::Refuse,    true,  {"{dir}/engine, is not installed."}},
  {"flash as root without the cap",  false, false, 1, {},     false, true,  true,  true,  "",
     Route::Refuse,    true,  {"as root already"}},
  {"flash beside the emulated layer", false, true, 2, {0, 1}, false, true,  true,  false, "",
     Route::InProcess, false, {}},
  {"flash without an optical drive", false, false, 0, {},     false, true,  true,  false, "",
     Route::InProcess, false, {}},
  {"a rehearsal's engine",           false, false, 0, {},     false, false, false, false, "/t/e",
     Route::Engine,    false, {}},
  {"a rehearsal's engine, builder",  true,  false, 0, {},     false, false, false, false, "/t/e",
     Route::InProcess, false, {}},
};
// clang-format on

void Touch(const fs::path& path) {
  std::ofstream(path) << "";
}

std::string Expand(std::string text, const std::string& name, const fs::path& value) {
  std::size_t at = text.find(name);
  return at == std::string::npos ? text : text.replace(at, name.size(), value.string());
}

// Descriptors this process holds open on files below the folder.
int OpenBelow(const fs::path& folder) {
  int count = 0;
  for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    fs::path target = fs::read_symlink(fd.path(), error);
    if (!error && target.string().rfind(folder.string(), 0) == 0) ++count;
  }
  return count;
}

TEST(LinuxRights, AskedOnlyWhereAFlashNeedsThemAndNothingIsSent) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    char pattern[] = "/tmp/kf-rights-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path folder = pattern, devices = folder / "dev", programs = folder / "bin";
    fs::create_directories(devices);
    fs::create_directories(programs);
    for (int n = 0; n < c.devices; ++n) Touch(devices / ("sr" + std::to_string(n)));
    if (c.aspiLayer) Touch(programs / "libwnaspi32.so");
    if (c.pkexec) Touch(folder / "pkexec");

    int commands = 0;
    LinuxPlatform platform(programs, devices, [&](int, sg_io_hdr*) { return ++commands, 0; });
    FakeProbe probe;
    for (int n : c.closed) probe.closed.insert(devices / ("sr" + std::to_string(n)));
    probe.rawIo = c.rawIo;
    Elevation elevation{folder / "pkexec", folder / "engine", kProgram, c.root, c.testEngine};
    if (c.engine) Touch(folder / "engine");

    RightsPlan plan = PlanFlashRights(platform, c.builder, probe, elevation);

    EXPECT_EQ(plan.route, c.route);
    EXPECT_EQ(probe.questions > 0, c.asked);
    std::vector<std::string> engine;
    if (c.route == Route::Engine)
      engine = *c.testEngine ? std::vector<std::string>{c.testEngine}
                             : std::vector<std::string>{folder / "pkexec", folder / "engine"};
    EXPECT_EQ(plan.engine, engine);
    EXPECT_EQ(plan.refusal.empty(), c.route != Route::Refuse) << plan.refusal;
    for (std::string told : c.told) {
      told = Expand(Expand(told, "{dev}", devices), "{dir}", folder);
      EXPECT_NE(plan.refusal.find(told), std::string::npos) << told << " in\n" << plan.refusal;
    }
    // A capability on a program that loads plugins would hand it to whatever they load.
    EXPECT_EQ(plan.refusal.find("setcap"), std::string::npos);
    for (int n = 0; n < c.devices && c.route == Route::Refuse; ++n) {
      std::string device = devices / ("sr" + std::to_string(n));
      EXPECT_EQ(plan.refusal.find(device) != std::string::npos, c.closed.count(n) == 1) << device;
    }
    EXPECT_EQ(commands, 0);
    EXPECT_EQ(OpenBelow(folder), 0);
    fs::remove_all(folder);
  }
}

}  // namespace

#endif
