// The frame codec of the service's Unix-socket transport (docs/protocol.md).
//
// Every frame is a kind byte, a 4-byte big-endian payload length and the payload.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "printxpc/errors.h"
#include "printxpc/operations.h"

namespace printxpc::wire {

enum class FrameKind : std::uint8_t {
  kHello = 1,    // client -> service: the protocol name
  kWelcome = 2,  // service -> client: the protocol name, handshake accepted
  kRequest = 3,  // client -> service: selector and request string
  kReply = 4,    // service -> client: the reply string
  kError = 5,    // service -> client: a transport error, never a reply
};

inline constexpr std::size_t kHeaderSize = 5;
// The bound on a request string, the same over the socket and the bus: large enough for any
// property-list file a print dialog writes, small enough that a hostile length cannot make
// the service allocate much.
inline constexpr std::uint32_t kMaxRequest = 8U * 1024U * 1024U;

constexpr std::uint32_t longestSelector() {
  std::size_t longest = 0;
  for (const auto& info : kOperations) {
    longest = info.selector.size() > longest ? info.selector.size() : longest;
  }
  return static_cast<std::uint32_t>(longest);
}

// A frame's payload: room for a request of the largest size with any operation's selector
// and the selector's length field.
inline constexpr std::uint32_t kMaxPayload = kMaxRequest + 2 + longestSelector();

// Each connection's reader keeps a buffer of this size for good; only what a frame needs
// beyond it is counted against a shared budget (BufferBudget), and a bus call's request is
// counted the same way.
inline constexpr std::size_t kStandingBuffer = std::size_t{64} * 1024;

// The codes are part of the public client API (printxpc/errors.h).
using TransportError = ::printxpc::TransportError;

inline std::string_view errorName(TransportError error) {
  return ::printxpc::errorName(errorCode(error));
}

struct Header {
  FrameKind kind = FrameKind::kError;
  std::uint32_t length = 0;
};

enum class HeaderStatus { kOk, kUnknownKind, kTooLarge };

[[nodiscard]] HeaderStatus parseHeader(std::span<const std::uint8_t, kHeaderSize> bytes,
                                       Header& header);

void appendFrame(std::string& out, FrameKind kind, std::string_view payload);
std::string encodeFrame(FrameKind kind, std::string_view payload);

// Request payload: 2-byte big-endian selector length, the selector, the request string.
// A longer selector has no encoding: its sender refuses it.
inline constexpr std::size_t kMaxSelector = 0xFFFF;
std::string encodeRequestPayload(std::string_view selector, std::string_view request);
struct RequestPayload {
  std::string_view selector;
  std::string_view request;
};
[[nodiscard]] std::optional<RequestPayload> parseRequestPayload(std::string_view payload);

// Error payload: 2-byte big-endian error code, then a UTF-8 message.
std::string encodeErrorPayload(TransportError error, std::string_view message);
struct ErrorPayload {
  std::uint16_t code = 0;
  std::string_view message;
};
[[nodiscard]] std::optional<ErrorPayload> parseErrorPayload(std::string_view payload);

struct Frame {
  FrameKind kind = FrameKind::kError;
  std::string payload;
};

// Where a frame reader gets its bytes: a socket in the service and the client, a
// buffer in tests and fuzzing.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Bytes read (> 0), 0 at end of stream, < 0 on error.
  [[nodiscard]] virtual std::ptrdiff_t read(std::span<std::uint8_t> into) = 0;
};

enum class ReadStatus {
  kFrame,        // a whole frame was read
  kEndOfStream,  // the peer closed between frames
  kTruncated,    // the peer closed inside a frame
  kIoError,
  kUnknownKind,
  kTooLarge,
  kOverBudget,  // the frame would take more memory than the shared budget has left
};

// Bytes that several frame readers together may hold beyond their standing buffers, so
// that many large or unfinished frames at once cannot take the memory of the process.
// Safe from any thread.
class BufferBudget {
 public:
  explicit BufferBudget(std::size_t limit) : limit_(limit) {}
  // Takes the bytes, or nothing and false when they would exceed the limit.
  [[nodiscard]] bool take(std::size_t bytes);
  void give(std::size_t bytes) { used_ -= bytes; }
  std::size_t used() const { return used_; }

 private:
  const std::size_t limit_;
  std::atomic<std::size_t> used_{0};
};

// Reads whole frames, buffering so that a small frame costs one read call.
class FrameReader {
 public:
  // With a budget, the memory of a frame larger than the standing buffer is taken from it
  // (and held until the caller is done with that frame).
  explicit FrameReader(ByteSource& source, BufferBudget* budget = nullptr)
      : source_(source), budget_(budget) {}
  ~FrameReader() { charge(0); }
  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;

  [[nodiscard]] ReadStatus next(Frame& frame);
  // Waits until at least one byte of the next frame is buffered (kFrame), or returns how
  // the stream ended.
  [[nodiscard]] ReadStatus awaitBytes() { return fill(1); }
  // The caller is done with the frame: a large payload's memory goes back, with its share
  // of the budget. next() does so itself; this is for a wait between frames.
  void recycle(Frame& frame);

 private:
  // Makes at least `count` bytes available in the buffer: kFrame once they are there, else
  // the status that ended the reading (end of stream, truncation, I/O error).
  [[nodiscard]] ReadStatus fill(std::size_t count);
  // Sets the bytes held from the budget; false when the budget cannot give them.
  bool charge(std::size_t bytes);

  static constexpr std::size_t kBufferSize = kStandingBuffer;
  ByteSource& source_;
  BufferBudget* budget_;
  std::size_t charged_ = 0;
  std::vector<std::uint8_t> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace printxpc::wire
