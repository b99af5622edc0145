// The sockets library bound at run time (entry points found by name on first use and
// cached), the conversions of host, port and protocol texts, and the error texts.
#include "net/WSocketBinding.h"

#include <atomic>
#include <climits>
#include <cstring>

namespace kapo {

// ---- binding to the sockets library -------------------------------------------------------

namespace {

// Trivially destructible, so that the unloading at program end finds it intact.
struct Binding {
    HMODULE Lib;
    WSADATA Data;
#define KAPO_BINDING_ENTRY(name, result, params, args) T##name name;
    KAPO_WINSOCK_ENTRY_POINTS(KAPO_BINDING_ENTRY)
#undef KAPO_BINDING_ENTRY
};

Binding gWinsock{};
std::atomic<int> gLiveSockets{0};

template <typename F>
F entry(F& cache, const char* name)
{
    if (!cache) cache = reinterpret_cast<F>(LoadWinsockEntry(name));
    return cache;
}

struct UnloadAtExit {
    ~UnloadAtExit() { UnloadWinsock(); }
} gUnloadAtExit;

}  // namespace

void WSocketCountUp()
{
    ++gLiveSockets;
}

void WSocketCountDown()
{
    if (--gLiveSockets < 1) UnloadWinsock();
}

int WSocketLiveCount()
{
    return gLiveSockets.load();
}

void* LoadWinsockEntry(const std::string& Name)
{
    const std::string lib = WINSOCK_LIBRARY;
    if (!gWinsock.Lib) {
        HMODULE h = LoadLibrary(WINSOCK_LIBRARY);
        if (!h) throw ESocketException("Unable to load " + lib + " Error #" + IntToStr(GetLastError()));
        auto startup = reinterpret_cast<TWSAStartup>(GetProcAddress(h, "WSAStartup"));
        if (!startup) {
            std::uint32_t err = GetLastError();
            FreeLibrary(h);
            throw ESocketException("Procedure WSAStartup not found in " + lib + " Error #" + IntToStr(err));
        }
        int rc = startup(0x0101, &gWinsock.Data);
        if (rc != 0) {
            // Not started means not usable: the library is let go again.
            FreeLibrary(h);
            throw ESocketException(Format("%s: WSAStartup error #%d", lib, rc));
        }
        gWinsock.Lib = h;
        gWinsock.WSAStartup = startup;
    }
    if (Name.empty()) return nullptr;
    void* p = GetProcAddress(gWinsock.Lib, Name.c_str());
    if (!p)
        throw ESocketException("Procedure " + Name + " not found in " + lib + " Error #" + IntToStr(GetLastError()));
    return p;
}

void UnloadWinsock()
{
    if (gWinsock.Lib) {
        auto cleanup = reinterpret_cast<TWSACleanup>(GetProcAddress(gWinsock.Lib, "WSACleanup"));
        if (cleanup) cleanup();
        FreeLibrary(gWinsock.Lib);
        gWinsock = Binding{};
    }
    gLiveSockets = 0;
}

bool WinsockLoaded()
{
    return gWinsock.Lib != nullptr;
}

#define KAPO_WSOCKET_WRAPPER(name, result, params, args) \
    result WSocket_##name params { return entry(gWinsock.name, #name) args; }
KAPO_WINSOCK_ENTRY_POINTS(KAPO_WSOCKET_WRAPPER)
#undef KAPO_WSOCKET_WRAPPER

// ---- conversions -------------------------------------------------------------------------

bool IsDottedQuad(std::string_view Text)
{
    std::size_t i = 0;
    const std::size_t n = Text.size();
    while (i < n && Text[i] == ' ') ++i;
    if (i >= n || Text[i] == '.') return false;
    int dots = 0;
    int group = 0;
    for (; i < n; ++i) {
        const char c = Text[i];
        if (c >= '0' && c <= '9') {
            group = std::min(group * 10 + (c - '0'), 256);  // anything above 255 fails alike
        } else if (c == '.') {
            ++dots;
            if (dots == 4 || group > 255 || i + 1 >= n || Text[i + 1] < '0' || Text[i + 1] > '9') return false;
            group = 0;
        } else {
            for (; i < n; ++i)
                if (Text[i] != ' ') return false;
            break;
        }
    }
    return dots == 3 && group <= 255;
}

int ParseDecimal(std::string_view Text)
{
    std::size_t i = 0;
    while (i < Text.size() && Text[i] == ' ') ++i;
    long long v = 0;
    for (; i < Text.size() && Text[i] >= '0' && Text[i] <= '9'; ++i) {
        v = v * 10 + (Text[i] - '0');
        if (v > INT_MAX) v = INT_MAX;  // saturates, so that range checks still see "too big"
    }
    return static_cast<int>(v);
}

std::uint32_t WSocketResolveHost(const std::string& Host)
{
    if (Host.empty() || Host.size() > 256)
        throw ESocketException("WSocketResolveHost: '" + Host + "' Invalid Hostname.");
    const std::string name = Trim(Host);
    if (IsDottedQuad(Host)) {
        std::uint32_t a = WSocket_inet_addr(name.c_str());
        if (a == INADDR_NONE && name != "255.255.255.255")
            throw ESocketException("WSocketResolveHost: '" + Host + "' Invalid IP address.");
        return a;
    }
    hostent* h = WSocket_gethostbyname(name.c_str());
    if (!h)
        throw ESocketException(Format("WSocketResolveHost: Cannot convert host address '%s', Error #%d", Host,
                                      WSocket_WSAGetLastError()));
    std::uint32_t a;
    std::memcpy(&a, h->h_addr_list[0], 4);
    return a;
}

std::uint16_t WSocketResolvePort(const std::string& Port, const std::string& Proto)
{
    if (Port.empty() || Port.size() >= 32) throw ESocketException("WSocketResolvePort: Invalid Port.");
    if (Port[0] >= '0' && Port[0] <= '9') {
        int v = ParseDecimal(Port);
        if (v > 65535) throw ERangeError();
        return static_cast<std::uint16_t>(v);
    }
    const std::string name = Trim(Port);
    const std::string proto = Trim(Proto);
    servent* s = WSocket_getservbyname(name.c_str(), proto.empty() ? nullptr : proto.c_str());
    if (!s)
        throw ESocketException(
            Format("WSocketResolvePort: Cannot convert port '%s', Error #%d", Port, WSocket_WSAGetLastError()));
    return WSocket_ntohs(static_cast<std::uint16_t>(s->s_port));
}

int WSocketResolveProto(const std::string& Proto)
{
    if (Proto.empty() || Proto.size() >= 32) throw ESocketException("WSocketResolveProto: Invalid Protocol.");
    const std::string name = Trim(Proto);
    if (!name.empty() && name[0] >= '0' && name[0] <= '9') return ParseDecimal(name);
    protoent* p = WSocket_getprotobyname(name.c_str());
    if (!p)
        throw ESocketException(
            Format("WSocketResolveProto: Cannot convert protocol '%s', Error #%d", Proto, WSocket_WSAGetLastError()));
    return p->p_proto;
}

std::string WinsockErrorText(int Code)
{
    switch (Code) {
    case 0: return "No Error";
    case 10004: return "Interrupted system call";
    case 10009: return "Bad file number";
    case 10013: return "Permission denied";
    case 10014: return "Bad address";
    case 10022: return "Invalid argument";
    case 10024: return "Too many open files";
    case 10035: return "Operation would block";
    case 10036: return "Operation now in progress";
    case 10037: return "Operation already in progress";
    case 10038: return "Socket operation on non-socket";
    case 10039: return "Destination address required";
    case 10040: return "Message too long";
    case 10041: return "Protocol wrong type for socket";
    case 10042: return "Protocol not available";
    case 10043: return "Protocol not supported";
    case 10044: return "Socket type not supported";
    case 10045: return "Operation not supported on socket";
    case 10046: return "Protocol family not supported";
    case 10047: return "Address family not supported by protocol family";
    case 10048: return "Address already in use";
    case 10049: return "Address not available";
    case 10050: return "Network is down";
    case 10051: return "Network is unreachable";
    case 10052: return "Network dropped connection on reset";
    case 10053: return "Connection aborted";
    case 10054: return "Connection reset by peer";
    case 10055: return "No buffer space available";
    case 10056: return "Socket is already connected";
    case 10057: return "Socket is not connected";
    case 10058: return "Can't send after socket shutdown";
    case 10059: return "Too many references: can't splice";
    case 10060: return "Connection timed out";
    case 10061: return "Connection refused";
    case 10062: return "Too many levels of symbolic links";
    case 10063: return "File name too long";
    case 10064: return "Host is down";
    case 10065: return "No route to host";
    case 10066: return "Directory not empty";
    case 10067: return "Too many processes";
    case 10068: return "Too many users";
    case 10069: return "Disc quota exceeded";
    case 10070: return "Stale NFS file handle";
    case 10071: return "Too many levels of remote in path";
    case 10091: return "Network sub-system is unusable";
    case 10092: return "WinSock DLL cannot support this application";
    case 10093: return "WinSock not initialized";
    case 11001: return "Host not found";
    case 11002: return "Non-authoritative host not found";
    case 11003: return "Non-recoverable error";
    case 11004: return "No Data";
    default: return "Not a WinSock error";
    }
}

}  // namespace kapo
