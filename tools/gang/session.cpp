// What the line needs around the runs: its options, the checks before any
// port is touched (the image, the adapters' serial numbers, the counter,
// the page), each run's records as it starts, and the reports after each
// run.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>

#include "tools/command_line.h"
#include "tools/gang/durable_file.h"
#include "tools/gang/gang.h"
#include "tools/ports/listing.h"

namespace {

constexpr int kExitNotAllPassed = 1;

// The page is brought up to date at most this often while runs go on.
constexpr auto kPublishInterval = std::chrono::milliseconds(250);

bool Refuse(const std::string& problem, int status, int* statusOut) {
  std::fprintf(stderr, "korvel-gang: %s\n", problem.c_str());
  *statusOut = status;
  return false;
}

// The ports of the adapters with the serial numbers asked for: each number
// on exactly one port.
bool PortsBySerialNumber(Gang* gang, std::string* problem) {
  for (const std::string& serialNumber : gang->options.serialNumbers) {
    const std::vector<std::string> ports = PortsWithSerialNumber(serialNumber, gang->inventory);
    if (ports.size() != 1) {
      *problem = "the serial number " + AsciiPrintable(serialNumber) + " is on " +
                 (ports.empty() ? "no port" : std::to_string(ports.size()) + " ports");
      return false;
    }
    if (std::find(gang->options.ports.begin(), gang->options.ports.end(), ports[0]) !=
        gang->options.ports.end()) {
      *problem = "the serial number " + AsciiPrintable(serialNumber) + " is given twice";
      return false;
    }
    gang->options.ports.push_back(ports[0]);
  }
  return true;
}

// This gang's own log folder under the log folder: named after the time it
// started (UTC), with -2, -3, ... where a folder of that name is there
// already. Making it is the claim: an earlier batch's logs are never
// written over.
bool MakeBatchFolder(Gang* gang, std::string* problem) {
  std::error_code error;
  std::filesystem::create_directories(gang->options.logDir, error);
  if (error) {
    *problem = "cannot make the log folder " + gang->options.logDir + ": " + error.message();
    return false;
  }
  // 2024-05-01T10-00-00Z: ISO 8601 with '-' for the ':' that Windows
  // forbids in a name.
  std::string name = UtcTimeText(std::time(nullptr), true);
  std::replace(name.begin(), name.end(), ':', '-');
  for (int suffix = 1; suffix < 1000; ++suffix) {
    const std::string folder = name + (suffix > 1 ? "-" + std::to_string(suffix) : "");
    const std::filesystem::path path = std::filesystem::path(gang->options.logDir) / folder;
    if (std::filesystem::create_directory(path, error)) {
      gang->batchDir = path.string();
      return true;
    }
    if (error) break;
  }
  *problem = "cannot make a batch folder in " + gang->options.logDir +
             (error ? ": " + error.message() : std::string());
  return false;
}

// The log of |job| in the batch folder; a retry's log has its attempt in
// its name (ttyUSB0.attempt2.log).
std::string RunLogPath(const Gang& gang, const GangRun& job) {
  std::string name = LogFileName(job.port, job.appearance);
  if (job.attempt > 1) {
    name.insert(name.size() - 4, ".attempt" + std::to_string(job.attempt));
  }
  return (std::filesystem::path(gang.batchDir) / name).string();
}

}  // namespace

void AddLineOptions(CLI::App* app, GangOptions* options) {
  app->add_option("--serial-number", options->serialNumbers,
                  "flash the ports whose adapters have these USB serial numbers")
      ->type_name("SN");
  app->add_option("--retries", options->retries,
                  "start a run that failed by chance (no bootloader answer, a lost or refused "
                  "reply, a vanished port) again, up to N times")
      ->type_name("N")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app->add_option("--http", options->http,
                  "serve the live board as a web page on [ADDR:]PORT (127.0.0.1 unless ADDR)")
      ->type_name("[ADDR:]PORT");
  app->add_option("--metrics", options->metricsPath,
                  "write Prometheus metrics to FILE after each run (textfile collectors)")
      ->type_name("FILE");
  app->add_option("--hwparm-sequence", options->sequence,
                  "program each device's EEPROM with HWPARM<PP><n>, n from the counter in FILE "
                  "(no image argument then)")
      ->type_name("PP:FILE");
}

bool CheckLineOptions(GangOptions* options, int* status) {
  // With a counter, every run's image argument is its own: a first
  // argument is a port.
  if (!options->sequence.empty() && !options->image.empty()) {
    options->ports.insert(options->ports.begin(), options->image);
    options->image.clear();
  }
  if (options->sequence.empty() && options->image.empty()) {
    return Refuse("give the image argument (or --hwparm-sequence)", kUsageError, status);
  }
  SequenceCounter parsed;
  std::string problem;
  if (!options->sequence.empty() && !ParseSequenceOption(options->sequence, &parsed, &problem)) {
    return Refuse(problem, kUsageError, status);
  }
  if (!options->http.empty() && !ParseHttpAddress(options->http, nullptr, nullptr, &problem)) {
    return Refuse(problem, kUsageError, status);
  }
  return true;
}

