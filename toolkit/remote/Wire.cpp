#include "toolkit/remote/Wire.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "package/FlashPayload.h"
#include "toolkit/Toolkit.h"

namespace remote {

namespace {

// What a number of a message may hold.
enum class Num : std::uint8_t { Any, Control, Event, Bool, Kind, Buttons, Version };
enum class Txt : std::uint8_t { None, Text, Record };

struct Shape {
  Side from;
  std::uint8_t count;
  Num nums[3];
  Txt text;
};

constexpr Shape kE0{Side::Engine, 0, {}, Txt::None};
constexpr Shape kET{Side::Engine, 0, {}, Txt::Text};
constexpr Shape kEC{Side::Engine, 1, {Num::Control}, Txt::None};
constexpr Shape kEI{Side::Engine, 1, {Num::Any}, Txt::None};

// Indexed by Op; Return is checked by its caller, who knows what it asked.
constexpr Shape kShapes[] = {
    {},                                                        // 0: no operation
    {Side::Engine, 1, {Num::Version}, Txt::None},              // Hello
    kEI,                                                       // Exit
    kET,                                                       // SetApplicationTitle
    kET,                                                       // CreateWindow
    kE0,                                                       // RunMessageLoop
    kE0,                                                       // PostQuit
    kE0,                                                       // CloseMainWindow
    kET,                                                       // ShowException
    {Side::Engine, 1, {Num::Control}, Txt::Text},              // SetText
    kEC,                                                       // GetText
    {Side::Engine, 2, {Num::Control, Num::Bool}, {}},          // SetVisible
    {Side::Engine, 2, {Num::Control, Num::Bool}, {}},          // SetEnabled
    kEC,                                                       // Repaint
    kET,                                                       // ComboAdd
    {Side::Engine, 1, {Num::Any}, Txt::Text},                  // ComboInsert
    kEI,                                                       // ComboDelete
    kE0,                                                       // ComboCount
    kEI,                                                       // ComboSetIndex
    kE0,                                                       // ComboIndex
    kET,                                                       // FileListSetDirectory
    kET,                                                       // FileListSetMask
    kE0,                                                       // FileListUpdate
    kE0,                                                       // FileListSelectedPath
    kEI,                                                       // ProgressSetMin
    kEI,                                                       // ProgressSetMax
    kEI,                                                       // ProgressSetStep
    kEI,                                                       // ProgressSetPosition
    kE0,                                                       // ProgressPosition
    kE0,                                                       // ProgressStepIt
    {Side::Engine, 2, {Num::Kind, Num::Buttons}, Txt::Text},   // MessageDialog
    kET,                                                       // ShowMessage
    {Side::Engine, 1, {Num::Bool}, Txt::None},                 // SetBusyCursor
    {Side::Window, 0, {}, Txt::Record},                        // Payload
    {Side::Window, 2, {Num::Control, Num::Event}, Txt::None},  // DispatchEvent
    {Side::Engine, 1, {Num::Any}, Txt::Text},                  // Return (either side)
};
static_assert(sizeof kShapes / sizeof kShapes[0] == static_cast<int>(Op::Last) + 1,
              "a shape for every operation");

bool InRange(Num kind, std::int32_t v) {
  switch (kind) {
    case Num::Any:
      return true;
    case Num::Control:
      return v >= 0 && v < kControlCount;
    case Num::Event:
      return v >= 0 && v <= static_cast<int>(ControlEvent::Click);
    case Num::Bool:
      return v == 0 || v == 1;
    case Num::Kind:
      return v >= 0 && v <= static_cast<int>(DialogKind::Confirmation);
    case Num::Buttons:
      return v >= 0 && v <= static_cast<int>(DialogButtons::Ok);
    case Num::Version:
      return v == kProtocolVersion;
  }
  return false;
}

void PutU32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>(v >> (8 * i) & 0xFF);
}

std::uint32_t GetU32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

bool Refuse(std::string* why, const std::string& reason) {
  if (why) *why = reason;
  return false;
}

}  // namespace

