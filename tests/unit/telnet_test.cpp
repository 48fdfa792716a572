// The telnet codec and the network port's name, by tables: what goes on the
// wire for data and requests, what the decoder makes of a server's bytes
// (whole, and fed one octet at a time), how options are answered, and which
// names are network ports. Built into the Windows tests as well.
#include "serial/telnet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/network_name.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kIac = 255, kSb = 250, kSe = 240, kWill = 251, kWont = 252, kDo = 253,
                  kDont = 254, kNop = 241;

TEST(TelnetEncodeTest, DoublesIacAndFollowsCarriageReturnWithNulOutsideBinary) {
  struct Case {
    Bytes data;
    bool binary;
    Bytes wire;
  };
  const Case cases[] = {
      {{'4', '1', '8'}, true, {'4', '1', '8'}},
      {{0xFF, 0x00, 0xFF}, true, {0xFF, 0xFF, 0x00, 0xFF, 0xFF}},
      {{'\r', '\n'}, true, {'\r', '\n'}},
      {{'\r', '\n'}, false, {'\r', 0x00, '\n'}},
      {{0xFF, '\r'}, false, {0xFF, 0xFF, '\r', 0x00}},
      {{}, false, {}},
  };
  for (const Case& c : cases) {
    Bytes wire(2 * c.data.size());
    wire.resize(TelnetEncodeData(c.data, c.binary, wire));
    EXPECT_EQ(wire, c.wire);
    size_t size = 0;
    for (uint8_t octet : c.data) size += TelnetDataSize(octet, c.binary);
    EXPECT_EQ(size, c.wire.size());
  }
}

TEST(TelnetEncodeTest, ComPortRequestsDoubleIacInTheirValue) {
  struct Case {
    ComPortCommand command;
    Bytes value;
    Bytes wire;
  };
  const auto rate = [](uint32_t baud) {
    const auto bytes = TelnetBaudValue(baud);
    return Bytes(bytes.begin(), bytes.end());
  };
  const Case cases[] = {
      {ComPortCommand::kSetBaudrate, rate(115200), {kIac, kSb, 44, 1, 0, 1, 0xC2, 0, kIac, kSe}},
      {ComPortCommand::kSetBaudrate, rate(0), {kIac, kSb, 44, 1, 0, 0, 0, 0, kIac, kSe}},
      {ComPortCommand::kSetBaudrate,
       rate(0xFFFFFFFF),
       {kIac, kSb, 44, 1, kIac, kIac, kIac, kIac, kIac, kIac, kIac, kIac, kIac, kSe}},
      {ComPortCommand::kSetParity, {kParityNone}, {kIac, kSb, 44, 3, 1, kIac, kSe}},
      {ComPortCommand::kPurgeData, {kPurgeReceive}, {kIac, kSb, 44, 12, 1, kIac, kSe}},
  };
  for (const Case& c : cases) {
    std::array<uint8_t, kMaxComPortRequest> wire{};
    const size_t length = TelnetComPortRequest(c.command, c.value, wire);
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + length), c.wire);
  }
}

// What the decoder made of a server's bytes: the data, and each command as
// text ("DO 44", "SB 44 101 0 1 194 0", "SB 44 ... truncated").
struct Decoded {
  Bytes data;
  std::vector<std::string> events;
  bool operator==(const Decoded&) const = default;
};

// " 1 2 3" for |numbers|.
std::string Numbers(std::span<const uint8_t> numbers) {
  std::string text;
  for (uint8_t number : numbers) text.append(" ").append(std::to_string(number));
  return text;
}

std::string EventText(const TelnetEvent& event) {
  if (event.kind == TelnetEvent::Kind::kNegotiation) {
    const char* verbs[] = {"WILL", "WONT", "DO", "DONT"};
    return verbs[event.verb - kWill] + Numbers(std::span(&event.option, 1));
  }
  const std::string text = "SB" + Numbers(std::span(&event.option, 1)) +
                           Numbers(std::span(event.payload).first(event.length));
  return event.truncated ? text + " truncated" : text;
}

