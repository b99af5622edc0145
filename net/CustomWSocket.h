// The first layer of the socket chain: lookup, connection, listening, the send queue, the
// event-driven read loop, closing and errors. Everything runs on the thread that created the
// component, driven by the messages of its hidden target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/Classes.h"
#include "net/WSockbuf.h"
#include "net/WSocketBinding.h"
#include "platform/MessageQueue.h"
#include "platform/Winsock.h"

namespace kapo {

// ---- the socket component ----------------------------------------------------------------

constexpr UINT WM_SOCKET_EVENT = WM_USER + 1;
constexpr UINT WM_LOOKUP_DONE = WM_USER + 2;
constexpr UINT WM_REVERSE_LOOKUP_DONE = WM_USER + 3;
constexpr UINT WM_CLOSE_LATER = WM_USER + 4;
constexpr UINT WM_FREE_LATER = WM_USER + 5;
constexpr UINT WM_TEST_FAULT = WM_USER + 6;

enum TSocketState { wsInvalidState, wsOpened, wsBound, wsConnecting, wsConnected, wsAccepting, wsListening, wsClosed };
enum TSocketSendFlags { wsSendNormal, wsSendUrgent };
enum TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };
enum TWSocketOption { wsoNoReceiveLoop };

class TWSocketOptions {
public:
    TWSocketOptions() = default;
    TWSocketOptions(std::initializer_list<TWSocketOption> l)
    {
        for (auto o : l) Include(o);
    }
    bool Contains(TWSocketOption o) const { return FBits & (1u << o); }
    void Include(TWSocketOption o) { FBits |= 1u << o; }
    void Exclude(TWSocketOption o) { FBits &= ~(1u << o); }
    bool operator==(const TWSocketOptions&) const = default;

private:
    unsigned FBits = 0;
};

using TSessionConnected = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TDataAvailable = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TSendData = std::function<void(TObject* Sender, int BytesSent)>;
using TDataSent = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TSessionClosed = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TSessionAvailable = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TDnsLookupDone = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TChangeState = std::function<void(TObject* Sender, TSocketState OldState, TSocketState NewState)>;
using TBgExceptionEvent = std::function<void(TObject* Sender, Exception& E, bool& CanClose)>;

class TCustomWSocket : public TComponent {
public:
    static constexpr int SendChunkSize = 1514;
    // Queued chunks handed to the system in one gathered send (about 256 KiB).
    static constexpr int MaxGatheredChunks = 173;
    static constexpr int DnsBufferSize = 1025;

    explicit TCustomWSocket(TComponent* AOwner = nullptr);
    ~TCustomWSocket() override;

    // -- properties
    const std::string& Addr() const { return FAddrStr; }
    void SetAddr(const std::string& Value);
    const std::string& Port() const { return FPortStr; }
    virtual void SetPort(const std::string& Value);
    const std::string& Proto() const { return FProtoStr; }
    virtual void SetProto(const std::string& Value);
    const std::string& LocalAddr() const { return FLocalAddr; }
    void SetLocalAddr(const std::string& Value);
    const std::string& LocalPort() const { return FLocalPortStr; }
    void SetLocalPort(const std::string& Value);
    virtual std::string PeerAddr();  // "error" unless connected
    virtual std::string PeerPort();
    const std::string& DnsResult() const { return FDnsResult; }
    TStrings& DnsResultList() { return *FDnsResultList; }
    TSocketState State() const { return FState; }
    std::int64_t ReadCount() const { return FReadCount; }
    virtual int RcvdCount();  // bytes readable now; -1 when the system cannot tell
    int LastError() const { return FLastError; }
    bool MultiThreaded() const { return FMultiThreaded; }
    void SetMultiThreaded(bool Value) { FMultiThreaded = Value; }
    TWSocketOptions ComponentOptions() const { return FComponentOptions; }
    void SetComponentOptions(TWSocketOptions Value) { FComponentOptions = Value; }
    int FlushTimeout() const { return FFlushTimeout; }
    void SetFlushTimeout(int Value) { FFlushTimeout = Value; }
    TSocketSendFlags SendFlags() const;
    void SetSendFlags(TSocketSendFlags Value);
    TSocketLingerOnOff LingerOnOff() const { return FLingerOnOff; }
    void SetLingerOnOff(TSocketLingerOnOff Value) { FLingerOnOff = Value; }
    int LingerTimeout() const { return FLingerTimeout; }
    void SetLingerTimeout(int Value);  // seconds, 0 to 65535
    // Connections the system may queue for Accept; a busy server raises it before Listen.
    int ListenBacklog() const { return FListenBacklog; }
    void SetListenBacklog(int Value) { FListenBacklog = Value; }

