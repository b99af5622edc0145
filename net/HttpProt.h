// The HTTP/1.0 client component and the address, Base64 and date helpers it builds on.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/Classes.h"
#include "net/HttpResponse.h"
#include "net/HttpUrl.h"
#include "net/WSocket.h"
#include "platform/MessageQueue.h"
#include "platform/Timer.h"

namespace kapo {

// ---- the client ---------------------------------------------------------------------------

enum THttpRequest { rqNone, rqGet, rqPost, rqHead };
enum THttpCliState {
    hsReady,
    hsNotConnected,
    hsConnected,
    hsDnsLookup,
    hsDnsLookupDone,
    hsWaitingHeader,
    hsWaitingBody,
    hsAborting
};

// Error codes of EHttpException and of OnRequestDone (besides sockets errors and statuses).
constexpr std::uint16_t httperrBusy = 1;
constexpr std::uint16_t httperrNoData = 2;
constexpr std::uint16_t httperrAborted = 3;
constexpr std::uint16_t httperrOverflow = 4;

// The client's notifications to itself.
constexpr UINT WM_REQUEST_DONE = WM_USER + 1;
constexpr UINT WM_SET_READY = WM_USER + 2;
constexpr UINT WM_RELOCATE = WM_USER + 3;

class EHttpException : public Exception {
public:
    EHttpException(std::string Msg, std::uint16_t ErrorCode) : Exception(std::move(Msg)), FErrorCode(ErrorCode) {}
    std::uint16_t ErrorCode() const { return FErrorCode; }

private:
    std::uint16_t FErrorCode;
};

using TOnCommand = std::function<void(TObject* Sender, std::string& S)>;
using TDocDataEvent = std::function<void(TObject* Sender, const void* Buffer, int Len)>;
using THttpRequestDone = std::function<void(TObject* Sender, THttpRequest RqType, std::uint16_t Error)>;
using TCookieRcvdEvent = std::function<void(TObject* Sender, const std::string& Data, bool& Accept)>;

// One HTTP/1.0 request at a time over one owned socket, directly or through a proxy, with
// Basic authentication and relocations. The end of a document is the server's close.
// Everything runs on the creating thread, driven by the message queue.
class THttpCli : public TComponent {
public:
    explicit THttpCli(TComponent* AOwner = nullptr);
    ~THttpCli() override;

    // Synchronous GET: pumps messages until the request is over; raises EHttpException for a
    // status of 400 or more and for local failures (reported as 404).
    void Get() { RunRequest(rqGet); }
    void RunRequest(THttpRequest Kind);
    // Starts a request and returns once its name lookup is under way.
    void StartRequest(THttpRequest Kind);
    // Ends whatever is in progress at once; safe in any state.
    void Abort();

