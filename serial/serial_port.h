// The serial port: the operations the protocol code uses, and the thin
// platform layer beneath them. The build picks one platform file
// (port_posix.cpp or port_win32.cpp) and its port_types.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

#include "common/run_state.h"
#include "port_types.h"

// --- What the tool does with a port --------------------------------------

// Every read asks for this many bytes; receive buffers hold at least as many.
inline constexpr uint32_t kReceiveSize = 285;

// The receive rule: a read waits at most 150 ms in all, and ends 20 ms
// after a byte with no further byte (or with a full buffer). A receive's
// budget counts its reads at 150 ms each.
inline constexpr std::chrono::milliseconds kReadTimeout{150};
inline constexpr std::chrono::milliseconds kInterByteTimeout{20};

// Fast replies: once the bytes so far are a whole reply frame, this much
// quiet ends the read. Over 11 byte times at 115,200 baud (86.8 us each),
// so bytes the device sends right after its frame still join the burst;
// and as long as a USB adapter in low-latency mode takes to pass on its
// next packet.
inline constexpr std::chrono::milliseconds kQuietAfterFrame{1};

// Opens |portName| at |baud|, 8N1, no flow control, raw, with the read
// timeouts of the receive rule, keeping in |saved| what it found before it
// changed anything, for CloseSerial. Returns kNoPort after reporting the
// failing step ("CreateFile", "SetCommTimeouts", "GetCommState",
// "BuildCommDCB", "SetCommState"); a port it had begun to change is left as
// found and closed by then, with the error code of the report kept.
PortHandle OpenSerial(const char* portName, uint32_t baud, SavedPortState* saved);

// Closes a port that OpenSerial opened and leaves it as OpenSerial found it
// (nothing of a run persists), but for the modem lines: DTR and RTS stay
// as the run set them (see PortRestoreState). Waits, bounded, until what
// was written has left at the rate it was written at. Leaves the last
// system error code as it was, so it can't change what a report prints.
void CloseSerial(PortHandle port, const SavedPortState& saved);

// Waits until everything written has left the port, but never for good: a
// queue that does not go down for 500 ms (a line held by flow control) or
// is not empty after 5 s ends the wait. Returns 1 when all went out.
int WaitUntilSent(PortHandle port);

// Sends |bytes| in write calls of run.bytesPerWrite bytes (one byte per
// call on a local port), counting them in run.traffic.
// Returns 1 when all went out; |sent| says how many did. Gives up when more
// than 100 calls in a row take nothing (the port stalls), when a write
// call fails, or when a call takes nothing after a stop request.
int MyWriteFile(PortHandle port, std::span<const uint8_t> bytes, uint32_t* sent);

// Collects one burst of bytes into |buffer| (at least kReceiveSize bytes),
// counting them in run.traffic, waiting up to |budgetMs| counted in read
// timeouts of 150 ms. Returns 1 when a burst arrived, with its length in
// |received|; 0 when the budget ran out (no report), a read failed
// (reported as "ReadFile"), or a stop request came before a read (no
// report; the last system error is then the platform's "interrupted").
//
// A read ends on the receive rule: a full buffer, 20 ms without a byte
// after one came, or 150 ms after it began. With |timing| kFast it also
// ends once the bytes so far form a whole reply frame (ParseMessage) and
// the line has then been quiet for 1 ms: several byte times, so bytes that
// follow the frame at line speed still join it, as they do with the
// standard timing. Such a read sets run.replyTailPossible.
//
// With |timing| kStream (a network port) the budget runs on the clock from
// the call, a burst ends as soon as it is a whole frame, and a partial frame
// waits at most 250 ms for its next byte; what came by the budget's end is
// delivered.
int MyReadFile(PortHandle port, std::span<uint8_t> buffer, uint32_t budgetMs, ReplyTiming timing,
               uint32_t* received);

// Drops what came in after a reply whose read ended on its frame
// (run.replyTailPossible): bytes that the standard timing would have read
// as that reply's tail. Called just before the next message goes out, so
// that it can't swallow the device's answer to that message; does nothing
// after any other read, but with the stream timing, which drops whatever
// came late before every message.
void DropReplyTail(PortHandle port);

// --- Platform layer -------------------------------------------------------
// Each call that can fail returns 1 or 0 and leaves the platform's last
// error code set on failure, as the system call it stands for does.
//
// A port is a serial port of this machine (port_posix.cpp, port_win32.cpp)
// or, for a name rfc2217://HOST:PORT, one on a device server reached over
// the network (network_port.cpp); port_dispatch.cpp sends each call to the
// one the port is. What the protocol must treat differently it learns once,
// from PortTraitsFor.

