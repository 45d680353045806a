// Arbitrary bytes through the request-string parsing of every operation and the text
// helpers behind it: parsing only, nothing here reaches the file system or the network.
//
// The whole input is parsed as the request string of each operation; its fields must be
// the pieces of the input between the markers. The input cut at line breaks also gives
// the values of a request built for each operation, which must parse back to them
// whenever the built markers are found where the builder put them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/markers.h"
#include "protocol/requests.h"
#include "protocol/text.h"
#include "snmp/host_text.h"
#include "snmp/value_text.h"

namespace {

namespace markers = printxpc::markers;
namespace requests = printxpc::requests;
namespace text = printxpc::text;

void require(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

// `part` lies inside `whole`.
bool within(std::string_view part, std::string_view whole) {
  return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

std::size_t offsetIn(std::string_view part, std::string_view whole) {
  return static_cast<std::size_t>(part.data() - whole.data());
}

// A present field lies inside the request and ends where its marker first occurs.
void requireFieldBefore(std::optional<std::string_view> field, std::string_view request,
                        std::string_view marker) {
  if (!field) {
    return;
  }
  require(within(*field, request));
  require(request.find(marker) == offsetIn(*field, request) + field->size());
}

// Strict UTF-8 by the code point ranges of each sequence length, written apart from the
// byte-pattern checks of the product. Counts UTF-16 units of valid input.
std::optional<std::size_t> referenceUtf16Length(std::string_view bytes) {
  std::size_t units = 0;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    const std::size_t length = lead < 0x80           ? 1
                               : (lead >> 5) == 0x6  ? 2
                               : (lead >> 4) == 0xE  ? 3
                               : (lead >> 3) == 0x1E ? 4
                                                     : 0;
    if (length == 0 || length > bytes.size() - i) {
      return std::nullopt;
    }
    char32_t c = length == 1 ? lead : lead & (0x7FU >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0U) != 0x80U) {
        return std::nullopt;
      }
      c = (c << 6) | (next & 0x3FU);
    }
    constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kSmallest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      return std::nullopt;
    }
    units += c > 0xFFFF ? 2 : 1;
    i += length;
  }
  return units;
}

void checkText(std::string_view input) {
  const std::int64_t wide = text::toInt64(input);
  const std::int32_t narrow = text::toInt32(input);
  const std::int64_t clamped = std::clamp<std::int64_t>(
      wide, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max());
  require(narrow == clamped);
  require(text::toInt64(std::to_string(wide)) == wide);
  require(text::toInt32(std::to_string(narrow)) == narrow);

  const auto reference = referenceUtf16Length(input);
  require(text::isValidUtf8(input) == reference.has_value());
  if (reference) {
    require(text::utf16Length(input) == *reference);
  }
  require(text::isNull(input) == (input == markers::kNull));
}

bool isLineBreak(std::string_view codePoint) {
  return codePoint == "\n" || codePoint == "\v" || codePoint == "\f" || codePoint == "\r" ||
         codePoint == "\xC2\x85" || codePoint == "\xE2\x80\xA8" || codePoint == "\xE2\x80\xA9";
}

// The first and the last code point of valid, non-empty UTF-8 text.
std::string_view firstCodePoint(std::string_view utf8) {
  const auto lead = static_cast<unsigned char>(utf8[0]);
  return utf8.substr(0, lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4);
}

std::string_view lastCodePoint(std::string_view utf8) {
  std::size_t start = utf8.size() - 1;
  while (start > 0 && (static_cast<unsigned char>(utf8[start]) & 0xC0U) == 0x80U) {
    --start;
  }
  return utf8.substr(start);
}

void checkHostAndMac(std::string_view input) {
  const std::string_view host = printxpc::trimHostText(input);
  require(within(host, input));
  // Requests reach the GET as valid UTF-8; there the trim cuts between code points and
  // leaves no line break at either end.
  if (text::isValidUtf8(input)) {
    require(text::isValidUtf8(host));
    if (!host.empty()) {
      require(!isLineBreak(firstCodePoint(host)) && !isLineBreak(lastCodePoint(host)));
    }
  }

  const std::string mac = printxpc::formatMacAddress(input);
  if (input.size() != 12 && input.size() != 16 && input.size() != 17) {
    require(mac.empty());
    return;
  }
  // Pairs that would split a character give nothing; ASCII text always gives the form.
  if (mac.empty()) {
    require(std::any_of(input.begin(), input.end(),
                        [](char c) { return static_cast<unsigned char>(c) >= 0x80; }));
    return;
  }
  require(text::isValidUtf8(mac));
  require(mac.size() == 17);
  for (std::size_t i = 0; i < mac.size(); ++i) {
    if (i % 3 == 2) {
      require(mac[i] == ':');
    } else {
      require(input.find(mac[i]) != std::string_view::npos);
    }
  }
}

