// Arbitrary bytes as the client side of one connection: the frame reader, the handshake and
// the request loop. The handler stands in for the operations and never reaches one, so no
// input touches the file system or the network. The service's answers must be whole
// frames, at most one per frame it read, with a welcome only for the right hello.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "printxpc/builds.h"
#include "protocol/operations.h"
#include "protocol/wire.h"
#include "service/socket/connection.h"

namespace {

using printxpc::ConnectionIo;
using printxpc::Operation;
using printxpc::wire::ByteSource;
using printxpc::wire::Frame;
using printxpc::wire::FrameKind;
using printxpc::wire::FrameReader;
using printxpc::wire::ReadStatus;

void require(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

// Hands out a byte string in reads of at most `chunk` bytes, then the end of the stream.
class BufferSource : public ByteSource {
 public:
  BufferSource(std::string_view bytes, std::size_t chunk) : bytes_(bytes), chunk_(chunk) {}
  std::ptrdiff_t read(std::span<std::uint8_t> into) override {
    const std::size_t count = std::min({chunk_, into.size(), bytes_.size()});
    std::memcpy(into.data(), bytes_.data(), count);
    bytes_.remove_prefix(count);
    return static_cast<std::ptrdiff_t>(count);
  }

 private:
  std::string_view bytes_;
  std::size_t chunk_;
};

// The client's bytes in, the service's bytes collected.
class BufferIo : public ConnectionIo {
 public:
  BufferIo(std::string_view input, std::size_t chunk) : source_(input, chunk) {}
  std::ptrdiff_t read(std::span<std::uint8_t> into) override { return source_.read(into); }
  bool send(std::string_view bytes) override {
    sent_.append(bytes);
    return true;
  }
  void setReadDeadline(std::optional<std::chrono::steady_clock::time_point> /*deadline*/) override {
  }
  const std::string& sent() const { return sent_; }

 private:
  BufferSource source_;
  std::string sent_;
};

// Every whole frame of a byte string, and how the string ends.
struct Frames {
  std::vector<Frame> frames;
  ReadStatus end = ReadStatus::kEndOfStream;
};

Frames readAll(std::string_view bytes) {
  BufferSource source(bytes, bytes.size());
  FrameReader reader(source);
  Frames all;
  Frame frame;
  while ((all.end = reader.next(frame)) == ReadStatus::kFrame) {
    all.frames.push_back(frame);
  }
  return all;
}

// Error codes after which the service closes the connection.
bool closesConnection(const Frame& error) {
  const auto payload = printxpc::wire::parseErrorPayload(error.payload);
  require(payload.has_value());
  using printxpc::wire::TransportError;
  switch (static_cast<TransportError>(payload->code)) {
    case TransportError::kUnknownOperation:
    case TransportError::kInvalidUtf8:
    case TransportError::kNotAvailable:
      return false;
    default:
      return true;
  }
}

// Stands in for the operations: one operation is not available, the others answer with a
// text made from the request, so that each reply can be matched to its request.
struct Handler {
  std::vector<std::string> replies;

  printxpc::Answer operator()(Operation operation, std::string_view request) {
    if (operation == Operation::kCancelFileWrite) {
      return printxpc::Error{printxpc::errorCode(printxpc::TransportError::kNotAvailable),
                             "not available"};
    }
    replies.push_back(std::to_string(static_cast<int>(operation)) + ":" +
                      std::to_string(request.size()) + ":" + std::string(request.substr(0, 16)));
    return replies.back();
  }
};

// Reads of every size: whole, byte by byte, small pieces, pages.
std::size_t chunkFor(std::size_t size) {
  constexpr std::array<std::size_t, 4> kChunks{std::numeric_limits<std::size_t>::max(), 1, 7, 4096};
  return kChunks[size % kChunks.size()];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(bytes), size);
  const printxpc::ConnectionSettings settings{printxpc::protocolName(printxpc::kBuilds[0]),
                                              std::chrono::milliseconds(10000)};
  BufferIo io(input, chunkFor(size));
  Handler handler;
  printxpc::serveConnection(io, settings, std::ref(handler));

  const Frames in = readAll(input);
  const Frames out = readAll(io.sent());
  require(out.end == ReadStatus::kEndOfStream);  // whole frames only

  const bool welcomed = !out.frames.empty() && out.frames.front().kind == FrameKind::kWelcome;
  const bool rightHello = !in.frames.empty() && in.frames.front().kind == FrameKind::kHello &&
                          in.frames.front().payload == settings.protocolName;
  require(welcomed == rightHello);
  if (!welcomed) {
    require(out.frames.size() <= 1);
    require(handler.replies.empty());
    return 0;
  }
  require(out.frames.front().payload == settings.protocolName);

  // One answer for each frame after the hello, and one for a header that cannot be read,
  // unless an error closed the connection before; replies in the order of the requests.
  const std::size_t answers = out.frames.size() - 1;
  const std::size_t readable = in.frames.size() - 1;
  const bool badHeader = in.end == ReadStatus::kUnknownKind || in.end == ReadStatus::kTooLarge;
  const bool closed = answers > 0 && out.frames.back().kind == FrameKind::kError &&
                      closesConnection(out.frames.back());
  require(closed ? answers <= readable + (badHeader ? 1 : 0) : answers == readable && !badHeader);
  std::size_t replies = 0;
  for (std::size_t i = 1; i < out.frames.size(); ++i) {
    const Frame& frame = out.frames[i];
    if (frame.kind == FrameKind::kReply) {
      require(replies < handler.replies.size() && frame.payload == handler.replies[replies]);
      ++replies;
      continue;
    }
    require(frame.kind == FrameKind::kError);
    if (closesConnection(frame)) {
      require(i + 1 == out.frames.size());
    }
  }
  require(replies == handler.replies.size());
  return 0;
}
