// Reading rfc2217://HOST:PORT.
#include "serial/network_name.h"

#include <cctype>
#include <string_view>

namespace {

constexpr std::string_view kScheme = "rfc2217://";
// The longest name DNS allows; an address is shorter still.
constexpr size_t kLongestHost = 253;

// A TCP port: 1 to 5 decimal digits, 1 to 65,535.
bool IsPortNumber(std::string_view text) {
  if (text.empty() || text.size() > 5) return false;
  unsigned long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  return value >= 1 && value <= 65535;
}

// Printable, and nothing that ends or nests a URL's host.
bool IsHostText(std::string_view host) {
  if (host.empty() || host.size() > kLongestHost) return false;
  for (char c : host) {
    const auto code = static_cast<unsigned char>(c);
    if (std::isgraph(code) == 0 || c == '/' || c == '@' || c == '[' || c == ']') return false;
  }
  return true;
}

}  // namespace

bool IsNetworkPortName(const char* portName) {
  if (portName == nullptr) return false;
  // A URL's scheme is the same in any case. The loop ends at the name's
  // NUL, which matches no letter of the scheme.
  for (size_t i = 0; i < kScheme.size(); ++i) {
    const auto c = static_cast<unsigned char>(portName[i]);
    if (std::tolower(c) != kScheme[i]) return false;
  }
  return true;
}

bool ParseNetworkPortName(const char* portName, NetworkAddress* address) {
  if (!IsNetworkPortName(portName)) return false;
  const std::string_view rest = std::string_view(portName).substr(kScheme.size());
  std::string_view host;
  std::string_view port;
  if (rest.starts_with('[')) {
    // [IPv6]:PORT
    const size_t close = rest.find(']');
    if (close == std::string_view::npos || rest.substr(close + 1, 1) != ":") return false;
    host = rest.substr(1, close - 1);
    port = rest.substr(close + 2);
    if (host.find(':') == std::string_view::npos) return false;  // brackets hold IPv6 only
  } else {
    const size_t colon = rest.find(':');
    if (colon == std::string_view::npos) return false;
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
  }
  if (!IsHostText(host) || !IsPortNumber(port)) return false;
  address->host = std::string(host);
  address->service = std::string(port);
  return true;
}
