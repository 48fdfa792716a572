// Setting and reading back a terminal's line rate in bits per second. Kept
// apart from the rest of the POSIX port code because Linux's termios2, which
// takes any rate, cannot share a file with <termios.h>.
#pragma once

#include <cstdint>

// Sets the input and output rate of terminal |fd| to |baud|. Returns 1, or
// 0 with errno set.
int ApplyLineSpeed(int fd, uint32_t baud);

// Reads the output rate of terminal |fd|. Returns 1, or 0 with errno set.
int ReadLineSpeed(int fd, uint32_t* baud);
