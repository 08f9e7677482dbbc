// Rights a flash needs on Linux, checked before the warning: without read-write access to
// the optical devices, or without CAP_SYS_RAWIO (the kernel refuses WRITE BUFFER and the
// vendor commands without it), the user would meet drive errors that blame the drive
// half-way through. A flash program asks for the rights up front instead, through pkexec
// and a helper at a fixed installed path, since a built flash program can live anywhere.
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

// How this process could get the rights.
struct Elevation {
  std::string pkexec;   // its path; absent: not installed
  std::string helper;   // the installed helper that pkexec runs
  std::string program;  // this program's own file
  std::string display;  // the X display the program shows on; empty: none
  bool root = false;    // already root: pkexec would give nothing more
};

struct RightsPlan {
  bool run = true;                    // start the program here and now
  std::vector<std::string> relaunch;  // else pkexec's command line; empty: cannot ask
  std::string refusal;                // else the box when no relaunch ran the program
};

// Builder mode, an ASPI layer beside the program (the platform then never opens a device)
// and a machine without an optical device need no rights, and nothing is asked.
RightsPlan PlanFlashRights(LinuxPlatform& platform, bool builderMode, RightsProbe& probe,
                           const Elevation& elevation);

// Where the program reads its own display from, and the system's pkexec.
Elevation SystemElevation(const std::string& helper, const std::string& program);