    SOCKET HSocket() const { return FHSocket; }  // the socket handle, INVALID_SOCKET when none
    HWND Handle() const { return FWindowHandle; }  // the hidden target that receives the events
    bool AllSent() const { return FAllSent; }
    bool Paused() const { return FPaused; }
    bool QuitSeen() const { return FQuitSeen; }

    // -- operations
    virtual void Connect();
    virtual void Close();
    virtual void CloseLater();  // Close from the message loop
    virtual void FreeLater();   // destroy from the message loop
    virtual void Abort();
    virtual void Flush();
    virtual void DrainUntilClosed();
    virtual void Listen();
    virtual SOCKET Accept();
    virtual int Receive(void* Buffer, int BufferSize);
    virtual std::string ReceiveText();
    virtual int ReceiveFromAddress(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen);
    virtual int Send(const void* Data, int Len);
    // Queues Len bytes of the open file Fd from Offset behind what is queued; the system sends
    // them straight from the file as the socket drains, with OnSendData and OnDataSent as for
    // Send. The socket keeps a duplicate of the descriptor until the range is sent or the
    // connection closes. A stream and a regular file open for reading only; 0, or -1 after
    // the error is reported (as for Send). A file found shorter than the range cuts the
    // connection (OnSessionClosed with 10053). Send flags do not apply to the range.
    virtual int SendFile(int Fd, std::int64_t Offset, std::int64_t Len);
    virtual int SendToAddress(const sockaddr_in& Dest, int DestLen, const void* Data, int Len);
    virtual int SendText(const std::string& Str);
    virtual void StartDnsLookup(const std::string& HostName);
    virtual void StartReverseLookup(const std::string& HostAddr);
    virtual void StopDnsLookup();
    virtual int QueryPeerAddress(sockaddr_in& Addr, int AddrLen);
    virtual std::string BoundPortText();
    virtual int QueryLocalAddress(sockaddr_in& Addr, int& AddrLen);
    virtual void Dup(SOCKET NewHSocket);
    virtual void Shutdown(int How);
    virtual int Pause();
    virtual int Resume();
    // Turns the loop once: the thread's own queue when MultiThreaded, else the program's pump.
    virtual void PumpMessages();
    // Handles every message of the calling thread's queue until it is empty; WM_QUIT is
    // recorded in QuitSeen instead of ending anything here.
    void ProcessOwnMessages();

    // -- events
    TDataAvailable OnDataAvailable;
    TDataSent OnDataSent;
    TSendData OnSendData;
    TSessionClosed OnSessionClosed;
    TSessionAvailable OnSessionAvailable;
    TSessionConnected OnSessionConnected;
    TChangeState OnChangeState;
    TDnsLookupDone OnDnsLookupDone;
    TNotifyEvent OnError;
    TBgExceptionEvent OnBgException;

protected:
    virtual void HandleWindowMessage(TMessage& Msg);
    virtual void RestoreDefaults();
    virtual void InternalClose(bool bShut, std::uint16_t Error);
    virtual void BindLocal();
    virtual int RealSend(const void* Data, int Len);
    // Hands several pieces of a stream to the system in one call; fires OnSendData like RealSend.
    int RealSendGathered(const WSABUF* Pieces, int Count);
    // Sends what the system takes of a queued file range now, moving the range on.
    int RealTransmitFile(TFileChunk& File);
    virtual void RaiseErrorFmt(const std::string& Fmt, const std::vector<TFormatArg>& Args);
    virtual void RaiseError(const std::string& Msg);
    bool PrepareLookup(const std::string& Text);
    void CheckLookupStarted(const std::string& Text);
    void SetRemoteText(std::string& Field, bool& Assigned, bool& Resolved, const std::string& Value, const char* Name);
    virtual void BackgroundFault(Exception& E);
    virtual bool FireDataAvailable(std::uint16_t Error);
    virtual void FireSessionAvailable(std::uint16_t Error);
    virtual void FireSessionConnected(std::uint16_t Error);
    virtual void FireSessionClosed(std::uint16_t Error);
    virtual void FireDataSent(std::uint16_t Error);
    virtual void FireChangeState(TSocketState OldState, TSocketState NewState);
    virtual void FireDnsLookupDone(std::uint16_t Error);
    virtual void FireError();
    virtual int DoRecv(void* Buffer, int Len, int Flags);
    virtual int DoRecvFrom(SOCKET Handle, void* Buffer, int Len, int Flags, sockaddr_in& From, int& FromLen);
    // Offered the connection's report before OnSessionConnected is raised: a layer with a
    // handshake of its own to make first keeps it (true) and raises the event itself later.
    virtual bool InterceptSessionConnected(std::uint16_t Error) {
        (void)Error;
        return false;
    }

