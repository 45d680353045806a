#include "snmp/snmp_message.h"

#include <algorithm>
#include <array>

#include "snmp/byte_copy.h"

namespace printxpc {
namespace {

// The largest arc a text may name: the largest signed 32-bit number, which every SNMP
// implementation can hold.
constexpr std::uint64_t kMaxArc = 2147483647U;
constexpr std::uint64_t kMaxFirstArc = 2;
constexpr std::uint64_t kMaxSecondArcUnderZeroOrOne = 39;

std::uint64_t base128Length(std::uint64_t value) {
  std::uint64_t groups = 1;
  while ((value >>= 7) != 0) {
    ++groups;
  }
  return groups;
}

// The value of a run of digits too long to read without a check (more than 19, leading
// zeros), read with a check at every digit; nothing when it is above kMaxArc.
[[gnu::noinline]] std::optional<std::uint64_t> readLongArc(const char* begin, const char* end) {
  std::uint64_t arc = 0;
  for (const char* p = begin; p != end; ++p) {
    arc = arc * 10 + static_cast<unsigned char>(*p - '0');
    if (arc > kMaxArc) {
      return std::nullopt;
    }
  }
  return arc;
}

bool isArcBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool isArcDigit(char c) { return c >= '0' && c <= '9'; }

// An arc's text that is more than plain digits, read the way C's atoi reads a number:
// leading blanks, one sign, then the digits up to the first other character; what follows
// them up to the dot is not read. Nothing for a text without digits (which would otherwise
// silently ask for arc 0), a negative value, one above kMaxArc, and a NUL byte (the text
// is then no single string).
[[gnu::noinline]] std::optional<std::uint64_t> readLooseArc(const char* begin, const char* end) {
  if (std::find(begin, end, '\0') != end) {
    return std::nullopt;
  }
  const char* p = std::find_if_not(begin, end, isArcBlank);
  const bool negative = p != end && *p == '-';
  if (p != end && (*p == '+' || *p == '-')) {
    ++p;
  }
  const char* const digits = p;
  p = std::find_if_not(p, end, isArcDigit);
  if (p == digits) {
    return std::nullopt;
  }
  const std::optional<std::uint64_t> arc = readLongArc(digits, p);
  if (!arc || (negative && *arc != 0)) {
    return std::nullopt;
  }
  return arc;
}

// One arc's text from `p` up to the next dot or the end, where `p` is left. Plain digits
// (none is 0) are read at once, up to 19 of them, which cannot wrap 64 bits; a longer run
// is read by readLongArc, any other text by readLooseArc. Nothing when the arc is outside
// the limits.
[[gnu::always_inline]] inline std::optional<std::uint64_t> readArc(const char*& p,
                                                                   const char* const end) {
  // Most arcs are one digit and a dot: those are taken in one step.
  if (const auto digit = static_cast<unsigned char>(*p - '0');
      digit <= 9 && end - p >= 2 && p[1] == '.') [[likely]] {
    ++p;
    return digit;
  }
  const char* const start = p;
  const char* q = p;
  std::uint64_t arc = 0;
  for (; q != end; ++q) {
    const auto digit = static_cast<unsigned char>(*q - '0');
    if (digit > 9) {
      break;
    }
    arc = arc * 10 + digit;
  }
  if (q == end || *q == '.') [[likely]] {
    p = q;
    if (q - start > 19) [[unlikely]] {
      return readLongArc(start, q);
    }
    if (arc > kMaxArc) {
      return std::nullopt;
    }
    return arc;
  }
  // Anything else (a blank, a sign, text after the digits): the whole arc the long way.
  p = std::find(q, end, '.');
  return readLooseArc(start, p);
}

// Walks the subidentifiers of an OID text, the first two arcs combined into 40 x first +
// second, and hands each to `sink`. False, possibly after some calls, when the text is
// outside the limits. This is the one place that knows the OID text rules: arcs split at
// dots, each read as readArc reads it, at least two arcs, a first arc that is not empty,
// an empty later arc is 0, a trailing dot adds nothing.
template <typename Sink>
bool forEachSubidentifier(std::string_view text, Sink&& sink) {
  if (text.size() >= SNMPMessage::kMaxOidTextLength) {
    return false;
  }
  const char* p = text.data();
  const char* const end = p + text.size();
  // An empty first arc would turn ".1.3.6" into 0.1.3.6, an object nobody asked for.
  if (p == end || *p == '.') {
    return false;
  }
  const std::optional<std::uint64_t> first = readArc(p, end);
  if (!first || *first > kMaxFirstArc || p == end || ++p == end) {
    return false;  // no second arc
  }
  const std::optional<std::uint64_t> second = readArc(p, end);
  if (!second || (*first<kMaxFirstArc&& * second> kMaxSecondArcUnderZeroOrOne)) {
    return false;
  }
  sink(40 * *first + *second);
  // `p` is at a dot; the text after the last one is an arc unless it is empty.
  while (p != end && ++p != end) {
    const std::optional<std::uint64_t> arc = readArc(p, end);
    if (!arc) {
      return false;
    }
    sink(*arc);
  }
  return true;
}

// NULL and the constructed tags (SEQUENCE, GetRequest, GetNextRequest) carry no bytes.
constexpr std::array<bool, 256> kCarriesNoContent = [] {
  std::array<bool, 256> table{};
  for (const std::uint8_t tag :
       {ber::kNull, ber::kSequence, ber::kGetRequest, ber::kGetNextRequest}) {
    table[tag] = true;
  }
  return table;
}();

std::uint32_t encodedSize(std::uint32_t length) {
  return static_cast<std::uint32_t>(ber::encodedSize(length));
}

// The content that a record writes: none for an empty one or a tag without content, and
// none (the record is incomplete) when its bytes are missing.
struct Content {
  std::span<const std::uint8_t> bytes;
  bool complete;
};

[[gnu::always_inline]] inline Content recordContent(const SnmpVar& var) {
  if (var.length == 0 || kCarriesNoContent[var.type]) {
    return {{}, true};
  }
  const std::optional<std::span<const std::uint8_t>> value = var.value();
  if (!value || value->size() < var.length) {
    return {{}, false};
  }
  return {value->first(var.length), true};
}

std::size_t recordSize(const SnmpVar& var) {
  return ber::headerSize(var.length) + recordContent(var).bytes.size();
}

// One record in BER form at `out`, which has room for recordSize bytes: the tag, its
// length and the content. The bytes written, and whether the content was there.
struct Written {
  std::size_t bytes;
  bool complete;
};

[[gnu::always_inline]] inline Written writeRecord(const SnmpVar& var, std::uint8_t* out) {
  // Read before the first byte is written, which the compiler must assume could change them.
  const std::uint8_t type = var.type;
  const std::uint32_t length = var.length;
  const std::size_t header = ber::writeHeader(out, type, length);
  const Content content = recordContent(var);
  copyBytes(out + header, content.bytes.data(), content.bytes.size());
  return {header + content.bytes.size(), content.complete};
}

}  // namespace

void SNMPMessage::setData(std::span<const std::uint8_t> bytes) {
  data_.clear();
  data_.append(bytes);
}

void SNMPMessage::setCommunityString(std::string_view community) {
  communityString_.type = ber::kOctetString;
  // A community too long for any message counts as one byte too long, so that the sums of
  // lengths cannot wrap; the write drops the message either way.
  communityString_.length =
      static_cast<std::uint32_t>(std::min<std::size_t>(community.size(), SnmpVar::kMaxContent + 1));
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(community.data()),
                                            community.size());
  // A long community set before stays allocated until the next long one or the end of the
  // message: freeing it here would cost every request a check.
  if (bytes.size() <= SnmpVar::kCapacity) [[likely]] {
    communityString_.setValue(bytes);
    return;
  }
  const std::size_t kept = std::min(bytes.size(), SnmpVar::kMaxContent);
  longCommunity_ = std::make_unique_for_overwrite<std::uint8_t[]>(kept);
  copyBytes(longCommunity_.get(), bytes.data(), kept);
  communityString_.pointTo({longCommunity_.get(), kept});
}

