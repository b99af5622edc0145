// The sockets library: Windows Sockets 1.1 entry points with their behaviour (error numbers,
// asynchronous notifications through the message queue, asynchronous name lookups) on
// non-blocking POSIX IPv4 sockets. It lives in the process and is reached like a loaded
// library: opened by name, its entry points found by name.
//
// Socket handles are the library's own numbers, never reused during the process, so a
// notification left in a queue for a closed socket can never be taken for a later one.
// A socket's notifications are produced on the thread that selected them (WSAAsyncSelect);
// a socket is used from that thread only.
#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/MessageQueue.h"

namespace kapo {

using SOCKET = std::uintptr_t;
constexpr SOCKET INVALID_SOCKET = ~SOCKET(0);
constexpr int SOCKET_ERROR = -1;
using HMODULE = void*;
using HANDLE = std::uintptr_t;  // asynchronous lookup task; 0 is none

// Name of the in-process library, as given to LoadLibrary.
constexpr const char* WINSOCK_LIBRARY = "kapo_sockets";

constexpr int WSADESCRIPTION_LEN = 256;
constexpr int WSASYS_STATUS_LEN = 128;
struct WSADATA {
    std::uint16_t wVersion;
    std::uint16_t wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    std::uint16_t iMaxSockets;
    std::uint16_t iMaxUdpDg;
    char* lpVendorInfo;
};

// Linger option in the library's layout: two 16-bit fields (given to setsockopt SO_LINGER).
struct WSLINGER {
    std::uint16_t l_onoff;
    std::uint16_t l_linger;
};

// One piece of a gathered send (WSASend): its length and where it starts.
struct WSABUF {
    std::uint32_t len;
    char* buf;
};

// Asynchronous notification events (WSAAsyncSelect).
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;

// Size of a host-entry buffer that always holds a lookup's answer.
constexpr int MAXGETHOSTSTRUCT = 1024;

// Error numbers. Level and option numbers (SOL_SOCKET, SO_LINGER...), FIONREAD, FIONBIO and
// the MSG_ flags are the system's own.
enum : int {
    WSABASEERR = 10000,
    WSAEINTR = 10004,
    WSAEBADF = 10009,
    WSAEACCES = 10013,
    WSAEFAULT = 10014,
    WSAEINVAL = 10022,
    WSAEMFILE = 10024,
    WSAEWOULDBLOCK = 10035,
    WSAEINPROGRESS = 10036,
    WSAEALREADY = 10037,
    WSAENOTSOCK = 10038,
    WSAEDESTADDRREQ = 10039,
    WSAEMSGSIZE = 10040,
    WSAEPROTOTYPE = 10041,
    WSAENOPROTOOPT = 10042,
    WSAEPROTONOSUPPORT = 10043,
    WSAESOCKTNOSUPPORT = 10044,
    WSAEOPNOTSUPP = 10045,
    WSAEPFNOSUPPORT = 10046,
    WSAEAFNOSUPPORT = 10047,
    WSAEADDRINUSE = 10048,
    WSAEADDRNOTAVAIL = 10049,
    WSAENETDOWN = 10050,
    WSAENETUNREACH = 10051,
    WSAENETRESET = 10052,
    WSAECONNABORTED = 10053,
    WSAECONNRESET = 10054,
    WSAENOBUFS = 10055,
    WSAEISCONN = 10056,
    WSAENOTCONN = 10057,
    WSAESHUTDOWN = 10058,
    WSAETOOMANYREFS = 10059,
    WSAETIMEDOUT = 10060,
    WSAECONNREFUSED = 10061,
    WSAELOOP = 10062,
    WSAENAMETOOLONG = 10063,
    WSAEHOSTDOWN = 10064,
    WSAEHOSTUNREACH = 10065,
    WSAENOTEMPTY = 10066,
    WSAEPROCLIM = 10067,
    WSAEUSERS = 10068,
    WSAEDQUOT = 10069,
    WSAESTALE = 10070,
    WSAEREMOTE = 10071,
    WSASYSNOTREADY = 10091,
    WSAVERNOTSUPPORTED = 10092,
    WSANOTINITIALISED = 10093,
    WSAHOST_NOT_FOUND = 11001,
    WSATRY_AGAIN = 11002,
    WSANO_RECOVERY = 11003,
    WSANO_DATA = 11004,
};

// The library's error number for a system errno value.
int WinsockErrorFromErrno(int err);

// The library's entry points, each named once: X(name, result, parameters, arguments). The
// signature types below, the callers' binding and the library's own table all come from it.
#define KAPO_WINSOCK_ENTRY_POINTS(X)                                                                        \
    X(WSAStartup, int, (std::uint16_t wVersionRequired, WSADATA * lpWSAData), (wVersionRequired, lpWSAData)) \
    X(WSACleanup, int, (), ())                                                                              \
    X(WSASetLastError, void, (int iError), (iError))                                                        \
    X(WSAGetLastError, int, (), ())                                                                         \
    X(WSACancelAsyncRequest, int, (HANDLE hAsyncTaskHandle), (hAsyncTaskHandle))                            \
    X(WSAAsyncGetHostByName, HANDLE, (HWND hWnd, UINT wMsg, const char* name, char* buf, int buflen),       \
      (hWnd, wMsg, name, buf, buflen))                                                                      \
    X(WSAAsyncGetHostByAddr, HANDLE,                                                                        \
      (HWND hWnd, UINT wMsg, const char* addr, int len, int type, char* buf, int buflen),                  \
      (hWnd, wMsg, addr, len, type, buf, buflen))                                                           \
    X(WSAAsyncSelect, int, (SOCKET s, HWND hWnd, UINT wMsg, long lEvent), (s, hWnd, wMsg, lEvent))          \
    X(getservbyname, servent*, (const char* name, const char* proto), (name, proto))                        \
    X(getprotobyname, protoent*, (const char* name), (name))                                                \
    X(gethostbyname, hostent*, (const char* name), (name))                                                  \
    X(socket, SOCKET, (int af, int type, int protocol), (af, type, protocol))                               \
    X(shutdown, int, (SOCKET s, int how), (s, how))                                                         \
    X(setsockopt, int, (SOCKET s, int level, int optname, const char* optval, int optlen),                 \
      (s, level, optname, optval, optlen))                                                                  \
    X(sendto, int, (SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen),         \
      (s, buf, len, flags, to, tolen))                                                                      \
    X(send, int, (SOCKET s, const char* buf, int len, int flags), (s, buf, len, flags))                     \
    X(WSASend, int,                                                                                         \
      (SOCKET s, const WSABUF* lpBuffers, std::uint32_t dwBufferCount, std::uint32_t* lpNumberOfBytesSent,  \
       std::uint32_t dwFlags),                                                                              \
      (s, lpBuffers, dwBufferCount, lpNumberOfBytesSent, dwFlags))                                          \
    X(TransmitFile, int, (SOCKET s, int hFile, std::int64_t* lpOffset, std::uint32_t Count),                \
      (s, hFile, lpOffset, Count))                                                                          \
    X(ntohs, std::uint16_t, (std::uint16_t netshort), (netshort))                                           \
    X(listen, int, (SOCKET s, int backlog), (s, backlog))                                                   \
    X(ioctlsocket, int, (SOCKET s, long cmd, std::uint32_t* argp), (s, cmd, argp))                          \
    X(inet_ntoa, char*, (in_addr in), (in))                                                                 \
    X(inet_addr, std::uint32_t, (const char* cp), (cp))                                                     \
    X(htons, std::uint16_t, (std::uint16_t hostshort), (hostshort))                                         \
    X(getsockname, int, (SOCKET s, sockaddr * name, int* namelen), (s, name, namelen))                      \
    X(getpeername, int, (SOCKET s, sockaddr * name, int* namelen), (s, name, namelen))                      \
    X(connect, int, (SOCKET s, const sockaddr* name, int namelen), (s, name, namelen))                      \
    X(closesocket, int, (SOCKET s), (s))                                                                    \
    X(bind, int, (SOCKET s, const sockaddr* addr, int namelen), (s, addr, namelen))                         \
    X(accept, SOCKET, (SOCKET s, sockaddr * addr, int* addrlen), (s, addr, addrlen))                        \
    X(recv, int, (SOCKET s, char* buf, int len, int flags), (s, buf, len, flags))                           \
    X(recvfrom, int, (SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen),              \
      (s, buf, len, flags, from, fromlen))

// Signatures of the entry points, as found by name: TWSAStartup, Tsocket...
#define KAPO_WINSOCK_SIGNATURE(name, result, params, args) using T##name = result(*) params;
KAPO_WINSOCK_ENTRY_POINTS(KAPO_WINSOCK_SIGNATURE)
#undef KAPO_WINSOCK_SIGNATURE

// Loading by name. LoadLibrary answers nullptr for an unknown name; GetProcAddress nullptr
// for an unknown entry point; GetLastError then tells why (126 module, 127 procedure not found).
HMODULE LoadLibrary(const char* name);
void* GetProcAddress(HMODULE module, const char* procName);
bool FreeLibrary(HMODULE module);
std::uint32_t GetLastError();
constexpr std::uint32_t ERROR_MOD_NOT_FOUND = 126;
constexpr std::uint32_t ERROR_PROC_NOT_FOUND = 127;

// Name services. A name resolver answers the IPv4 addresses (network order) and the official
// name of a host, or a lookup error (11001 to 11004); an address resolver answers the name of
// an address. Both serve gethostbyname and the asynchronous lookups; the system's resolver
// (getaddrinfo, getnameinfo) is used until another is installed. Passing an empty function
// restores the system's. Installing one affects lookups started afterwards.
using TNameResolver = std::function<int(const std::string& name, std::string& officialName,
                                        std::vector<std::uint32_t>& addresses)>;
using TAddressResolver = std::function<int(std::uint32_t address, std::string& name)>;
void SetNameResolver(TNameResolver resolver);
void SetAddressResolver(TAddressResolver resolver);
int SystemNameResolver(const std::string& name, std::string& officialName, std::vector<std::uint32_t>& addresses);
int SystemAddressResolver(std::uint32_t address, std::string& name);

// Replaces the address that an entry point name resolves to (nullptr withdraws the name);
// returns the previous one. For exercising callers against a library lacking an entry.
void* SetWinsockEntry(const char* procName, void* address);
// Count of WSAStartup calls not yet matched by WSACleanup.
int WinsockStartupCount();

}  // namespace kapo
