// The unit counter of korvel-gang (sequence.cpp): a file that holds the
// next number, moved on and made durable before a run has its number.
#pragma once

#include <cstdint>
#include <string>

// The counter behind --hwparm-sequence: the parameter byte's two digits,
// the file that holds the next number, and the lock that keeps a second
// gang off it while this one runs.
struct SequenceCounter {
  std::string parameter;  // two hexadecimal digits, as given
  std::string path;
  intptr_t lock = -1;  // the platform's handle of FILE.lock
};

// The counter: "PP:FILE" read; FILE.lock taken and FILE checked; the next
// number taken (the file then holds the one after it, on the disk); the
// argument HWPARM<PP><n>; the lock let go.
bool ParseSequenceOption(const std::string& text, SequenceCounter* counter, std::string* problem);
bool OpenSequence(SequenceCounter* counter, std::string* problem);
bool TakeSequenceNumber(SequenceCounter* counter, uint32_t* number, std::string* problem);
std::string SequenceArgument(const SequenceCounter& counter, uint32_t number);
void CloseSequence(SequenceCounter* counter);
