// The telnet decoder on whatever a server may send. The first input byte
// picks binary mode and how the stream is cut into chunks; the rest is the
// stream. Checked: the same result in any chunks, data and subnegotiations
// within their bounds, korvel's answers to negotiations at most one per
// request and each unknown option refused once per side, and that data
// korvel encodes decodes to itself.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "serial/telnet.h"

namespace {

struct Decoded {
  std::vector<uint8_t> data;
  std::vector<TelnetEvent> events;
};

// Decodes |stream| in chunks of |chunk| bytes into a data buffer of |room|
// bytes at a time, as the network port does with what each receive brings.
Decoded Decode(std::span<const uint8_t> stream, bool binary, size_t chunk, size_t room) {
  TelnetDecoder decoder;
  Decoded decoded;
  std::vector<uint8_t> data(room);
  for (size_t start = 0; start < stream.size(); start += chunk) {
    std::span<const uint8_t> rest = stream.subspan(start, std::min(chunk, stream.size() - start));
    while (!rest.empty()) {
      size_t length = 0;
      TelnetEvent event;
      const size_t used = TelnetDecode(&decoder, rest, binary, data, &length, &event);
      FuzzCheck(used <= rest.size() && length <= used, "no more out than in");
      FuzzCheck(used > 0, "every call makes progress");
      decoded.data.insert(decoded.data.end(), data.begin(), data.begin() + length);
      if (event.kind != TelnetEvent::Kind::kNone) {
        FuzzCheck(event.length <= kMaxSubnegotiation, "subnegotiation within its bound");
        decoded.events.push_back(event);
      }
      rest = rest.subspan(used);
    }
  }
  return decoded;
}

bool SameEvents(const std::vector<TelnetEvent>& a, const std::vector<TelnetEvent>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].kind != b[i].kind || a[i].verb != b[i].verb || a[i].option != b[i].option ||
        a[i].length != b[i].length || a[i].truncated != b[i].truncated ||
        a[i].payload != b[i].payload) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size == 0) return 0;
  const bool binary = (input[0] & 1) != 0;
  const size_t chunk = 1 + (input[0] >> 1) % 7;
  const std::span<const uint8_t> stream(input + 1, size - 1);

  // 1. Whole or in chunks, into ample room or a little at a time: the same.
  const Decoded whole = Decode(stream, binary, stream.size() + 1, stream.size() + 1);
  const Decoded cut = Decode(stream, binary, chunk, chunk == 1 ? 1 : chunk - 1);
  FuzzCheck(whole.data == cut.data, "data independent of chunks");
  FuzzCheck(SameEvents(whole.events, cut.events), "commands independent of chunks");

  // 2. Answers: one at most per negotiation, and an option korvel does not
  // know refused once per side, however often the server asks.
  TelnetOptions options;
  std::array<uint8_t, kOptionRequestsSize> requests{};
  TelnetRequestOptions(&options, requests);
  std::array<int, 512> refusals{};
  for (const TelnetEvent& event : whole.events) {
    if (event.kind != TelnetEvent::Kind::kNegotiation) continue;
    std::array<uint8_t, kNegotiationSize> answer{};
    const size_t length = TelnetAnswerNegotiation(&options, event.verb, event.option, answer);
    FuzzCheck(length == 0 || length == kNegotiationSize, "an answer is one negotiation");
    const bool known = event.option == kOptionBinary || event.option == kOptionSuppressGoAhead ||
                       event.option == kOptionComPort;
    const bool offer = event.verb == static_cast<uint8_t>(TelnetVerb::kWill) ||
                       event.verb == static_cast<uint8_t>(TelnetVerb::kDo);
    if (length > 0 && !known && offer) {
      const int side = event.verb == static_cast<uint8_t>(TelnetVerb::kWill) ? 0 : 256;
      FuzzCheck(++refusals[static_cast<size_t>(side + event.option)] == 1, "refused once");
    }
  }

  // 3. The stream read as data to send: it decodes to itself, without a
  // command.
  std::vector<uint8_t> wire(2 * stream.size());
  wire.resize(TelnetEncodeData(stream, binary, wire));
  const Decoded back = Decode(wire, binary, chunk, chunk);
  FuzzCheck(back.data == std::vector<uint8_t>(stream.begin(), stream.end()), "round trip");
  FuzzCheck(back.events.empty(), "data never reads as a command");
  return 0;
}
