// The progress line: the wake-up of the bootloader with its probe count, or
// a bar, blocks and bytes done, percent, rate and time left, redrawn in
// place with a carriage return and cut to the terminal's width.
//
// Text is put together in fixed buffers with snprintf and copies, not with
// std::string concatenation: GCC 12 at -O3 reports a false -Wrestrict inside
// the library's operator+, and a plain optimised build must stay quiet.
#include "common/progress.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <span>

#include "common/interrupts.h"
#include "common/run_state.h"
#include "common/system.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
// The bar's cells: as many as this while anything else can give way, and
// no fewer than the short width while the blocks still show.
constexpr int kBarWidth = 24;
constexpr int kShortBarWidth = 8;
// Assumed when the terminal does not tell its width.
constexpr int kDefaultColumns = 80;
// Columns kept free after the line: a terminal echoes Ctrl+C as "^C" where
// the cursor stands, and two such echoes must not wrap the line onto a row
// of its own, which no carriage return could clear.
constexpr int kEchoRoom = 4;
// How long the line answers a keyboard interrupt.
constexpr auto kAnswerTime = std::chrono::seconds(3);
// The longest line ever drawn; a wider terminal gets no more.
constexpr int kMaxLineLength = 160;

// Characters put together in place: a carriage return, the text and the
// blanks of one drawing at most.
struct TextBuffer {
  std::array<char, kMaxLineLength + 2> chars{};
  size_t length = 0;
};

void Append(TextBuffer* text, const char* chars, size_t count) {
  count = std::min(count, text->chars.size() - text->length);
  std::memcpy(text->chars.data() + text->length, chars, count);
  text->length += count;
}

void AppendRepeated(TextBuffer* text, char c, size_t count) {
  count = std::min(count, text->chars.size() - text->length);
  std::memset(text->chars.data() + text->length, c, count);
  text->length += count;
}

// One part of the programming line, with its leading blank.
struct Field {
  std::array<char, 48> chars{};
  int length = 0;
};

// The length snprintf reports, held to what |field| could keep.
void KeepLength(Field* field, int written) {
  field->length = std::clamp(written, 0, static_cast<int>(field->chars.size()) - 1);
}

// Which fields a layout shows, and the fewest bar cells it accepts (0: no
// bar at all).
struct Layout {
  bool blocks;
  bool bytes;
  bool rate;
  bool left;
  int minBar;
};

// Widest first: the bytes go first, then the rate, then the bar gives way
// down to its short width, then the blocks, then the bar; the time left,
// which a technician watches, stays longest.
constexpr std::array<Layout, 6> kLayouts = {{
    {true, true, true, true, kBarWidth},
    {true, false, true, true, kBarWidth},
    {true, false, false, true, kBarWidth},
    {true, false, false, true, kShortBarWidth},
    {false, false, false, true, kShortBarWidth},
    {false, false, false, true, 0},
}};

// The fields of a programming line, each with its leading blank.
struct ProgrammingFields {
  double fraction = 1.0;
  Field blocks;
  Field bytes;
  Field percent;
  Field rate;  // empty until there is a rate and something left
  Field left;
};

ProgrammingFields FieldsOf(const ProgressState& state) {
  ProgrammingFields f;
  if (state.totalBytes > 0) f.fraction = static_cast<double>(state.bytesDone) / state.totalBytes;
  const auto percentDone = static_cast<unsigned>(f.fraction * 100.0);
  KeepLength(&f.blocks, std::snprintf(f.blocks.chars.data(), f.blocks.chars.size(), " %u/%u blocks",
                                      state.blocksDone, state.totalBlocks));
  KeepLength(&f.bytes, std::snprintf(f.bytes.chars.data(), f.bytes.chars.size(), " %u/%u bytes",
                                     state.bytesDone, state.totalBytes));
  KeepLength(&f.percent,
             std::snprintf(f.percent.chars.data(), f.percent.chars.size(), " %3u%%", percentDone));
  const double bytesPerSecond = state.seconds > 0.0 ? state.bytesDone / state.seconds : 0.0;
  if (bytesPerSecond > 0.0 && state.bytesDone < state.totalBytes) {
    const auto seconds =
        static_cast<unsigned>((state.totalBytes - state.bytesDone) / bytesPerSecond + 0.5);
    KeepLength(&f.rate, std::snprintf(f.rate.chars.data(), f.rate.chars.size(), " %.0f B/s",
                                      bytesPerSecond));
    KeepLength(&f.left, std::snprintf(f.left.chars.data(), f.left.chars.size(), " %u:%02u left",
                                      seconds / 60, seconds % 60));
  }
  return f;
}

void AppendField(TextBuffer* text, const Field& field) {
  Append(text, field.chars.data(), static_cast<size_t>(field.length));
}

