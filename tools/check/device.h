// Whether a path names a device rather than a file: korvel-check must not
// open a serial port, not even one given where the image belongs (the port
// first, out of habit). The build picks device_posix.cpp or
// device_win32.cpp.
#pragma once

// True when |path| names a device, found without opening it: a character
// or block device on POSIX; a device name on Windows (COM7, \\.\COM12,
// NUL, CON, ...), which the system opens as the device wherever it stands.
bool NamesADevice(const char* path);
