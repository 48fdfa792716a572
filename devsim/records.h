// The simulated device's plain records: the faults it plays and the rest of
// its configuration, and what it saw. Shared by its API (devsim.h) and its
// insides.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// --- Faults ---------------------------------------------------------------

// How the sync exchange misbehaves.
struct ProbeFaults {
  bool neverEnterBootloader = false;  // the firmware ignores the activation string
  bool neverAnswer = false;           // the bootloader stays silent on every probe
  int otherByte = -1;                 // >= 0: answer every probe with this byte instead of '\r'
  int answerOnlyProbe = 0;            // > 0: answer only the Nth probe (1-based), ignore the others
  bool lateExtraCarriageReturn = false;  // after answering, send one more '\r' a little later
  int vanishAfterProbes = 0;  // > 0: close the pseudo-terminal on the Nth probe of a session
};

// How the reply to one framed message misbehaves.
enum class ReplyFault {
  kNone,
  kNoReply,        // stays silent
  kRefuse,         // a well-formed refusal (fails the acknowledgement rule)
  kThreeByteBody,  // a 3-byte body, otherwise well formed
  kWrongChecksum,
  kOneByteShort,      // the last byte (the checksum) is never sent
  kSplitBurst,        // the reply in two bursts |splitGapMs| apart, cut at |splitAt|
  kStrayLeadingByte,  // a '\r' right before the reply, in the same burst
  kTrailingBytes,     // extra bytes after the reply, in the same burst
  kWrongToken,        // token not 0x0E, checksum right
  kOtherSequence,     // a sequence number unrelated to the message's
  kEmptyBody,         // a well-formed reply with no body
  kCustomBody,        // a well-formed reply with |customBody| as its body
  kVanish,            // close the pseudo-terminal instead of replying
  kFlood,             // instead of the reply, bytes without pause until the device stops
  kNoise,             // 285 bytes of noise (never starting with 0x1B) instead of the reply
  kHugeSizeClaim,     // a reply whose size field says 65,535, cut off at 285 bytes
  kStopReading,       // read nothing more from here on, so the sender's writes stall
  // The reply as it should be; then, once the tool has read it, the
  // pseudo-terminal closes: the tool's next write fails. The tool's output
  // is held from the reply on, so none of its next message gets through.
  kReplyThenVanish,
  // The reply as it should be; then the tool's output is held for good
  // (output flow control on the slave), so its writes find no room.
  kReplyThenHold,
  // No reply: the pseudo-terminal closes once |vanishAfterBytes| bytes of
  // the message have come in (the rest of it is not read).
  kVanishMidMessage,
};

struct ReplyPlan {
  ReplyFault fault = ReplyFault::kNone;
  std::vector<uint8_t> customBody;  // for kCustomBody
  uint32_t vanishAfterBytes = 0;    // for kVanishMidMessage: 1 to the message's length - 1
  // For kSplitBurst: the pause between the two halves. The default is well
  // over the 20 ms after which the tool takes a burst as complete; a pause
  // under it makes the two halves one burst to the tool.
  uint32_t splitGapMs = 60;
  // For kSplitBurst: the bytes before the pause; 5 cuts after the header,
  // the reply's length - 1 holds back only its checksum.
  uint32_t splitAt = 5;
};

struct DevsimConfig {
  ProbeFaults probes;
  // Reply faults by message index: 0 is the first framed message of a
  // session (the erase), 1 the first program block, and so on.
  std::map<int, ReplyPlan> replies;
  uint32_t flashSize = 65536;
  uint32_t eepromSize = 4096;
  // When set, every reset writes the bytes programmed since the last erase
  // (flashWritten / eepromWritten bytes from offset 0) to these files.
  std::string flashOutPath;
  std::string eepromOutPath;
  // One line per frame in each direction, and per activation, reset and
  // vanish, on standard error.
  bool logFrames = false;
  // Wire speed. Unpaced (the default), the device answers as soon as it has
  // read a message. Paced, a run takes as long as on a real line at the
  // rates the tool set: the device answers once the message would have
  // arrived, and sends its answers one byte per byte time (pacing.cpp).
  bool paced = false;
  // How long programming one block takes before its reply goes out.
  uint32_t writeTimeUs = 0;
  // How long the line settings must stay unchanged before the firmware
  // lets the tool's bytes through (line_gate.cpp). korvel on this machine
  // sets its line up in calls microseconds apart; korvel in an emulated
  // guest, behind an emulated USB adapter whose every setting is a control
  // transfer, takes milliseconds to tens of milliseconds between them.
  uint32_t settleTimeMs = 5;
};

// --- What the device saw ------------------------------------------------

struct ReceivedFrame {
  uint8_t sequence = 0;
  std::vector<uint8_t> body;
};

struct DevsimRecord {
  // What the firmware received, over all sessions, and the line rate at
  // which the last activation string was sent.
  std::vector<uint8_t> activationBytes;
  uint32_t activationBaud = 0;
  uint32_t bootloaderBaud = 0;        // line rate when the first probe of a session was read
  int bootloaderEntries = 0;          // times the firmware handed over to the bootloader
  int probes = 0;                     // '!' bytes the bootloader received
  std::vector<ReceivedFrame> frames;  // well-formed framed messages, in order
  // Frames dropped for a bad token, size or checksum, or left incomplete;
  // bootloader bytes outside a frame that were neither probe nor start.
  int corruptFrames = 0;
  int strayBytes = 0;
  int resets = 0;               // reset commands received
  std::vector<uint8_t> flash;   // the flash memory (erased = 0xFF)
  std::vector<uint8_t> eeprom;  // the EEPROM memory
  uint32_t flashWritten = 0;    // bytes programmed since the last erase
  uint32_t eepromWritten = 0;
  bool vanished = false;  // the device closed its pseudo-terminal
  // The firmware holds the tool's writes, and no settings change waits to
  // let them through (line_gate.cpp): the next bytes wait for the tool's
  // own setup. A test whose tool sets the line up slowly waits for this
  // before it starts the tool; a gate still open from an earlier change
  // would let bytes through that follow a change the device has not seen.
  bool gateShut = false;
  // A paced device's worst delay, in microseconds, between a byte's time on
  // the wire and its write to the pseudo-terminal. A busy machine can hold
  // the device's thread for milliseconds: its line then had gaps a real
  // line never has.
  uint32_t pacingSlipUs = 0;
};