void SNMPMessage::clearVarbind() {
  varbindOids_.clear();
  varbindValues_.clear();
  varbindsIncomplete_ = false;
}

std::uint64_t SNMPMessage::seventhBitHasMoreValue(std::uint64_t value,
                                                  std::span<std::uint8_t> bytes) {
  if (value < 0x80 && !bytes.empty()) {
    bytes[0] = static_cast<std::uint8_t>(value);  // most arcs are one group
    return 1;
  }
  const std::uint64_t count = base128Length(value);
  if (count > bytes.size()) {
    return 0;
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t shift = 7 * (count - 1 - i);
    const auto group = static_cast<std::uint8_t>((value >> shift) & 0x7FU);
    bytes[i] = i + 1 < count ? static_cast<std::uint8_t>(group | 0x80U) : group;
  }
  return count;
}

std::uint64_t SNMPMessage::copyOid(std::string_view oid,
                                   std::span<std::uint8_t, SnmpVar::kCapacity> bytes) {
  std::size_t count = 0;
  // No more content bytes come out than characters have been read (an arc of k bytes has
  // at least k - 1 digits and a dot before it), and a text has fewer than 256 characters:
  // the buffer never runs out.
  const bool valid = forEachSubidentifier(oid, [&](std::uint64_t subidentifier) {
    if (subidentifier < 0x80) {
      bytes[count++] = static_cast<std::uint8_t>(subidentifier);
      return;
    }
    count += seventhBitHasMoreValue(subidentifier, std::span(bytes).subspan(count));
  });
  return valid ? count : 0;
}