// |fields| as |layout| shows them within |limit| characters; false when
// they don't fit.
bool LayOut(const ProgrammingFields& f, const Layout& layout, int limit, TextBuffer* text) {
  const int fieldsLength = (layout.blocks ? f.blocks.length : 0) +
                           (layout.bytes ? f.bytes.length : 0) + f.percent.length +
                           (layout.rate ? f.rate.length : 0) + (layout.left ? f.left.length : 0);
  if (layout.minBar == 0) {
    // No bar: the percent, without its padding, and the time left.
    const char* digits = f.percent.chars.data();
    while (*digits == ' ') ++digits;
    const size_t length = std::strlen(digits);
    if (f.left.length == 0 || static_cast<int>(length) + f.left.length > limit) return false;
    Append(text, digits, length);
    AppendField(text, f.left);
    return true;
  }
  const int bar = std::min(kBarWidth, limit - 2 - fieldsLength);  // 2: the brackets
  if (bar < layout.minBar) return false;
  const size_t filled = std::min(static_cast<size_t>(f.fraction * bar), static_cast<size_t>(bar));
  Append(text, "[", 1);
  AppendRepeated(text, '#', filled);
  AppendRepeated(text, '.', static_cast<size_t>(bar) - filled);
  Append(text, "]", 1);
  if (layout.blocks) AppendField(text, f.blocks);
  if (layout.bytes) AppendField(text, f.bytes);
  AppendField(text, f.percent);
  if (layout.rate) AppendField(text, f.rate);
  if (layout.left) AppendField(text, f.left);
  return true;
}

std::string ProgrammingText(const ProgressState& state, int limit) {
  const ProgrammingFields fields = FieldsOf(state);
  for (const Layout& layout : kLayouts) {
    TextBuffer text;
    if (LayOut(fields, layout, limit, &text)) return std::string(text.chars.data(), text.length);
  }
  // Not even that: the percent alone, without its padding.
  const char* digits = fields.percent.chars.data();
  while (*digits == ' ') ++digits;
  const size_t length = std::strlen(digits);
  return length <= static_cast<size_t>(limit) ? std::string(digits, length) : std::string();
}

std::string ActivationText(const ProgressState& state, int limit) {
  // The wording gives way before the count.
  constexpr std::array<const char*, 4> kWordings = {"Activating the bootloader: probe ",
                                                    "Activating: probe ", "probe ", ""};
  Field count;
  KeepLength(&count, std::snprintf(count.chars.data(), count.chars.size(), "%u/%u", state.probe,
                                   state.probeLimit));
  for (const char* wording : kWordings) {
    const size_t length = std::strlen(wording) + static_cast<size_t>(count.length);
    if (length > static_cast<size_t>(limit)) continue;
    TextBuffer text;
    Append(&text, wording, std::strlen(wording));
    Append(&text, count.chars.data(), static_cast<size_t>(count.length));
    return std::string(text.chars.data(), text.length);
  }
  return std::string();
}

// Whole seconds the phase may still take, at least 1: from the rate once
// one is measured, else what is left of the estimate.
unsigned SecondsLeft(const ProgressState& state) {
  double left = state.estimatedSeconds - state.seconds;
  if (state.phase == ProgressPhase::kProgramming && state.seconds > 0.0 && state.bytesDone > 0) {
    const double bytesPerSecond = state.bytesDone / state.seconds;
    left = (state.totalBytes - state.bytesDone) / bytesPerSecond;
  }
  return static_cast<unsigned>(std::max(1.0, std::ceil(left)));
}

// The answer to a keyboard interrupt: the run goes on, and for how long.
// The wording gives way before the number.
std::string StopRefusedText(const ProgressState& state, int limit) {
  Field seconds;
  KeepLength(&seconds,
             std::snprintf(seconds.chars.data(), seconds.chars.size(), "%u", SecondsLeft(state)));
  constexpr std::array<std::pair<const char*, const char*>, 3> kWordings = {
      {{"can't stop now: about ", " s left"}, {"can't stop: ", " s left"}, {"", " s left"}}};
  for (const auto& [before, after] : kWordings) {
    const size_t length =
        std::strlen(before) + static_cast<size_t>(seconds.length) + std::strlen(after);
    if (length > static_cast<size_t>(limit)) continue;
    TextBuffer text;
    Append(&text, before, std::strlen(before));
    Append(&text, seconds.chars.data(), static_cast<size_t>(seconds.length));
    Append(&text, after, std::strlen(after));
    return std::string(text.chars.data(), text.length);
  }
  return std::string();
}

// The characters a line may take in the terminal as it is now, and the
// columns it may blank: all but the last, where the terminal would wrap.
size_t CurrentColumns() {
  int columns = StandardErrorColumns();
  if (columns <= 0) columns = kDefaultColumns;
  return static_cast<size_t>(std::clamp(columns, 1, kMaxLineLength + 1));
}
size_t CurrentLimit() {
  return CurrentColumns() > static_cast<size_t>(kEchoRoom) ? CurrentColumns() - 1 - kEchoRoom : 0;
}
size_t BlankLimit() {
  return CurrentColumns() - 1;
}