std::size_t MaxBody(Side from) {
  constexpr std::size_t kSmall = 1 + 3 * 4 + 4 + kMaxText;
  return from == Side::Window ? 1 + 4 + sizeof(FlashPayloadRecord) : kSmall;
}

std::string Encode(const Message& m) {
  const Shape& shape = kShapes[static_cast<int>(m.op)];
  std::string body(1, static_cast<char>(m.op));
  for (int i = 0; i < shape.count; ++i) PutU32(body, static_cast<std::uint32_t>(m.n[i]));
  if (shape.text != Txt::None) {
    PutU32(body, static_cast<std::uint32_t>(m.text.size()));
    body += m.text;
  }
  std::string frame;
  PutU32(frame, static_cast<std::uint32_t>(body.size()));
  return frame + body;
}

bool Decode(const std::uint8_t* body, std::size_t size, Side from, Message* out, std::string* why) {
  if (size < 1 || body[0] == 0 || body[0] > static_cast<int>(Op::Last))
    return Refuse(why, "an unknown operation");
  Message m;
  m.op = static_cast<Op>(body[0]);
  const Shape& shape = kShapes[body[0]];
  if (shape.from != from && m.op != Op::Return)
    return Refuse(why, "an operation from the wrong side");
  std::size_t at = 1;
  for (int i = 0; i < shape.count; ++i, at += 4) {
    if (size < at + 4) return Refuse(why, "a message cut short");
    m.n[i] = static_cast<std::int32_t>(GetU32(body + at));
    if (shape.nums[i] == Num::Version && m.n[i] != kProtocolVersion)
      return Refuse(why, "an engine of another version than this program");
    if (!InRange(shape.nums[i], m.n[i])) return Refuse(why, "a number out of its range");
  }
  if (shape.text != Txt::None) {
    if (size < at + 4) return Refuse(why, "a message cut short");
    std::uint32_t length = GetU32(body + at);
    at += 4;
    if (length != size - at) return Refuse(why, "a text of the wrong length");
    m.text.assign(reinterpret_cast<const char*>(body + at), length);
    at += length;
    if (shape.text == Txt::Record && length != sizeof(FlashPayloadRecord))
      return Refuse(why, "a payload record of the wrong size");
    if (shape.text == Txt::Text && (length > kMaxText || m.text.find('\0') != std::string::npos))
      return Refuse(why, "a text too long or with a zero byte");
  }
  if (at != size) return Refuse(why, "a message with bytes to spare");
  *out = std::move(m);
  return true;
}

bool FdChannel::Send(const Message& message) {
  std::string bytes = Encode(message);
  std::size_t done = 0;
  while (done < bytes.size()) {
    // A socket's peer that has gone makes the write fail, not raise SIGPIPE.
    ssize_t n = ::send(out_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) n = ::write(out_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool FdChannel::ReadAll(void* buffer, std::size_t size, std::string* why) {
  auto* p = static_cast<std::uint8_t*>(buffer);
  while (size > 0) {
    if (hook_) {
      pollfd fd = {in_, POLLIN, 0};
      int ready = ::poll(&fd, 1, static_cast<int>(kKeepAliveSliceMs));
      if (ready == 0 || (ready < 0 && errno == EINTR)) {
        hook_->KeepAlive();
        continue;
      }
    }
    ssize_t n = ::read(in_, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Refuse(why, n == 0 ? "the end of the pipe" : std::strerror(errno));
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool FdChannel::Receive(Message* message, std::string* why) {
  std::uint8_t head[4];
  if (!ReadAll(head, sizeof head, why)) return false;
  std::uint32_t length = GetU32(head);
  if (length == 0 || length > MaxBody(peer_)) return Refuse(why, "a message too long");
  std::string body(length, '\0');
  if (!ReadAll(body.data(), length, why)) return false;
  return Decode(reinterpret_cast<const std::uint8_t*>(body.data()), length, peer_, message, why);
}

}  // namespace remote
