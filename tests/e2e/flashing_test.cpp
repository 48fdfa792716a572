// Programming runs that reach the device: firmware images, EEPROM images,
// the built-in hardware-parameter image, and the images refused before
// anything is sent.
#include <gtest/gtest.h>
#include <termios.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/e2e/case_name.h"
#include "tests/e2e/expected_lines.h"
#include "tests/e2e/run_korvel.h"
#include "tests/e2e/simulated_device.h"
#include "tests/e2e/test_images.h"

namespace korvel_e2e {
namespace {

using korvel_e2e::PrintTo;

using std::chrono::milliseconds;

const ExpectedLine kVersion24 = Line("Flashing firmware version 2.4.");
const ExpectedLine kFirmwareFlashed = Line("Firmware flashed.");
const ExpectedLine kEepromFlashed = Line("Eeprom flashed.");
const ExpectedLine kFirmwareFailed = Line("Flashing the firmware image failed.");
const ExpectedLine kEepromFailed = Line("Flashing the eeprom image failed.");

// After a successful run the device has its reset; korvel may have ended
// before the device read it.
DevsimRecord AfterReset(const SimulatedDevice& device) {
  return device.WaitFor([](const DevsimRecord& record) { return record.resets > 0; });
}

// --- Firmware images --------------------------------------------------------

struct FirmwareCase {
  const char* name;
  size_t size;
};

class FirmwareImageTest : public ::testing::TestWithParam<FirmwareCase> {};

TEST_P(FirmwareImageTest, LandsInTheFlashBlockByBlock) {
  TempDir dir;
  const Bytes image = FirmwareImage(GetParam().size);
  const std::string path = dir.WriteFile("firmware.img", image).string();
  SimulatedDevice device;
  const termios found = PortSettings(device.port());

  EXPECT_TRUE(RunIs(RunKorvel({device.port(), path}),
                    ActivatedStart() + ExpectedLines{kVersion24, kFirmwareFlashed}, 0));
  const DevsimRecord seen = AfterReset(device);
  EXPECT_TRUE(SettingsAsFound(device.port(), found));
  EXPECT_TRUE(FramesAre(seen.frames, RunFrames(image, kProgramFlash)));
  EXPECT_TRUE(HoldsImage(seen.flash, image));
  EXPECT_EQ(seen.flashWritten, image.size());
  EXPECT_EQ(seen.eepromWritten, 0u);
  EXPECT_EQ(seen.resets, 1);
  EXPECT_EQ(seen.corruptFrames, 0);
  EXPECT_EQ(seen.strayBytes, 0);
}

INSTANTIATE_TEST_SUITE_P(Flashing, FirmwareImageTest,
                         ::testing::Values(FirmwareCase{"JustTheMarker", 11},
                                           FirmwareCase{"OneFullBlock", 64},
                                           FirmwareCase{"OneByteMoreThanABlock", 65},
                                           FirmwareCase{"FullAndPartBlock", 100}),
                         CaseName<FirmwareCase>);

TEST(Flashing, LargestImageGoesOutIn1024Blocks) {
  // 65,535 bytes: 1,023 blocks of 64 and one of 63, with sequence numbers 2
  // to 1,025 (mod 256), and the reset after them. About 22 s: korvel waits
  // 20 ms of quiet after every reply.
  TempDir dir;
  const Bytes image = FirmwareImage(65535);
  const std::string path = dir.WriteFile("firmware.img", image).string();
  SimulatedDevice device;

  RunOptions options;
  options.timeout = milliseconds(90000);
  EXPECT_TRUE(RunIs(RunKorvel({device.port(), path}, options),
                    ActivatedStart() + ExpectedLines{kVersion24, kFirmwareFlashed}, 0));
  const DevsimRecord seen = AfterReset(device);
  const std::vector<ReceivedFrame> expected = RunFrames(image, kProgramFlash);
  ASSERT_EQ(expected.size(), 1026u);
  EXPECT_EQ(expected[1024].sequence, 1025 % 256);
  EXPECT_TRUE(FramesAre(seen.frames, expected));
  EXPECT_TRUE(HoldsImage(seen.flash, image));
  EXPECT_EQ(seen.resets, 1);
}

TEST(Flashing, ForcedActivationGoesOnToProgram) {
  // The bootloader is there but ignores the probes: a forced run programs
  // it all the same.
  TempDir dir;
  const Bytes image = FirmwareImage(100);
  const std::string path = dir.WriteFile("firmware.img", image).string();
  SimulatedDevice device(WithProbeFaults({.neverAnswer = true}));

  EXPECT_TRUE(RunIs(RunKorvel({device.port(), path, "FORCE"}),
                    {Banner(), Line("Forced bootloader activation."), Line("Bootloader activated."),
                     kVersion24, kFirmwareFlashed},
                    0));
  EXPECT_TRUE(HoldsImage(AfterReset(device).flash, image));
}

TEST(Flashing, PortLeftCookedCarriesTheImageUnchanged) {
  // The image holds CR, LF, XON, XOFF and the terminal's control characters.
  TempDir dir;
  const Bytes image = FirmwareImage(100);
  const std::string path = dir.WriteFile("firmware.img", image).string();
  SimulatedDevice device;
  LeavePortCooked(device.port());
  const termios found = PortSettings(device.port());

  EXPECT_TRUE(RunIs(RunKorvel({device.port(), path}),
                    ActivatedStart() + ExpectedLines{kVersion24, kFirmwareFlashed}, 0));
  const DevsimRecord seen = AfterReset(device);
  EXPECT_TRUE(SettingsAsFound(device.port(), found));  // cooked again
  EXPECT_TRUE(FramesAre(seen.frames, RunFrames(image, kProgramFlash)));
  EXPECT_TRUE(HoldsImage(seen.flash, image));
}

TEST(Flashing, PortLeftCookedKeepsBit7OfReplies) {
  // Status 0x80 refuses the erase; with bit 7 stripped it would read 0x00
  // and acknowledge.
  TempDir dir;
  const std::string path = dir.WriteFile("firmware.img", FirmwareImage(100)).string();
  DevsimConfig config;
  config.replies[0] = ReplyPlan{ReplyFault::kCustomBody, {0x05, 0x80}};
  SimulatedDevice device(config);
  LeavePortCooked(device.port());

  EXPECT_TRUE(RunIs(
      RunKorvel({device.port(), path}),
      ActivatedStart() + ExpectedLines{kVersion24,
                                       Report("bootloader/programming.cpp", "Chip erase failed"),
                                       Line("Written: 17, Read: 8"), kFirmwareFailed},
      255));
}

// --- Where the version marker is --------------------------------------------

struct MarkerCase {
  const char* name;
  std::function<Bytes()> image;
  const char* versionLine;  // nullptr: not a firmware image
};

class MarkerTest : public ::testing::TestWithParam<MarkerCase> {};

TEST_P(MarkerTest, DecidesWhetherTheImageIsFirmware) {
  TempDir dir;
  const Bytes image = GetParam().image();
  const std::string path = dir.WriteFile("firmware.img", image).string();
  SimulatedDevice device;
  const RunResult run = RunKorvel({device.port(), path});

  if (GetParam().versionLine != nullptr) {
    EXPECT_TRUE(RunIs(
        run, ActivatedStart() + ExpectedLines{Line(GetParam().versionLine), kFirmwareFlashed}, 0));
    EXPECT_TRUE(HoldsImage(AfterReset(device).flash, image));
  } else {
    EXPECT_TRUE(
        RunIs(run,
              ActivatedStart() + ExpectedLines{Report("image/image_source.cpp", "Wrong image type"),
                                               Line("Written: 10, Read: 0"), kFirmwareFailed},
              255));
    const DevsimRecord seen = device.Settled();
    EXPECT_TRUE(seen.frames.empty()) << Describe(seen);
    EXPECT_EQ(seen.corruptFrames, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Flashing, MarkerTest,
    ::testing::Values(
        MarkerCase{"NoMarker", [] { return PatternImage(100); }, nullptr},
        MarkerCase{"MarkerCutByTheEnd", [] { return Overwrite(PatternImage(100), 97, "!Ta"); },
                   nullptr},
        MarkerCase{"MarkerMissingItsSpace",
                   [] { return Overwrite(PatternImage(100), 10, "!Tavlo2.4"); }, nullptr},
        MarkerCase{"MarkerInOtherCase",
                   [] { return Overwrite(PatternImage(100), 10, "!TAVLO 2.4"); }, nullptr},
        MarkerCase{"MarkerEndingWithTheImage",
                   [] { return Overwrite(PatternImage(100), 93, kMarker); },
                   "Flashing firmware version ."},
        MarkerCase{"VersionRunningToTheEnd",
                   [] { return Overwrite(PatternImage(100), 90, kMarker + "2.5"); },
                   "Flashing firmware version 2.5."},
        MarkerCase{"MarkerAtTheStart", [] { return FirmwareImage(100, "2.4", 0); },
                   "Flashing firmware version 2.4."},
        MarkerCase{"FirstMarkerWins",
                   [] {
                     return Overwrite(FirmwareImage(200, "3.1", 20), 100,
                                      kMarker + "9.9" + std::string(1, '\0'));
                   },
                   "Flashing firmware version 3.1."},
        MarkerCase{"LongVersionText", [] { return FirmwareImage(200, "2.4.1-rc2 build 77"); },
                   "Flashing firmware version 2.4.1-rc2 build 77."}),
    CaseName<MarkerCase>);

// --- Images refused before anything is sent ---------------------------------

struct RefusedCase {
  const char* name;
  // Prepares the working folder and returns the image argument.
  std::function<std::string(const TempDir&)> prepare;
  ExpectedLines reports;
  bool firmware;  // the failure lines of a firmware run, else of an EEPROM run
};

class RefusedImageTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedImageTest, NothingGoesToTheDevice) {
  const RefusedCase& param = GetParam();
  TempDir dir;
  const std::string argument = param.prepare(dir);
  SimulatedDevice device;
  const RunResult run = RunKorvel({device.port(), argument}, {.workingDirectory = dir.path()});

  // A firmware failure shows the traffic so far: the activation string.
  const ExpectedLines failure = param.firmware
                                    ? ExpectedLines{Line("Written: 10, Read: 0"), kFirmwareFailed}
                                    : ExpectedLines{kEepromFailed};
  // Windows refuses to open a folder as a file; POSIX opens it and fails at
  // the read.
  const bool folderOnWindows = UnderWine() && std::string(param.name) == "FirmwareIsAFolder";
  const ExpectedLines reports = folderOnWindows
                                    ? ExpectedLines{Report("image/image_file.cpp", "CreateFile"),
                                                    Report("image/image_source.cpp", "ReadImage")}
                                    : param.reports;
  EXPECT_TRUE(RunIs(run, ActivatedStart() + reports + failure, 255));
  const DevsimRecord seen = device.Settled();
  EXPECT_TRUE(seen.frames.empty()) << Describe(seen);
  EXPECT_EQ(seen.corruptFrames, 0);
  EXPECT_EQ(seen.strayBytes, 0);
}

const char* const kImageFile = "image/image_file.cpp";
const char* const kImageSource = "image/image_source.cpp";

std::function<std::string(const TempDir&)> File(const char* name, Bytes content) {
  return [name, content](const TempDir& dir) {
    dir.WriteFile(name, content);
    return std::string(name);
  };
}

std::function<std::string(const TempDir&)> Absent(const char* name) {
  return [name](const TempDir&) { return std::string(name); };
}

INSTANTIATE_TEST_SUITE_P(
    Flashing, RefusedImageTest,
    ::testing::Values(
        RefusedCase{
            "FirmwareMissing",
            Absent("firmware.img"),
            {Report(kImageFile, "CreateFile", ENOENT), Report(kImageSource, "ReadImage", ENOENT)},
            true},
        RefusedCase{"FirmwareEmpty",
                    File("firmware.img", {}),
                    {Report(kImageSource, "Reading in the data failed")},
                    true},
        RefusedCase{"FirmwareOneByteTooLarge",
                    File("firmware.img", FirmwareImage(65536)),
                    {Report(kImageFile, "File to big"), Report(kImageSource, "ReadImage")},
                    true},
        RefusedCase{"FirmwareIsAFolder",
                    [](const TempDir& dir) {
                      std::filesystem::create_directory(dir / "folder.img");
                      return std::string("folder.img");
                    },
                    {Report(kImageFile, "Reading in the file failed", EISDIR),
                     Report(kImageSource, "ReadImage", EISDIR)},
                    true},
        // The search for "eeprom.bin" is case-sensitive: this is a firmware
        // run, and the image has no marker.
        RefusedCase{"UpperCaseEepromBinWithoutMarker",
                    File("EEPROM.BIN", PatternImage(100)),
                    {Report(kImageSource, "Wrong image type")},
                    true},
        // Parameter byte FF means no parameters: the argument is a file name.
        RefusedCase{
            "HwParamFFIsAFileName",
            Absent("HWPARMFF12"),
            {Report(kImageFile, "CreateFile", ENOENT), Report(kImageSource, "ReadImage", ENOENT)},
            true},
        RefusedCase{
            "ShortestHwParamFFIsAFileName",
            Absent("hwparmff1"),
            {Report(kImageFile, "CreateFile", ENOENT), Report(kImageSource, "ReadImage", ENOENT)},
            true},
        RefusedCase{
            "EepromMissing",
            Absent("eeprom.bin"),
            {Report(kImageFile, "CreateFile", ENOENT), Report(kImageSource, "ReadImage", ENOENT)},
            false},
        RefusedCase{"EepromEmpty",
                    File("eeprom.bin", {}),
                    {Report(kImageSource, "Reading in the data failed")},
                    false},
        RefusedCase{"EepromOneByteTooLarge",
                    File("eeprom.bin", PatternImage(65536)),
                    {Report(kImageFile, "File to big"), Report(kImageSource, "ReadImage")},
                    false}),
    CaseName<RefusedCase>);

struct ShortHwParamCase {
  const char* name;
  const char* argument;
};

class ShortHwParamTest : public ::testing::TestWithParam<ShortHwParamCase> {};

TEST_P(ShortHwParamTest, IsRefusedBeforeAnythingIsSent) {
  TempDir dir;
  SimulatedDevice device;
  EXPECT_TRUE(
      RunIs(RunKorvel({device.port(), GetParam().argument}, {.workingDirectory = dir.path()}),
            ActivatedStart() + ExpectedLines{Line("HWPARM string not valid")}, 255));
  const DevsimRecord seen = device.Settled();
  EXPECT_TRUE(seen.frames.empty()) << Describe(seen);
}

INSTANTIATE_TEST_SUITE_P(Flashing, ShortHwParamTest,
                         ::testing::Values(ShortHwParamCase{"EightCharacters", "HWPARM01"},
                                           ShortHwParamCase{"SevenCharacters", "hwparm0"},
                                           ShortHwParamCase{"TheWordAlone", "HWPARM"}),
                         CaseName<ShortHwParamCase>);

// --- EEPROM images ----------------------------------------------------------

struct EepromFileCase {
  const char* name;
  const char* file;
};

class EepromFileTest : public ::testing::TestWithParam<EepromFileCase> {};

TEST_P(EepromFileTest, LandsInTheEepromWithoutVersionLine) {
  // The image carries a firmware marker; an EEPROM run ignores it.
  TempDir dir;
  const Bytes image = FirmwareImage(150);
  const std::string path = dir.WriteFile(GetParam().file, image).string();
  SimulatedDevice device;

  EXPECT_TRUE(
      RunIs(RunKorvel({device.port(), path}), ActivatedStart() + ExpectedLines{kEepromFlashed}, 0));
  const DevsimRecord seen = AfterReset(device);
  EXPECT_TRUE(FramesAre(seen.frames, RunFrames(image, kProgramEeprom)));
  EXPECT_TRUE(HoldsImage(seen.eeprom, image));
  EXPECT_EQ(seen.flashWritten, 0u);
}

INSTANTIATE_TEST_SUITE_P(Flashing, EepromFileTest,
                         ::testing::Values(EepromFileCase{"Plain", "eeprom.bin"},
                                           EepromFileCase{"WithPrefix", "board7-eeprom.bin"},
                                           EepromFileCase{"InAFolder", "eeprom.bin.d/contents"},
                                           EepromFileCase{"WithSuffix", "eeprom.bin.old"}),
                         CaseName<EepromFileCase>);

TEST(Flashing, UpperCaseEepromBinWithMarkerIsFirmware) {
  TempDir dir;
  const Bytes image = FirmwareImage(100);
  const std::string path = dir.WriteFile("EEPROM.BIN", image).string();
  SimulatedDevice device;

  EXPECT_TRUE(RunIs(RunKorvel({device.port(), path}),
                    ActivatedStart() + ExpectedLines{kVersion24, kFirmwareFlashed}, 0));
  const DevsimRecord seen = AfterReset(device);
  EXPECT_TRUE(HoldsImage(seen.flash, image));
  EXPECT_EQ(seen.eepromWritten, 0u);
}

// --- The built-in hardware-parameter image ----------------------------------

struct HwParamCase {
  const char* name;
  const char* argument;
  uint8_t parameter;
  uint32_t number;
};

class HwParamTest : public ::testing::TestWithParam<HwParamCase> {};

TEST_P(HwParamTest, ProgramsTheBuiltInImageIntoTheEeprom) {
  // Eight blocks of 64 after the erase, the reset with sequence number 10.
  // No file of the argument's name exists in the working folder.
  TempDir dir;
  SimulatedDevice device;
  EXPECT_TRUE(
      RunIs(RunKorvel({device.port(), GetParam().argument}, {.workingDirectory = dir.path()}),
            ActivatedStart() + ExpectedLines{kEepromFlashed}, 0));

  const Bytes image = HwParamImageWith(GetParam().parameter, GetParam().number);
  const DevsimRecord seen = AfterReset(device);
  const std::vector<ReceivedFrame> expected = RunFrames(image, kProgramEeprom);
  ASSERT_EQ(expected.size(), 10u);
  EXPECT_EQ(expected.back().sequence, 10);
  EXPECT_TRUE(FramesAre(seen.frames, expected));
  EXPECT_TRUE(HoldsImage(seen.eeprom, image));
  EXPECT_EQ(seen.flashWritten, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Flashing, HwParamTest,
    ::testing::Values(
        HwParamCase{"Example", "HWPARM0112345", 0x01, 12345},
        HwParamCase{"SmallLettersAndBlank", "hwparmA0 7", 0xA0, 7},
        HwParamCase{"MinusOne", "HWPARM7f-1", 0x7F, 0xFFFFFFFF},
        HwParamCase{"NumberBeyond32Bits", "HWPARM0199999999999", 0x01, 0xFFFFFFFF},
        HwParamCase{"NumberWithoutDigits", "HWPARM01x", 0x01, 0},
        // Signs, blanks and long digit runs, read as strtoul reads them.
        HwParamCase{"PlusSign", "HWPARM01+42", 0x01, 42},
        HwParamCase{"MinusBeforeANumberBeyond32Bits", "HWPARM01-99999999999", 0x01, 1},
        HwParamCase{"TabAndBlanksBeforeTheNumber", "HWPARM01\t  42", 0x01, 42},
        HwParamCase{"BlankInsideTheNumber", "HWPARM0112 34", 0x01, 12},
        HwParamCase{"TwoSigns", "HWPARM01+-5", 0x01, 0},
        HwParamCase{"LeadingZerosBeyond32Bits", "HWPARM01000000000000000000042", 0x01, 42},
        // The two characters after 0x: a sign or a blank there ends
        // the hexadecimal reading at once.
        HwParamCase{"SignInSeventhPlace", "HWPARM-112", 0x00, 12},
        HwParamCase{"BlankInSeventhPlace", "HWPARM 112", 0x00, 12},
        HwParamCase{"NonHexLetterInEighthPlace", "HWPARMAZ12", 0x0A, 12},
        HwParamCase{"NonDigitInSeventhPlace", "HWPARMG15", 0x00, 5},
        HwParamCase{"NonDigitInEighthPlace", "HWPARM1G5", 0x01, 5},
        // Parameters given win over the "eeprom.bin" in the name.
        HwParamCase{"NameContainingEepromBin", "HWPARM01eeprom.bin", 0x01, 0}),
    CaseName<HwParamCase>);

TEST(Flashing, HwParamFFWithSuchAFileIsFlashedAsFirmware) {
  TempDir dir;
  const Bytes image = FirmwareImage(100);
  dir.WriteFile("HWPARMFF12", image);
  SimulatedDevice device;

  EXPECT_TRUE(RunIs(RunKorvel({device.port(), "HWPARMFF12"}, {.workingDirectory = dir.path()}),
                    ActivatedStart() + ExpectedLines{kVersion24, kFirmwareFlashed}, 0));
  EXPECT_TRUE(HoldsImage(AfterReset(device).flash, image));
}

}  // namespace
}  // namespace korvel_e2e