    // -- published properties
    const std::string& URL() const { return FURL; }
    void SetURL(const std::string& v) { FURL = v; }
    const std::string& Proxy() const { return FProxy; }
    void SetProxy(const std::string& v) { FProxy = v; }
    const std::string& ProxyPort() const { return FProxyPort; }
    void SetProxyPort(const std::string& v) { FProxyPort = v; }
    const std::string& Sender() const { return FSender; }
    void SetSender(const std::string& v) { FSender = v; }
    const std::string& Agent() const { return FAgent; }
    void SetAgent(const std::string& v) { FAgent = v; }
    const std::string& Accept() const { return FAccept; }
    void SetAccept(const std::string& v) { FAccept = v; }
    const std::string& Reference() const { return FReference; }
    void SetReference(const std::string& v) { FReference = v; }
    const std::string& Username() const { return FUsername; }
    void SetUsername(const std::string& v) { FUsername = v; }
    const std::string& Password() const { return FPassword; }
    void SetPassword(const std::string& v) { FPassword = v; }
    // Points the client at the proxy a setting names (ParseProxyAddress): an HTTP proxy with
    // its credentials, or a SOCKS server with its own, at DefaultPort unless the text names one.
    void SetProxyAddress(const std::string& Text, const std::string& DefaultPort);
    const std::string& ProxyUsername() const { return FProxyUsername; }
    void SetProxyUsername(const std::string& v) { FProxyUsername = v; }
    const std::string& ProxyPassword() const { return FProxyPassword; }
    void SetProxyPassword(const std::string& v) { FProxyPassword = v; }
    bool NoCache() const { return FNoCache; }
    void SetNoCache(bool v) { FNoCache = v; }
    TDateTime ModifiedSince() const { return FModifiedSince; }
    void SetModifiedSince(TDateTime v) { FModifiedSince = v; }
    const std::string& Cookie() const { return FCookie; }
    void SetCookie(const std::string& v) { FCookie = v; }
    const std::string& ContentTypePost() const { return FContentTypePost; }
    void SetContentTypePost(const std::string& v) { FContentTypePost = v; }
    const std::string& ContentRangeBegin() const { return FContentRangeBegin; }
    void SetContentRangeBegin(const std::string& v) { FContentRangeBegin = v; }
    const std::string& ContentRangeEnd() const { return FContentRangeEnd; }
    void SetContentRangeEnd(const std::string& v) { FContentRangeEnd = v; }
    const std::string& AcceptRanges() const { return FResponse.AcceptRanges(); }
    // A SOCKS proxy between the client and whatever it connects to (the server or the HTTP
    // proxy); empty SocksServer: none. An empty SocksLevel is the socket's default, 5. With
    // levels 5 and 4A the proxy resolves the host's name.
    const std::string& SocksServer() const { return FSocksServer; }
    void SetSocksServer(const std::string& v) { FSocksServer = v; }
    const std::string& SocksPort() const { return FSocksPort; }
    void SetSocksPort(const std::string& v) { FSocksPort = v; }
    const std::string& SocksLevel() const { return FSocksLevel; }
    void SetSocksLevel(const std::string& v) { FSocksLevel = v; }
    const std::string& SocksUsercode() const { return FSocksUsercode; }
    void SetSocksUsercode(const std::string& v) { FSocksUsercode = v; }
    const std::string& SocksPassword() const { return FSocksPassword; }
    void SetSocksPassword(const std::string& v) { FSocksPassword = v; }
    TSocksAuthentication SocksAuthentication() const { return FSocksAuthentication; }
    void SetSocksAuthentication(TSocksAuthentication v) { FSocksAuthentication = v; }
    bool MultiThreaded() const { return FMultiThreaded; }
    void SetMultiThreaded(bool v);
    // Seconds a request may go without progress (lookup, connection, bytes received or sent)
    // before it ends as a failure, "Connection timed out"; 0 waits for ever.
    int Timeout() const { return FTimeout; }
    void SetTimeout(int Seconds) { FTimeout = Seconds > 0 ? Seconds : 0; }
    // A file of PEM certificates trusted for https besides the system's store; empty for none.
    // There is no way to accept a certificate that fails the check.
    const std::string& CaFile() const { return FCaFile; }
    void SetCaFile(const std::string& v) { FCaFile = v; }

    // -- run-time properties
    THttpCliState State() const { return FState; }
    THttpRequest RequestType() const { return FRequestType; }
    int StatusCode() const { return FResponse.Status(); }
    const std::string& ReasonPhrase() const { return FResponse.Reason(); }
    // -1 when none was received; stops at the largest 32-bit value rather than wrap.
    int ContentLength() const;
    const std::string& ContentType() const { return FResponse.ContentType(); }
    const std::string& Location() const { return FLocation; }
    const std::string& DocName() const { return FDocName; }
    TStream* RcvdStream() const { return FRcvdStream; }
    void SetRcvdStream(TStream* s) { FRcvdStream = s; }  // not owned
    TStream* SendStream() const { return FSendStream; }
    void SetSendStream(TStream* s) { FSendStream = s; }  // not owned
    // Body bytes received (and POST bytes sent) in this request; they stop at the largest
    // 32-bit value rather than wrap.
    int RcvdCount() const;
    int SentCount() const;
    TStrings& RcvdHeader() { return FResponse.Header(); }
    // Every authentication challenge received since the client was made.
    TStrings& WWWAuthenticate() { return FResponse.Challenges(); }
    const std::string& CurrentLine() const { return FCurrentLine; }
    bool Connected() const { return FConnected; }
    // The last request's end code, as OnRequestDone reports it (0, a sockets or SOCKS error,
    // httperr...), readable as soon as Get returns.
    std::uint32_t RequestDoneError() const { return FRequestDoneError; }

