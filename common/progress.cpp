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
#include <cstdio>
#include <cstring>
#include <limits>
#include <span>

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

// Which fields a layout shows, and the fewest bar cells it accepts.
struct Layout {
  bool blocks;
  bool bytes;
  bool rate;
  bool left;
  int minBar;
};

// Widest first: the time left goes first, then the rate, then the bytes,
// then the bar gives way down to its short width, then the blocks.
constexpr std::array<Layout, 5> kLayouts = {{
    {true, true, true, true, kBarWidth},
    {true, true, true, false, kBarWidth},
    {true, true, false, false, kBarWidth},
    {true, false, false, false, kShortBarWidth},
    {false, false, false, false, 1},
}};

std::string ProgrammingText(const ProgressState& state, int limit) {
  const double fraction =
      state.totalBytes > 0 ? static_cast<double>(state.bytesDone) / state.totalBytes : 1.0;
  const unsigned percentDone = static_cast<unsigned>(fraction * 100.0);

  Field blocks;
  KeepLength(&blocks, std::snprintf(blocks.chars.data(), blocks.chars.size(), " %u/%u blocks",
                                    state.blocksDone, state.totalBlocks));
  Field bytes;
  KeepLength(&bytes, std::snprintf(bytes.chars.data(), bytes.chars.size(), " %u/%u bytes",
                                   state.bytesDone, state.totalBytes));
  Field percent;
  KeepLength(&percent,
             std::snprintf(percent.chars.data(), percent.chars.size(), " %3u%%", percentDone));
  // The rate and the time left only once there is a rate and something left.
  Field rate;
  Field left;
  const double bytesPerSecond = state.seconds > 0.0 ? state.bytesDone / state.seconds : 0.0;
  if (bytesPerSecond > 0.0 && state.bytesDone < state.totalBytes) {
    const auto seconds =
        static_cast<unsigned>((state.totalBytes - state.bytesDone) / bytesPerSecond + 0.5);
    KeepLength(&rate,
               std::snprintf(rate.chars.data(), rate.chars.size(), " %.0f B/s", bytesPerSecond));
    KeepLength(&left, std::snprintf(left.chars.data(), left.chars.size(), " %u:%02u left",
                                    seconds / 60, seconds % 60));
  }

  for (const Layout& layout : kLayouts) {
    const int fieldsLength = (layout.blocks ? blocks.length : 0) +
                             (layout.bytes ? bytes.length : 0) + percent.length +
                             (layout.rate ? rate.length : 0) + (layout.left ? left.length : 0);
    const int bar = std::min(kBarWidth, limit - 2 - fieldsLength);  // 2: the brackets
    if (bar < layout.minBar) continue;
    const size_t filled = std::min(static_cast<size_t>(fraction * bar), static_cast<size_t>(bar));
    TextBuffer text;
    Append(&text, "[", 1);
    AppendRepeated(&text, '#', filled);
    AppendRepeated(&text, '.', static_cast<size_t>(bar) - filled);
    Append(&text, "]", 1);
    for (const auto& [shown, field] :
         {std::pair{layout.blocks, &blocks}, std::pair{layout.bytes, &bytes},
          std::pair{true, &percent}, std::pair{layout.rate, &rate},
          std::pair{layout.left, &left}}) {
      if (shown) Append(&text, field->chars.data(), static_cast<size_t>(field->length));
    }
    return std::string(text.chars.data(), text.length);
  }
  // Not even a bar of one cell: the percent alone, without its padding.
  const char* digits = percent.chars.data();
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

// The characters a line may take in the terminal as it is now.
size_t CurrentLimit() {
  int columns = StandardErrorColumns();
  if (columns <= 0) columns = kDefaultColumns;
  return static_cast<size_t>(std::min(columns - 1, kMaxLineLength));
}

void Write(const TextBuffer& text) {
  std::fwrite(text.chars.data(), 1, text.length, stderr);
  std::fflush(stderr);
}

void Draw() {
  const size_t limit = CurrentLimit();
  const std::string drawing = ProgressLineText(run.progress.state, static_cast<int>(limit) + 1);
  // Blank what the previous drawing left beyond this one, but never past
  // the last usable column: the terminal may have narrowed since.
  const size_t blankTo = std::min(run.progress.drawnWidth, limit);
  TextBuffer text;
  Append(&text, "\r", 1);
  Append(&text, drawing.data(), drawing.size());
  if (drawing.size() < blankTo) AppendRepeated(&text, ' ', blankTo - drawing.size());
  Write(text);
  run.progress.drawnWidth = std::max(drawing.size(), blankTo);
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
bool Start() {
  if (!StandardErrorIsTerminal()) return false;
  run.progress = ProgressLine{};
  run.progress.active = true;
  run.progress.start = Clock::now();
  run.progress.lastDraw = run.progress.start;
  return true;
}

}  // namespace

std::string ProgressLineText(const ProgressState& state, int columns) {
  const int limit = std::min(columns - 1, kMaxLineLength);
  if (limit <= 0) return std::string();
  return state.phase == ProgressPhase::kActivating ? ActivationText(state, limit)
                                                   : ProgrammingText(state, limit);
}

void ProgressProbe(uint32_t probe, uint32_t probeLimit) {
  SystemErrorGuard keepError;  // drawing must not disturb a later report
  if (run.progress.active || Start()) {
    run.progress.state.phase = ProgressPhase::kActivating;
    run.progress.state.probe = probe;
    run.progress.state.probeLimit = probeLimit;
    Draw();
  }
}

void ProgressBegin(uint32_t totalBlocks, uint32_t totalBytes) {
  SystemErrorGuard keepError;  // drawing must not disturb a later report
  run.channel.totalBlocks = totalBlocks;
  run.channel.totalBytes = totalBytes;
  if (Start()) {
    run.progress.state.phase = ProgressPhase::kProgramming;
    run.progress.state.totalBlocks = totalBlocks;
    run.progress.state.totalBytes = totalBytes;
    Draw();
  }
}

void ProgressUpdate(uint32_t blocksDone, uint32_t bytesDone) {
  WriteChannelLine(blocksDone, bytesDone);
  if (!run.progress.active) return;
  const Clock::time_point now = Clock::now();
  if (now - run.progress.lastDraw < kRedrawInterval && blocksDone < run.progress.state.totalBlocks)
    return;
  SystemErrorGuard keepError;  // drawing must not disturb a later report
  run.progress.lastDraw = now;
  run.progress.state.blocksDone = blocksDone;
  run.progress.state.bytesDone = bytesDone;
  run.progress.state.seconds = std::chrono::duration<double>(now - run.progress.start).count();
  Draw();
}

void ProgressEnd() {
  if (!run.progress.active) return;
  SystemErrorGuard keepError;  // drawing must not disturb a later report
  TextBuffer text;
  Append(&text, "\r", 1);
  AppendRepeated(&text, ' ', std::min(run.progress.drawnWidth, CurrentLimit()));
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
