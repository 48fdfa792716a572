// What the image argument selects, and getting the image a run programs,
// from a file or the built-in image.
#include "image/image_source.h"

#include <cstring>

#include "common/number_text.h"
#include "common/report.h"
#include "image/firmware.h"
#include "image/image_file.h"

void SelectImage(const char* imageArgument, ImageSelection* selection) {
  *selection = ImageSelection{};
  if (StartsWithKeyword(imageArgument, "STOP", "stop")) {
    selection->stop = true;
    return;
  }
  // 1. Hardware parameters: the word, and at least two hex digits and one
  // more character after it.
  if (StartsWithKeyword(imageArgument, "HWPARM", "hwparm")) {
    selection->hwParamWord = true;
    if (std::strlen(imageArgument) < kMinHwParamLength) {
      selection->hwParamTooShort = true;
      return;
    }
    ReadHwParams(imageArgument, &selection->hwParams);
  }

  // 2. A parameter byte other than 0xFF always means the built-in image,
  // which goes to the EEPROM; otherwise a path containing "eeprom.bin" is
  // an EEPROM file and anything else a firmware file.
  selection->builtIn = selection->hwParamWord && selection->hwParams.bytes[0] != 0xFF;
  selection->eepromInPath = std::strstr(imageArgument, "eeprom.bin") != nullptr;
  selection->firmware = !selection->builtIn && !selection->eepromInPath;
}

int GetImage(const ImageSource& source, bool firmware, ImageBuffer* image) {
  // The built-in image is lent as it is; it never carries a marker.
  if (source.hwParams != nullptr) {
    image->bytes = source.hwParams->data();
    image->length = static_cast<uint32_t>(source.hwParams->size());
    return 1;
  }
  // A file: loaded whole, not empty, and for firmware with its marker (whose
  // version line this prints). A loaded file is freed with |image|.
  if (!ReadImage(source.path, image)) {
    ReportFailure("ReadImage");
    return 0;
  }
  if (image->bytes == nullptr || image->length == 0) {
    ReportFailure("Reading in the data failed");
    *image = ImageBuffer{};
    return 0;
  }
  if (firmware && !CheckFirmwareImage(*image)) {
    ReportFailure("Wrong image type");
    *image = ImageBuffer{};
    return 0;
  }
  return 1;
}
