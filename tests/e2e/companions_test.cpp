// The companions beside korvel: korvel-check's verdicts and exit statuses
// over a table of arguments, told without a port; korvel-ports' listing of
// this machine's ports as JSON. Natively and, with KORVEL_E2E_WINE, the
// Windows programs under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/case_name.h"
#include "tests/e2e/run_korvel.h"
#include "tests/e2e/test_images.h"

namespace korvel_e2e {
namespace {

using korvel_e2e::PrintTo;

// --- korvel-check ------------------------------------------------------------

struct CheckCase {
  const char* name;
  std::vector<std::string> args;
  int status;
  // Pieces of the description lines, each found in one of them.
  std::vector<std::string> lines;
  // Pieces of the warnings, one for each "warning: " line, in order.
  std::vector<std::string> warnings;
  // In their place for the Windows program, where it differs.
  std::vector<std::string> windowsWarnings{};
};

// The files the rows name, in the folder korvel-check runs in.
void WriteCheckFiles(const TempDir& dir) {
  dir.WriteFile("fw.img", FirmwareImage(16384, "1.0 test"));
  dir.WriteFile("largest.img", FirmwareImage(65535));
  dir.WriteFile("too-big.img", FirmwareImage(65536));
  dir.WriteFile("empty.img", {});
  dir.WriteFile("no-marker.img", PatternImage(100));
  dir.WriteFile("SETTINGS-EEPROM.BIN", PatternImage(512));
  dir.WriteFile("settings-eeprom.bin", PatternImage(512));
  dir.WriteFile("eeprom.bin.old/fw.img", FirmwareImage(1000));
  std::filesystem::create_directory(dir / "folder.img");
  dir.WriteFile("stoplight-v2.img", FirmwareImage(1000));
  dir.WriteFile("hwparm-defaults.img", FirmwareImage(1000));
}

class CheckTest : public ::testing::TestWithParam<CheckCase> {};

// The paths korvel-check opened, from an strace log, with their flags.
std::vector<std::pair<std::string, std::string>> OpenedPaths(const std::string& log) {
  static const std::regex kOpen(R"re(open(?:at2?)?\((?:[A-Z_]+, )?"([^"]*)", ([A-Z_|0-9]+))re");
  std::vector<std::pair<std::string, std::string>> opened;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (std::regex_search(line, match, kOpen)) opened.emplace_back(match[1], match[2]);
  }
  return opened;
}

TEST_P(CheckTest, TellsWhatKorvelWouldDoAndWarnsWithItsStatus) {
  const CheckCase& param = GetParam();
  TempDir dir;
  WriteCheckFiles(dir);
  // Natively under strace, to see that no port (nor anything else in /dev
  // or /sys) is opened, and nothing for writing. strace is one of the
  // packages the tests need: missing, it fails the test.
  const std::string strace = FindProgram("strace");
  const std::string log = (dir / "strace.log").string();
  std::vector<std::string> command = {"-f",
                                      "-qq",
                                      "-e",
                                      "trace=open,openat,openat2,creat",
                                      "-o",
                                      log,
                                      CompanionBinary("korvel-check")};
  command.insert(command.end(), param.args.begin(), param.args.end());
  // LeakSanitizer can't work under a tracer (in a sanitizer build).
  const RunResult run =
      UnderWine() ? RunCompanion("korvel-check", param.args, {.workingDirectory = dir.path()})
                  : RunProgram(strace, command,
                               {.workingDirectory = dir.path(),
                                .environment = {"ASAN_OPTIONS=detect_leaks=0"}});

  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitStatus, param.status) << run.out << run.err;
  std::vector<std::string> described;
  std::vector<std::string> warnings;
  for (const std::string& line : LinesOf(run.out)) {
    if (line.starts_with("warning: ")) {
      warnings.push_back(line);
    } else {
      described.push_back(line);
    }
  }
  for (const std::string& piece : param.lines) {
    EXPECT_TRUE(std::any_of(described.begin(), described.end(),
                            [&](const std::string& line) { return line.find(piece) != line.npos; }))
        << "no line with \"" << piece << "\" in:\n"
        << run.out;
  }
  const std::vector<std::string>& expected =
      UnderWine() && !param.windowsWarnings.empty() ? param.windowsWarnings : param.warnings;
  ASSERT_EQ(warnings.size(), expected.size()) << run.out;
  for (size_t i = 0; i < warnings.size(); ++i) {
    EXPECT_NE(warnings[i].find(expected[i]), std::string::npos)
        << warnings[i] << "\nhas no \"" << expected[i] << "\"";
  }
  // A usage error says why on standard error, and nothing else.
  if (param.status == 2) {
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_FALSE(run.err.empty());
  } else {
    EXPECT_TRUE(run.err.empty()) << run.err;
  }

  if (UnderWine()) return;
  const std::string trace = ReadFileText(log);
  ASSERT_FALSE(trace.empty()) << "strace wrote no log: " << run.err;
  const auto opened = OpenedPaths(trace);
  EXPECT_FALSE(opened.empty()) << trace;  // the C library at least
  for (const auto& [path, flags] : opened) {
    EXPECT_FALSE(path.starts_with("/dev/") || path.starts_with("/sys/")) << path;
    EXPECT_EQ(flags.find("O_WRONLY"), std::string::npos) << path << " " << flags;
    EXPECT_EQ(flags.find("O_RDWR"), std::string::npos) << path << " " << flags;
    EXPECT_EQ(flags.find("O_CREAT"), std::string::npos) << path << " " << flags;
  }
}

const char* const kFirmwareStop = "stop (\"Flashing the firmware image failed.\")";
const char* const kByPort = "3,000,000 baud if the port is a recognised adapter, else 115,200 baud";

INSTANTIATE_TEST_SUITE_P(
    Check, CheckTest,
    ::testing::Values(
        // What korvel programs, and from where.
        CheckCase{"Firmware",
                  {"fw.img"},
                  0,
                  {kByPort, "Memory: flash", "Source: the file fw.img",
                   "Firmware version: 1.0 test", "Size: 16,384 bytes in 256 blocks",
                   "Erase: every run erases the chip before its first block",
                   "Estimated time at 115,200 baud: "},
                  {}},
        CheckCase{
            "LargestFirmware", {"largest.img"}, 0, {"Size: 65,535 bytes in 1,024 blocks"}, {}},
        CheckCase{"StopWord", {"stopwatch.img"}, 0, {"Memory: none", "(STOP)"}, {}},
        // A command word that also names a file: korvel reads the word.
        CheckCase{"StopWordNamingAFile",
                  {"stoplight-v2.img"},
                  1,
                  {"(STOP)"},
                  {"\"stoplight-v2.img\" is read by korvel as the command STOP: it only wakes the "
                   "bootloader and programs nothing, although a file of that name exists. To "
                   "program the file, write it as a path: \"./stoplight-v2.img\""}},
        CheckCase{
            "HwParamWordNamingAFile",
            {"hwparm-defaults.img"},
            1,
            {"Hardware parameters: 00 00 00 00 00"},
            {"as hardware parameters (HWPARM)", "is not two hexadecimal digits", "has no digits"}},
        CheckCase{
            "MixedCaseStopIsAFile", {"Stop"}, 1, {"Memory: flash"}, {"\"Stop\" can't be opened"}},
        CheckCase{"EepromFile",
                  {"settings-eeprom.bin"},
                  0,
                  {"Memory: EEPROM (\"eeprom.bin\" in the path)", "Size: 512 bytes in 8 blocks"},
                  {}},
        CheckCase{"EepromBinInAFolder",
                  {"eeprom.bin.old/fw.img"},
                  1,
                  {"Memory: EEPROM"},
                  {"\"eeprom.bin\" is in a folder name, not in the file name"}},
        CheckCase{"CapitalEepromBinIsFirmware",
                  {"SETTINGS-EEPROM.BIN"},
                  1,
                  {"Memory: flash"},
                  {"has no firmware marker"}},
        // Firmware files korvel would refuse after waking the bootloader.
        CheckCase{"EmptyFile", {"empty.img"}, 1, {}, {"\"empty.img\" is empty: korvel would wake"}},
        CheckCase{"TooBig", {"too-big.img"}, 1, {}, {"has more than 65,535 bytes"}},
        CheckCase{"NoMarker", {"no-marker.img"}, 1, {"Size: 100 bytes"}, {kFirmwareStop}},
        CheckCase{"Missing", {"missing.img"}, 1, {}, {"\"missing.img\" can't be opened"}},
        CheckCase{"Folder", {"folder.img"}, 1, {}, {kFirmwareStop}},
        // A port where the image belongs is not even opened to be read.
        CheckCase{"DeviceFile",
                  {"/dev/null"},
                  1,
                  {},
                  {"\"/dev/null\" is a device, not an image file"},
                  // Not a device name on Windows: opened through Wine's drive Z:.
                  {"the file \"/dev/null\" "}},
        CheckCase{"NetworkPortName",
                  {"rfc2217://127.0.0.1:4000"},
                  1,
                  {},
                  {"\"rfc2217://127.0.0.1:4000\" is a network port, not an image file"}},
        CheckCase{"WindowsPortName",
                  {"COM7", "fw.img"},
                  1,
                  {},
                  // natively a file of that name, which is not there
                  {"\"fw.img\" is neither", "\"COM7\" can't be opened"},
                  {"\"fw.img\" is neither", "\"COM7\" is a device, not an image file"}},
        // HWPARM: the five bytes, and text the reading made the best of.
        CheckCase{"HwParams",
                  {"HWPARM0112345"},
                  0,
                  {"Memory: EEPROM", "Source: the built-in hardware-parameter image",
                   "Hardware parameters: 01 39 30 00 00 (parameter 0x01, number 12,345)",
                   "Size: 512 bytes in 8 blocks"},
                  {}},
        CheckCase{"HwParamsSmallLetters",
                  {"hwparmff1"},
                  1,
                  {"Hardware parameters: none"},
                  {"\"hwparmff1\" can't be opened"}},
        CheckCase{"ParameterNotHex",
                  {"HWPARMZZ12345"},
                  1,
                  {"Hardware parameters: 00 39 30 00 00"},
                  {"the parameter \"ZZ\" is not two hexadecimal digits"}},
        CheckCase{"ParameterStopsAtItsSecondCharacter",
                  {"HWPARM1Z12345"},
                  1,
                  {"Hardware parameters: 01 39 30 00 00"},
                  {"reading stops at \"Z\", so korvel programs 0x01"}},
        CheckCase{"NumberWithNonDigits",
                  {"HWPARM0112a45"},
                  1,
                  {"Hardware parameters: 01 0C 00 00 00"},
                  {"the number \"12a45\" is not all decimal digits: korvel programs 12"}},
        CheckCase{"NumberAfterABlank",
                  {"hwparmA0 7"},
                  1,
                  {"Hardware parameters: A0 07 00 00 00"},
                  {"is not all decimal digits"}},
        CheckCase{"NoDigits", {"HWPARM01abc"}, 1, {"01 00 00 00 00"}, {"has no digits"}},
        CheckCase{"NumberBeyond32Bits",
                  {"HWPARM0199999999999"},
                  1,
                  {"Hardware parameters: 01 FF FF FF FF"},
                  {"is beyond 32 bits"}},
        CheckCase{"NumberWithASign",
                  {"HWPARM01-1"},
                  1,
                  {"Hardware parameters: 01 FF FF FF FF"},
                  {"has a sign: korvel programs 4,294,967,295"}},
        CheckCase{"SignedAndBeyond32Bits",
                  {"HWPARM01-99999999999"},
                  1,
                  {"01 01 00 00 00"},
                  {"is beyond 32 bits", "has a sign: korvel programs 1"}},
        CheckCase{"HwParamsTooShort",
                  {"HWPARM01"},
                  1,
                  {"Memory: none"},
                  {"fewer than 9 characters: korvel would wake the bootloader, then stop "
                   "(\"HWPARM string not valid\")"}},
        // The activation arguments.
        CheckCase{"Forced", {"fw.img", "FORCE"}, 0, {"Activation: 115,200 baud, forced"}, {}},
        CheckCase{"RateAndFourthArgument",
                  {"fw.img", "9600", "x"},
                  0,
                  {"Activation: 9,600 baud, forced"},
                  {}},
        CheckCase{"MixedCaseForceIsRateZero",
                  {"fw.img", "Force"},
                  1,
                  {"Activation: 0 baud"},
                  {"\"Force\" is neither a decimal number within 32 bits nor FORCE: korvel takes "
                   "it as 0 baud, which no port takes"}},
        CheckCase{"RateZero", {"fw.img", "0"}, 1, {}, {"an activation baud of 0"}},
        CheckCase{
            "NegativeRate", {"fw.img", "-1"}, 1, {"4,294,967,295 baud"}, {"\"-1\" is neither"}},
        CheckCase{"RateBeyond32Bits", {"fw.img", "99999999999"}, 1, {}, {"is neither"}},
        // Command lines it can't take.
        CheckCase{"NoArgument", {}, 2, {}, {}},
        CheckCase{"FourArguments", {"fw.img", "9600", "x", "y"}, 2, {}, {}},
        CheckCase{"UnknownOption", {"--port", "fw.img"}, 2, {}, {}}),
    CaseName<CheckCase>);

TEST(CheckBinaryTest, HoldsNoCodeThatOpensAPort) {
  // The program is linked without the port's platform layer: the names of
  // the port setup's steps, which its reports carry, are not in it.
  std::ifstream file(CompanionBinary("korvel-check"), std::ios::binary);
  ASSERT_TRUE(file);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  for (const char* step : {"SetCommTimeouts", "SetCommState", "GetCommState"}) {
    EXPECT_EQ(bytes.find(step), std::string::npos) << step;
  }
  EXPECT_NE(bytes.find("Wrong image type"), std::string::npos);  // the image code is there
}

// --- korvel-ports ------------------------------------------------------------

TEST(PortsTest, ListsThisMachinesPortsAsJsonAndText) {
  const RunResult json = RunCompanion("korvel-ports", {"--json"});
  ASSERT_EQ(json.exitStatus, 0) << json.out << json.err;
  const nlohmann::json listing = nlohmann::json::parse(json.out, nullptr, false);
  ASSERT_FALSE(listing.is_discarded()) << json.out;
  ASSERT_TRUE(listing["ports"].is_array()) << json.out;
  for (const nlohmann::json& port : listing["ports"]) {
    ASSERT_TRUE(port["port"].is_string()) << port;
    for (const char* key : {"path", "by_id", "driver", "usb"}) EXPECT_TRUE(port.contains(key));
    EXPECT_TRUE(port["friendly_names"].is_array()) << port;
    EXPECT_EQ(port["activation_baud"], port["recognised"].get<bool>() ? 3000000 : 115200);
  }

  // The text lists the same ports, one block each.
  const RunResult text = RunCompanion("korvel-ports", {});
  ASSERT_EQ(text.exitStatus, 0) << text.err;
  std::vector<std::string> headers;
  for (const std::string& line : LinesOf(text.out)) {
    if (!line.empty() && line[0] != ' ') headers.push_back(line);
  }
  if (listing["ports"].empty()) {
    EXPECT_EQ(headers, std::vector<std::string>{"No serial ports."});
  } else {
    ASSERT_EQ(headers.size(), listing["ports"].size()) << text.out;
    for (size_t i = 0; i < headers.size(); ++i) {
      EXPECT_TRUE(headers[i].starts_with(listing["ports"][i]["port"].get<std::string>() + ": "));
    }
  }
  EXPECT_EQ(RunCompanion("korvel-ports", {"--bogus"}).exitStatus, 2);

  // One port by its adapter's serial number, for a script: each number of
  // the listing gives its port's path (2 for a multi-port adapter's); a
  // number on no port, 1.
  std::map<std::string, std::vector<std::string>> bySerialNumber;
  for (const nlohmann::json& port : listing["ports"]) {
    if (port["usb"].is_object() && port["usb"]["serial_number"].is_string()) {
      bySerialNumber[port["usb"]["serial_number"]].push_back(port["path"]);
    }
  }
  for (const auto& [serialNumber, paths] : bySerialNumber) {
    const RunResult one = RunCompanion("korvel-ports", {"--serial-number", serialNumber});
    EXPECT_EQ(one.exitStatus, paths.size() == 1 ? 0 : 2) << one.err;
    if (paths.size() == 1) {
      EXPECT_EQ(LinesOf(one.out), paths);
    }
  }
  const RunResult none =
      RunCompanion("korvel-ports", {"--serial-number", "KORVEL-NO-SUCH-ADAPTER"});
  EXPECT_EQ(none.exitStatus, 1);
  EXPECT_EQ(none.out, "");
  EXPECT_NE(none.err.find("KORVEL-NO-SUCH-ADAPTER"), std::string::npos) << none.err;
  EXPECT_EQ(RunCompanion("korvel-ports", {"--serial-number", "A1", "--json"}).exitStatus, 2);
}

}  // namespace
}  // namespace korvel_e2e
