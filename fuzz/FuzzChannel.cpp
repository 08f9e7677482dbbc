#include "fuzz/FuzzChannel.h"

#include "fuzz/FuzzProgram.h"

bool FuzzChannel::Send(const remote::Message& message) {
  if (sendsLeft == 0) {
    ended = true;
    return false;
  }
  if (sendsLeft > 0) --sendsLeft;
  if (onSend) onSend(message);
  return true;
}

bool FuzzChannel::Decoded(const std::uint8_t* body, std::size_t size, remote::Message* message,
                          std::string* why) {
  if (!remote::Decode(body, size, peer_, message, why)) {
    ended = true;
    return false;
  }
  if (onReceive) onReceive(*message);
  return true;
}

bool FuzzChannel::Receive(remote::Message* message, std::string* why) {
  if (lead_) {
    const std::vector<std::uint8_t>* lead = lead_;
    lead_ = nullptr;
    return Decoded(lead->data(), lead->size(), message, why);
  }
  const std::size_t left = size_ - at_;
  std::uint32_t length = 0;
  for (std::size_t i = 0; i < 4 && i < left; ++i)
    length |= std::uint32_t{data_[at_ + i]} << (8 * i);
  if (left < 4 || length == 0 || length > remote::MaxBody(peer_) || left - 4 < length) {
    ended = true;
    *why = "the end of the pipe";
    return false;
  }
  // A body of its own, exactly as long as the frame says: a read past it is caught.
  const std::vector<std::uint8_t> body(data_ + at_ + 4, data_ + at_ + 4 + length);
  const std::string frame(reinterpret_cast<const char*>(data_ + at_), 4 + length);
  at_ += 4 + length;
  if (!Decoded(body.data(), body.size(), message, why)) return false;
  if (remote::Encode(*message) != frame) Finding("a message the decoder took encodes otherwise");
  return true;
}