// Where each marker of a built request should stand: right after its value. A marker is
// found by its first occurrence in the whole string, the ":arg:" separators one after the
// other; a value that holds a marker, or makes one with the text next to it, cannot come
// back, which is a limit of the convention rather than a fault.
struct Field {
  std::string_view value;
  std::string_view marker;
};

bool markersWhereBuilt(std::string_view built, std::span<const Field> fields) {
  std::size_t at = 0;
  for (const Field& field : fields) {
    at += field.value.size();
    const std::size_t from = field.marker == markers::kArg ? at - field.value.size() : 0;
    if (built.find(field.marker, from) != at) {
      return false;
    }
    at += field.marker.size();
  }
  return true;
}

std::string concatenated(std::span<const Field> fields, std::string_view trailing = {}) {
  std::string out;
  for (const Field& field : fields) {
    out.append(field.value).append(field.marker);
  }
  out.append(trailing);
  return out;
}

void checkPlistWrite(std::string_view request, std::span<const std::string_view> values) {
  if (const auto parsed = requests::parsePlistWrite(request)) {
    require(requests::buildPlistWrite(parsed->url, parsed->contents) == request);
  } else {
    require(request.find(markers::kAddUrl) == std::string_view::npos);
  }
  const Field fields[] = {{values[0], markers::kAddUrl}};
  const std::string built = requests::buildPlistWrite(values[0], values[1]);
  require(built == concatenated(fields, values[1]));
  const auto parsed = requests::parsePlistWrite(built);
  require(parsed.has_value());
  if (markersWhereBuilt(built, fields)) {
    require(parsed->url == values[0] && parsed->contents == values[1]);
  }
}

std::optional<std::string_view> unlessNull(std::string_view value) {
  if (value == markers::kNull) {
    return std::nullopt;
  }
  return value;
}

void checkMagicPacket(std::string_view request, std::span<const std::string_view> values) {
  if (const auto parsed = requests::parseMagicPacket(request)) {
    for (const auto& field : {parsed->address, parsed->mac, parsed->password}) {
      require(field != markers::kNull);
    }
    requireFieldBefore(parsed->address, request, markers::kIpAddress);
    requireFieldBefore(parsed->mac, request, markers::kMacAddress);
    requireFieldBefore(parsed->password, request, markers::kPassword);
  }
  const Field fields[] = {{values[0], markers::kIpAddress},
                          {values[1], markers::kMacAddress},
                          {values[2], markers::kPassword}};
  const std::string built = requests::buildMagicPacket(unlessNull(values[0]), unlessNull(values[1]),
                                                       unlessNull(values[2]));
  require(built == concatenated(fields));
  if (markersWhereBuilt(built, fields)) {
    const auto parsed = requests::parseMagicPacket(built);
    require(parsed.has_value());
    require(parsed->address == unlessNull(values[0]));
    require(parsed->mac == unlessNull(values[1]));
    require(parsed->password == unlessNull(values[2]));
  }
}

void checkEcho(std::string_view request, std::span<const std::string_view> values) {
  if (const auto parsed = requests::parseEcho(request)) {
    requireFieldBefore(parsed->address, request, markers::kEchoAddress);
    const std::size_t end = parsed->address.size() + markers::kEchoAddress.size();
    require(parsed->timeoutMs == text::toInt64(request.substr(end)));
  } else {
    require(request.find(markers::kEchoAddress) == std::string_view::npos);
  }
  const std::int64_t timeout = text::toInt64(values[1]);
  const Field fields[] = {{values[0], markers::kEchoAddress}};
  const std::string built = requests::buildEcho(values[0], timeout);
  require(built == concatenated(fields, std::to_string(timeout)));
  if (markersWhereBuilt(built, fields)) {
    const auto parsed = requests::parseEcho(built);
    require(parsed.has_value());
    require(parsed->address == values[0] && parsed->timeoutMs == timeout);
  }
}

void checkCancelWrite(std::string_view request, std::span<const std::string_view> values) {
  const auto path = requests::parseCancelWrite(request);
  require(path.has_value() == (request.find(markers::kCancelFileName) != std::string_view::npos));
  requireFieldBefore(path, request, markers::kCancelFileName);
  const Field fields[] = {{values[0], markers::kCancelFileName}};
  const std::string built = requests::buildCancelWrite(values[0]);
  require(built == concatenated(fields));
  if (markersWhereBuilt(built, fields)) {
    require(requests::parseCancelWrite(built) == values[0]);
  }
}

