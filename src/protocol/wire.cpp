#include "protocol/wire.h"

#include <algorithm>
#include <cstring>

namespace printxpc::wire {
namespace {

void appendBigEndian(std::string& out, std::uint32_t value, std::size_t bytes) {
  for (std::size_t i = bytes; i > 0; --i) {
    out.push_back(static_cast<char>((value >> (8 * (i - 1))) & 0xFFU));
  }
}

std::uint32_t readBigEndian(std::string_view bytes) {
  std::uint32_t value = 0;
  for (const char c : bytes) {
    value = (value << 8) | static_cast<unsigned char>(c);
  }
  return value;
}

}  // namespace

HeaderStatus parseHeader(std::span<const std::uint8_t, kHeaderSize> bytes, Header& header) {
  const std::uint8_t kind = bytes[0];
  if (kind < static_cast<std::uint8_t>(FrameKind::kHello) ||
      kind > static_cast<std::uint8_t>(FrameKind::kError)) {
    return HeaderStatus::kUnknownKind;
  }
  std::uint32_t length = 0;
  for (std::size_t i = 1; i < kHeaderSize; ++i) {
    length = (length << 8) | bytes[i];
  }
  if (length > kMaxPayload) {
    return HeaderStatus::kTooLarge;
  }
  header.kind = static_cast<FrameKind>(kind);
  header.length = length;
  return HeaderStatus::kOk;
}

void appendFrame(std::string& out, FrameKind kind, std::string_view payload) {
  out.push_back(static_cast<char>(kind));
  appendBigEndian(out, static_cast<std::uint32_t>(payload.size()), 4);
  out.append(payload);
}

std::string encodeFrame(FrameKind kind, std::string_view payload) {
  std::string out;
  out.reserve(kHeaderSize + payload.size());
  appendFrame(out, kind, payload);
  return out;
}

std::string encodeRequestPayload(std::string_view selector, std::string_view request) {
  std::string out;
  out.reserve(2 + selector.size() + request.size());
  appendBigEndian(out, static_cast<std::uint32_t>(selector.size()), 2);
  out.append(selector);
  out.append(request);
  return out;
}

std::optional<RequestPayload> parseRequestPayload(std::string_view payload) {
  if (payload.size() < 2) {
    return std::nullopt;
  }
  const std::uint32_t selectorLength = readBigEndian(payload.substr(0, 2));
  if (selectorLength > payload.size() - 2) {
    return std::nullopt;
  }
  return RequestPayload{payload.substr(2, selectorLength), payload.substr(2 + selectorLength)};
}

std::string encodeErrorPayload(TransportError error, std::string_view message) {
  std::string out;
  appendBigEndian(out, static_cast<std::uint16_t>(error), 2);
  out.append(message);
  return out;
}

std::optional<ErrorPayload> parseErrorPayload(std::string_view payload) {
  if (payload.size() < 2) {
    return std::nullopt;
  }
  return ErrorPayload{static_cast<std::uint16_t>(readBigEndian(payload.substr(0, 2))),
                      payload.substr(2)};
}

bool BufferBudget::take(std::size_t bytes) {
  std::size_t used = used_.load();
  do {
    if (bytes > limit_ - std::min(used, limit_)) {
      return false;
    }
  } while (!used_.compare_exchange_weak(used, used + bytes));
  return true;
}

bool FrameReader::charge(std::size_t bytes) {
  if (budget_ == nullptr) {
    return true;
  }
  if (bytes > charged_ && !budget_->take(bytes - charged_)) {
    return false;
  }
  if (bytes < charged_) {
    budget_->give(charged_ - bytes);
  }
  charged_ = bytes;
  return true;
}

void FrameReader::recycle(Frame& frame) {
  if (frame.payload.capacity() > kBufferSize) {
    std::string().swap(frame.payload);
  }
  charge(buffer_.size() > kBufferSize ? buffer_.size() - kBufferSize : 0);
}

ReadStatus FrameReader::fill(std::size_t count) {
  while (end_ - begin_ < count) {
    if (begin_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    if (end_ == buffer_.size()) {
      // Grow with the bytes that arrive, not with the length that a header announces: a
      // peer that announces a large frame and sends little gets little memory.
      const std::size_t size = std::max(kBufferSize, std::min(count, 2 * buffer_.size()));
      if (!charge(std::max(charged_, size - kBufferSize))) {
        return ReadStatus::kOverBudget;
      }
      buffer_.resize(size);
    }
    const std::ptrdiff_t got = source_.read({buffer_.data() + end_, buffer_.size() - end_});
    if (got == 0) {
      return end_ == 0 ? ReadStatus::kEndOfStream : ReadStatus::kTruncated;
    }
    if (got < 0) {
      return ReadStatus::kIoError;
    }
    end_ += static_cast<std::size_t>(got);
  }
  return ReadStatus::kFrame;
}

ReadStatus FrameReader::next(Frame& frame) {
  recycle(frame);
  if (const ReadStatus status = fill(kHeaderSize); status != ReadStatus::kFrame) {
    return status;
  }
  Header header;
  const std::span<const std::uint8_t, kHeaderSize> headerBytes(buffer_.data() + begin_,
                                                               kHeaderSize);
  switch (parseHeader(headerBytes, header)) {
    case HeaderStatus::kUnknownKind:
      return ReadStatus::kUnknownKind;
    case HeaderStatus::kTooLarge:
      return ReadStatus::kTooLarge;
    case HeaderStatus::kOk:
      break;
  }
  if (const ReadStatus status = fill(kHeaderSize + header.length); status != ReadStatus::kFrame) {
    return status == ReadStatus::kEndOfStream ? ReadStatus::kTruncated : status;
  }
  frame.kind = header.kind;
  const auto* payload = reinterpret_cast<const char*>(buffer_.data() + begin_ + kHeaderSize);
  frame.payload.assign(payload, header.length);
  begin_ += kHeaderSize + header.length;
  if (begin_ == end_) {
    begin_ = 0;
    end_ = 0;
    // A large frame grew the buffer; give the memory back once it is consumed.
    if (buffer_.size() > kBufferSize) {
      buffer_.resize(kBufferSize);
      buffer_.shrink_to_fit();
    }
  }
  return ReadStatus::kFrame;
}

}  // namespace printxpc::wire

namespace printxpc {

std::string_view errorName(std::uint16_t code) {
  switch (code) {
    case errorCode(TransportError::kProtocolMismatch):
      return "protocol-mismatch";
    case errorCode(TransportError::kHandshakeRequired):
      return "handshake-required";
    case errorCode(TransportError::kMalformedFrame):
      return "malformed-frame";
    case errorCode(TransportError::kFrameTooLarge):
      return "frame-too-large";
    case errorCode(TransportError::kUnknownOperation):
      return "unknown-operation";
    case errorCode(TransportError::kInvalidUtf8):
      return "invalid-utf8";
    case errorCode(TransportError::kNotAvailable):
      return "not-available";
    case errorCode(TransportError::kBusy):
      return "busy";
    case errorCode(TransportError::kPermissionDenied):
      return "permission-denied";
    case errorCode(ClientError::kCannotConnect):
      return "cannot-connect";
    case errorCode(ClientError::kServerNotTrusted):
      return "server-not-trusted";
    case errorCode(ClientError::kIo):
      return "io-error";
    case errorCode(ClientError::kProtocol):
      return "protocol-error";
    case errorCode(ClientError::kUnsafeDirectory):
      return "unsafe-directory";
    case errorCode(ClientError::kInvalidArgument):
      return "invalid-argument";
    case errorCode(ClientError::kOutOfMemory):
      return "out-of-memory";
    case errorCode(ClientError::kNoReplyYet):
      return "no-reply-yet";
    case errorCode(ClientError::kTimedOut):
      return "timed-out";
    case errorCode(ClientError::kUnexpectedReply):
      return "unexpected-reply";
    default:
      return "unknown-error";
  }
}

}  // namespace printxpc