    // -- published events
    TNotifyEvent OnTrace;
    TNotifyEvent OnSessionConnected;
    TNotifyEvent OnHeaderData;
    TOnCommand OnCommand;
    TNotifyEvent OnHeaderBegin;
    TNotifyEvent OnHeaderEnd;
    TNotifyEvent OnRequestHeaderBegin;
    TNotifyEvent OnRequestHeaderEnd;
    TNotifyEvent OnDocBegin;
    TDocDataEvent OnDocData;
    TNotifyEvent OnDocEnd;
    TNotifyEvent OnSendBegin;
    TDocDataEvent OnSendData;
    TNotifyEvent OnSendEnd;
    TNotifyEvent OnStateChange;
    THttpRequestDone OnRequestDone;
    TNotifyEvent OnLocationChange;
    TCookieRcvdEvent OnCookie;
    // A complete received line while no response is being read.
    TDataAvailable OnDataAvailable;

protected:
    virtual void AddRequestLine(const std::string& Line);
    virtual void StartConnect();
    virtual void CloseConnection();
    virtual void HandleRelocationClosed(TObject* Sender, std::uint16_t Error);
    // Each raises its event on a copy of the handler, which may free the client.
    virtual void TriggerCookie(const std::string& Data, bool& Accept) { if (auto h = OnCookie) h(this, Data, Accept); }
    virtual void TriggerSessionConnected() { if (auto h = OnSessionConnected) h(this); }
    virtual void TriggerRequestHeaderBegin() { if (auto h = OnRequestHeaderBegin) h(this); }
    virtual void TriggerRequestHeaderEnd() { if (auto h = OnRequestHeaderEnd) h(this); }
    virtual void TriggerHeaderBegin() { if (auto h = OnHeaderBegin) h(this); }
    virtual void TriggerHeaderEnd() { if (auto h = OnHeaderEnd) h(this); }
    virtual void TriggerDocBegin() { if (auto h = OnDocBegin) h(this); }
    virtual void TriggerDocData(const void* Buffer, int Len) { if (auto h = OnDocData) h(this, Buffer, Len); }
    virtual void TriggerDocEnd() { if (auto h = OnDocEnd) h(this); }
    virtual void TriggerSendBegin() { if (auto h = OnSendBegin) h(this); }
    virtual void TriggerSendData(const void* Buffer, int Len) { if (auto h = OnSendData) h(this, Buffer, Len); }
    virtual void TriggerSendEnd() { if (auto h = OnSendEnd) h(this); }

    void HandleSessionClosed(TObject* Sender, std::uint16_t Error);
    void HandleDataAvailable(TObject* Sender, std::uint16_t Error);
    void HandleSessionConnected(TObject* Sender, std::uint16_t Error);
    void HandleDataSent(TObject* Sender, std::uint16_t Error);
    void HandleDnsLookupDone(TObject* Sender, std::uint16_t Error);
    void SendRequestHeader(const std::string& Method, const std::string& Version);
    void ProcessHeaderLine();
    void ProcessBodyData(const char* Data, int Len);
    void ProcessTunnelLine();
    void SetState(THttpCliState NewState);
    void PostSetReady();
    void PostRequestDone();
    void WndProc(TMessage& Msg);

    // Where the current request goes: the host and port connected to, the Host line's value
    // and the request line's target.
    const std::string& ConnectHost() const { return FConnectHost; }
    const std::string& ConnectPort() const { return FConnectPort; }
    const std::string& TargetHost() const { return FTargetHost; }
    const std::string& RequestTarget() const { return FRequestTarget; }

private:
    static constexpr int BufferSize = 8193;

