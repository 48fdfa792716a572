// Recognising a firmware image by its version marker.
#pragma once

#include <string>

#include "common/image_buffer.h"

// Finds the firmware marker "!Tavlo " wholly inside |image| and puts the
// text after it, up to the first NUL or the image's end, into |version|,
// with control bytes as '?' so that it prints as one line. Returns 1 when
// found, else 0. Prints nothing.
int FindFirmwareVersion(const ImageBuffer& image, std::string* version);

// FindFirmwareVersion, printing "Flashing firmware version <text>." when
// the marker is there. Returns 1 when found, else 0 printing nothing.
int CheckFirmwareImage(const ImageBuffer& image);
