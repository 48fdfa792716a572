// What the POSIX port code asks of the kernel beyond plain termios: the
// line rate as a number, low latency for received bytes, and a wait for
// input that ends on time. Linux offers each in its own way (termios2,
// serial driver flags, timer slack, ppoll); the build picks
// line_control_linux.cpp there and line_control_posix.cpp, with the plain
// POSIX means, on other POSIX systems. Kept apart from port_posix.cpp
// because termios2 cannot share a file with <termios.h>.
#pragma once

#include <chrono>
#include <cstdint>

// Sets the input and output rate of terminal |fd| to |baud|. Returns 1, or
// 0 with errno set.
int ApplyLineSpeed(int fd, uint32_t baud);

// Reads the output rate of terminal |fd|. Returns 1, or 0 with errno set.
int ReadLineSpeed(int fd, uint32_t* baud);

// Reads the input and output rates of terminal |fd|. Returns 1, or 0 with
// errno set.
int ReadLineSpeeds(int fd, uint32_t* input, uint32_t* output);

// Puts back the rates ReadLineSpeeds read, after tcsetattr has put back
// the settings they were read with: a rate outside the standard codes
// lives apart from struct termios. Returns 1, or 0 with errno set.
int RestoreLineSpeeds(int fd, uint32_t input, uint32_t output);

// Asks the driver of terminal |fd| for low-latency mode, where it offers
// one: USB serial adapters otherwise hold received bytes for their latency
// timer (16 ms on many) before passing them on. A driver that has no such
// mode, or refuses it, is no failure; errno is left as it was.
void RequestLowLatency(int fd);

// The driver's low-latency flag on terminal |fd|: 1 or 0, or -1 for a
// driver that has no such setting. Leaves errno as it was.
int ReadLowLatency(int fd);

// Switches the driver's low-latency flag off again where it is on. Leaves
// errno as it was.
void EndLowLatency(int fd);

// Lets the calling thread's timed waits end when they are due rather than
// up to 50 us later, which the kernel allows by default to gather wake-ups.
// Every reply ends with such a wait. Leaves errno as it was.
void TightenTimerSlack();

// Waits up to |wait| for input (or a hang-up) on |fd|. Returns 1 when there
// is some, 0 when the time ran out, -1 with errno set when the wait failed
// (EINTR when a signal cut it short).
int WaitForInput(int fd, std::chrono::nanoseconds wait);