void Write(const TextBuffer& text) {
  std::fwrite(text.chars.data(), 1, text.length, stderr);
  std::fflush(stderr);
}

void Draw(Clock::time_point now) {
  const size_t limit = CurrentLimit();
  run.progress.state.stopRefused = now < run.progress.answerUntil;
  const std::string drawing = ProgressLineText(run.progress.state, static_cast<int>(limit) + 1);
  // Blank what the previous drawing (and an echoed "^C") left beyond this
  // one, but never the last column: the terminal may have narrowed since.
  const size_t blankTo = std::min(run.progress.drawnWidth, BlankLimit());
  TextBuffer text;
  Append(&text, "\r", 1);
  Append(&text, drawing.data(), drawing.size());
  if (drawing.size() < blankTo) AppendRepeated(&text, ' ', blankTo - drawing.size());
  Write(text);
  run.progress.drawnWidth = std::max(drawing.size(), blankTo);
  run.progress.lastDraw = now;
}

// Takes note of keyboard interrupts since the last look. Each one the
// terminal echoed as "^C" after the line, which the next drawing blanks.
// Returns whether one came, so the line answers it at once.
bool NoticeInterrupts(Clock::time_point now) {
  const uint32_t count = KeyboardInterrupts();
  if (count == run.progress.interruptsAnswered) return false;
  const size_t echoed = 2 * static_cast<size_t>(count - run.progress.interruptsAnswered);
  run.progress.drawnWidth += std::min(echoed, static_cast<size_t>(kEchoRoom));
  run.progress.interruptsAnswered = count;
  run.progress.answerUntil = now + kAnswerTime;
  return true;
}

// Writes the channel's line for |blocksDone| and |bytesDone| of the totals
// ProgressBegin kept, when the channel is on.
void WriteChannelLine(uint32_t blocksDone, uint32_t bytesDone) {
  if (run.channel.descriptor < 0) return;
  ProgressState state;
  state.blocksDone = blocksDone;
  state.totalBlocks = run.channel.totalBlocks;
  state.bytesDone = bytesDone;
  state.totalBytes = run.channel.totalBytes;
  const std::string line = ProgressChannelLine(state);
  WriteWithoutWaiting(run.channel.descriptor, std::span<const char>(line.data(), line.size()));
}

// Reads decimal digits alone (no sign, no blank) at the front of |text| into
// |value|, and drops them from |text|. False for no digits or a number
// beyond |limit|.
bool TakeNumber(std::string_view* text, uint64_t limit, uint64_t* value) {
  const char* end = text->data() + text->size();
  if (text->empty() || (*text)[0] < '0' || (*text)[0] > '9') return false;
  const auto [stop, error] = std::from_chars(text->data(), end, *value);
  if (error != std::errc() || *value > limit) return false;
  text->remove_prefix(static_cast<size_t>(stop - text->data()));
  return true;
}

// Drops |word| from the front of |text|; false when it is not there.
bool TakeWord(std::string_view* text, std::string_view word) {
  if (!text->starts_with(word)) return false;
  text->remove_prefix(word.size());
  return true;
}

// Starts a line when standard error is a terminal; false when it is not.
// An answer to a keyboard interrupt carries on into the new line.
bool Start() {
  if (!StandardErrorIsTerminal()) return false;
  const ProgressLine previous = run.progress;
  run.progress = ProgressLine{};
  run.progress.active = true;
  run.progress.start = Clock::now();
  run.progress.lastDraw = run.progress.start;
  run.progress.interruptsAnswered = previous.interruptsAnswered;
  run.progress.answerUntil = previous.answerUntil;
  return true;
}

double SecondsSince(Clock::time_point start, Clock::time_point now) {
  return std::chrono::duration<double>(now - start).count();
}

}  // namespace

std::string ProgressLineText(const ProgressState& state, int columns) {
  const int limit = std::min(columns - 1, kMaxLineLength);
  if (limit <= 0) return std::string();
  if (state.stopRefused) return StopRefusedText(state, limit);
  return state.phase == ProgressPhase::kActivating ? ActivationText(state, limit)
                                                   : ProgrammingText(state, limit);
}

void ProgressProbe(uint32_t probe, uint32_t probeLimit, double secondsPerProbe) {
  SystemErrorGuard keepError;  // drawing must not disturb a later report
  if (run.progress.active || Start()) {
    const Clock::time_point now = Clock::now();
    NoticeInterrupts(now);
    ProgressState& state = run.progress.state;
    state.phase = ProgressPhase::kActivating;
    state.probe = probe;
    state.probeLimit = probeLimit;
    state.estimatedSeconds = probeLimit * secondsPerProbe;
    state.seconds = SecondsSince(run.progress.start, now);
    Draw(now);
  }
}