bool PrepareLine(Gang* gang, int* status) {
  GangOptions& options = gang->options;
  std::string problem;
  // 1. The image, by korvel's rules: a run that would stop after waking its
  // device is refused before any device is woken.
  if (options.sequence.empty() && !CheckGangImage(options.image, &gang->image, &problem)) {
    return Refuse(problem + "; no port was touched", kUsageError, status);
  }
  // 2. The adapters, once: their serial numbers and ids for the rows.
  ReadPortInventory(&gang->inventory);
  if (!PortsBySerialNumber(gang, &problem)) return Refuse(problem, kExitNotAllPassed, status);
  // 3. The counter, held for this gang alone; the log folder; the page.
  if (!options.sequence.empty() &&
      (!ParseSequenceOption(options.sequence, &gang->counter, &problem) ||
       !OpenSequence(&gang->counter, &problem))) {
    return Refuse(problem, kExitNotAllPassed, status);
  }
  if (!MakeBatchFolder(gang, &problem)) return Refuse(problem, kExitNotAllPassed, status);
  return true;
}

bool ServeBoard(Gang* gang, int* status) {
  if (gang->options.http.empty()) return true;
  std::string problem;
  if (!StartBoardServer(gang, &problem)) return Refuse(problem, kExitNotAllPassed, status);
  std::printf("korvel-gang: the board page is at %s\n", BoardServerUrl(gang->server.get()).c_str());
  PublishBoard(gang, GangClock::now(), true);
  return true;
}

bool ParseHttpAddress(const std::string& text, std::string* address, int* port,
                      std::string* problem) {
  // "PORT", "ADDR:PORT", or "[ADDR]:PORT" for an IPv6 address.
  std::string host = "127.0.0.1";
  std::string number = text;
  const size_t colon = text.rfind(':');
  if (colon != std::string::npos) {
    host = text.substr(0, colon);
    number = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
      host = host.substr(1, host.size() - 2);
    }
  }
  const bool digits = !number.empty() && number.size() <= 5 &&
                      number.find_first_not_of("0123456789") == std::string::npos;
  if (host.empty() || !digits || std::stoi(number) > 65535) {
    *problem =
        "--http takes [ADDR:]PORT, PORT from 0 (any free one) to 65535: " + AsciiPrintable(text);
    return false;
  }
  if (address != nullptr) *address = host;
  if (port != nullptr) *port = std::stoi(number);
  return true;
}

void LaunchRun(Gang* gang, const std::string& port, int appearance, size_t previous) {
  const size_t index = gang->runs.size();
  GangRun& job = gang->runs.emplace_back();
  job.port = port;
  job.appearance = appearance;
  job.previousAttempt = previous;
  job.firstAttempt = previous < index ? gang->runs[previous].firstAttempt : index;
  job.attempt = previous < index ? gang->runs[previous].attempt + 1 : 1;
  job.logPath = RunLogPath(*gang, job);
  // 1. The adapter as the inventory knows it now: in station mode it was
  // just plugged in.
  if (!gang->options.watchPattern.empty()) {
    gang->inventory.clear();
    ReadPortInventory(&gang->inventory);
  }
  if (const InventoryEntry* entry = EntryForPort(port, gang->inventory)) {
    job.serialNumber = entry->serialNumber;
    job.usbIds = UsbIdsText(*entry);
    job.label = entry->serialNumber;
    // A multi-port adapter gives its ports one serial number.
    if (!job.label.empty() && PortsWithSerialNumber(job.label, gang->inventory).size() > 1) {
      job.label += " " + entry->portName;
    }
  }
  // 2. Its image argument: the counter's next number, durable before the
  // run has it.
  job.imageArgument = gang->options.image;
  if (!gang->options.sequence.empty()) {
    uint32_t number = 0;
    if (TakeSequenceNumber(&gang->counter, &number, &job.startError)) {
      job.sequenceNumber = number;
      job.imageArgument = SequenceArgument(gang->counter, number);
    }
  }
  if (job.startError.empty()) job.imageSha256 = RunImageSha256(*gang, job.imageArgument);
  StartRun(gang->options, &job);
}

void RunEnded(Gang* gang, size_t runIndex, GangClock::time_point now) {
  ScheduleRetry(gang, runIndex, now);
  WriteReports(gang, now);
  PublishBoard(gang, now, true);
}

bool WriteReports(Gang* gang, GangClock::time_point now) {
  const GangOptions& options = gang->options;
  const struct {
    const std::string& path;
    std::string (*text)(const Gang&, GangClock::time_point);
  } reports[] = {{options.jsonPath, JsonReport},
                 {options.junitPath, JunitReport},
                 {options.metricsPath, MetricsText}};
  bool written = true;
  for (const auto& report : reports) {
    if (report.path.empty()) continue;
    std::string problem;
    if (!ReplaceFileDurably(report.path, report.text(*gang, now), &problem)) {
      std::fprintf(stderr, "korvel-gang: %s\n", problem.c_str());
      written = false;
    }
  }
  gang->reportsFailed = gang->reportsFailed || !written;
  return written;
}

void PublishBoard(Gang* gang, GangClock::time_point now, bool force) {
  if (!gang->server || (!force && now - gang->lastPublished < kPublishInterval)) return;
  gang->lastPublished = now;
  PublishBoardJson(gang->server.get(), BoardJson(*gang, now));
}

void EndLine(Gang* gang) {
  StopBoardServer(gang);
  CloseSequence(&gang->counter);
}
