// korvel's plain lines on standard output, without their line feeds: what a
// run says as it goes and how it ends. Named once, for korvel, which prints
// them, and for the companions, which read them in korvel's output.
#pragma once

inline constexpr const char* kLineUsage =
    "Usage: korvel.exe <COM-Port> <FW_File> [activation baud]";
inline constexpr const char* kLineBootloaderActivated = "Bootloader activated.";
inline constexpr const char* kLineForcedActivation = "Forced bootloader activation.";
inline constexpr const char* kLineActivationFailed = "Activating the bootloader failed.";
inline constexpr const char* kLineHwParamInvalid = "HWPARM string not valid";
inline constexpr const char* kLineFirmwareFlashed = "Firmware flashed.";
inline constexpr const char* kLineEepromFlashed = "Eeprom flashed.";
inline constexpr const char* kLineFirmwareFailed = "Flashing the firmware image failed.";
inline constexpr const char* kLineEepromFailed = "Flashing the eeprom image failed.";
inline constexpr const char* kLineResetFailed = "Resetting the bootloader failed.";
