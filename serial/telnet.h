// Telnet as a serial port server speaks it: the octet stream of RFC 854 with
// its commands, the option negotiation of RFC 855 (TRANSMIT-BINARY, RFC 856;
// SUPPRESS-GO-AHEAD, RFC 858) and the COM-PORT-OPTION of RFC 2217. Pure code
// over bytes, no I/O and nothing of the heap: the network port feeds the
// decoder what it received and sends what the encoder builds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

// --- The bytes of the protocol ----------------------------------------------

inline constexpr uint8_t kTelnetIac = 255;  // "interpret as command": a command follows
inline constexpr uint8_t kTelnetSb = 250;   // a subnegotiation begins
inline constexpr uint8_t kTelnetSe = 240;   // ... and ends (after IAC)

enum class TelnetVerb : uint8_t { kWill = 251, kWont = 252, kDo = 253, kDont = 254 };

inline constexpr uint8_t kOptionBinary = 0;           // TRANSMIT-BINARY
inline constexpr uint8_t kOptionSuppressGoAhead = 3;  // SUPPRESS-GO-AHEAD
inline constexpr uint8_t kOptionComPort = 44;         // COM-PORT-OPTION

// RFC 2217's requests from the client; the server answers each with a
// subnegotiation whose command is the request's plus 100 and whose value is
// what the port now does (for a query, value 0, what it did already).
enum class ComPortCommand : uint8_t {
  kSetBaudrate = 1,  // 4 bytes, high octet first; 0 asks for the current rate
  kSetDatasize = 2,  // 1 octet
  kSetParity = 3,
  kSetStopsize = 4,
  kSetControl = 5,
  kPurgeData = 12,
};
inline constexpr uint8_t kComPortAnswerOffset = 100;
// The largest request code, for tables indexed by it.
inline constexpr uint8_t kComPortLastCommand = 12;

inline constexpr uint8_t kParityNone = 1;
inline constexpr uint8_t kStopsizeOne = 1;
inline constexpr uint8_t kControlNoFlowControl = 1;
inline constexpr uint8_t kControlDtrOn = 8;
inline constexpr uint8_t kControlRtsOn = 11;
inline constexpr uint8_t kPurgeReceive = 1;  // the server's receive buffer (the device's output)
inline constexpr uint8_t kPurgeBoth = 3;

// --- Building what goes out ---------------------------------------------------

// How many bytes |octet| takes on the wire as data: 0xFF goes out doubled
// (IAC IAC); so does a carriage return, as CR NUL, while |binary| is off
// (the network virtual terminal of RFC 854).
constexpr size_t TelnetDataSize(uint8_t octet, bool binary) {
  return octet == kTelnetIac || (octet == '\r' && !binary) ? 2 : 1;
}

// Writes |data| as it goes on the wire into |out|, which must hold twice as
// many bytes. Returns the count written.
size_t TelnetEncodeData(std::span<const uint8_t> data, bool binary, std::span<uint8_t> out);

// The longest request TelnetComPortRequest builds: IAC SB 44, the command,
// a 4-octet value with every octet doubled, IAC SE.
inline constexpr size_t kMaxComPortRequest = 3 + 1 + 8 + 2;

// Builds the request |command| with |value| (at most 4 bytes) into |out|.
// Returns its length.
size_t TelnetComPortRequest(ComPortCommand command, std::span<const uint8_t> value,
                            std::span<uint8_t, kMaxComPortRequest> out);

// A rate as RFC 2217 carries it: four bytes, high octet first.
std::array<uint8_t, 4> TelnetBaudValue(uint32_t baud);

// --- Options ------------------------------------------------------------------

// Where one option stands on one side (RFC 1143's states; korvel never
// turns an option off itself, so it never waits for a "no").
enum class OptionState : uint8_t { kNo, kYes, kWantYes };

// Both sides of every option: |local| for what korvel does (WILL/WONT, asked
// by the server's DO/DONT), |remote| for what the server does (DO/DONT from
// korvel, answered by its WILL/WONT). An option korvel does not know is
// refused once; after that the server's requests for it go unanswered, so a
// server that keeps asking can't draw korvel into a loop.
struct TelnetOptions {
  std::array<OptionState, 256> local{};
  std::array<OptionState, 256> remote{};
  std::array<bool, 256> localRefused{};
  std::array<bool, 256> remoteRefused{};
};

// Negotiations are three bytes: IAC, verb, option.
inline constexpr size_t kNegotiationSize = 3;
// The requests TelnetRequestOptions builds.
inline constexpr size_t kOptionRequestsSize = 5 * kNegotiationSize;

// Asks for what a serial client needs: binary both ways, no go-aheads both
// ways, and korvel's COM-PORT-OPTION. Writes the requests into |out| and
// returns their length.
size_t TelnetRequestOptions(TelnetOptions* options, std::span<uint8_t, kOptionRequestsSize> out);

// Takes the server's negotiation |verb| |option| and writes korvel's answer
// into |out|. Returns the answer's length: 3, or 0 when none is due.
size_t TelnetAnswerNegotiation(TelnetOptions* options, uint8_t verb, uint8_t option,
                               std::span<uint8_t, kNegotiationSize> out);

// --- Taking apart what comes in -----------------------------------------------

// Longer than any answer korvel reads (the command and a 4-octet rate); a
// longer subnegotiation is consumed to its end and marked truncated.
inline constexpr size_t kMaxSubnegotiation = 16;

// One complete command from the server.
struct TelnetEvent {
  enum class Kind : uint8_t { kNone, kNegotiation, kSubnegotiation };
  Kind kind = Kind::kNone;
  uint8_t verb = 0;  // kNegotiation: WILL, WONT, DO or DONT
  uint8_t option = 0;
  // kSubnegotiation: the bytes after the option, IAC IAC read as one 0xFF;
  // only the first kMaxSubnegotiation of them.
  std::array<uint8_t, kMaxSubnegotiation> payload{};
  uint8_t length = 0;
  bool truncated = false;
};

// Where the decoder stands between two received chunks.
struct TelnetDecoder {
  enum class State : uint8_t {
    kData,
    kCarriageReturn,  // a CR came outside binary mode: a NUL after it is no data
    kCommand,         // IAC came
    kOption,          // IAC and a negotiation verb came
    kSubOption,       // IAC SB came
    kSub,             // inside a subnegotiation
    kSubCommand,      // IAC inside a subnegotiation
  };
  State state = State::kData;
  TelnetEvent event{};  // the command being read
};

// Decodes |input| from its start. Data bytes go into |data| from
// *dataLength on; decoding stops when |input| is used up, when |data| is
// full, or right after a command is complete, which is then in |event|
// (else its kind is kNone). |binary|: whether the server sends binary (else
// a CR's following NUL is dropped). Returns how many input bytes it used;
// the caller passes the rest again.
size_t TelnetDecode(TelnetDecoder* decoder, std::span<const uint8_t> input, bool binary,
                    std::span<uint8_t> data, size_t* dataLength, TelnetEvent* event);