void ProgressExpect(double estimatedSeconds) {
  run.channel.expectedSeconds = estimatedSeconds;
}

void ProgressBegin(uint32_t totalBlocks, uint32_t totalBytes) {
  SystemErrorGuard keepError;  // drawing must not disturb a later report
  run.channel.totalBlocks = totalBlocks;
  run.channel.totalBytes = totalBytes;
  if (Start()) {
    ProgressState& state = run.progress.state;
    state.phase = ProgressPhase::kProgramming;
    state.totalBlocks = totalBlocks;
    state.totalBytes = totalBytes;
    state.estimatedSeconds = run.channel.expectedSeconds;
    Draw(run.progress.start);
  }
}

void ProgressUpdate(uint32_t blocksDone, uint32_t bytesDone) {
  WriteChannelLine(blocksDone, bytesDone);
  if (!run.progress.active) return;
  const Clock::time_point now = Clock::now();
  const bool interrupted = NoticeInterrupts(now);
  if (!interrupted && now - run.progress.lastDraw < kRedrawInterval &&
      blocksDone < run.progress.state.totalBlocks) {
    return;
  }
  SystemErrorGuard keepError;  // drawing must not disturb a later report
  run.progress.state.blocksDone = blocksDone;
  run.progress.state.bytesDone = bytesDone;
  run.progress.state.seconds = SecondsSince(run.progress.start, now);
  Draw(now);
}

void ProgressTick() {
  if (!run.progress.active) return;
  const Clock::time_point now = Clock::now();
  const bool interrupted = NoticeInterrupts(now);
  // The answer counts down while it shows, and goes when its time is up.
  const bool answering = run.progress.state.stopRefused || now < run.progress.answerUntil;
  if (!interrupted && !(answering && now - run.progress.lastDraw >= kRedrawInterval)) return;
  SystemErrorGuard keepError;  // drawing must not disturb a later report
  run.progress.state.seconds = SecondsSince(run.progress.start, now);
  Draw(now);
}

void ProgressEnd() {
  if (!run.progress.active) return;
  SystemErrorGuard keepError;  // drawing must not disturb a later report
  TextBuffer text;
  Append(&text, "\r", 1);
  AppendRepeated(&text, ' ', std::min(run.progress.drawnWidth, BlankLimit()));
  Append(&text, "\r", 1);
  Write(text);
  run.progress.active = false;
}

bool ProgressChannelOpen(const char* setting) {
  run.channel.descriptor = -1;
  if (setting == nullptr) return false;
  std::string_view text(setting);
  uint64_t descriptor = 0;
  // Digits alone: "3 ", "+3" or "0x3" are no descriptor numbers.
  if (!TakeNumber(&text, std::numeric_limits<int>::max(), &descriptor) || !text.empty()) {
    return false;
  }
  // 0 is an input, and 1 would put the lines among korvel's own output.
  if (descriptor < 2) return false;
  const int open = InheritedDescriptor(descriptor);
  if (open < 0 || !PrepareWriteWithoutWaiting(open)) return false;
  run.channel.descriptor = open;
  return true;
}

std::string ProgressChannelLine(const ProgressState& state) {
  std::array<char, 64> line{};
  const int length =
      std::snprintf(line.data(), line.size(), "block %u/%u bytes %u/%u\n", state.blocksDone,
                    state.totalBlocks, state.bytesDone, state.totalBytes);
  return std::string(line.data(), static_cast<size_t>(std::clamp(length, 0, 63)));
}

bool ParseProgressChannelLine(std::string_view line, ProgressState* state) {
  constexpr uint64_t kLimit = std::numeric_limits<uint32_t>::max();
  if (line.ends_with('\n')) line.remove_suffix(1);
  uint64_t blocksDone = 0, totalBlocks = 0, bytesDone = 0, totalBytes = 0;
  if (!TakeWord(&line, "block ") || !TakeNumber(&line, kLimit, &blocksDone) ||
      !TakeWord(&line, "/") || !TakeNumber(&line, kLimit, &totalBlocks) ||
      !TakeWord(&line, " bytes ") || !TakeNumber(&line, kLimit, &bytesDone) ||
      !TakeWord(&line, "/") || !TakeNumber(&line, kLimit, &totalBytes) || !line.empty()) {
    return false;
  }
  state->phase = ProgressPhase::kProgramming;
  state->blocksDone = static_cast<uint32_t>(blocksDone);
  state->totalBlocks = static_cast<uint32_t>(totalBlocks);
  state->bytesDone = static_cast<uint32_t>(bytesDone);
  state->totalBytes = static_cast<uint32_t>(totalBytes);
  return true;
}
