// The SOCKS layer: connects to the proxy instead of the destination, runs the negotiation on
// the proxy's replies, then becomes transparent. Negotiation bytes go straight to the core
// layer's send and receive, below any layer that would frame or transform them.
#include "net/CustomSocksWSocket.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <cstring>

namespace kapo {

namespace {

std::string Socks5ReplyText(int Code)
{
    switch (Code) {
    case 1: return "general SOCKS server failure";
    case 2: return "connection not allowed by ruleset";
    case 3: return "network unreachable";
    case 4: return "host unreachable";
    case 5: return "connection refused";
    case 6: return "time to live expired";
    case 7: return "command not supported";
    case 8: return "address type not supported";
    default: return "unassigned error #" + IntToStr(Code);
    }
}

std::string ExceptionClassName(const Exception& E)
{
    return dynamic_cast<const ESocketException*>(&E) ? "ESocketException" : "Exception";
}

}  // namespace

TCustomSocksWSocket::TCustomSocksWSocket(TComponent* AOwner) : TCustomWSocket(AOwner)
{
    // The core constructor's reset ran before this layer existed.
    ResetSocks();
}

void TCustomSocksWSocket::ResetSocks()
{
    FSocksServer.clear();
    FSocksPort.clear();
    FSocksLevel = std::string("5");
    FSocksPhase = 0;
    FSocksCount = 0;
    FSocksLeftCount = 0;
    FSocksLeftPos = 0;
    FSocksFailed = false;
}

void TCustomSocksWSocket::RestoreDefaults()
{
    TCustomWSocket::RestoreDefaults();
    ResetSocks();
}

// ---- properties --------------------------------------------------------------------------

void TCustomSocksWSocket::SetSocksLevel(const std::string& Value)
{
    if (FState != wsClosed) {
        RaiseError("Can't change socks level if not closed");
        return;
    }
    if (Value != "4" && Value != "5" && Value != "4A" && Value != "4a") {
        RaiseError("Invalid socks level. Must be 4, 4A or 5.");
        return;
    }
    FSocksLevel = UpperCase(Value);
}

// The proxy's address and port take the place of the destination's in the address record:
// a change means resolving again.
void TCustomSocksWSocket::SetSocksServer(const std::string& Value)
{
    if (FState != wsClosed) {
        RaiseError("Can't change socks server if not closed");
        return;
    }
    FSocksServer = Trim(Value);
    FAddrResolved = false;
    FPortResolved = false;
}

void TCustomSocksWSocket::SetSocksPort(const std::string& Value)
{
    if (FState != wsClosed) {
        RaiseError("Can't change socks port if not closed");
        return;
    }
    FSocksPort = Trim(Value);
    FPortResolved = false;
}

int TCustomSocksWSocket::RcvdCount()
{
    if (FSocksLeftCount > 0) return FSocksLeftCount;
    return TCustomWSocket::RcvdCount();
}

// ---- events ------------------------------------------------------------------------------

void TCustomSocksWSocket::FireSocksConnected(std::uint16_t Error)
{
    if (auto h = OnSocksConnected) h(this, Error);
}

void TCustomSocksWSocket::FireSocksError(int Error, const std::string& Msg)
{
    if (auto h = OnSocksError) h(this, Error, Msg);
}

void TCustomSocksWSocket::FireSocksAuthState(TSocksAuthState AuthState)
{
    if (auto h = OnSocksAuthState) h(this, AuthState);
}

// ---- connecting --------------------------------------------------------------------------

void TCustomSocksWSocket::Connect()
{
    // Without a proxy, or with a destination not named yet, the core gives its own answer.
    if (FSocksServer.empty() || !FPortAssigned || !FAddrAssigned ||
        (FHSocket != INVALID_SOCKET && FState != wsClosed)) {
        TCustomWSocket::Connect();
        return;
    }
    if (LowerCase(FProtoStr) != "tcp") {
        RaiseError("tcp is the only protocol supported thru socks server");
        return;
    }
    try {
        if (!FPortResolved) {
            FSin.sin_port = WSocket_htons(WSocketResolvePort(FSocksPort, FProtoStr));
            FPortResolved = true;
        }
        if (!FAddrResolved) {
            FSin.sin_addr.s_addr = WSocketResolveHost(FSocksServer);
            FAddrResolved = true;
        }
        FSocksDestPort = WSocketResolvePort(FPortStr, FProtoStr);
    } catch (const Exception& E) {
        RaiseError("connect: " + E.Message());
        return;
    }
    FSocksPhase = 1;
    FSocksCount = 0;
    FSocksLeftCount = 0;
    FSocksFailed = false;
    TCustomWSocket::Connect();
}

void TCustomSocksWSocket::Listen()
{
    if (!FSocksServer.empty()) {
        RaiseError("Listening is not supported thru socks server");
        return;
    }
    TCustomWSocket::Listen();
}

// What the request formats cannot carry: each length travels in one byte.
std::string TCustomSocksWSocket::RequestTooLong() const
{
    if (FSocksLevel != "5") return std::string();
    if (FAddrStr.size() > 255) return "destination name too long for socks request";
    if (FSocksAuthentication == socksAuthenticateUsercode &&
        (FSocksUsercode.size() > 255 || FSocksPassword.size() > 255))
        return "socks usercode or password too long";
    return std::string();
}

// The TCP connection to the proxy is up (or failed): the negotiation starts here.
void TCustomSocksWSocket::FireSessionConnected(std::uint16_t Error)
{
    if (FSocksPhase != 1) {
        TCustomWSocket::FireSessionConnected(Error);
        return;
    }
    TLiveness guard = Liveness();
    const SOCKET h = FHSocket;
    FireSocksConnected(Error);
    if (!guard || FHSocket != h) return;
    if (Error != 0) {
        FSocksPhase = 0;  // the close that follows is the connect's failure, already told
        TCustomWSocket::FireSessionConnected(Error);
        return;
    }
    // Refused before the proxy hears anything, rather than sent with a cut length byte.
    std::string tooLong = RequestTooLong();
    if (!tooLong.empty()) {
        SocksFailure(socksRequestTooLong, tooLong);
        return;
    }
    if (FSocksLevel[0] == '4') {
        SendSocksRequest();
        return;
    }
    FSocksMethod = FSocksAuthentication == socksAuthenticateUsercode ? 2 : 0;
    const char greeting[3] = {5, 1, static_cast<char>(FSocksMethod)};
    SendSocksBytes(std::string(greeting, sizeof greeting));
}

void TCustomSocksWSocket::SendSocksBytes(const std::string& Bytes)
{
    try {
        TCustomWSocket::Send(Bytes.data(), static_cast<int>(Bytes.size()));
    } catch (const Exception&) {
    }
}

void TCustomSocksWSocket::SendSocksAuth()
{
    FSocksPhase = 2;
    TLiveness guard = Liveness();
    const SOCKET h = FHSocket;
    FireSocksAuthState(socksAuthBegin);
    if (!guard || FHSocket != h) return;
    std::string b;
    b += '\x01';
    b += static_cast<char>(FSocksUsercode.size());
    b += FSocksUsercode;
    b += static_cast<char>(FSocksPassword.size());
    b += FSocksPassword;
    SendSocksBytes(b);
}

void TCustomSocksWSocket::SendSocksRequest()
{
    FSocksPhase = 3;
    FSocksCount = 0;
    const char portBytes[2] = {static_cast<char>(FSocksDestPort >> 8), static_cast<char>(FSocksDestPort & 0xFF)};
    std::string b;
    if (FSocksLevel[0] == '4') {
        std::uint32_t addr;  // network order
        if (FSocksLevel == "4A") {
            const unsigned char marker[4] = {0, 0, 0, 1};  // 0.0.0.1: the proxy resolves the name
            std::memcpy(&addr, marker, 4);
        } else {
            try {
                addr = WSocketResolveHost(FAddrStr);
            } catch (const Exception& E) {
                SocksFailure(socksResolveError, ExceptionClassName(E) + " " + E.Message());
                return;
            }
        }
        b += '\x04';
        b += '\x01';
        b.append(portBytes, 2);
        b.append(reinterpret_cast<const char*>(&addr), 4);
        b += FSocksUsercode;
        b += '\0';
        if (FSocksLevel == "4A") {
            b += FAddrStr;
            b += '\0';
        }
    } else {
        // The name goes as a name even when it is a dotted address: the proxy resolves it.
        const char head[5] = {5, 1, 0, 3, static_cast<char>(FAddrStr.size())};
        b.append(head, sizeof head);
        b += FAddrStr;
        b.append(portBytes, 2);
    }
    SendSocksBytes(b);
}

void TCustomSocksWSocket::SocksFailure(int Code, const std::string& Msg)
{
    FSocksFailed = true;
    TLiveness guard = Liveness();
    const SOCKET h = FHSocket;
    FireSocksError(Code, Msg);
    if (!guard || FHSocket != h) return;
    TCustomWSocket::FireSessionConnected(static_cast<std::uint16_t>(Code));
    if (!guard || FHSocket != h) return;
    InternalClose(true, static_cast<std::uint16_t>(Code));
}

// ---- the proxy's replies -----------------------------------------------------------------

bool TCustomSocksWSocket::ReadReply(int Room)
{
    int n = TCustomWSocket::DoRecv(FSocksBuffer + FSocksCount, Room, 0);
    if (n > 0) {
        FReadCount += n;
        FSocksCount += n;
        return true;
    }
    // The end of the stream in the middle of the negotiation would otherwise leave the
    // application waiting for a connect that never comes.
    if (n == 0) {
        SocksFailure(socksServerClosed, "socks server closed the connection");
        return false;
    }
    FLastError = WSocket_WSAGetLastError();
    if (FLastError == WSAEWOULDBLOCK) return false;
    SocksFailure(FLastError, "data receive error");
    return false;
}

bool TCustomSocksWSocket::GreetingReply()
{
    if (!ReadReply(SocksBufferSize - 1 - FSocksCount)) return true;
    if (FSocksLevel[0] == '4') {
        SocksFailure(socksLogicError, "TWSocket logic error");
        return true;
    }
    if (FSocksCount < 2) return true;
    FSocksCount = 0;
    if (FSocksBuffer[0] != 5) {
        SocksFailure(socksVersionError, "socks version error");
        return true;
    }
    if (FSocksBuffer[1] == 0) {
        if (FSocksMethod == 2) {
            TLiveness guard = Liveness();
            const SOCKET h = FHSocket;
            FireSocksAuthState(socksAuthSkipped);
            if (!guard || FHSocket != h) return true;
        }
        SendSocksRequest();
    } else if (FSocksBuffer[1] == 2 && FSocksMethod == 2) {
        SendSocksAuth();
    } else {
        // Includes user/password chosen when it was not offered: nothing to send for it.
        SocksFailure(socksMethodNotAcceptable, "authentification method not acceptable");
    }
    return true;
}

bool TCustomSocksWSocket::AuthReply()
{
    if (!ReadReply(SocksBufferSize - 1 - FSocksCount)) return true;
    if (FSocksBuffer[0] != 1) {
        SocksFailure(socksVersionError, "socks version error");
        return true;
    }
    if (FSocksCount > 2) {
        SocksFailure(socksLogicError, "too much data availaible");
        return true;
    }
    if (FSocksCount < 2) return true;
    if (FSocksBuffer[1] != 0) {
        SocksFailure(socksAuthenticationFailed, "socks authentication failed");
        return true;
    }
    FSocksCount = 0;
    TLiveness guard = Liveness();
    const SOCKET h = FHSocket;
    FireSocksAuthState(socksAuthSucceeded);
    if (!guard || FHSocket != h) return true;
    SendSocksRequest();
    return true;
}

bool TCustomSocksWSocket::Socks4Reply()
{
    if (!ReadReply(8 - FSocksCount)) return true;
    if (FSocksCount < 8) return true;
    FSocksCount = 0;
    if (FSocksBuffer[0] != 0) {
        SocksFailure(socksVersionError, "socks version error");
        return true;
    }
    switch (FSocksBuffer[1]) {
    case 90: return Established(8);
    case 91: SocksFailure(socksRequestRejected, "request rejected or failed"); break;
    case 92: SocksFailure(socksConnectionRefused, "connection refused"); break;
    case 93: SocksFailure(socksAuthenticationFailed, "authentification failed"); break;
    default: SocksFailure(socksUnassignedError, "unassigned error #" + IntToStr(FSocksBuffer[1])); break;
    }
    return true;
}

bool TCustomSocksWSocket::Socks5Reply()
{
    if (!ReadReply(SocksBufferSize - 1 - FSocksCount)) return true;
    const unsigned char* r = FSocksBuffer;
    if (r[0] != 5) {
        SocksFailure(socksVersionError, "socks version error");
        return true;
    }
    if (FSocksCount >= 2 && r[1] != 0) {
        int code = r[1] >= 1 && r[1] <= 8 ? socksGeneralFailure + r[1] - 1 : socksUnassignedError;
        SocksFailure(code, Socks5ReplyText(r[1]));
        return true;
    }
    if (FSocksCount < 5) return true;
    const int full = r[3] == 1 ? 10 : r[3] == 3 ? r[4] + 7 : 5;
    if (FSocksCount < full) return true;
    int portAt;
    if (r[3] == 1) {
        FSocksBoundAddr = Format("%d.%d.%d.%d", int(r[4]), int(r[5]), int(r[6]), int(r[7]));
        portAt = 8;
    } else if (r[3] == 3) {
        FSocksBoundAddr.assign(reinterpret_cast<const char*>(r + 5), r[4]);
        portAt = 5 + r[4];
    } else {
        SocksFailure(socksAddressTypeNotSupported, "address type not supported");
        return true;
    }
    FSocksBoundPort = IntToStr((r[portAt] << 8) | r[portAt + 1]);
    return Established(full);
}

// The path to the destination is open: the application's connect succeeds, and what came
// behind the reply is handed out before anything the system still holds.
bool TCustomSocksWSocket::Established(int ReplyLen)
{
    FSocksPhase = 0;
    FSocksLeftPos = ReplyLen;
    FSocksLeftCount = std::max(0, FSocksCount - ReplyLen);
    FSocksCount = 0;
    TLiveness guard = Liveness();
    const SOCKET h = FHSocket;
    TCustomWSocket::FireSessionConnected(0);
    if (!guard || FHSocket != h) return true;
    return HandOnData(0);
}

bool TCustomSocksWSocket::HandOnData(std::uint16_t Error)
{
    if (FSocksLeftCount <= 0) return TCustomWSocket::FireDataAvailable(Error);
    TLiveness guard = Liveness();
    const SOCKET h = FHSocket;
    const int before = FSocksLeftCount;
    bool handled = TCustomWSocket::FireDataAvailable(Error);
    if (!guard || FHSocket != h) return handled;
    // A handler that took only part of the held bytes is called again for the rest; when the
    // system has nothing more, no read notification would come to say so.
    if (handled && FSocksLeftCount > 0 && FSocksLeftCount < before) {
        std::uint32_t n = 0;
        if (WSocket_ioctlsocket(FHSocket, FIONREAD, &n) == 0 && n == 0)
            PostMessage(FWindowHandle, WM_SOCKET_EVENT, FHSocket, MakeLong(static_cast<std::uint16_t>(FD_READ), 0));
    }
    return handled;
}

// Reports whether the data was taken: negotiation bytes always are, so that the read loop
// never throws any away.
bool TCustomSocksWSocket::FireDataAvailable(std::uint16_t Error)
{
    if (FSocksPhase == 0) return HandOnData(Error);
    if (Error != 0) {
        SocksFailure(Error, "data receive error");
        return true;
    }
    switch (FSocksPhase) {
    case 1: return GreetingReply();
    case 2: return AuthReply();
    case 3: return FSocksLevel[0] == '4' ? Socks4Reply() : Socks5Reply();
    default: SocksFailure(socksInternalError, "internal error"); return true;
    }
}

void TCustomSocksWSocket::FireSessionClosed(std::uint16_t Error)
{
    TLiveness guard = Liveness();
    if (FSocksPhase == 2) {
        FireSocksAuthState(socksAuthFailed);
        if (!guard) return;
    }
    // The proxy (not this side) ended the connection half-way: the application's connect
    // fails instead of never finishing. A local close has already left wsClosed, with no error.
    if (FSocksPhase != 0 && !FSocksFailed && (FState != wsClosed || Error != 0)) {
        FSocksFailed = true;
        const int code = Error != 0 ? Error : socksServerClosed;
        FireSocksError(code, "socks server closed the connection");
        if (!guard) return;
        TCustomWSocket::FireSessionConnected(static_cast<std::uint16_t>(code));
        if (!guard) return;
    }
    TCustomWSocket::FireSessionClosed(Error);
}

// The negotiation's own bytes are no business of the application's.
void TCustomSocksWSocket::FireDataSent(std::uint16_t Error)
{
    if (FSocksPhase != 0) return;
    TCustomWSocket::FireDataSent(Error);
}

int TCustomSocksWSocket::DoRecv(void* Buffer, int Len, int Flags)
{
    if (FSocksLeftCount <= 0 || Len <= 0) return TCustomWSocket::DoRecv(Buffer, Len, Flags);
    const int n = std::min(Len, FSocksLeftCount);
    std::memcpy(Buffer, FSocksBuffer + FSocksLeftPos, static_cast<std::size_t>(n));
    if (!(Flags & MSG_PEEK)) {
        FSocksLeftPos += n;
        FSocksLeftCount -= n;
    }
    ++FRecvCalls;
    return n;
}

}  // namespace kapo
