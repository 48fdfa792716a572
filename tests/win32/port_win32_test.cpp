// The Windows port layer where it can be reached without a port: the device
// path limit, the line settings the tool owns, and the console handler.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "serial/serial_port.h"

BOOL WINAPI ConsoleCtrlHandler(DWORD event);

namespace {

TEST(DevicePath, NamesThatDoNotFitAreRefusedAndTheRestAreTried) {
  // 27 characters fit "\\.\" + name into 32 bytes: the open is tried and
  // fails for want of such a device. 28 and more are refused untouched.
  const std::string fits(27, 'C');
  SetLastError(0);
  EXPECT_EQ(PortCreate(fits.c_str()), kNoPort);
  EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));

  for (size_t length : {28u, 29u, 4000u}) {
    const std::string tooLong(length, 'C');
    SetLastError(0);
    EXPECT_EQ(PortCreate(tooLong.c_str()), kNoPort) << length;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE)) << length;
  }
}

TEST(DevicePath, OpenSerialReportsARefusedNameAtCreateFile) {
  testing::internal::CaptureStdout();
  SavedPortState saved;
  const PortHandle port = OpenSerial("COM7COM7COM7COM7COM7COM7COM7", 115200, &saved);
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(port, kNoPort);
  EXPECT_NE(output.find("serial/open_serial.cpp("), std::string::npos) << output;
  EXPECT_NE(output.find(") / CreateFile: (206)\n"), std::string::npos) << output;
}

TEST(LineSettings, BuildAndOwnFieldsGiveRaw8N1WhateverThePortHadBefore) {
  // A port left behind by another program with everything switched on.
  LineState state;
  state.dcb.DCBlength = sizeof(DCB);
  state.dcb.BaudRate = 9600;
  state.dcb.ByteSize = 7;
  state.dcb.Parity = EVENPARITY;
  state.dcb.StopBits = TWOSTOPBITS;
  state.dcb.fBinary = FALSE;
  state.dcb.fParity = TRUE;
  state.dcb.fNull = TRUE;
  state.dcb.fErrorChar = TRUE;
  state.dcb.ErrorChar = '?';
  state.dcb.fDsrSensitivity = TRUE;
  state.dcb.fOutxDsrFlow = TRUE;
  state.dcb.fOutxCtsFlow = TRUE;
  state.dcb.fOutX = TRUE;
  state.dcb.fInX = TRUE;
  state.dcb.fAbortOnError = TRUE;
  state.dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  state.dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;

  ASSERT_EQ(PortBuildState(&state), 1);
  PortSetLineFields(&state, 3000000);

  const DCB& dcb = state.dcb;
  EXPECT_EQ(dcb.BaudRate, 3000000u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.fBinary, 1u);
  EXPECT_EQ(dcb.fParity, 0u);
  EXPECT_EQ(dcb.fNull, 0u);
  EXPECT_EQ(dcb.fErrorChar, 0u);
  EXPECT_EQ(dcb.fDsrSensitivity, 0u);
  EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
  EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
  EXPECT_EQ(dcb.fOutX, 0u);
  EXPECT_EQ(dcb.fInX, 0u);
  EXPECT_EQ(dcb.fAbortOnError, 0u);
  EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
  EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));

  // The switch to the bootloader's rate touches nothing else.
  PortSetBaud(&state, 115200);
  EXPECT_EQ(state.dcb.BaudRate, 115200u);
  EXPECT_EQ(state.dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
}

TEST(Console, EveryControlEventIsTakenAsHandled) {
  for (DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT}) {
    EXPECT_EQ(ConsoleCtrlHandler(event), TRUE) << event;
  }
}

}  // namespace
