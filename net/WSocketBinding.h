// The sockets library bound at run time (entry points looked up by name on first use), the
// conversions of host, port and protocol texts, and the error texts of its codes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/SysUtils.h"
#include "platform/Winsock.h"

namespace kapo {

class ESocketException : public Exception {
public:
    using Exception::Exception;
};

// ---- binding to the sockets library ------------------------------------------------------

// Loads and starts the library when needed and returns the named entry point; an empty name
// only loads and starts. Raises ESocketException when the library or the entry is missing.
void* LoadWinsockEntry(const std::string& Name);
// Cleans the library up and releases it; every cached entry is forgotten and the live-socket
// count is set to 0. Also run at program end.
void UnloadWinsock();
bool WinsockLoaded();
// Count of socket components alive; the last one to go unloads the library.
int WSocketLiveCount();
// Each socket component counts itself in and out.
void WSocketCountUp();
void WSocketCountDown();

// Wrappers with the library's signatures (WSocket_WSAStartup, WSocket_socket...); each finds
// its entry point on its first call.
#define KAPO_WSOCKET_WRAPPER(name, result, params, args) result WSocket_##name params;
KAPO_WINSOCK_ENTRY_POINTS(KAPO_WSOCKET_WRAPPER)
#undef KAPO_WSOCKET_WRAPPER

// ---- conversions and texts ---------------------------------------------------------------

// IPv4 address in network order of a dotted address or a host name (blocking lookup).
std::uint32_t WSocketResolveHost(const std::string& Host);
// Port number in host order of a decimal text or a service name of the protocol.
std::uint16_t WSocketResolvePort(const std::string& Port, const std::string& Proto);
// Protocol number of a decimal text or a protocol name.
int WSocketResolveProto(const std::string& Proto);
// True for a dotted IPv4 address, leading and trailing spaces allowed.
bool IsDottedQuad(std::string_view Text);
// Value of the decimal digits after leading spaces, up to the first non-digit; 0 when none.
int ParseDecimal(std::string_view Text);
// Short English text of a sockets error number; "Not a WinSock error" when unknown.
std::string WinsockErrorText(int Code);

}  // namespace kapo
