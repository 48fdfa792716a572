// The unit counter behind --hwparm-sequence: a file that holds the next
// number, advanced and made durable before the number goes to a run, so
// that no number is ever given twice, a crash or a power cut included.
#include "tools/gang/sequence.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "tools/gang/durable_file.h"

namespace {

// korvel reads the number as 32 bits.
constexpr uint64_t kLargestNumber = 0xFFFFFFFFu;

// The number the counter file holds: decimal digits, blanks around them
// allowed (an editor's line feed). False with the reason otherwise.
bool ReadCounter(const std::string& path, uint64_t* number, std::string* problem) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    *problem = "cannot read the counter " + path + " (make it with the first number in it)";
    return false;
  }
  std::ostringstream text;
  text << file.rdbuf();
  std::string digits = text.str();
  const size_t first = digits.find_first_not_of(" \t\r\n");
  const size_t last = digits.find_last_not_of(" \t\r\n");
  digits = first == std::string::npos ? "" : digits.substr(first, last - first + 1);
  const bool allDigits = !digits.empty() && digits.size() <= 10 &&
                         digits.find_first_not_of("0123456789") == std::string::npos;
  if (!allDigits || std::strtoull(digits.c_str(), nullptr, 10) > kLargestNumber) {
    *problem = "the counter " + path + " does not hold a number from 0 to 4294967295";
    return false;
  }
  *number = std::strtoull(digits.c_str(), nullptr, 10);
  return true;
}

}  // namespace

bool ParseSequenceOption(const std::string& text, SequenceCounter* counter, std::string* problem) {
  // "PP:FILE": two hexadecimal digits for the parameter byte. FF is korvel's
  // "no hardware parameters": it would take the argument for a file name.
  const bool hex = text.size() > 3 && text[2] == ':' &&
                   std::isxdigit(static_cast<unsigned char>(text[0])) &&
                   std::isxdigit(static_cast<unsigned char>(text[1]));
  if (!hex || (std::toupper(text[0]) == 'F' && std::toupper(text[1]) == 'F')) {
    *problem = "--hwparm-sequence takes PP:FILE, PP two hexadecimal digits other than FF";
    return false;
  }
  counter->parameter = text.substr(0, 2);
  counter->path = text.substr(3);
  return true;
}

bool OpenSequence(SequenceCounter* counter, std::string* problem) {
  uint64_t number = 0;
  return LockFileExclusively(counter->path + ".lock", &counter->lock, problem) &&
         ReadCounter(counter->path, &number, problem);
}

bool TakeSequenceNumber(SequenceCounter* counter, uint32_t* number, std::string* problem) {
  uint64_t next = 0;
  if (!ReadCounter(counter->path, &next, problem)) return false;
  // The file must be able to hold the number after the one given.
  if (next >= kLargestNumber) {
    *problem = "the counter " + counter->path + " is used up (4294967294 is the last number)";
    return false;
  }
  // The file moves on first: once a run has the number, no later run can
  // get it, whatever happens to the gang or the machine.
  if (!ReplaceFileDurably(counter->path, std::to_string(next + 1) + "\n", problem)) return false;
  *number = static_cast<uint32_t>(next);
  return true;
}

std::string SequenceArgument(const SequenceCounter& counter, uint32_t number) {
  return "HWPARM" + counter.parameter + std::to_string(number);
}

void CloseSequence(SequenceCounter* counter) {
  UnlockFile(&counter->lock);
}
