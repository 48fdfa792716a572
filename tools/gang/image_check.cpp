// The image argument, checked by korvel's own rules before any port is
// touched: what it selects (SelectImage), whether the file loads
// (LoadImageFile) and carries the firmware marker (FindFirmwareVersion);
// and the SHA-256 of what each run programs.
#include <string>

#include "common/image_buffer.h"
#include "common/run_state.h"
#include "common/system.h"
#include "image/firmware.h"
#include "image/hwparam.h"
#include "image/image_file.h"
#include "image/image_source.h"
#include "tools/check/device.h"
#include "tools/gang/gang.h"
#include "tools/gang/sha256.h"

namespace {

// Why the file at |path| can't be had, from the loader's failing step.
std::string LoadProblem(const std::string& path, const char* failedStep) {
  const std::string code = "(system error " + std::to_string(LastSystemError()) + ")";
  const std::string step = failedStep;
  if (step == "File to big") {
    return "the image file " + path + " has more than " + std::to_string(kMaxImageSize) + " bytes";
  }
  if (step == "CreateFile") return "the image file " + path + " can't be opened " + code;
  return "the image file " + path + " can't be read whole " + code;
}

}  // namespace

bool CheckGangImage(const std::string& argument, ImageCheck* check, std::string* problem) {
  ImageSelection selection;
  SelectImage(argument.c_str(), &selection);
  if (selection.stop || selection.builtIn) return true;  // nothing to load
  if (selection.hwParamTooShort) {
    // Built from the argument on: GCC 12 at -O3 warns (wrongly, -Wrestrict)
    // about a literal put before a std::string.
    *problem = Printable(argument);
    problem->insert(0, 1, '"');
    problem->append(
        "\" is too short for hardware parameters (korvel would answer \"HWPARM "
        "string not valid\")");
    return false;
  }
  // A port given where the image belongs is not opened, not even to read.
  if (NamesADevice(argument.c_str())) {
    *problem = Printable(argument) + " is a device, not an image file (the image comes first)";
    return false;
  }
  ImageBuffer image;
  const char* failedStep = "";
  if (!LoadImageFile(argument.c_str(), &image, &failedStep)) {
    *problem = LoadProblem(Printable(argument), failedStep);
    return false;
  }
  if (image.length == 0) {
    *problem = "the image file " + Printable(argument) + " is empty";
    return false;
  }
  if (selection.firmware && !FindFirmwareVersion(image, &check->version)) {
    *problem = "the image file " + Printable(argument) +
               " has no firmware marker \"!Tavlo \" (korvel would answer \"Wrong image type\")";
    return false;
  }
  check->file = true;
  check->sha256 = Sha256Hex({image.bytes, image.length});
  return true;
}

std::string RunImageSha256(const Gang& gang, const std::string& argument) {
  if (gang.image.file) return gang.image.sha256;
  ImageSelection selection;
  SelectImage(argument.c_str(), &selection);
  if (!selection.builtIn) return "";  // STOP programs nothing
  // The built-in image as korvel fills it: its bytes 0-4 from the argument.
  SetHwParams(argument.c_str());
  return Sha256Hex(run.hwParamImage);
}
