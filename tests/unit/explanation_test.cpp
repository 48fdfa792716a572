// A failed run in plain words, from korvel's output lines: the phase and
// the innermost step decide, the port's path tried and the system's text
// for the code are in it; a run that passed gets nothing.
#include "app/explanation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ExplanationCase {
  const char* name;
  std::vector<std::string> lines;
  std::string port;
  std::vector<std::string> has;  // "" for no explanation at all
};

void PrintTo(const ExplanationCase& c, std::ostream* out) {
  *out << c.name;
}

class ExplanationTest : public testing::TestWithParam<ExplanationCase> {};

TEST_P(ExplanationTest, SaysWhatFailedWhereAndWhatToDo) {
  const ExplanationCase& c = GetParam();
  const std::string text = ExplainRunOutput(c.lines, c.port, "fw.img");
  for (const std::string& piece : c.has) {
    if (piece.empty()) {
      EXPECT_EQ(text, "");
    } else {
      EXPECT_NE(text.find(piece), std::string::npos) << piece << "\nin: " << text;
    }
  }
}

const std::string kOpenFailed = "app/run.cpp(39) / OpenSerial: (";

INSTANTIATE_TEST_SUITE_P(
    Explanations, ExplanationTest,
    testing::Values(
        ExplanationCase{"Passed",
                        {"Version: 2.3", "Bootloader activated.", "Firmware flashed."},
                        "/dev/ttyUSB0",
                        {""}},
        ExplanationCase{"StopPassed", {"Bootloader activated."}, "/dev/ttyUSB0", {""}},
        // The port: the path tried, the system's text, the way out.
        ExplanationCase{"BarePortNameNotThere",
                        {"serial/open_serial.cpp(11) / CreateFile: (2)", kOpenFailed + "2)"},
                        "p3",
                        {"\"p3\" (opened as /dev/p3)", "No such file or directory", "plugged in"}},
        ExplanationCase{"PortHeldByAnother",
                        {"serial/open_serial.cpp(11) / CreateFile: (11)", kOpenFailed + "11)"},
                        "/dev/ttyUSB0",
                        {"\"/dev/ttyUSB0\":", "Another program holds it"}},
        ExplanationCase{"NoPermission",
                        {"serial/open_serial.cpp(11) / CreateFile: (13)", kOpenFailed + "13)"},
                        "/dev/ttyUSB0",
                        {"Permission denied", "Join the group", "usermod -aG"}},
        ExplanationCase{"NotAPort",
                        {"serial/open_serial.cpp(34) / SetCommTimeouts: (25)", kOpenFailed + "25)"},
                        "/dev/null",
                        {"\"/dev/null\" is not a serial port"}},
        ExplanationCase{"RateRefused",
                        {"serial/open_serial.cpp(34) / SetCommState: (22)", kOpenFailed + "22)"},
                        "/dev/ttyS0",
                        {"refused the activation rate", "Invalid argument"}},
        // A network port: the server's host, its port, its line, its connection.
        ExplanationCase{
            "NetworkHostUnknown",
            {"serial/network_port.cpp(116) / getaddrinfo: (2)",
             "serial/open_serial.cpp(11) / CreateFile: (2)", kOpenFailed + "2)"},
            "rfc2217://nowhere.lab:3001",
            {"could not find the host of the network port \"rfc2217://nowhere.lab:3001\"",
             "host name"}},
        ExplanationCase{"NetworkRefused",
                        {"serial/network_port.cpp(116) / connect: (111)",
                         "serial/open_serial.cpp(11) / CreateFile: (111)", kOpenFailed + "111)"},
                        "rfc2217://127.0.0.1:3001",
                        {"could not connect", "Connection refused", "serial server runs"}},
        ExplanationCase{"NetworkLineUnconfirmed",
                        {"serial/open_serial.cpp(34) / SetCommState: (110)", kOpenFailed + "110)"},
                        "rfc2217://127.0.0.1:3001",
                        {"did not confirm the line settings", "timed out", "telnet(rfc2217)"}},
        ExplanationCase{"NetworkWithoutRfc2217",
                        {"serial/open_serial.cpp(34) / SetCommState: (95)", kOpenFailed + "95)"},
                        "rfc2217://127.0.0.1:3001",
                        {"refuses to set the line"}},
        ExplanationCase{"NetworkServerGoneMidProgramming",
                        {"serial/network_session.cpp(130) / recv: (104)",
                         "serial/transfer.cpp(151) / ReadFile: (104)",
                         "bootloader/message.cpp(27) / MyReadFile: (104)",
                         "bootloader/programming.cpp(38) / GetMessageAnswer: (104)",
                         "Written: 177, Read: 16", "Flashing the firmware image failed."},
                        "rfc2217://127.0.0.1:3001",
                        {"connection to the serial server", "Connection reset by peer"}},
        // The wake-up, the image, the programming, the reset.
        ExplanationCase{"Unanswered",
                        {"Activating the bootloader failed."},
                        "/dev/ttyUSB0",
                        {"did not answer the bootloader's sync probe", "FORCE"}},
        ExplanationCase{"ImageMissing",
                        {"Bootloader activated.", "image/image_file.cpp(67) / CreateFile: (2)",
                         "image/image_source.cpp(49) / ReadImage: (2)", "Written: 10, Read: 0",
                         "Flashing the firmware image failed."},
                        "/dev/ttyUSB0",
                        {"the image file \"fw.img\": No such file or directory", "bootloader"}},
        ExplanationCase{"NoMarker",
                        {"image/image_source.cpp(58) / Wrong image type: (0)",
                         "Written: 10, Read: 0", "Flashing the firmware image failed."},
                        "/dev/ttyUSB0",
                        {"no firmware marker", "eeprom.bin"}},
        ExplanationCase{"Stopped",
                        {"bootloader/message.cpp(27) / MyReadFile: (4)",
                         "bootloader/programming.cpp(38) / GetMessageAnswer: (4)",
                         "Written: 97, Read: 8", "Flashing the firmware image failed."},
                        "/dev/ttyUSB0",
                        {"was stopped", "left as it was found"}},
        ExplanationCase{"NoAnswer",
                        {"bootloader/message.cpp(27) / MyReadFile: (11)",
                         "bootloader/programming.cpp(38) / GetMessageAnswer: (11)",
                         "Flashing the eeprom image failed."},
                        "/dev/ttyUSB0",
                        {"did not answer in time"}},
        ExplanationCase{"Unplugged",
                        {"serial/transfer.cpp(151) / ReadFile: (5)",
                         "bootloader/message.cpp(27) / MyReadFile: (5)",
                         "bootloader/programming.cpp(38) / GetMessageAnswer: (5)",
                         "Flashing the firmware image failed."},
                        "/dev/ttyUSB0",
                        {"Input/output error", "unplugged"}},
        ExplanationCase{"BlockRefused",
                        {"bootloader/programming.cpp(85) / Programming the flash failed: (0)",
                         "Flashing the firmware image failed."},
                        "/dev/ttyUSB0",
                        {"refused a block of \"fw.img\"", "larger than"}},
        ExplanationCase{"ResetNotSent",
                        {"Firmware flashed.", "bootloader/programming.cpp(104) / MyWriteFile: (5)",
                         "Resetting the bootloader failed."},
                        "/dev/ttyUSB0",
                        {"reset message could not be sent", "switch the device off and on"}},
        ExplanationCase{"HwParamTooShort",
                        {"Bootloader activated.", "HWPARM string not valid"},
                        "/dev/ttyUSB0",
                        {"HWPARM0112345"}}),
    [](const testing::TestParamInfo<ExplanationCase>& row) { return std::string(row.param.name); });

// Report lines are read from the ends inwards: the file and the step may
// hold anything; anything else is no report.
TEST(ExplanationTest, ReadsReportLinesAndNothingElse) {
  ReportedFailure report;
  ASSERT_TRUE(ParseReportLine("a (b)/c.cpp(12) / Wrong image type: (0)", &report));
  EXPECT_EQ(report.file, "a (b)/c.cpp");
  EXPECT_EQ(report.step, "Wrong image type");
  EXPECT_EQ(report.code, 0u);
  for (const char* line : {"Written: 97, Read: 8", "x(1) / Step: (", "x() / Step: (2)",
                           "x(1) / Step: (2a)", "Flashing firmware version (2) / x: (3)."}) {
    EXPECT_FALSE(ParseReportLine(line, &report)) << line;
  }
}

}  // namespace
