// What a reader should know about an image argument before a run programs
// it, in plain words: what a HWPARM word will write and what of its text was
// not read as meant, and an argument that korvel reads as a command word
// while a file of that name exists. Shared by korvel (on a terminal) and
// korvel-check, so both say the same. Prints nothing.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "image/image_source.h"

// |text| in double quotes, fit to print on one line.
std::string Quoted(std::string_view text);

// The five bytes a HWPARM word writes, decoded:
// "01 39 30 00 00 (parameter 0x01, number 12,345)".
std::string HwParamsText(const HwParamReading& reading);

// Warnings about the HWPARM word |argument| (at least 9 characters), read
// as |reading|: a parameter that is not two hexadecimal digits, a number
// with other characters than decimal digits, without digits, with a sign
// or beyond 32 bits. Each says what korvel programs instead.
std::vector<std::string> HwParamWarnings(const char* argument, const HwParamReading& reading);

// When |imageArgument|, selected as |selection|, is read as a command word
// (STOP, or a HWPARM word that does not fall back to a file name) while a
// file of that name exists: what korvel does instead of programming the
// file, and the way out (the name written as a path, "./name"). Empty
// otherwise. Looks only at whether the file can be opened.
std::string CommandWordFileWarning(const char* imageArgument, const ImageSelection& selection);
