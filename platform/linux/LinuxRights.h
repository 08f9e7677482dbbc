// Rights a flash needs on Linux, checked before the warning: without read-write access to
// the optical devices, or without CAP_SYS_RAWIO (the kernel refuses WRITE BUFFER and the
// vendor commands without it), the user would meet drive errors that blame the drive
// half-way through. The user's program never gets them itself: the installed flash engine,
// started through pkexec, has them and does the drive work, while the window stays the
// user's.
#pragma once

#include <string>
#include <vector>

#include "platform/linux/LinuxPlatform.h"

// The seam: what the system would allow this process.
class RightsProbe {
 public:
  virtual ~RightsProbe() = default;
  virtual bool MayOpen(const std::string& device) = 0;  // read-write
  virtual bool MaySendWriteBuffer() = 0;
};

// Asks the kernel without opening anything: opening an optical device may already send
// it a command.
class SystemRightsProbe : public RightsProbe {
 public:
  bool MayOpen(const std::string& device) override;
  bool MaySendWriteBuffer() override;
};

// How a flash could get the rights.
struct Elevation {
  std::string pkexec;      // its path; absent: not installed
  std::string engine;      // the installed engine that pkexec starts
  std::string program;     // this program's own file
  bool root = false;       // already root: the rights are had or cannot be had
  std::string testEngine;  // a rehearsal's engine, started as the user; empty: none
};

struct RightsPlan {
  enum class Route { InProcess, Engine, Refuse } route = Route::InProcess;
  std::vector<std::string> engine;  // Engine: the command that starts it
  std::vector<std::string> closed;  // devices this process may not open
  bool rawIo = false;               // CAP_SYS_RAWIO is lacking
  std::string refusal;              // Refuse: the box
};

// Builder mode, an ASPI layer beside the program (the platform then never opens a device),
// a machine without an optical device and a process that has the rights run the program
// here; nothing is asked.
RightsPlan PlanFlashRights(LinuxPlatform& platform, bool builderMode, RightsProbe& probe,
                           const Elevation& elevation);

// The box when the engine cannot do the flash: what is lacking, `why`, and the safe ways.
std::string RefusalText(const RightsPlan& plan, const Elevation& elevation, const std::string& why);

// The system's pkexec and engine; a rehearsal's engine from KF_TEST_ENGINE, which only a
// process without any rights may use.
Elevation SystemElevation(const std::string& engine, const std::string& program);
