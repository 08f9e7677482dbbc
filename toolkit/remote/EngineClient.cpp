#include "toolkit/remote/EngineClient.h"

#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/FlashFormResource.h"
#include "toolkit/remote/ToolkitServer.h"

extern char** environ;

namespace remote {

namespace {

struct Child {
  pid_t pid = -1;
  int socket = -1;  // our end
};

// The engine's standard input and output are one end of a socket pair, so that a write to
// an engine that has gone fails instead of raising SIGPIPE here; its error output stays
// ours.
bool Start(const std::vector<std::string>& command, Child* child, std::string* why) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
    return *why = std::strerror(errno), false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 0);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
  std::vector<char*> argv;
  for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  int error = posix_spawn(&child->pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(ends[1]);
  if (error != 0) {
    *why = command[0] + ": " + std::strerror(error);
    close(ends[0]);
    return false;
  }
  child->socket = ends[0];
  return true;
}

int Wait(pid_t pid) {
  int status;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return status;
}

std::string HowItEnded(int status) {
  if (status == -1) return "it did not start";
  if (WIFSIGNALED(status)) return "it was ended by signal " + std::to_string(WTERMSIG(status));
  return "it ended with status " + std::to_string(WEXITSTATUS(status));
}

}  // namespace

std::string EngineEndText(const EngineEnd& end, const RightsPlan& plan,
                          const Elevation& elevation) {
  if (end.finished) return "";
  if (!end.started) {
    std::string why =
        "The flash engine did not start (" +
        (end.status == -1 && !end.detail.empty() ? end.detail : HowItEnded(end.status));
    if (WIFEXITED(end.status) && (WEXITSTATUS(end.status) == 126 || WEXITSTATUS(end.status) == 127))
      why += ": the administrator's password was not given, or not accepted";
    return RefusalText(plan, elevation, why + ").");
  }
  return "\nERROR:\n\nThe flash engine ended before the flash program did (" +
         HowItEnded(end.status) + (end.detail.empty() ? "" : "; " + end.detail) +
         ").\n\nIt may have sent commands to the drive before that: this window cannot "
         "tell how far it got. Flash the drive again with this program before you turn the "
         "computer off or restart it.\n";
}

EngineEnd ServeEngine(const std::vector<std::string>& command, Toolkit& local, WaitHook* hook,
                      const FlashPayloadRecord& payload) {
  Child child;
  EngineEnd end;
  if (!Start(command, &child, &end.detail)) return end;
  FdChannel channel(child.socket, child.socket, Side::Engine, hook);
  ToolkitServer server(channel, local, kFlashFormResource);
  Outcome outcome = server.Serve(payload);
  close(child.socket);
  end.status = Wait(child.pid);
  end.started = outcome.end != Outcome::End::NotStarted;
  end.finished = outcome.end == Outcome::End::Finished;
  end.exitCode = outcome.exitCode;
  end.detail = outcome.detail;
  return end;
}

void FlashThroughEngine(const RightsPlan& plan, const Elevation& elevation, Toolkit& local,
                        WaitHook* hook, const FlashPayloadRecord& payload) {
  EngineEnd end = ServeEngine(plan.engine, local, hook, payload);
  std::string text = EngineEndText(end, plan, elevation);
  if (!text.empty()) local.MessageDialog(text, DialogKind::Error, DialogButtons::Ok);
}

}  // namespace remote