    void FireSendData(int BytesSent);
    void EnterState(TSocketState NewState);
    void ReportError(const std::string& FuncName);
    void ApplyLinger();
    void ClearSendQueue();
    void QueueData(const void* Data, int Len);
    std::unique_ptr<TBuffer> NewChunk();
    void DropFrontChunk();
    void TryToSend();
    // Sends what was just queued and, when all of it went, has OnDataSent follow.
    void SendQueued();
    // Takes Count sent bytes off the front of the queue, dropping the chunks they emptied.
    void TakeSent(int Count);
    void ReadLoop(std::uint16_t Error);
    bool IsDestroying() const { return ComponentState() & csDestroying; }
    // Waits for more work, at most a moment, so that waiting loops do not spin.
    void WaitForWork();

    // Remote end: the text properties and the address record they resolve to.
    std::string FAddrStr;
    std::string FPortStr;
    std::string FProtoStr;
    std::string FLocalAddr;
    std::string FLocalPortStr;
    sockaddr_in FSin{};
    int FProto = 6;
    int FType = SOCK_STREAM;
    std::uint16_t FLocalPortNum = 0;
    bool FAddrAssigned = false;
    bool FAddrResolved = false;
    bool FPortAssigned = false;
    bool FPortResolved = false;
    bool FProtoAssigned = true;
    bool FProtoResolved = false;
    bool FLocalPortResolved = false;

    SOCKET FHSocket = INVALID_SOCKET;
    SOCKET FASocket = INVALID_SOCKET;  // last handle returned by Accept
    HWND FWindowHandle = 0;
    TSocketState FState = wsClosed;
    std::deque<std::unique_ptr<TBuffer>> FBufList;
    std::vector<std::unique_ptr<TBuffer>> FSpareChunks;  // emptied chunks kept for reuse
    bool FAllSent = true;
    long FSelectEvent = 0;
    HANDLE FDnsLookupHandle = 0;
    alignas(std::max_align_t) char FDnsLookupBuffer[DnsBufferSize]{};
    std::string FDnsResult;
    std::unique_ptr<TStringList> FDnsResultList;
    bool FPaused = false;
    bool FCloseNotified = false;
    bool FQuitSeen = false;
    bool FMultiThreaded = false;
    bool FInTryToSend = false;
    int FRealSent = 0;  // bytes the last RealSend handed to the system
    std::uint64_t FRecvCalls = 0;  // reads from the system, so a read loop can tell a pass took nothing
    TWSocketOptions FComponentOptions;
    int FFlushTimeout = 60;
    int FSendFlags = 0;
    TSocketLingerOnOff FLingerOnOff = wsLingerOn;
    int FLingerTimeout = 0;
    int FListenBacklog = 5;
    int FLastError = 0;
    std::int64_t FReadCount = 0;

private:
    void HandleSocketEvent(TMessage& Msg);
    void HandleLookupDone(TMessage& Msg, bool Reverse);
    void ResolveRemote(bool WithLocalPort);
};

}  // namespace kapo