// Decodes |input| in pieces of |piece| bytes, as chunks of a stream come.
Decoded Decode(const Bytes& input, bool binary, size_t piece) {
  TelnetDecoder decoder;
  Decoded decoded;
  for (size_t start = 0; start < input.size(); start += piece) {
    std::span<const uint8_t> rest =
        std::span<const uint8_t>(input).subspan(start, std::min(piece, input.size() - start));
    while (!rest.empty()) {
      Bytes data(rest.size());
      size_t length = 0;
      TelnetEvent event;
      rest = rest.subspan(TelnetDecode(&decoder, rest, binary, data, &length, &event));
      decoded.data.insert(decoded.data.end(), data.begin(), data.begin() + length);
      if (event.kind != TelnetEvent::Kind::kNone) decoded.events.push_back(EventText(event));
    }
  }
  return decoded;
}

TEST(TelnetDecodeTest, SeparatesDataFromCommandsInAnyPieces) {
  struct Case {
    const char* name;
    Bytes input;
    bool binary;
    Decoded decoded;
  };
  Bytes longSub = {kIac, kSb, 44, 100};
  longSub.insert(longSub.end(), 40, 'x');
  longSub.insert(longSub.end(), {kIac, kSe, 'A'});
  Bytes longPayload = {100};
  longPayload.insert(longPayload.end(), kMaxSubnegotiation - 1, 'x');
  const std::string longText = "SB 44" + Numbers(longPayload);
  const Case cases[] = {
      {"Data", {'\r', 0x1B, 0x00}, true, {{'\r', 0x1B, 0x00}, {}}},
      {"DoubledIac", {0xFF, 0xFF, 'a'}, true, {{0xFF, 'a'}, {}}},
      {"CrNulOutsideBinary", {'\r', 0x00, '\r', '\n', 0x00}, false, {{'\r', '\r', '\n', 0x00}, {}}},
      {"CrNulInBinary", {'\r', 0x00}, true, {{'\r', 0x00}, {}}},
      {"Negotiations",
       {kIac, kWill, 3, 'a', kIac, kDo, 44, kIac, kDont, 1},
       true,
       {{'a'}, {"WILL 3", "DO 44", "DONT 1"}}},
      {"RateAnswerWithDoubledIac",
       {kIac, kSb, 44, 101, 0, 0, kIac, kIac, 0x10, kIac, kSe, 'b'},
       true,
       {{'b'}, {"SB 44 101 0 0 255 16"}}},
      {"LongSubnegotiationTruncated", longSub, true, {{'A'}, {longText + " truncated"}}},
      {"OtherCommandsCarryNothing",
       {'a', kIac, kNop, kIac, 249, kIac, kSe, 'b'},
       true,
       {{'a', 'b'}, {}}},
      // A subnegotiation cut short by a command is dropped; the command counts.
      {"SubnegotiationCutByACommand",
       {kIac, kSb, 44, 101, 7, kIac, kWill, 0, 'c'},
       true,
       {{'c'}, {"WILL 0"}}},
      {"SubnegotiationWithoutEnd", {kIac, kSb, 44, 'x', 'y', 'z'}, true, {{}, {}}},
  };
  for (const Case& c : cases) {
    for (size_t piece : {c.input.size(), size_t{1}, size_t{2}}) {
      EXPECT_EQ(Decode(c.input, c.binary, piece), c.decoded) << c.name << " in pieces of " << piece;
    }
  }
}

TEST(TelnetDecodeTest, StopsWhenTheDataIsFull) {
  TelnetDecoder decoder;
  const Bytes input = {'a', 'b', 'c'};
  Bytes data(2);
  size_t length = 0;
  TelnetEvent event;
  EXPECT_EQ(TelnetDecode(&decoder, input, true, data, &length, &event), 2u);
  EXPECT_EQ(length, 2u);
}

