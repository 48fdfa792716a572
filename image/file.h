// Reading a file whole through the platform's file functions: the
// primitives beneath ReadImage. The build picks file_posix.cpp or
// file_win32.cpp. A call that can fail returns 0 (or kNoFile) and leaves
// the platform's last error code set, as the system call it stands for
// does.
#pragma once

#include <cstdint>

// An open file: a descriptor on POSIX, a HANDLE on Windows. Carried as an
// integer as wide as a pointer, which holds either, so that the logic above
// needs no platform header.
using FileHandle = std::intptr_t;
inline constexpr FileHandle kNoFile = -1;

// Opens the file at |path| for reading ("CreateFile").
FileHandle FileOpen(const char* path);

// The file's size in bytes ("GetFileInformationByHandle").
int FileGetSize(FileHandle file, uint64_t* size);

// Reads up to |length| bytes from the start of the file into |bytes|;
// |got| says how many came, fewer when the file ended first.
int FileRead(FileHandle file, uint8_t* bytes, uint32_t length, uint32_t* got);

// Closes the file.
void FileClose(FileHandle file);