void checkSnmpArgs(std::string_view argList) {
  const auto args = requests::splitSnmpArgs(argList);
  require(args.size() <= requests::kSnmpArgSlots);
  // The entries, each followed by ":arg:", are the start of the list; what follows holds
  // no further separator unless the slots ran out.
  std::size_t at = 0;
  for (const std::string_view arg : args) {
    require(within(arg, argList) && offsetIn(arg, argList) == at);
    require(arg.find(markers::kArg) == std::string_view::npos);
    at += arg.size();
    require(argList.substr(at, markers::kArg.size()) == markers::kArg);
    at += markers::kArg.size();
  }
  if (args.size() < requests::kSnmpArgSlots) {
    require(argList.find(markers::kArg, at) == std::string_view::npos);
  }
}

void checkSnmpGet(std::string_view request, std::span<const std::string_view> values) {
  const requests::SnmpGet parsed = requests::parseSnmpGet(request);
  requireFieldBefore(parsed.iType, request, markers::kIType);
  requireFieldBefore(parsed.cancelFlag, request, markers::kCancelFlag);
  requireFieldBefore(parsed.cancelFileName, request, markers::kCancelFileName);
  requireFieldBefore(parsed.timeout, request, markers::kSnmpTimeout);
  requireFieldBefore(parsed.retries, request, markers::kSnmpRetries);
  requireFieldBefore(parsed.rtnCharFlag, request, markers::kRtnCharFlag);
  if (parsed.argList) {
    require(within(*parsed.argList, request));
    require(offsetIn(*parsed.argList, request) + parsed.argList->size() == request.size());
    checkSnmpArgs(*parsed.argList);
  }
  checkSnmpArgs(request);

  requests::SnmpGetFields fields;
  fields.argCount = std::string(values[0]);
  fields.iType = text::toInt32(values[1]);
  if (!text::isNull(values[2])) {
    fields.cancelFlag = text::toInt32(values[2]);
  }
  fields.cancelFileName = std::string(values[3]);
  fields.timeoutMs = text::toInt32(values[4]);
  fields.retries = text::toInt32(values[5]);
  fields.rtnCharFlag = text::toInt32(values[6]);
  for (std::size_t i = 7; i < values.size(); ++i) {
    fields.args.emplace_back(values[i]);
  }
  const std::string iType = std::to_string(fields.iType);
  const std::string cancelFlag =
      fields.cancelFlag ? std::to_string(*fields.cancelFlag) : std::string(markers::kNull);
  const std::string timeout = std::to_string(fields.timeoutMs);
  const std::string retries = std::to_string(fields.retries);
  const std::string rtnCharFlag = std::to_string(fields.rtnCharFlag);
  std::vector<Field> layout = {
      {fields.argCount, markers::kArgCount}, {iType, markers::kIType},
      {cancelFlag, markers::kCancelFlag},    {fields.cancelFileName, markers::kCancelFileName},
      {timeout, markers::kSnmpTimeout},      {retries, markers::kSnmpRetries},
      {rtnCharFlag, markers::kRtnCharFlag},
  };
  for (const std::string& arg : fields.args) {
    layout.push_back({arg, markers::kArg});
  }
  const std::string built = requests::buildSnmpGet(fields);
  require(built == concatenated(layout));
  if (!markersWhereBuilt(built, layout)) {
    return;
  }
  const requests::SnmpGet back = requests::parseSnmpGet(built);
  require(back.iType == iType && back.cancelFlag == cancelFlag &&
          back.cancelFileName == fields.cancelFileName && back.timeout == timeout &&
          back.retries == retries && back.rtnCharFlag == rtnCharFlag && back.argList);
  const auto args = requests::splitSnmpArgs(*back.argList);
  const std::size_t kept = std::min(fields.args.size(), requests::kSnmpArgSlots);
  require(args.size() == kept);
  for (std::size_t i = 0; i < kept; ++i) {
    require(args[i] == fields.args[i]);
  }
}

// The input cut at line breaks, padded with empty pieces to at least `count`.
std::vector<std::string_view> piecesOf(std::string_view input, std::size_t count) {
  std::vector<std::string_view> pieces;
  std::size_t begin = 0;
  for (;;) {
    const std::size_t end = input.find('\n', begin);
    pieces.push_back(input.substr(begin, end == std::string_view::npos ? end : end - begin));
    if (end == std::string_view::npos) {
      break;
    }
    begin = end + 1;
  }
  if (pieces.size() < count) {
    pieces.resize(count);
  }
  return pieces;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(bytes), size);
  checkText(input);
  checkHostAndMac(input);
  const std::vector<std::string_view> values = piecesOf(input, 7);
  checkPlistWrite(input, values);
  checkMagicPacket(input, values);
  checkEcho(input, values);
  checkCancelWrite(input, values);
  checkSnmpGet(input, values);
  return 0;
}
