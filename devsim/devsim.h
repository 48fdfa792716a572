// The simulated device: plays a device with its running firmware and its
// bootloader on a pseudo-terminal, so korvel can be run and tested without
// hardware. It follows the device's side of the wire exactly, can inject
// faults, and records what it received.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// --- Faults ---------------------------------------------------------------

// How the sync exchange misbehaves.
struct ProbeFaults {
  bool neverEnterBootloader = false;  // the firmware ignores the activation string
  bool neverAnswer = false;           // the bootloader stays silent on every probe
  int otherByte = -1;                 // >= 0: answer every probe with this byte instead of '\r'
  int answerOnlyProbe = 0;            // > 0: answer only the Nth probe (1-based), ignore the others
  bool lateExtraCarriageReturn = false;  // after answering, send one more '\r' a little later
};

// How the reply to one framed message misbehaves.
enum class ReplyFault {
  kNone,
  kNoReply,          // stays silent
  kRefuse,           // a well-formed refusal (fails the acknowledgement rule)
  kThreeByteBody,    // a 3-byte body, otherwise well formed
  kWrongChecksum,
  kOneByteShort,     // the last byte (the checksum) is never sent
  kSplitBurst,       // the reply in two bursts more than 20 ms apart
  kStrayLeadingByte, // a '\r' right before the reply, in the same burst
  kTrailingBytes,    // extra bytes after the reply, in the same burst
  kWrongToken,       // token not 0x0E, checksum right
  kOtherSequence,    // a sequence number unrelated to the message's
  kEmptyBody,        // a well-formed reply with no body
  kCustomBody,       // a well-formed reply with |customBody| as its body
  kVanish,           // close the pseudo-terminal instead of replying
};

struct ReplyPlan {
  ReplyFault fault = ReplyFault::kNone;
  std::vector<uint8_t> customBody;  // for kCustomBody
};

struct DevsimConfig {
  ProbeFaults probes;
  // Reply faults by message index: 0 is the first framed message of a
  // session (the erase), 1 the first program block, and so on.
  std::map<int, ReplyPlan> replies;
  uint32_t flashSize = 65536;
  uint32_t eepromSize = 4096;
};

// --- What the device saw ------------------------------------------------

struct ReceivedFrame {
  uint8_t sequence = 0;
  std::vector<uint8_t> body;
};

struct DevsimRecord {
  std::vector<uint8_t> activationBytes;  // what the firmware received before it handed over
  uint32_t activationBaud = 0;           // line rate when the activation bytes were read
  int probes = 0;                        // '!' bytes the bootloader received
  std::vector<ReceivedFrame> frames;     // well-formed framed messages, in order
  int corruptFrames = 0;                 // frames dropped for a bad start, size or checksum
  int resets = 0;                        // reset commands received
  std::vector<uint8_t> flash;            // the flash memory (erased = 0xFF)
  std::vector<uint8_t> eeprom;           // the EEPROM memory
  uint32_t flashWritten = 0;             // bytes programmed since the last erase
  uint32_t eepromWritten = 0;
};

// --- The device -----------------------------------------------------------

struct Devsim;  // defined in devsim.cpp; owns the pseudo-terminal and the thread

// Opens a pseudo-terminal and starts playing the device on a thread of its
// own. Returns nullptr (with errno set) when no pseudo-terminal can be had.
Devsim* StartDevsim(const DevsimConfig& config);

// The path korvel opens: the pseudo-terminal's slave side (/dev/pts/N).
std::string DevsimPortPath(const Devsim* devsim);

// A copy of what the device has seen so far; safe while it runs.
DevsimRecord DevsimSnapshot(Devsim* devsim);

// Stops the device thread, closes the pseudo-terminal and frees |devsim|.
void StopDevsim(Devsim* devsim);
