// The port name of a serial port on a device server: rfc2217://HOST:PORT,
// HOST a name, an IPv4 address or an IPv6 address in brackets. Pure code.
#pragma once

#include <string>

// True when |portName| begins with "rfc2217://" (the scheme in any case):
// such a name is a network port, never a device.
bool IsNetworkPortName(const char* portName);

struct NetworkAddress {
  std::string host;     // without the brackets of an IPv6 address
  std::string service;  // the TCP port, decimal digits
};

// Splits a network port name. False when it is not one, or the host is
// empty or has a colon outside brackets, or the port is not a number from 1
// to 65,535, or anything follows it.
bool ParseNetworkPortName(const char* portName, NetworkAddress* address);
