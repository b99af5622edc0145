// The HTTP client: construction, notifications, the synchronous request, Abort and the end
// of a request.
#include "net/HttpProt.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "net/HttpInternal.h"

namespace kapo {

using namespace httpdetail;

THttpCli::THttpCli(TComponent* AOwner) : TComponent(AOwner)
{
    FNotifyWindow = AllocateHWnd([this, guard = Liveness()](TMessage& Msg) {
        if (guard) WndProc(Msg);
    });
    FSocket = new TWSocket(this);
    FProxyPort = "80";
    FContentTypePost = "application/x-www-form-urlencoded";
    FAccept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
    FAgent = "Mozilla/3.0 (compatible)";
    FWWWAuthenticate = std::make_unique<TStringList>();
    SetSocketClosedHandler(false);
    FSocket->OnDataAvailable = [this](TObject* S, std::uint16_t E) { HandleDataAvailable(S, E); };
    FSocket->OnSessionConnected = [this](TObject* S, std::uint16_t E) { HandleSessionConnected(S, E); };
    FSocket->OnDataSent = [this](TObject* S, std::uint16_t E) { HandleDataSent(S, E); };
    FSocket->OnDnsLookupDone = [this](TObject* S, std::uint16_t E) { HandleDnsLookupDone(S, E); };
    // The proxy's own words say more than a bare code when the connect fails.
    FSocket->OnSocksError = [this](TObject*, int, const std::string& Msg) { FSocksError = Msg; };
    FRcvdHeader = std::make_unique<TStringList>();
    FRequestBuffer = std::make_unique<TMemoryStream>();
    FState = hsReady;
}

THttpCli::~THttpCli()
{
    FIdleTimer.reset();
    FWWWAuthenticate.reset();
    // The socket reports nothing while it is destroyed; its handlers are dropped anyway so
    // that nothing can reach a client that is half gone.
    FSocket->OnSessionClosed = nullptr;
    FSocket->OnDataAvailable = nullptr;
    FSocket->OnSessionConnected = nullptr;
    FSocket->OnDataSent = nullptr;
    FSocket->OnDnsLookupDone = nullptr;
    FSocket->OnSocksError = nullptr;
    delete FSocket;
    FSocket = nullptr;
    FRcvdHeader.reset();
    FRequestBuffer.reset();
    DeallocateHWnd(FNotifyWindow);
}

void THttpCli::SetSocketClosedHandler(bool Relocation)
{
    if (Relocation)
        FSocket->OnSessionClosed = [this](TObject* S, std::uint16_t E) { HandleRelocationClosed(S, E); };
    else
        FSocket->OnSessionClosed = [this](TObject* S, std::uint16_t E) { HandleSessionClosed(S, E); };
}

void THttpCli::SetMultiThreaded(bool v)
{
    FMultiThreaded = v;
    FSocket->SetMultiThreaded(v);
}

int THttpCli::ContentLength() const { return Clamp32(FContentLength); }
int THttpCli::RcvdCount() const { return Clamp32(FRcvdCount); }
int THttpCli::SentCount() const { return Clamp32(FSentCount); }

void THttpCli::SetState(THttpCliState NewState)
{
    if (NewState == FState) return;
    FState = NewState;
    if (NewState == hsReady && FIdleTimer) FIdleTimer->Stop();
    TLiveness guard = Liveness();
    if (auto handler = OnStateChange) handler(this);
    if (!guard) return;
    if (NewState == hsReady) PostRequestDone();
}

// The notifications carry the request they belong to: a WM_SET_READY left in the queue by a
// request that Abort already ended must not end the request started after it.
void THttpCli::PostSetReady()
{
    PostMessage(FNotifyWindow, WM_SET_READY, FRequestSerial, 0);
}

// OnRequestDone reports the request that became ready, even when another has started since.
void THttpCli::PostRequestDone()
{
    PostMessage(FNotifyWindow, WM_REQUEST_DONE, static_cast<WPARAM>(FRequestType),
                static_cast<LPARAM>(FRequestDoneError));
}

void THttpCli::WndProc(TMessage& Msg)
{
    switch (Msg.Msg) {
    case WM_REQUEST_DONE:
        if (auto handler = OnRequestDone)
            handler(this, static_cast<THttpRequest>(Msg.WParam), static_cast<std::uint16_t>(Msg.LParam));
        break;
    case WM_SET_READY:
        if (Msg.WParam == FRequestSerial) SetState(hsReady);
        break;
    case WM_RELOCATE:
        // After Abort the relocation has nowhere to go.
        if (Msg.WParam == FRequestSerial && FState != hsReady) {
            // A failure here must end the request, not escape into the message loop.
            try {
                StartConnect();
            } catch (const Exception& E) {
                EndWithFailure(E.Message(), 0);
            }
        }
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------------------------
// The synchronous request, Abort and the end of a request
// ---------------------------------------------------------------------------------------------

void THttpCli::RunRequest(THttpRequest Kind)
{
    TLiveness guard = Liveness();
    StartRequest(Kind);
    for (;;) {
        if (!guard) throw EHttpException("Connection aborted on request", 404);
        if (FState == hsReady) break;
        if (FMultiThreaded) FSocket->ProcessOwnMessages();
        else ProcessMessages();
        if (!guard) throw EHttpException("Connection aborted on request", 404);
        if (FState == hsReady) break;
        // Sleep until a message or a socket event arrives instead of spinning.
        if (FMultiThreaded) MessageQueue::Current().WaitNext(-1);
        else WaitMessage(-1);
    }
    if (FStatusCode >= 400 || FFailed)
        throw EHttpException(FReasonPhrase, static_cast<std::uint16_t>(FStatusCode));
}

void THttpCli::Abort()
{
    if (FState == hsReady) {
        if (FSocket->State() != wsClosed) FSocket->Close();
        return;
    }
    Interrupt("Connection aborted on request", httperrAborted);
}

// Ends the running request at once, from outside its flow of events (Abort, the idle timer).
void THttpCli::Interrupt(const std::string& Reason, std::uint32_t Error)
{
    TLiveness guard = Liveness();
    bool lookup = FState == hsDnsLookup;
    SetState(hsAborting);
    if (!guard) return;
    if (lookup) {
        try {
            FSocket->StopDnsLookup();
        } catch (const std::exception&) {
        }
        if (!guard) return;
    }
    FStatusCode = 404;
    FReasonPhrase = Reason;
    FRequestDoneError = Error;
    if (lookup) HandleSessionClosed(FSocket, 0);
    else FSocket->Close();
    if (!guard) return;
    SetState(hsReady);
}

// Ends the running request from inside its flow as a local failure: the connection is closed
// and its close report ends the request; a connection already gone ends it here.
void THttpCli::EndWithFailure(const std::string& Reason, std::uint32_t Error, int Status)
{
    FFailed = true;
    FStatusCode = Status;
    FReasonPhrase = Reason;
    FRequestDoneError = Error;
    FReceiveLen = 0;
    FNextStep = nullptr;
    FTakingBody = false;
    FRelocationPending = false;
    SetSocketClosedHandler(false);
    TLiveness guard = Liveness();
    if (FSocket->State() != wsClosed) {
        CloseConnection();
        if (!guard) return;
    }
    FConnected = false;
    if (!FEnded) HandleSessionClosed(FSocket, 0);
}

void THttpCli::CloseConnection()
{
    TLiveness guard = Liveness();
    FSocket->Close();  // its close report may end the request and free the client
    if (guard) FConnected = false;
}

void THttpCli::StartIdleTimer()
{
    if (FTimeout <= 0) {
        if (FIdleTimer) FIdleTimer->Stop();
        return;
    }
    if (!FIdleTimer)
        FIdleTimer = std::make_unique<TQueueTimer>([this, guard = Liveness()] {
            if (guard) IdleTimerFired();
        });
    Progress();
    FIdleTimer->Start(FTimeout * 1000);
}

// The timer is armed for the whole time-out and, when it fires, looks at how long the request
// has really been idle: progress costs a clock reading instead of a re-arming.
void THttpCli::IdleTimerFired()
{
    if (FState == hsReady || FState == hsAborting || FTimeout <= 0) return;
    using namespace std::chrono;
    auto idle = duration_cast<milliseconds>(steady_clock::now() - FLastProgress).count();
    std::int64_t limit = std::int64_t(FTimeout) * 1000;
    if (idle < limit) {
        FIdleTimer->Start(static_cast<int>(limit - idle));
        return;
    }
    Interrupt(WinsockErrorText(WSAETIMEDOUT), WSAETIMEDOUT);
}

// Statuses and methods whose responses carry no body, whatever their length field says.
bool THttpCli::BodyExpected() const
{
    return FRequestType != rqHead && StatusHasBody(FStatusCode);
}

// The body is all there: a response without one, or the length it declared has arrived.
bool THttpCli::DocumentComplete() const
{
    if (FState != hsWaitingBody) return false;
    if (!BodyExpected()) return true;
    if (FChunked) return FChunks.Done();
    return FDeclaredLength >= 0 && FWireCount >= FDeclaredLength;
}

// A response that the server cut short is a failure, not a document: a connection error while
// the header or body was read, or fewer body bytes than the server declared.
void THttpCli::CheckPrematureEnd(std::uint16_t Error)
{
    if ((FTunnel == tnWaitingReply || FTunnel == tnHandshake) && FStatusCode < 400) {
        FStatusCode = 404;
        FReasonPhrase = "The proxy closed the connection before the tunnel was open";
        return;
    }
    if (FState != hsWaitingHeader && FState != hsWaitingBody) return;
    if (FStatusCode >= 400 || FFailed) return;  // already a failure, the server's or ours
    bool bodyExpected = BodyExpected();
    bool complete = DocumentComplete();
    int err = Error != 0 ? Error : FReceiveError;
    if (err != 0 && !complete) {
        FRequestDoneError = static_cast<std::uint32_t>(err);
        FStatusCode = 404;
        FReasonPhrase = ConnectionErrorText(err);
    } else if (FState == hsWaitingHeader) {
        // Nothing, or half a header, is no document, whatever status came.
        FStatusCode = 404;
        FReasonPhrase = FAwaitingStatus ? "No HTTP response: the connection closed before a status line"
                                        : "Connection closed before the end of the HTTP header";
    } else if (!bodyExpected) {
        return;
    } else if (FChunked && !FChunks.Done()) {
        FStatusCode = 404;
        FReasonPhrase = "Document truncated: the chunked body ended before its last chunk";
    } else if (!FChunked && FDeclaredLength >= 0 && FWireCount < FDeclaredLength) {
        FStatusCode = 404;
        FReasonPhrase = Format("Document truncated: %d of %d bytes received", FWireCount, FDeclaredLength);
    } else {
        for (const THttpBodyStep& step : FDecoders) {
            if (step.Done()) continue;
            FStatusCode = 404;
            FReasonPhrase = step.Chunks ? "Document truncated: the chunked body ended before its last chunk"
                                        : "Document truncated: the compressed body ended early";
            break;
        }
    }
}

void THttpCli::HandleSessionClosed(TObject* Sender, std::uint16_t Error)
{
    // A request ended by a local failure hears of its connection's close afterwards.
    if (FEnded) return;
    FEnded = true;
    CheckPrematureEnd(Error);
    FConnected = false;
    TLiveness guard = Liveness();
    if (FBodyDataCount > 0) {
        // The request ends even when a handler of OnDocEnd raises; the exception goes on to
        // the socket as any other.
        try {
            TriggerDocEnd();
        } catch (...) {
            if (guard) PostSetReady();
            throw;
        }
    }
    if (!guard) return;
    PostSetReady();
}

// ---------------------------------------------------------------------------------------------
// Event triggers
// ---------------------------------------------------------------------------------------------

void THttpCli::TriggerCookie(const std::string& Data, bool& Accept)
{
    if (auto handler = OnCookie) handler(this, Data, Accept);
}
void THttpCli::TriggerSessionConnected()
{
    if (auto handler = OnSessionConnected) handler(this);
}
void THttpCli::TriggerRequestHeaderBegin()
{
    if (auto handler = OnRequestHeaderBegin) handler(this);
}
void THttpCli::TriggerRequestHeaderEnd()
{
    if (auto handler = OnRequestHeaderEnd) handler(this);
}
void THttpCli::TriggerHeaderBegin()
{
    if (auto handler = OnHeaderBegin) handler(this);
}
void THttpCli::TriggerHeaderEnd()
{
    if (auto handler = OnHeaderEnd) handler(this);
}
void THttpCli::TriggerDocBegin()
{
    if (auto handler = OnDocBegin) handler(this);
}
void THttpCli::TriggerDocData(const void* Buffer, int Len)
{
    if (auto handler = OnDocData) handler(this, Buffer, Len);
}
void THttpCli::TriggerDocEnd()
{
    if (auto handler = OnDocEnd) handler(this);
}
void THttpCli::TriggerSendBegin()
{
    if (auto handler = OnSendBegin) handler(this);
}
void THttpCli::TriggerSendData(const void* Buffer, int Len)
{
    if (auto handler = OnSendData) handler(this, Buffer, Len);
}
void THttpCli::TriggerSendEnd()
{
    if (auto handler = OnSendEnd) handler(this);
}

}  // namespace kapo