    std::string CurrentAddress() const;
    bool FollowLocation(const std::string& Value, std::string& Why);
    void CurrentOrigin(std::string& Scheme, std::string& Host, std::string& Port) const;
    void SendTunnelRequest();
    std::string ConnectionErrorText(int Error) const;
    // The server credentials of this request, and the origin they belong to.
    void SetCredentials(const std::string& User, const std::string& Pass, const std::string& Scheme,
                        const std::string& Host, const std::string& Port);
    bool SendsCredentials() const;
    std::string ProxyAuthorization() const;
    void CheckPrematureEnd(std::uint16_t Error);
    void SetSocketClosedHandler(bool Relocation);
    bool SocksResolves() const;
    void ConnectSocket(const std::string& Addr);
    void EndWithFailure(const std::string& Reason, std::uint32_t Error, int Status = 404);
    void Interrupt(const std::string& Reason, std::uint32_t Error);
    bool DocumentComplete() const;
    bool WriteReceived(const char* Data, std::int64_t Count, std::string& Why);
    int Read(char* Buffer, int Size);
    void ReceiveBody();
    void FinishHeaderlessLine();
    void FinishHeader();
    void FollowRelocation();
    bool BeginBody();
    void TakeRestOfRead();
    void HeaderField(const THttpField& Field);
    bool DeliverPiece(const char* Data, std::int64_t Len);
    void StartIdleTimer();
    void Progress() { FLastProgress = std::chrono::steady_clock::now(); }
    void IdleTimerFired();

    HWND FNotifyWindow = 0;
    TWSocket* FSocket = nullptr;  // owned

    std::string FURL, FProxy, FProxyPort, FSender, FAgent, FAccept, FReference;
    std::string FUsername, FPassword, FProxyUsername, FProxyPassword;
    bool FNoCache = false;
    TDateTime FModifiedSince = 0;
    std::string FCookie, FContentTypePost, FContentRangeBegin, FContentRangeEnd;
    bool FMultiThreaded = false;
    std::string FSocksServer, FSocksPort, FSocksLevel, FSocksUsercode, FSocksPassword;
    TSocksAuthentication FSocksAuthentication = socksNoAuthentication;
    std::string FSocksError;  // what the SOCKS layer said of the last failed negotiation

    THttpCliState FState = hsReady;
    THttpRequest FRequestType = rqNone;
    // What the server answered, or the local failure that ended the request.
    THttpResponse FResponse;
    std::string FLocation, FDocName;
    TStream* FRcvdStream = nullptr;
    TStream* FSendStream = nullptr;
    std::int64_t FRcvdCount = 0;
    std::int64_t FSentCount = 0;
    std::unique_ptr<TMemoryStream> FRequestBuffer;
    std::string FCurrentLine;
    bool FConnected = false;

    std::string FConnectHost, FConnectPort, FTargetHost, FRequestTarget, FResolvedAddr;
    std::array<char, BufferSize> FSendBuffer{};
    // Grows from BufferSize up to a line of HttpMaxLineBytes, its line end and a 0.
    std::vector<char> FReceiveBuffer = std::vector<char>(BufferSize);
    int FReceiveLen = 0;
    int FLineEndLen = 0;  // 1 or 2: how the line in FCurrentLine ended
    int FBodyDataCount = 0;
    bool FSendingBody = false;
    void (THttpCli::*FNextStep)() = nullptr;
    // Body pieces are read straight into this buffer, made once on the first body read and
    // kept; reads made while a piece is out (a handler pumps messages) go to the nested ones.
    std::unique_ptr<char[]> FBodyBuffer;
    std::vector<std::unique_ptr<char[]>> FNestedBuffers;
    int FBodyDepth = 0;  // body pieces being handed on
    bool FTakingBody = false;  // body pieces go to ProcessBodyData
    std::uint32_t FRequestDoneError = 0;

    // Per request: the serial that tells its notifications from those of an ended one, the
    // origin the credentials belong to, and a receive error that the socket's close report
    // may no longer carry.
    std::uintptr_t FRequestSerial = 0;
    std::string FAuthScheme, FAuthHost, FAuthPort, FAuthUser, FAuthPass;
    int FReceiveError = 0;
    bool FEnded = false;  // the end of this request has been handled
    bool FFailed = false;  // ended as a local failure, whatever its status

    // The scheme of the document being fetched, and the progress of an https request's tunnel
    // through the proxy: CONNECT sent and its reply read, then the handshake inside it.
    std::string FScheme;
    enum { tnNone, tnNeeded, tnWaitingReply, tnHandshake, tnOpen } FTunnel = tnNone;
    int FTunnelStatus = 0;
    int FTunnelLines = 0;
    std::string FTunnelReason;

    int FTimeout = 0;
    std::string FCaFile;
    std::unique_ptr<TQueueTimer> FIdleTimer;
    std::chrono::steady_clock::time_point FLastProgress;
};

}  // namespace kapo
