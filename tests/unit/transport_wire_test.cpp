#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/wire.h"

namespace printxpc::wire {
namespace {

// Hands out a buffer in pieces of a fixed size, then reports the end of the stream.
class ChunkedSource : public ByteSource {
 public:
  ChunkedSource(std::string bytes, std::size_t chunk) : bytes_(std::move(bytes)), chunk_(chunk) {}
  std::ptrdiff_t read(std::span<std::uint8_t> into) override {
    largestOffer_ = std::max(largestOffer_, into.size());
    const std::size_t count = std::min({chunk_, into.size(), bytes_.size() - at_});
    std::memcpy(into.data(), bytes_.data() + at_, count);
    at_ += count;
    return static_cast<std::ptrdiff_t>(count);
  }
  // The most bytes that one read was offered: what the reader had allocated for it.
  std::size_t largestOffer() const { return largestOffer_; }

 private:
  std::string bytes_;
  std::size_t chunk_;
  std::size_t at_ = 0;
  std::size_t largestOffer_ = 0;
};

TEST(TransportWire, FrameLayoutIsKindThenBigEndianLength) {
  EXPECT_EQ(encodeFrame(FrameKind::kReply, "TRUE"), std::string("\x04\x00\x00\x00\x04TRUE", 9));
  EXPECT_EQ(encodeRequestPayload("op", "req"), std::string("\x00\x02opreq", 7));
  EXPECT_EQ(encodeErrorPayload(TransportError::kBusy, "x"), std::string("\x00\x08x", 3));
}

TEST(TransportWire, PayloadParsersRejectShortOrInconsistentInput) {
  EXPECT_FALSE(parseRequestPayload(""));
  EXPECT_FALSE(parseRequestPayload(std::string("\x00", 1)));
  EXPECT_FALSE(parseRequestPayload(std::string("\x00\x05op", 4)));  // selector runs past the end
  // The parsed views point into the payload, so the payloads must outlive them.
  const std::string emptyPayload("\x00\x00", 2);
  const auto empty = parseRequestPayload(emptyPayload);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->selector, "");
  EXPECT_EQ(empty->request, "");
  EXPECT_FALSE(parseErrorPayload("x"));
  const std::string errorPayload("\x00\x05unknown", 9);
  const auto error = parseErrorPayload(errorPayload);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 5);
  EXPECT_EQ(error->message, "unknown");
}

TEST(TransportWire, HeaderChecks) {
  Header header;
  const std::uint8_t ok[kHeaderSize] = {3, 0, 0, 1, 0};
  EXPECT_EQ(parseHeader(ok, header), HeaderStatus::kOk);
  EXPECT_EQ(header.kind, FrameKind::kRequest);
  EXPECT_EQ(header.length, 256U);
  // Room for a request string of 8 MiB with the longest selector and its length field.
  EXPECT_EQ(kMaxPayload, 8U * 1024 * 1024 + 2 +
                             std::string_view("writeDictionaryToPlistFile_XPC:reply:").size());
  const std::uint8_t limit[kHeaderSize] = {4, 0, 0x80, 0, 0x27};  // exactly kMaxPayload
  EXPECT_EQ(parseHeader(limit, header), HeaderStatus::kOk);
  const std::uint8_t tooLarge[kHeaderSize] = {4, 0, 0x80, 0, 0x28};
  EXPECT_EQ(parseHeader(tooLarge, header), HeaderStatus::kTooLarge);
  for (const std::uint8_t kind : {0, 6, 0xFF}) {
    const std::uint8_t bad[kHeaderSize] = {kind, 0, 0, 0, 0};
    EXPECT_EQ(parseHeader(bad, header), HeaderStatus::kUnknownKind) << int(kind);
  }
}

TEST(TransportWire, ReaderReassemblesFramesFromAnySplit) {
  std::string stream;
  appendFrame(stream, FrameKind::kHello, "XPC_Protocol");
  appendFrame(stream, FrameKind::kRequest, encodeRequestPayload("op", "request"));
  appendFrame(stream, FrameKind::kReply, "");
  const std::string big(200000, 'p');  // larger than the reader's buffer
  appendFrame(stream, FrameKind::kReply, big);
  for (const std::size_t chunk :
       {std::size_t{1}, std::size_t{3}, std::size_t{4096}, stream.size()}) {
    ChunkedSource source(stream, chunk);
    FrameReader reader(source);
    Frame frame;
    ASSERT_EQ(reader.next(frame), ReadStatus::kFrame);
    EXPECT_EQ(frame.kind, FrameKind::kHello);
    EXPECT_EQ(frame.payload, "XPC_Protocol");
    ASSERT_EQ(reader.next(frame), ReadStatus::kFrame);
    EXPECT_EQ(frame.kind, FrameKind::kRequest);
    ASSERT_EQ(reader.next(frame), ReadStatus::kFrame);
    EXPECT_EQ(frame.payload, "");
    ASSERT_EQ(reader.next(frame), ReadStatus::kFrame);
    EXPECT_EQ(frame.payload, big);
    EXPECT_EQ(reader.next(frame), ReadStatus::kEndOfStream) << chunk;
  }
}

// A peer that announces the largest frame and then sends little must not make the reader
// allocate the announced size; a frame that does arrive whole is still read.
TEST(TransportWire, ReaderBuffersWhatArrivesNotWhatTheHeaderAnnounces) {
  const std::string payload(kMaxPayload, 'p');
  const std::string whole = encodeFrame(FrameKind::kReply, payload);
  ChunkedSource announced(whole.substr(0, kHeaderSize + 1000), 1 << 20);
  FrameReader reader(announced);
  Frame frame;
  EXPECT_EQ(reader.next(frame), ReadStatus::kTruncated);
  EXPECT_LE(announced.largestOffer(), std::size_t{64} * 1024);

  ChunkedSource arrives(whole, 1 << 20);
  FrameReader wholeReader(arrives);
  ASSERT_EQ(wholeReader.next(frame), ReadStatus::kFrame);
  EXPECT_EQ(frame.payload, payload);
  EXPECT_EQ(wholeReader.next(frame), ReadStatus::kEndOfStream);
}

TEST(TransportWire, ReaderReportsBrokenStreams) {
  struct Case {
    std::string bytes;
    ReadStatus status;
  };
  const Case cases[] = {
      {"", ReadStatus::kEndOfStream},
      {std::string("\x04\x00", 2), ReadStatus::kTruncated},                // inside the header
      {std::string("\x04\x00\x00\x00\x05TR", 7), ReadStatus::kTruncated},  // inside the payload
      {std::string("\x09\x00\x00\x00\x00", 5), ReadStatus::kUnknownKind},
      {std::string("\x03\xFF\xFF\xFF\xFF", 5), ReadStatus::kTooLarge},
  };
  for (const auto& c : cases) {
    ChunkedSource source(c.bytes, 2);
    FrameReader reader(source);
    Frame frame;
    EXPECT_EQ(reader.next(frame), c.status) << testing::PrintToString(c.bytes);
  }
}

}  // namespace
}  // namespace printxpc::wire