std::uint64_t SNMPMessage::getVarbindOIDLength(std::optional<std::string_view> oid) {
  if (!oid) {
    return 0;
  }
  std::uint64_t count = 0;
  const bool valid = forEachSubidentifier(
      *oid, [&](std::uint64_t subidentifier) { count += base128Length(subidentifier); });
  return valid ? count : 0;
}

bool SNMPMessage::isOidWithinLimits(std::string_view oid) {
  return forEachSubidentifier(oid, [](std::uint64_t) {});
}

void SNMPMessage::setVarbindOidsWithNilValues(std::span<const std::string_view> oids) {
  clearVarbind();
  if (oids.size() > kMaxVarbinds || !varbindOids_.assign(oids.size()) ||
      !varbindValues_.assign(oids.size())) {
    clearVarbind();
    varbindsIncomplete_ = true;
    return;
  }
  const std::span<SnmpVar> names = varbindOids_.items();
  const std::span<SnmpVar> values = varbindValues_.items();
  for (std::size_t i = 0; i < oids.size(); ++i) {
    const std::uint64_t length = copyOid(oids[i], names[i].writableBuffer());
    names[i].keepBuffer(length);
    setSnmpVar(names[i], ber::kObjectIdentifier, static_cast<std::uint8_t>(length & 0xFFU));
    setSnmpVar(values[i], ber::kNull, 0, std::nullopt);
  }
}

std::int32_t SNMPMessage::getTotalByteCount(std::int32_t length) {
  // A negative length has the short form, as any length up to 127.
  const auto header = ber::headerSize(static_cast<std::uint64_t>(std::max(length, 0)));
  return static_cast<std::int32_t>(std::int64_t{length} + static_cast<std::int64_t>(header));
}

void SNMPMessage::autoComputeLength() {
  const std::span<const SnmpVar> names = varbindOids_.items();
  const std::span<const SnmpVar> values = varbindValues_.items();
  std::uint32_t listLength = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::uint32_t varbindLength =
        encodedSize(names[i].length) + encodedSize(values[i].length);
    varbind_.length = varbindLength;
    listLength += encodedSize(varbindLength);
  }
  varbindList_.length = listLength;
  pdu_.length = encodedSize(varbindList_.length) + encodedSize(errorIndex_.length) +
                encodedSize(error_.length) + encodedSize(requestId_.length);
  message_.length = encodedSize(pdu_.length) + encodedSize(communityString_.length) +
                    encodedSize(version_.length);
}

std::int64_t SNMPMessage::copyVar(const SnmpVar& var) {
  const std::span<std::uint8_t> out = data_.grow(recordSize(var));
  if (out.empty()) {
    return -1;
  }
  return writeRecord(var, out.data()).complete ? 0 : -1;
}

bool SNMPMessage::isSnmpValid() const {
  const std::span<const std::uint8_t> bytes = data_.items();
  if (bytes.size() < 2) {
    return false;
  }
  if ((bytes[1] & 0x80U) == 0) {
    return static_cast<std::size_t>(bytes[1]) + 2 == bytes.size();
  }
  if (bytes.size() < 4) {
    return false;
  }
  const std::size_t content = static_cast<std::size_t>(bytes[2]) * 256 + bytes[3];
  return content + 4 == bytes.size();
}

void SNMPMessage::writeSnmpMessageToData() {
  data_.clear();
  // Sizes first: every length is known before the first byte is written.
  autoComputeLength();
  // Content beyond the two-byte outer length cannot be told; nothing is written for it.
  if (message_.length > SnmpVar::kMaxContent) {
    return;
  }
  const std::span<const SnmpVar> names = varbindOids_.items();
  const std::span<const SnmpVar> values = varbindValues_.items();

  // Room for every record at once: the whole message is its outer content and at most four
  // header bytes (fewer when a record lacks its content, which is cut off at the end). The
  // lengths that this rests on cannot wrap: every record's own length is at most
  // kMaxContent + 1, and the four sums cover at most kMaxVarbinds varbinds.
  const std::span<std::uint8_t> out = data_.grow(std::size_t{message_.length} + 4);
  std::size_t size = 0;
  if (!out.empty()) {
    // The constructed records (message, PDU, list, varbind) never hold content bytes: their
    // content is the records that follow them.
    auto header = [&](const SnmpVar& record) {
      size += ber::writeHeader(out.data() + size, record.type, record.length);
    };
    auto write = [&](const SnmpVar& record) {
      size += writeRecord(record, out.data() + size).bytes;
    };
    header(message_);
    write(version_);
    write(communityString_);
    header(pdu_);
    write(requestId_);
    write(error_);
    write(errorIndex_);
    header(varbindList_);
    for (std::size_t i = 0; i < names.size(); ++i) {
      varbind_.length = encodedSize(names[i].length) + encodedSize(values[i].length);
      header(varbind_);
      write(names[i]);
      write(values[i]);
    }
  }
  data_.truncate(size);
  if (varbindsIncomplete_ || !isSnmpValid()) {
    data_.clear();
  }
}

}  // namespace printxpc
