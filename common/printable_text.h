// Text for a reader: text from outside (an image's version, a device's
// names) made fit to print within one line, and numbers grouped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// |text| with every control byte (below 0x20, and 0x7F) as '?': a CR or LF
// would split the line that scripts read, an escape sequence would drive
// the terminal. Bytes from 0x80 on stay, so UTF-8 text prints as it is.
std::string PrintableText(std::string_view text);

// |value| in decimal with its thousands grouped: 3000000 as "3,000,000".
std::string GroupedDigits(uint64_t value);
