// One end of the engine's pipe, its other end played by a fuzz input: Receive takes the
// input's frames (a 32-bit little-endian length, then the body) as the peer's messages,
// through the real decoder; Send keeps nothing but tells the target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "toolkit/remote/Wire.h"

class FuzzChannel : public remote::Channel {
 public:
  FuzzChannel(const std::uint8_t* data, std::size_t size, remote::Side peer)
      : data_(data), size_(size), peer_(peer) {}

  // A message body of the target's own, received before the input's frames.
  void Lead(const std::vector<std::uint8_t>* body) { lead_ = body; }
  bool Send(const remote::Message& message) override;
  bool Receive(remote::Message* message, std::string* why) override;

  std::function<void(const remote::Message&)> onSend, onReceive;
  int sendsLeft = -1;  // messages the peer takes before it stops reading; -1: all
  bool ended = false;  // the pipe broke: the input ended, a message was refused, or a
                       // Send found the peer gone

 private:
  bool Decoded(const std::uint8_t* body, std::size_t size, remote::Message* message,
               std::string* why);
  const std::uint8_t* data_;
  std::size_t size_, at_ = 0;
  remote::Side peer_;
  const std::vector<std::uint8_t>* lead_ = nullptr;
};
