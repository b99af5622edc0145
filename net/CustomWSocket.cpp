// The socket component: its hidden target, properties, connection, listening, the send queue,
// the read loop, lookups, closing and errors.
#include "net/CustomWSocket.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>

namespace kapo {

// ---- the socket component ----------------------------------------------------------------

namespace {

bool isClosingSendError(int err)
{
    return err == WSAECONNRESET || err == WSAENOTSOCK || err == WSAENOTCONN || err == WSAEINVAL ||
           err == WSAECONNABORTED;
}

}  // namespace

// ---- construction ------------------------------------------------------------------------

TCustomWSocket::TCustomWSocket(TComponent* AOwner) : TComponent(AOwner)
{
    FWindowHandle = AllocateHWnd([this, guard = Liveness()](TMessage& m) {
        if (guard) HandleWindowMessage(m);
    });
    FDnsResultList = std::make_unique<TStringList>();
    RestoreDefaults();
    WSocketCountUp();
}

TCustomWSocket::~TCustomWSocket()
{
    TComponent::Destroying();  // OnSessionClosed and OnDnsLookupDone stay quiet from here on
    try {
        StopDnsLookup();
    } catch (...) {
    }
    if (FState != wsClosed) {
        try {
            Close();
        } catch (...) {
        }
    }
    if (FHSocket != INVALID_SOCKET && WinsockLoaded()) WSocket_closesocket(FHSocket);
    FHSocket = INVALID_SOCKET;
    WSocketCountDown();
    ClearSendQueue();
    DeallocateHWnd(FWindowHandle);  // messages still queued for the target are dropped
}

void TCustomWSocket::RestoreDefaults()
{
    FSin = sockaddr_in{};
    FSin.sin_family = AF_INET;
    FAddrResolved = false;
    FPortResolved = false;
    FProtoResolved = false;
    FLocalPortResolved = false;
    FPortAssigned = false;
    FAddrAssigned = false;
    FProtoAssigned = true;
    // Whole-string assignments: g++ 12 at -O3 misreads literal assignment as overlapping copies.
    FProtoStr = std::string("tcp");
    FProto = IPPROTO_TCP;
    FType = SOCK_STREAM;
    FLocalPortStr = std::string("0");
    FLocalPortNum = 0;
    FLocalAddr = std::string("0.0.0.0");
    FLingerOnOff = wsLingerOn;
    FLingerTimeout = 0;
    FHSocket = INVALID_SOCKET;
    FState = wsClosed;
    FAllSent = true;
    FPaused = false;
    FCloseNotified = false;
    FReadCount = 0;
    FFlushTimeout = 60;
}

// ---- properties --------------------------------------------------------------------------

// The remote address, port and protocol change only while closed; each is resolved again on
// the next use.
void TCustomWSocket::SetRemoteText(std::string& Field, bool& Assigned, bool& Resolved, const std::string& Value,
                                   const char* Name)
{
    if (Assigned && Value == Field) return;
    if (FState != wsClosed) {
        RaiseError(std::string("Cannot change ") + Name + " if not closed");
        return;
    }
    Field = Trim(Value);
    Assigned = !Field.empty();
    Resolved = false;
}

void TCustomWSocket::SetAddr(const std::string& Value)
{
    SetRemoteText(FAddrStr, FAddrAssigned, FAddrResolved, Value, "Addr");
}

void TCustomWSocket::SetPort(const std::string& Value)
{
    SetRemoteText(FPortStr, FPortAssigned, FPortResolved, Value, "Port");
}

void TCustomWSocket::SetProto(const std::string& Value)
{
    SetRemoteText(FProtoStr, FProtoAssigned, FProtoResolved, Value, "Proto");
}

void TCustomWSocket::SetLocalPort(const std::string& Value)
{
    if (FState != wsClosed) {
        RaiseError("Cannot change LocalPort if not closed");
        return;
    }
    FLocalPortStr = Trim(Value);
    FLocalPortResolved = false;
}

void TCustomWSocket::SetLocalAddr(const std::string& Value)
{
    if (FState != wsClosed) {
        RaiseError("Cannot change LocalAddr if not closed");
        return;
    }
    std::string text = Trim(Value);
    if (text.empty()) text = "0.0.0.0";
    std::uint32_t a = IsDottedQuad(text) ? WSocket_inet_addr(text.c_str()) : INADDR_NONE;
    if (a == INADDR_NONE && text != "255.255.255.255") {
        RaiseError("SetLocalAddr(): Invalid IP address");
        return;
    }
    in_addr ia{};
    ia.s_addr = a;
    FLocalAddr = WSocket_inet_ntoa(ia);
}

TSocketSendFlags TCustomWSocket::SendFlags() const
{
    switch (FSendFlags) {
    case 0: return wsSendNormal;
    case MSG_OOB: return wsSendUrgent;
    default:
        const_cast<TCustomWSocket*>(this)->RaiseError("Invalid internal SendFlags");
        return wsSendNormal;
    }
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags Value)
{
    switch (Value) {
    case wsSendNormal: FSendFlags = 0; break;
    case wsSendUrgent: FSendFlags = MSG_OOB; break;
    default: RaiseError("Invalid SendFlags");
    }
}

void TCustomWSocket::SetLingerTimeout(int Value)
{
    if (Value < 0 || Value > 0xFFFF) throw ERangeError();
    FLingerTimeout = Value;
}

std::string TCustomWSocket::PeerAddr()
{
    if (FState != wsConnected) return "error";
    sockaddr_in sa{};
    int len = sizeof sa;
    if (WSocket_getpeername(FHSocket, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        ReportError("GetPeerName");
        return "error";
    }
    return WSocket_inet_ntoa(sa.sin_addr);
}

std::string TCustomWSocket::PeerPort()
{
    if (FState != wsConnected) return "error";
    sockaddr_in sa{};
    int len = sizeof sa;
    if (WSocket_getpeername(FHSocket, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        ReportError("GetPeerPort");
        return "error";
    }
    return IntToStr(WSocket_ntohs(sa.sin_port));
}

int TCustomWSocket::RcvdCount()
{
    std::uint32_t n = 0;
    if (WSocket_ioctlsocket(FHSocket, FIONREAD, &n) == SOCKET_ERROR) {
        ReportError("ioctlSocket");
        return -1;
    }
    return static_cast<int>(n);
}

std::string TCustomWSocket::BoundPortText()
{
    if (FState != wsBound && FState != wsConnected && FState != wsListening) return "error";
    sockaddr_in sa{};
    int len = sizeof sa;
    if (WSocket_getsockname(FHSocket, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return "error";
    return Format("%d", WSocket_ntohs(sa.sin_port));
}

int TCustomWSocket::QueryPeerAddress(sockaddr_in& Addr, int AddrLen)
{
    if (FState != wsConnected) return -1;
    int len = AddrLen;
    return WSocket_getpeername(FHSocket, reinterpret_cast<sockaddr*>(&Addr), &len);
}

int TCustomWSocket::QueryLocalAddress(sockaddr_in& Addr, int& AddrLen)
{
    return WSocket_getsockname(FHSocket, reinterpret_cast<sockaddr*>(&Addr), &AddrLen);
}

// ---- events ------------------------------------------------------------------------------
// A handler is copied before it runs: it may reassign itself or destroy the component.

bool TCustomWSocket::FireDataAvailable(std::uint16_t Error)
{
    if (!OnDataAvailable) return false;
    auto h = OnDataAvailable;
    h(this, Error);
    return true;
}

void TCustomWSocket::FireSessionAvailable(std::uint16_t Error)
{
    if (auto h = OnSessionAvailable) h(this, Error);
}

void TCustomWSocket::FireSessionConnected(std::uint16_t Error)
{
    if (InterceptSessionConnected(Error)) return;
    if (auto h = OnSessionConnected) h(this, Error);
}

void TCustomWSocket::FireSessionClosed(std::uint16_t Error)
{
    if (auto h = OnSessionClosed) h(this, Error);
}

void TCustomWSocket::FireDataSent(std::uint16_t Error)
{
    if (auto h = OnDataSent) h(this, Error);
}

void TCustomWSocket::FireChangeState(TSocketState OldState, TSocketState NewState)
{
    if (auto h = OnChangeState) h(this, OldState, NewState);
}

void TCustomWSocket::FireDnsLookupDone(std::uint16_t Error)
{
    if (auto h = OnDnsLookupDone) h(this, Error);
}

void TCustomWSocket::FireError()
{
    if (auto h = OnError) h(this);
}

void TCustomWSocket::FireSendData(int BytesSent)
{
    if (auto h = OnSendData) h(this, BytesSent);
}

void TCustomWSocket::EnterState(TSocketState NewState)
{
    TSocketState old = FState;
    FState = NewState;
    FireChangeState(old, NewState);
}

// ---- errors ------------------------------------------------------------------------------

void TCustomWSocket::RaiseError(const std::string& Msg)
{
    if (OnError) FireError();
    else throw ESocketException(Msg);
}

void TCustomWSocket::RaiseErrorFmt(const std::string& Fmt, const std::vector<TFormatArg>& Args)
{
    RaiseError(FormatArgs(Fmt, Args));
}

void TCustomWSocket::ReportError(const std::string& FuncName)
{
    int code = WSocket_WSAGetLastError();
    std::string msg = "Error " + IntToStr(code) + " in function " + FuncName + "\r\n" + WinsockErrorText(code);
    if (code == WSAECONNRESET || code == WSAENOTCONN) {
        if (FHSocket != INVALID_SOCKET) WSocket_closesocket(FHSocket);
        FHSocket = INVALID_SOCKET;
        TLiveness guard = Liveness();
        EnterState(wsClosed);
        if (!guard) return;
    }
    FLastError = code;
    RaiseError(msg);
}

void TCustomWSocket::BackgroundFault(Exception& E)
{
    bool canClose = true;
    TLiveness guard = Liveness();
    if (auto h = OnBgException) {
        try {
            h(this, E, canClose);
        } catch (...) {
        }
        if (!guard) return;
    }
    if (canClose) {
        try {
            Abort();
        } catch (...) {
        }
    }
}

// ---- the hidden target -------------------------------------------------------------------

void TCustomWSocket::HandleWindowMessage(TMessage& Msg)
{
    TLiveness guard = Liveness();
    try {
        switch (Msg.Msg) {
        case WM_SOCKET_EVENT: HandleSocketEvent(Msg); break;
        case WM_LOOKUP_DONE: HandleLookupDone(Msg, false); break;
        case WM_REVERSE_LOOKUP_DONE: HandleLookupDone(Msg, true); break;
        case WM_CLOSE_LATER: Close(); break;
        case WM_FREE_LATER: delete this; return;
        case WM_TEST_FAULT: throw ESocketException("Test exception in WSocket");
        default: Msg.Result = 0; break;
        }
    } catch (Exception& E) {
        if (guard) BackgroundFault(E);
    }
}

void TCustomWSocket::HandleSocketEvent(TMessage& Msg)
{
    const SOCKET h = static_cast<SOCKET>(Msg.WParam);
    if (h != FHSocket || h == INVALID_SOCKET || FPaused) return;
    TLiveness guard = Liveness();
    // A handler may close the connection, open another one or destroy the component.
    auto same = [&] { return guard && FHSocket == h; };
    const std::uint16_t events = LoWord(Msg.LParam);
    const std::uint16_t error = HiWord(Msg.LParam);

    if (events & FD_CONNECT) {
        EnterState(wsConnected);
        if (!same()) return;
        FireSessionConnected(error);
        if (!same()) return;
        if (error != 0 && FState != wsClosed) {
            Close();
            return;
        }
    }
    if (events & FD_READ) {
        ReadLoop(error);
        if (!same()) return;
    }
    if (events & FD_WRITE) {
        TryToSend();
        if (!same()) return;  // a send that found the connection broken has closed it
        if (FAllSent) {
            FireDataSent(error);
            if (!same()) return;
        }
    }
    if (events & FD_ACCEPT) {
        FireSessionAvailable(error);
        if (!same()) return;
    }
    if ((events & FD_CLOSE) && FState != wsConnecting) {
        ReadLoop(0);
        if (!same()) return;
        if (!FCloseNotified) {
            FCloseNotified = true;
            FireSessionClosed(error);
            if (!same()) return;
        }
        if (FState != wsClosed) Close();
    }
}

void TCustomWSocket::ReadLoop(std::uint16_t Error)
{
    TLiveness guard = Liveness();
    const SOCKET h = FHSocket;
    for (;;) {
        FLastError = 0;
        try {
            const std::uint64_t reads = FRecvCalls;
            if (!FireDataAvailable(Error)) {
                if (!guard) return;
                char junk[1024];
                if (DoRecv(junk, sizeof junk, 0) == -1) {
                    FLastError = WSocket_WSAGetLastError();
                    if (FLastError == WSAEWOULDBLOCK) {
                        FLastError = 0;
                        break;
                    }
                }
            }
            if (!guard) return;
            if (FHSocket != h || FPaused) break;
            if (FComponentOptions.Contains(wsoNoReceiveLoop)) break;
            if (FLastError != 0) break;
            // A handler that left the data where it was is called again after its next read,
            // when the library renews FD_READ; calling it again now would never end.
            if (FRecvCalls == reads) break;
            std::uint32_t n = 0;
            if (WSocket_ioctlsocket(FHSocket, FIONREAD, &n) == SOCKET_ERROR) {
                FLastError = WSocket_WSAGetLastError();
                break;
            }
            if (n == 0) break;
        } catch (...) {
            if (!guard) return;
            break;
        }
    }
}

// ---- connecting --------------------------------------------------------------------------

void TCustomWSocket::ResolveRemote(bool WithLocalPort)
{
    if (!FProtoResolved) {
        FProto = WSocketResolveProto(FProtoStr);
        FType = FProto == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
        FProtoResolved = true;
    }
    FSin.sin_family = AF_INET;
    if (!FPortResolved) {
        FSin.sin_port = WSocket_htons(WSocketResolvePort(FPortStr, FProtoStr));
        FPortResolved = true;
    }
    if (WithLocalPort && !FLocalPortResolved) {
        FLocalPortNum = WSocketResolvePort(FLocalPortStr, FProtoStr);
        FLocalPortResolved = true;
    }
    if (!FAddrResolved) {
        FSin.sin_addr.s_addr = WSocketResolveHost(FAddrStr);
        FAddrResolved = true;
    }
}

void TCustomWSocket::BindLocal()
{
    sockaddr_in la{};
    la.sin_family = AF_INET;
    la.sin_port = WSocket_htons(FLocalPortNum);
    la.sin_addr.s_addr = WSocketResolveHost(FLocalAddr);
    if (WSocket_bind(FHSocket, reinterpret_cast<sockaddr*>(&la), sizeof la) != 0) {
        RaiseErrorFmt("winsock.bind failed, error #%d", {std::int64_t(WSocket_WSAGetLastError())});
        return;
    }
    int len = sizeof la;
    if (WSocket_getsockname(FHSocket, reinterpret_cast<sockaddr*>(&la), &len) != 0) {
        RaiseErrorFmt("winsock.getsockname failed, error #%d", {std::int64_t(WSocket_WSAGetLastError())});
        return;
    }
    FLocalPortNum = WSocket_ntohs(la.sin_port);
    FLocalPortStr = IntToStr(FLocalPortNum);
}

void TCustomWSocket::ApplyLinger()
{
    if (FLingerOnOff == wsLingerNoSet) return;
    if (FHSocket == INVALID_SOCKET) {
        RaiseError("Cannot set linger option at this time");
        return;
    }
    WSLINGER l{static_cast<std::uint16_t>(FLingerOnOff == wsLingerOn ? 1 : 0),
               static_cast<std::uint16_t>(FLingerTimeout)};
    if (WSocket_setsockopt(FHSocket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l) != 0)
        ReportError("setsockopt(SO_LINGER)");
}

void TCustomWSocket::Connect()
{
    if (FHSocket != INVALID_SOCKET && FState != wsClosed) {
        RaiseError("Connect: Socket already in use");
        return;
    }
    if (!FPortAssigned) {
        RaiseError("Connect: No Port Specified");
        return;
    }
    if (!FAddrAssigned) {
        RaiseError("Connect: No IP Address Specified");
        return;
    }
    if (!FProtoAssigned) {
        RaiseError("Connect: No Protocol Specified");
        return;
    }
    try {
        ResolveRemote(true);
    } catch (const Exception& E) {
        RaiseError("connect: " + E.Message());
        return;
    }
    ClearSendQueue();
    FHSocket = WSocket_socket(AF_INET, FType, FProto);
    if (FHSocket == INVALID_SOCKET) {
        ReportError("Connect (socket)");
        return;
    }
    TLiveness guard = Liveness();
    const SOCKET h = FHSocket;
    auto same = [&] { return guard && FHSocket == h; };
    EnterState(wsOpened);
    if (!same()) return;

    if (FType == SOCK_DGRAM) {
        BindLocal();
        if (!same()) return;
        if (FSin.sin_addr.s_addr == INADDR_BROADCAST) {
            int on = 1;
            if (WSocket_setsockopt(FHSocket, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on),
                                   sizeof on) != 0) {
                ReportError("setsockopt(SO_BROADCAST)");
                return;
            }
        }
    } else {
        if (FLocalPortNum != 0 || FLocalAddr != "0.0.0.0") {
            BindLocal();
            if (!same()) return;
        }
        ApplyLinger();
        if (!same()) return;
        int on = -1;
        const char* onValue = reinterpret_cast<const char*>(&on);
        if (WSocket_setsockopt(FHSocket, SOL_SOCKET, SO_KEEPALIVE, onValue, sizeof on) != 0) {
            ReportError("setsockopt(SO_KEEPALIVE)");
            return;
        }
        if (WSocket_setsockopt(FHSocket, SOL_SOCKET, SO_REUSEADDR, onValue, sizeof on) != 0) {
            ReportError("setsockopt(SO_REUSEADDR)");
            return;
        }
    }

    FSelectEvent = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
    if (WSocket_WSAAsyncSelect(FHSocket, FWindowHandle, WM_SOCKET_EVENT, FSelectEvent) != 0) {
        ReportError("WSAAsyncSelect");
        return;
    }
    if (FType == SOCK_DGRAM) {
        EnterState(wsConnected);
        if (!same()) return;
        FireSessionConnected(0);
        return;
    }
    if (WSocket_connect(FHSocket, reinterpret_cast<sockaddr*>(&FSin), sizeof FSin) == 0 ||
        WSocket_WSAGetLastError() == WSAEWOULDBLOCK) {
        EnterState(wsConnecting);
    } else {
        FLastError = WSocket_WSAGetLastError();
        ReportError("Connect");
    }
}

void TCustomWSocket::Listen()
{
    if (!FPortAssigned) {
        WSocket_WSASetLastError(WSAEINVAL);
        ReportError("listen: port not assigned");
        return;
    }
    if (!FProtoAssigned) {
        WSocket_WSASetLastError(WSAEINVAL);
        ReportError("listen: protocol not assigned");
        return;
    }
    if (!FAddrAssigned) {
        WSocket_WSASetLastError(WSAEINVAL);
        ReportError("listen: address not assigned");
        return;
    }
    try {
        ResolveRemote(false);
    } catch (const Exception& E) {
        RaiseError("listen: " + E.Message());
        return;
    }
    ClearSendQueue();
    FHSocket = WSocket_socket(AF_INET, FType, FProto);
    if (FHSocket == INVALID_SOCKET) {
        ReportError("socket");
        return;
    }
    if (WSocket_bind(FHSocket, reinterpret_cast<sockaddr*>(&FSin), sizeof FSin) != 0) {
        // Still closed, so Close would not release the handle: it is released here.
        int err = WSocket_WSAGetLastError();
        WSocket_closesocket(FHSocket);
        FHSocket = INVALID_SOCKET;
        WSocket_WSASetLastError(err);
        ReportError("Bind");
        return;
    }
    TLiveness guard = Liveness();
    const SOCKET h = FHSocket;
    auto same = [&] { return guard && FHSocket == h; };
    EnterState(wsBound);
    if (!same()) return;
    if (FType == SOCK_DGRAM) {
        EnterState(wsListening);
        if (!same()) return;
        EnterState(wsConnected);
        if (!same()) return;
        FireSessionConnected(0);
        if (!same()) return;
    } else {
        if (WSocket_listen(FHSocket, FListenBacklog) != 0) {
            ReportError("Listen");
            return;
        }
        EnterState(wsListening);
        if (!same()) return;
    }
    FSelectEvent = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;
    if (WSocket_WSAAsyncSelect(FHSocket, FWindowHandle, WM_SOCKET_EVENT, FSelectEvent) != 0)
        ReportError("WSAASyncSelect");
}

SOCKET TCustomWSocket::Accept()
{
    if (FState != wsListening) {
        WSocket_WSASetLastError(WSAEINVAL);
        ReportError("not a listening socket");
        return INVALID_SOCKET;
    }
    int len = sizeof FSin;
    FASocket = WSocket_accept(FHSocket, reinterpret_cast<sockaddr*>(&FSin), &len);
    if (FASocket == INVALID_SOCKET) {
        ReportError("Accept");
        return INVALID_SOCKET;
    }
    return FASocket;
}

void TCustomWSocket::Dup(SOCKET NewHSocket)
{
    if (NewHSocket == 0 || NewHSocket == INVALID_SOCKET) {
        WSocket_WSASetLastError(WSAEINVAL);
        ReportError("Dup");
        return;
    }
    TLiveness guard = Liveness();
    if (FState != wsClosed) {
        int rc = WSocket_closesocket(FHSocket);
        FHSocket = INVALID_SOCKET;
        if (rc != 0) {
            ReportError("Dup (closesocket)");
            return;
        }
        EnterState(wsClosed);
        if (!guard) return;
    }
    FHSocket = NewHSocket;
    ApplyLinger();
    if (!guard || FHSocket != NewHSocket) return;
    FSelectEvent = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;
    if (WSocket_WSAAsyncSelect(FHSocket, FWindowHandle, WM_SOCKET_EVENT, FSelectEvent) != 0) {
        ReportError("WSAAsyncSelect");
        if (!guard || FHSocket != NewHSocket) return;
    }
    EnterState(wsConnected);
}

// ---- sending -----------------------------------------------------------------------------

void TCustomWSocket::ClearSendQueue()
{
    FBufList.clear();
    FSpareChunks.clear();
}

void TCustomWSocket::QueueData(const void* Data, int Len)
{
    const char* p = static_cast<const char*>(Data);
    // A file range takes no bytes (its Write takes none), so data behind one starts a chunk.
    if (FBufList.empty()) FBufList.push_back(NewChunk());
    int done = FBufList.back()->Write(p, Len);
    while (done < Len) {
        FBufList.push_back(NewChunk());
        done += FBufList.back()->Write(p + done, Len - done);
    }
}

// Chunks emptied by sending are kept for the next data, as many as one gathered send takes
// (about 256 KiB): a stream of bodies would otherwise allocate and free a chunk per 1514 bytes.
std::unique_ptr<TBuffer> TCustomWSocket::NewChunk()
{
    if (FSpareChunks.empty()) return std::make_unique<TBuffer>(SendChunkSize);
    std::unique_ptr<TBuffer> chunk = std::move(FSpareChunks.back());
    FSpareChunks.pop_back();
    return chunk;
}

void TCustomWSocket::DropFrontChunk()
{
    std::unique_ptr<TBuffer> chunk = std::move(FBufList.front());
    FBufList.pop_front();
    if (!TFileChunk::Of(chunk.get()) && FSpareChunks.size() < static_cast<std::size_t>(MaxGatheredChunks) &&
        chunk->WrCount == 0)
        FSpareChunks.push_back(std::move(chunk));
}

int TCustomWSocket::RealSend(const void* Data, int Len)
{
    int n;
    if (FType == SOCK_DGRAM)
        n = WSocket_sendto(FHSocket, static_cast<const char*>(Data), Len, FSendFlags,
                           reinterpret_cast<const sockaddr*>(&FSin), sizeof FSin);
    else
        n = WSocket_send(FHSocket, static_cast<const char*>(Data), Len, FSendFlags);
    FRealSent = n > 0 ? n : 0;
    if (n > 0) FireSendData(n);
    return n;
}

int TCustomWSocket::RealSendGathered(const WSABUF* Pieces, int Count)
{
    std::uint32_t sent = 0;
    int r = WSocket_WSASend(FHSocket, Pieces, static_cast<std::uint32_t>(Count), &sent, static_cast<std::uint32_t>(FSendFlags));
    int n = r == 0 ? static_cast<int>(sent) : -1;
    FRealSent = n > 0 ? n : 0;
    if (n > 0) FireSendData(n);
    return n;
}

int TCustomWSocket::RealTransmitFile(TFileChunk& File)
{
    // At most 1 GiB a call: the count comes back as an int.
    const auto want = static_cast<std::uint32_t>(std::min<std::int64_t>(File.Left, 1 << 30));
    std::int64_t offset = File.Offset;
    int n = WSocket_TransmitFile(FHSocket, File.Fd, &offset, want);
    FRealSent = n > 0 ? n : 0;
    if (n > 0) {
        File.Offset += n;
        File.Left -= n;
        FireSendData(n);
    }
    return n;
}

void TCustomWSocket::TakeSent(int Count)
{
    while (Count > 0 && !FBufList.empty()) {
        TBuffer* chunk = FBufList.front().get();
        Count -= chunk->Remove(Count);
        if (chunk->RdCount < chunk->WrCount || FBufList.size() == 1) break;
        DropFrontChunk();
    }
}

void TCustomWSocket::TryToSend()
{
    if (FHSocket == INVALID_SOCKET) return;
    // A Send from an OnSendData handler only queues: the loop below goes on with its bytes.
    if (FInTryToSend) return;
    if (FBufList.empty()) {
        FAllSent = true;
        return;
    }
    TLiveness guard = Liveness();
    const SOCKET h = FHSocket;
    FInTryToSend = true;
    for (;;) {
        if (FBufList.empty()) {
            FAllSent = true;
            break;
        }
        TBuffer* chunk = FBufList.front().get();
        int n = 0;
        const char* data = chunk->Peek(n);
        TFileChunk* file = data ? nullptr : TFileChunk::Of(chunk);
        if (file && file->Left == 0) {
            DropFrontChunk();
            continue;
        }
        if (!file && !data) {
            if (FBufList.size() > 1) {
                DropFrontChunk();
                continue;
            }
            FAllSent = true;
            break;
        }
        // On a stream the queued chunks go out together, in one system call: a chunk per call
        // would cost a call per 1514 bytes. Datagrams keep one chunk per send, and a file range
        // goes on its own.
        WSABUF pieces[MaxGatheredChunks];
        int count = 1;
        if (file) {
            n = static_cast<int>(std::min<std::int64_t>(file->Left, 1 << 30));
        } else {
            pieces[0] = WSABUF{static_cast<std::uint32_t>(n), const_cast<char*>(data)};
            // Out-of-band or other flags mark each send: those keep one chunk per send.
            const bool gather = FType == SOCK_STREAM && FSendFlags == 0;
            for (std::size_t i = 1; gather && i < FBufList.size() && count < MaxGatheredChunks; ++i) {
                int len = 0;
                const char* more = FBufList[i]->Peek(len);
                if (!more) {
                    if (TFileChunk::Of(FBufList[i].get())) break;  // its bytes come after
                    continue;
                }
                pieces[count++] = WSABUF{static_cast<std::uint32_t>(len), const_cast<char*>(more)};
                n += len;
            }
        }
        int r;
        FRealSent = 0;
        try {
            r = file ? RealTransmitFile(*file) : count == 1 ? RealSend(data, n) : RealSendGathered(pieces, count);
        } catch (...) {
            // A raising OnSendData must neither leave the queue locked for good nor have the
            // bytes that already went out sent again (a file range has moved on already).
            if (guard) {
                FInTryToSend = false;
                if (!file && FHSocket == h && !FBufList.empty() && FBufList.front().get() == chunk) TakeSent(FRealSent);
            }
            throw;
        }
        int err = r < 0 ? WSocket_WSAGetLastError() : 0;
        if (!guard) return;
        if (FHSocket != h) {  // closed or aborted by OnSendData: the queue is not ours to touch
            FInTryToSend = false;
            return;
        }
        if (r == 0 && file) {
            // The file ends before its range does: what the peer was promised cannot come, so
            // the connection is cut rather than left to look complete.
            FInTryToSend = false;
            FCloseNotified = true;
            Abort();
            if (!guard) return;
            FireSessionClosed(WSAECONNABORTED);
            return;
        }
        if (r == 0) break;
        if (r < 0) {
            FInTryToSend = false;
            if (isClosingSendError(err)) {
                FCloseNotified = true;
                Close();
                if (!guard) return;
                FireSessionClosed(static_cast<std::uint16_t>(err));
                return;
            }
            if (err == WSAEWOULDBLOCK) return;  // FD_WRITE resumes
            WSocket_WSASetLastError(err);
            ReportError("TryToSend failed");
            return;
        }
        if (!file) TakeSent(r);
        if (r != n) break;
    }
    FInTryToSend = false;
}

int TCustomWSocket::Send(const void* Data, int Len)
{
    if (FState != wsConnected) {
        WSocket_WSASetLastError(WSAENOTCONN);
        ReportError("Send");
        return -1;
    }
    FAllSent = false;
    if (Len > 0) QueueData(Data, Len);
    else Len = 0;
    SendQueued();
    return Len;
}

void TCustomWSocket::SendQueued()
{
    TLiveness guard = Liveness();
    TryToSend();
    if (!guard) return;
    if (FAllSent && FHSocket != INVALID_SOCKET)
        PostMessage(FWindowHandle, WM_SOCKET_EVENT, FHSocket, MakeLong(static_cast<std::uint16_t>(FD_WRITE), 0));
}

int TCustomWSocket::SendFile(int Fd, std::int64_t Offset, std::int64_t Len)
{
    if (FState != wsConnected) {
        WSocket_WSASetLastError(WSAENOTCONN);
        ReportError("SendFile");
        return -1;
    }
    // Only a regular file open for reading can be sent from; anything else is refused here
    // rather than cutting the connection when its turn comes.
    int own = -1;
    struct stat st {};
    const bool readable = Len == 0 || (::fstat(Fd, &st) == 0 && S_ISREG(st.st_mode) &&
                                       (::fcntl(Fd, F_GETFL) & O_ACCMODE) != O_WRONLY);
    if (FType != SOCK_STREAM || Offset < 0 || Len < 0 || !readable ||
        (Len > 0 && (own = ::fcntl(Fd, F_DUPFD_CLOEXEC, 0)) < 0)) {
        WSocket_WSASetLastError(FType != SOCK_STREAM ? WSAEOPNOTSUPP : errno == EMFILE ? WSAEMFILE : WSAEINVAL);
        ReportError("SendFile");
        return -1;
    }
    FAllSent = false;
    if (Len > 0) FBufList.push_back(std::make_unique<TFileChunk>(own, Offset, Len));
    SendQueued();
    return 0;
}

int TCustomWSocket::SendText(const std::string& Str)
{
    return Send(Str.data(), static_cast<int>(Str.size()));
}

int TCustomWSocket::SendToAddress(const sockaddr_in& Dest, int DestLen, const void* Data, int Len)
{
    int n = WSocket_sendto(FHSocket, static_cast<const char*>(Data), Len, FSendFlags,
                           reinterpret_cast<const sockaddr*>(&Dest), DestLen);
    if (n > 0) FireSendData(n);
    return n;
}

void TCustomWSocket::Flush()
{
    TLiveness guard = Liveness();
    while (FHSocket != INVALID_SOCKET && !FAllSent) {
        TryToSend();
        if (!guard) return;
        if (FHSocket == INVALID_SOCKET || FAllSent) break;
        PumpMessages();
        if (!guard) return;
        if (FHSocket != INVALID_SOCKET && !FAllSent) WaitForWork();
    }
}

// ---- receiving ---------------------------------------------------------------------------

int TCustomWSocket::DoRecv(void* Buffer, int Len, int Flags)
{
    ++FRecvCalls;
    return WSocket_recv(FHSocket, static_cast<char*>(Buffer), Len, Flags);
}

int TCustomWSocket::DoRecvFrom(SOCKET Handle, void* Buffer, int Len, int Flags, sockaddr_in& From, int& FromLen)
{
    ++FRecvCalls;
    return WSocket_recvfrom(Handle, static_cast<char*>(Buffer), Len, Flags, reinterpret_cast<sockaddr*>(&From),
                            &FromLen);
}

int TCustomWSocket::Receive(void* Buffer, int BufferSize)
{
    int n = DoRecv(Buffer, BufferSize, 0);
    if (n < 0) FLastError = WSocket_WSAGetLastError();
    else FReadCount += n;
    return n;
}

std::string TCustomWSocket::ReceiveText()
{
    int count = RcvdCount();
    if (count <= 0) return std::string();
    std::string s(static_cast<std::size_t>(count), '\0');
    int n = Receive(s.data(), count);
    if (n <= 0) return std::string();
    s.resize(static_cast<std::size_t>(n));
    return s;
}

int TCustomWSocket::ReceiveFromAddress(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen)
{
    int n = DoRecvFrom(FHSocket, Buffer, BufferSize, 0, From, FromLen);
    if (n < 0) FLastError = WSocket_WSAGetLastError();
    else FReadCount += n;
    return n;
}

void TCustomWSocket::DrainUntilClosed()
{
    TLiveness guard = Liveness();
    while (FHSocket != INVALID_SOCKET && FState != wsClosed) {
        PumpMessages();
        if (!guard) return;
        if (FHSocket == INVALID_SOCKET || FState == wsClosed) break;
        std::uint32_t n = 0;
        if (WSocket_ioctlsocket(FHSocket, FIONREAD, &n) == SOCKET_ERROR) break;
        if (n > 0) {
            const std::uint64_t reads = FRecvCalls;
            FireDataAvailable(0);
            if (!guard) return;
            if (FHSocket == INVALID_SOCKET) break;
            // A zero-length read answers 0 while data waits, which would look like the end:
            // as long as the handler takes data, it is simply called again.
            if (FRecvCalls != reads && WSocket_ioctlsocket(FHSocket, FIONREAD, &n) == 0 && n > 0) continue;
        }
        char probe;
        WSocket_WSASetLastError(0);  // a zero-length read that succeeds leaves the error alone
        int r = DoRecv(&probe, 0, 0);
        if (r <= 0) {
            FLastError = WSocket_WSAGetLastError();
            if (FLastError != WSAEWOULDBLOCK) break;
        }
        PumpMessages();
        if (!guard) return;
        if (FHSocket != INVALID_SOCKET && FState != wsClosed) WaitForWork();
    }
}

// ---- lookups -----------------------------------------------------------------------------

// What both lookups do first: refuse an empty text, withdraw a lookup still running, forget
// the last answer. False when the lookup ends here.
bool TCustomWSocket::PrepareLookup(const std::string& Text)
{
    if (Text.empty()) {
        TLiveness guard = Liveness();
        RaiseError("DNS lookup: invalid host name.");
        if (!guard) return false;  // freed by its OnError handler
        FireDnsLookupDone(WSAEINVAL);
        return false;
    }
    if (FDnsLookupHandle != 0) {
        WSocket_WSACancelAsyncRequest(FDnsLookupHandle);
        FDnsLookupHandle = 0;
    }
    FDnsResult.clear();
    FDnsResultList->Clear();
    return true;
}

void TCustomWSocket::CheckLookupStarted(const std::string& Text)
{
    if (FDnsLookupHandle == 0)
        RaiseErrorFmt("%s: can't start DNS lookup, error #%d", {Text, std::int64_t(WSocket_WSAGetLastError())});
}

void TCustomWSocket::StartDnsLookup(const std::string& HostName)
{
    if (!PrepareLookup(HostName)) return;
    std::uint32_t a = WSocket_inet_addr(HostName.c_str());
    if (a != INADDR_NONE || HostName == "255.255.255.255") {
        in_addr ia{};
        ia.s_addr = a;
        FDnsResult = WSocket_inet_ntoa(ia);
        FireDnsLookupDone(0);
        return;
    }
    FDnsLookupHandle = WSocket_WSAAsyncGetHostByName(FWindowHandle, WM_LOOKUP_DONE, HostName.c_str(),
                                                     FDnsLookupBuffer, DnsBufferSize);
    CheckLookupStarted(HostName);
}

void TCustomWSocket::StartReverseLookup(const std::string& HostAddr)
{
    if (!PrepareLookup(HostAddr)) return;
    std::uint32_t a = WSocket_inet_addr(HostAddr.c_str());
    FDnsLookupHandle = WSocket_WSAAsyncGetHostByAddr(FWindowHandle, WM_REVERSE_LOOKUP_DONE,
                                                     reinterpret_cast<const char*>(&a), 4, AF_INET, FDnsLookupBuffer,
                                                     DnsBufferSize);
    CheckLookupStarted(HostAddr);
}

void TCustomWSocket::HandleLookupDone(TMessage& Msg, bool Reverse)
{
    if (FDnsLookupHandle == 0 || static_cast<HANDLE>(Msg.WParam) != FDnsLookupHandle) return;
    FDnsLookupHandle = 0;
    const std::uint16_t error = HiWord(Msg.LParam);
    if (error == 0) {
        hostent entry;
        std::memcpy(&entry, FDnsLookupBuffer, sizeof entry);
        if (Reverse) {
            FDnsResult = entry.h_name;
            FDnsResultList->Add(FDnsResult);
        } else {
            for (int i = 0; i < 256 && entry.h_addr_list[i]; ++i) {
                in_addr a;
                std::memcpy(&a, entry.h_addr_list[i], 4);
                FDnsResultList->Add(WSocket_inet_ntoa(a));
            }
            if (FDnsResultList->Count() > 0) FDnsResult = FDnsResultList->Get(0);
        }
    }
    FireDnsLookupDone(error);
}

void TCustomWSocket::StopDnsLookup()
{
    if (FDnsLookupHandle == 0) return;
    int rc = WSocket_WSACancelAsyncRequest(FDnsLookupHandle);
    FDnsLookupHandle = 0;
    if (rc != 0) {
        ReportError("WSACancelAsyncRequest");
        return;
    }
    if (!IsDestroying()) FireDnsLookupDone(WSAEINTR);
}

// ---- closing -----------------------------------------------------------------------------

void TCustomWSocket::Close()
{
    InternalClose(true, 0);
}

void TCustomWSocket::CloseLater()
{
    PostMessage(FWindowHandle, WM_CLOSE_LATER, 0, 0);
}

void TCustomWSocket::FreeLater()
{
    PostMessage(FWindowHandle, WM_FREE_LATER, 0, 0);
}

void TCustomWSocket::Abort()
{
    TLiveness guard = Liveness();
    StopDnsLookup();
    if (!guard) return;
    ClearSendQueue();
    if (FState == wsConnected && FProto == IPPROTO_TCP) {
        FLingerOnOff = wsLingerOff;
        ApplyLinger();
        if (!guard) return;
    }
    InternalClose(false, 0);
}

void TCustomWSocket::Shutdown(int How)
{
    if (FHSocket != INVALID_SOCKET) WSocket_shutdown(FHSocket, How);
}

void TCustomWSocket::InternalClose(bool bShut, std::uint16_t Error)
{
    TLiveness guard = Liveness();
    if (FHSocket == INVALID_SOCKET) {
        if (FState != wsClosed) {
            EnterState(wsClosed);
            if (!guard) return;
            RestoreDefaults();
        }
        return;
    }
    if (FState == wsClosed) {
        // A handle adopted while closed (a Dup that failed half-way) is still released.
        WSocket_closesocket(FHSocket);
        FHSocket = INVALID_SOCKET;
        return;
    }
    if (bShut) {
        Shutdown(1);
        // A zero linger time would turn this orderly close into a reset that throws away the
        // bytes still on their way to the peer; the close after a shutdown stays orderly.
        if (FType == SOCK_STREAM && FLingerOnOff == wsLingerOn && FLingerTimeout == 0) {
            WSLINGER off{0, 0};
            WSocket_setsockopt(FHSocket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&off), sizeof off);
        }
    }
    // File ranges belong to the connection they were queued for and go with it.
    std::erase_if(FBufList, [](const std::unique_ptr<TBuffer>& c) { return TFileChunk::Of(c.get()) != nullptr; });
    // The library closes at once: the only failures are a handle it does not know and a
    // library already cleaned up.
    if (WSocket_closesocket(FHSocket) != 0) {
        FLastError = WSocket_WSAGetLastError();
        if (FLastError != WSANOTINITIALISED) {
            FHSocket = INVALID_SOCKET;
            ReportError("Disconnect (closesocket)");
            return;
        }
    }
    FHSocket = INVALID_SOCKET;
    EnterState(wsClosed);
    if (!guard) return;
    if (!IsDestroying() && !FCloseNotified) {
        FCloseNotified = true;
        FireSessionClosed(Error);
        if (!guard) return;
    }
    if (FHSocket != INVALID_SOCKET) return;  // a handler has opened the next connection already
    RestoreDefaults();
}

int TCustomWSocket::Pause()
{
    FPaused = true;
    return WSocket_WSAAsyncSelect(FHSocket, FWindowHandle, 0, 0);
}

int TCustomWSocket::Resume()
{
    FPaused = false;
    return WSocket_WSAAsyncSelect(FHSocket, FWindowHandle, WM_SOCKET_EVENT, FSelectEvent);
}

// ---- message pumping ---------------------------------------------------------------------

void TCustomWSocket::PumpMessages()
{
    if (FMultiThreaded) {
        ProcessOwnMessages();
        return;
    }
    ProcessMessages();
}

void TCustomWSocket::ProcessOwnMessages()
{
    TLiveness guard = Liveness();
    MessageQueue& q = MessageQueue::Current();
    do {
        if (!q.ProcessPending() && guard) FQuitSeen = true;
    } while (q.HasPending());
}

void TCustomWSocket::WaitForWork()
{
    if (FMultiThreaded) MessageQueue::Current().WaitNext(50);
    else WaitMessage(50);
}

}  // namespace kapo