// What sets a kind of port apart for the protocol above it.
struct PortTraits {
  // The most bytes one write call carries: 1 on a local port, whose line
  // paces the send loop byte by byte; a whole message on a network port,
  // where each call is a packet.
  uint32_t bytesPerWrite = 1;
  // Replies come through a byte stream that the network cuts where it likes
  // and a lost packet holds back for 200 ms or more: no silence marks their
  // end (ReplyTiming::kStream).
  bool streamedReplies = false;
};

// The traits of the port |portName| names, known before it is opened.
PortTraits PortTraitsFor(const char* portName);

// The device path PortCreate opens for |portName|: on POSIX a name with a
// '/' as it is and a bare name under /dev/; on Windows "\\.\" and the name;
// a network port's name (rfc2217://...) as it is, on both.
std::string PortDevicePath(const char* portName);

// Opens the port device for exclusive read/write use ("CreateFile").
PortHandle PortCreate(const char* portName);

// Reads into |saved| what the tool will change on |port|: its line settings
// and rate, its timeouts, and on Linux the serial driver's low-latency
// flag. What can't be read is marked so and later left alone. Leaves the
// last system error code as it was.
void PortSaveState(PortHandle port, SavedPortState* saved);

// Puts back what PortSaveState read, with one exception: the modem lines
// stay as the run set them (POSIX: HUPCL stays off; Windows: DTR and RTS
// control stay as set), so that closing the port does not drop DTR and RTS
// and reset a device left in its bootloader on purpose. Leaves the last
// system error code as it was.
void PortRestoreState(PortHandle port, const SavedPortState& saved);

// Sets the read timeouts: a read returns when its buffer is full, 20 ms
// after a byte with no further byte, or 150 ms after it began; writes have
// no timeout ("SetCommTimeouts").
int PortSetTimeouts(PortHandle port);

// Reads the current line settings ("GetCommState").
int PortGetState(PortHandle port, LineState* state);

// Turns |state| into raw 8N1 with no parity ("BuildCommDCB").
int PortBuildState(LineState* state);

// Sets the fields the tool owns on top of the built state: |baud|, no flow
// control of either kind, bytes carried unchanged, RTS (and DTR) asserted.
void PortSetLineFields(LineState* state, uint32_t baud);

// Changes only the baud in |state|.
void PortSetBaud(LineState* state, uint32_t baud);

// Applies |state| and checks that the line took it ("SetCommState").
int PortSetState(PortHandle port, const LineState& state);

// Whether a line that reads back |actual| bits per second after it was
// asked for |requested| runs close enough to the request: within 3 % either
// way, exactly 3 % still taken. Drivers store the rate their hardware
// really makes (Linux's cp210x reads 115,200 back as 115,384), and a UART
// link tolerates a few per cent between its two ends; a rate the driver
// clamped far away (3,000,000 to 115,200) is refused. The POSIX port judges
// its read-back by this; Windows drivers refuse what they can't make.
constexpr bool RateWithinTolerance(uint32_t requested, uint32_t actual) {
  const uint64_t difference = actual > requested ? actual - requested : requested - actual;
  return difference * 100 <= uint64_t{requested} * 3;
}

// How many bytes written are still queued in the system, not yet handed
// to the hardware.
int PortPendingOutput(PortHandle port, uint32_t* bytes);

// Waits until the hardware has sent what it holds. Once the queue is empty
// that takes a few byte times on a line without flow control; a held line
// can keep it waiting, so WaitUntilSent calls it only on an empty queue.
int PortDrain(PortHandle port);

enum class PurgeWhat { kReceive, kBoth };

// Drops what waits in the receive direction, or in both directions.
void PortPurge(PortHandle port, PurgeWhat what);

// One write call ("WriteFile"): returns 0 when it fails; a port that takes
// nothing within the write wait leaves |written| at 0 with success.
int PortWrite(PortHandle port, std::span<const uint8_t> bytes, uint32_t* written);

// One read call under the read timeouts ("ReadFile"): returns 0 when it
// fails (including a line that hung up), else 1 with |got| bytes, maybe none.
int PortRead(PortHandle port, std::span<uint8_t> buffer, uint32_t* got);

// Waits up to |wait| for input and reads what has arrived, up to the
// buffer's size ("ReadFile"): returns 1 with |got| bytes, or with none only
// once |wait| has passed; 0 when the read fails (including a line that
// hung up). The fast reply read is built on it. On Windows it leaves the
// port's read timeouts changed: PortRead, which needs those PortSetTimeouts
// set, must not follow it.
int PortReadWaiting(PortHandle port, std::span<uint8_t> buffer, std::chrono::nanoseconds wait,
                    uint32_t* got);

// Closes the port ("CloseHandle").
void PortClose(PortHandle port);
