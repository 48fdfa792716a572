// The run start up to the port open, on arbitrary command lines. The input
// split at its NUL bytes gives up to five arguments after the program name
// (argument counts 1 to 6), each in a heap block of exactly its size.
//
// No run may touch a real device: the machine's devices are opened read-write
// by OpenSerial. So the port name that ChooseActivation sees ends in a
// suffix no device carries (the adapter lookup reads only the inventory, and
// answers no), and the one RunKorvel sees lies under a folder that does not
// exist, so the open fails at once whatever follows the folder, ".."
// included.
#include <signal.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/arguments.h"
#include "app/run.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr char kAbsentFolder[] = "/nonexistent-korvel-fuzz/";
constexpr char kAbsentSuffix[] = ".korvel-fuzz-absent";
constexpr size_t kMostArguments = 5;

constexpr char kBanner[] = "Version: 2.3\n";
constexpr char kUsage[] = "Usage: korvel.exe <COM-Port> <FW_File> [activation baud]\n\n";

// Argument texts, each in its own exactly sized block, and the argv over them,
// ending with a null entry as main receives it.
struct CommandLine {
  std::vector<std::unique_ptr<char[]>> texts;
  std::vector<const char*> argv{nullptr};

  void Add(const std::string& text) {
    texts.emplace_back(new char[text.size() + 1]);
    std::memcpy(texts.back().get(), text.c_str(), text.size() + 1);
    argv.insert(argv.end() - 1, texts.back().get());
  }
  int Count() const { return static_cast<int>(argv.size()) - 1; }
};

// The program name, then the input's NUL-separated pieces, at most five; a
// port name (argument 1) gets |portPrefix| and |portSuffix| around it.
CommandLine BuildCommandLine(const std::vector<std::string>& pieces, const std::string& portPrefix,
                             const std::string& portSuffix) {
  CommandLine line;
  line.Add("korvel");
  for (size_t i = 0; i < pieces.size(); ++i) {
    line.Add(i == 0 ? portPrefix + pieces[i] + portSuffix : pieces[i]);
  }
  return line;
}

void CheckChooseActivation(const std::vector<std::string>& pieces) {
  CommandLine line = BuildCommandLine(pieces, "", kAbsentSuffix);
  const int argc = line.Count();
  const ActivationChoice choice = ChooseActivation(argc, line.argv.data());

  uint32_t baud = 115200;  // no third argument, and the port is no known adapter
  bool forced = argc > 4;
  if (argc > 3) {
    const char* third = line.argv[3];
    if (std::strncmp(third, "FORCE", 5) == 0 || std::strncmp(third, "force", 5) == 0) {
      forced = true;
    } else {
      baud = ReferenceUnsigned(third, 10);
    }
  }
  FuzzCheck(choice.baud == baud, "activation baud");
  FuzzCheck(choice.forced == forced, "forced flag");
}

void CheckRunKorvel(const std::vector<std::string>& pieces) {
  CommandLine line = BuildCommandLine(pieces, kAbsentFolder, "");
  const int argc = line.Count();

  // The run ignores keyboard interrupts for good; give libFuzzer its own
  // handlers back afterwards.
  struct sigaction savedInt {};
  struct sigaction savedQuit {};
  struct sigaction savedPipe {};
  sigaction(SIGINT, nullptr, &savedInt);
  sigaction(SIGQUIT, nullptr, &savedQuit);
  sigaction(SIGPIPE, nullptr, &savedPipe);
  ClearStdout();
  const int status = RunKorvel(argc, line.argv.data());
  const std::string printed = PrintedStdout();
  sigaction(SIGINT, &savedInt, nullptr);
  sigaction(SIGQUIT, &savedQuit, nullptr);
  sigaction(SIGPIPE, &savedPipe, nullptr);

  FuzzCheck(status == kExitSuccess || status == kExitFailure, "status is 0 or -1");
  // The port never opens, so every run fails.
  FuzzCheck(status == kExitFailure, "a run without a port fails");
  FuzzCheck(printed.starts_with(kBanner), "banner first");
  if (argc < 3 || argc > 5) {
    FuzzCheck(printed == std::string(kBanner) + kUsage, "banner and usage, nothing else");
    return;
  }
  // The open's own report, then the driver's, as the last two lines.
  const size_t create = printed.rfind(" / CreateFile: (");
  const size_t open = printed.rfind(" / OpenSerial: (");
  FuzzCheck(create != std::string::npos && open != std::string::npos && create < open,
            "CreateFile then OpenSerial reported");
  FuzzCheck(printed.find('\n', open) == printed.size() - 1, "OpenSerial is the last line");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CaptureStdout();
  static const bool folderAbsent = [] {
    struct stat info {};
    FuzzCheck(stat(kAbsentFolder, &info) != 0, "the absent folder must not exist");
    return true;
  }();
  (void)folderAbsent;

  std::vector<std::string> pieces;
  if (size > 0) {
    const char* text = reinterpret_cast<const char*>(data);
    size_t start = 0;
    while (pieces.size() < kMostArguments) {
      const size_t end = start + strnlen(text + start, size - start);
      pieces.emplace_back(text + start, end - start);
      if (end >= size) break;
      start = end + 1;
    }
  }

  const int argc = static_cast<int>(pieces.size()) + 1;
  if (argc >= 3 && argc <= 5) {
    ClearStdout();
    CheckChooseActivation(pieces);
  }
  CheckRunKorvel(pieces);
  return 0;
}