TEST(TelnetOptionsTest, AnswersEachRequestOnceAndNeverLoops) {
  // The server's negotiations in order, and korvel's answer to each.
  struct Step {
    uint8_t verb;
    uint8_t option;
    Bytes answer;
  };
  const Step steps[] = {
      {kDo, 0, {}},  // answers korvel's WILL BINARY: agreed
      {kWill, 0, {}},
      {kDo, 44, {}},
      {kWill, 1, {kIac, kDont, 1}},  // ECHO: refused once...
      {kWill, 1, {}},                // ...and not again
      {kDo, 24, {kIac, kWont, 24}},  // TERMINAL-TYPE
      {kDo, 24, {}},
      {kWont, 3, {}},                // SUPPRESS-GO-AHEAD refused: nothing to answer
      {kWont, 0, {kIac, kDont, 0}},  // binary withdrawn: confirmed
      {kWont, 0, {}},
      {kWill, 0, {kIac, kDo, 0}},  // offered anew: taken
      {kDont, 44, {kIac, kWont, 44}},
  };
  TelnetOptions options;
  std::array<uint8_t, kOptionRequestsSize> requests{};
  EXPECT_EQ(TelnetRequestOptions(&options, requests), kOptionRequestsSize);
  EXPECT_EQ(Bytes(requests.begin(), requests.end()),
            (Bytes{kIac, kWill, 0, kIac, kWill, 3, kIac, kWill, 44, kIac, kDo, 0, kIac, kDo, 3}));
  for (const Step& step : steps) {
    std::array<uint8_t, kNegotiationSize> answer{};
    const size_t length = TelnetAnswerNegotiation(&options, step.verb, step.option, answer);
    EXPECT_EQ(Bytes(answer.begin(), answer.begin() + length), step.answer)
        << int{step.verb} << " " << int{step.option};
  }
  EXPECT_EQ(options.local[kOptionBinary], OptionState::kYes);
  EXPECT_EQ(options.remote[kOptionBinary], OptionState::kYes);
  EXPECT_EQ(options.remote[kOptionSuppressGoAhead], OptionState::kNo);
  EXPECT_EQ(options.local[kOptionComPort], OptionState::kNo);
}

TEST(NetworkPortNameTest, HostAndPortOfRfc2217Names) {
  struct Case {
    const char* name;
    bool network;
    bool valid;
    const char* host;
    const char* service;
  };
  const Case cases[] = {
      {"rfc2217://127.0.0.1:4000", true, true, "127.0.0.1", "4000"},
      {"RFC2217://serial-7.lab:65535", true, true, "serial-7.lab", "65535"},
      {"rfc2217://[::1]:1", true, true, "::1", "1"},
      {"rfc2217://[fe80::1%eth0]:2217", true, true, "fe80::1%eth0", "2217"},
      {"rfc2217://host", true, false, "", ""},
      {"rfc2217://host:", true, false, "", ""},
      {"rfc2217://host:0", true, false, "", ""},
      {"rfc2217://host:65536", true, false, "", ""},
      {"rfc2217://host:+80", true, false, "", ""},
      {"rfc2217://host:80/", true, false, "", ""},
      {"rfc2217://:80", true, false, "", ""},
      {"rfc2217://::1:80", true, false, "", ""},
      {"rfc2217://[::1]80", true, false, "", ""},
      {"rfc2217://[host]:80", true, false, "", ""},
      {"rfc2217://user@host:80", true, false, "", ""},
      {"rfc2217://ho st:80", true, false, "", ""},
      {"rfc2217:/host:80", false, false, "", ""},
      {"/dev/ttyUSB0", false, false, "", ""},
      {"COM7", false, false, "", ""},
      {"", false, false, "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsNetworkPortName(c.name), c.network) << c.name;
    NetworkAddress address;
    EXPECT_EQ(ParseNetworkPortName(c.name, &address), c.valid) << c.name;
    if (c.valid) {
      EXPECT_EQ(address.host, c.host);
      EXPECT_EQ(address.service, c.service);
    }
  }
}

}  // namespace
