// Loading an image file whole, over the file primitives of file.h.
#pragma once

#include <cstdint>

#include "common/image_buffer.h"

// Image files hold at most this many bytes.
inline constexpr uint32_t kMaxImageSize = 0xFFFF;

// Loads the whole file at |path| into a new heap block owned by |image|,
// which must hold none. Returns 1; or 0 with |image| empty, the system's
// error code left as the failing step set it, and that step's name in
// |failedStep|: "CreateFile", "GetFileInformationByHandle", "File to big"
// or "Reading in the file failed". Prints nothing.
int LoadImageFile(const char* path, ImageBuffer* image, const char** failedStep);

// LoadImageFile, reporting the failing step.
int ReadImage(const char* path, ImageBuffer* image);
