// The pipe between the flash engine (root, no window) and the user's window: framed
// messages of numbers and texts only, each checked against its operation's shape and
// ranges by whichever end reads it. Neither end trusts the other's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Platform.h"

namespace remote {

constexpr std::int32_t kProtocolVersion = 1;
constexpr std::size_t kMaxText = 64 * 1024;

// Every operation, and who may send it.
enum class Op : std::uint8_t {
  // Engine to window.
  Hello = 1,  // the engine runs and reads its input
  Exit,       // the engine's program ended with this code
  SetApplicationTitle,
  CreateWindow,  // the window's form by name: the window builds it from its own resource
  RunMessageLoop,
  PostQuit,
  CloseMainWindow,
  ShowException,
  SetText,
  GetText,
  SetVisible,
  SetEnabled,
  Repaint,
  ComboAdd,
  ComboInsert,
  ComboDelete,
  ComboCount,
  ComboSetIndex,
  ComboIndex,
  FileListSetDirectory,
  FileListSetMask,
  FileListUpdate,
  FileListSelectedPath,
  ProgressSetMin,
  ProgressSetMax,
  ProgressSetStep,
  ProgressSetPosition,
  ProgressPosition,
  ProgressStepIt,
  MessageDialog,
  ShowMessage,
  SetBusyCursor,
  // Window to engine.
  Payload,        // the flash program's payload record, byte for byte
  DispatchEvent,  // a control's event
  // Either way: the answer to the last call.
  Return,
  Last = Return,
};

enum class Side { Engine, Window };

struct Message {
  Op op = Op::Return;
  std::int32_t n[3] = {};
  std::string text;  // a text, or the payload's bytes
};

// The bytes of a message on the pipe: a 32-bit length, then the operation, its numbers
// and its text.
std::string Encode(const Message& message);
// Checks a message body (what follows the length) sent by `from`; false with the
// reason when it is not a message that side may send.
bool Decode(const std::uint8_t* body, std::size_t size, Side from, Message* out, std::string* why);
// The largest body `from` may send.
std::size_t MaxBody(Side from);

// One end of the pipe. Receive blocks until a whole message is there; false on the end
// of the pipe or a malformed message, with the reason.
class Channel {
 public:
  virtual ~Channel() = default;
  virtual bool Send(const Message& message) = 0;
  virtual bool Receive(Message* message, std::string* why) = 0;
};

// Over two descriptors. The window's end keeps its window alive while it waits: with a
// hook, the wait is cut into slices and the hook called between them.
class FdChannel : public Channel {
 public:
  FdChannel(int in, int out, Side peer, WaitHook* hook = nullptr)
      : in_(in), out_(out), peer_(peer), hook_(hook) {}
  bool Send(const Message& message) override;
  bool Receive(Message* message, std::string* why) override;

 private:
  bool ReadAll(void* buffer, std::size_t size, std::string* why);
  int in_, out_;
  Side peer_;
  WaitHook* hook_;
};

}  // namespace remote
