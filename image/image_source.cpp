// Getting the image a run programs, from a file or the built-in image.
#include "image/image_source.h"

#include "common/report.h"

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
