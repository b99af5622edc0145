// The HTTP client: construction, notifications, the synchronous request, Abort, the bytes
// received handed to the response and on to the document, and the end of a request.
#include "net/HttpProt.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

namespace kapo {

namespace {

// What a line mode read takes at most; the last byte of the receive buffer stays a 0.
constexpr int kUsableBuffer = 8192;

int Clamp32(std::int64_t v)
{
    return v > INT32_MAX ? INT32_MAX : (v < INT32_MIN ? INT32_MIN : static_cast<int>(v));
}

std::string SystemErrorText(int err)
{
    char buf[256];
    return ::strerror_r(err, buf, sizeof buf);
}

}  // namespace

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
    SetSocketClosedHandler(false);
    FSocket->OnDataAvailable = [this](TObject* S, std::uint16_t E) { HandleDataAvailable(S, E); };
    FSocket->OnSessionConnected = [this](TObject* S, std::uint16_t E) { HandleSessionConnected(S, E); };
    FSocket->OnDataSent = [this](TObject* S, std::uint16_t E) { HandleDataSent(S, E); };
    FSocket->OnDnsLookupDone = [this](TObject* S, std::uint16_t E) { HandleDnsLookupDone(S, E); };
    // The proxy's own words say more than a bare code when the connect fails.
    FSocket->OnSocksError = [this](TObject*, int, const std::string& Msg) { FSocksError = Msg; };
    FRequestBuffer = std::make_unique<TMemoryStream>();
    FState = hsReady;
}

THttpCli::~THttpCli()
{
    FIdleTimer.reset();
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

int THttpCli::ContentLength() const { return Clamp32(FResponse.ContentLength()); }
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
    if (FResponse.Status() >= 400 || FFailed)
        throw EHttpException(FResponse.Reason(), static_cast<std::uint16_t>(FResponse.Status()));
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
    FResponse.SetStatus(404, Reason);
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
    FResponse.SetStatus(Status, Reason);
    FRequestDoneError = Error;
    FReceiveLen = 0;
    FNextStep = nullptr;
    FTakingBody = false;
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

// The body is all there: a response without one, or the length it declared has arrived.
bool THttpCli::DocumentComplete() const
{
    return FState == hsWaitingBody && FResponse.Complete();
}

// A response that the server cut short is a failure, not a document: a connection error while
// the header or body was read, or fewer body bytes than the server declared.
void THttpCli::CheckPrematureEnd(std::uint16_t Error)
{
    if ((FTunnel == tnWaitingReply || FTunnel == tnHandshake) && FResponse.Status() < 400) {
        FResponse.SetStatus(404, "The proxy closed the connection before the tunnel was open");
        return;
    }
    if (FState != hsWaitingHeader && FState != hsWaitingBody) return;
    if (FResponse.Status() >= 400 || FFailed) return;  // already a failure, the server's or ours
    int err = Error != 0 ? Error : FReceiveError;
    if (err != 0 && !DocumentComplete()) {
        FRequestDoneError = static_cast<std::uint32_t>(err);
        FResponse.SetStatus(404, ConnectionErrorText(err));
    } else if (std::string why = FResponse.EndReason(FState == hsWaitingHeader); !why.empty()) {
        FResponse.SetStatus(404, why);
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
// Receiving: lines and body bytes from the socket to the response, the document's bytes from
// the response to the stream and to OnDocData
// ---------------------------------------------------------------------------------------------

void THttpCli::HandleDataAvailable(TObject* Sender, std::uint16_t Error)
{
    // Body bytes skip the line buffer; only bytes left there by the header go through it.
    if (FState == hsWaitingBody && FReceiveLen == 0 && FRequestType != rqNone) {
        ReceiveBody();
        return;
    }
    int room = static_cast<int>(FReceiveBuffer.size()) - 1 - FReceiveLen;
    // A long line (a cookie, a security policy) makes room for itself, up to the limit.
    constexpr int kMaxBuffer = HttpMaxLineBytes + 3;
    if (room < 1 && static_cast<int>(FReceiveBuffer.size()) < kMaxBuffer) {
        FReceiveBuffer.resize(std::min<std::size_t>(FReceiveBuffer.size() * 2, kMaxBuffer));
        room = static_cast<int>(FReceiveBuffer.size()) - 1 - FReceiveLen;
    }
    if (room < 1) {
        // Nothing more can be read, so the connection would never report its end: the request
        // ends here as a failure.
        FReceiveLen = 0;
        if (FState != hsReady && FResponse.Status() < 400) FResponse.SetStatus(404, "HTTP line too long");
        CloseConnection();
        throw EHttpException("HTTP line too long", httperrOverflow);
    }
    int count = Read(FReceiveBuffer.data() + FReceiveLen, room);
    if (FRequestType == rqNone) return;
    // Nothing new, but lines may still wait here after a handler raised: cut them now, or
    // the server's close would leave them unread.
    if (count <= 0 && FReceiveLen == 0) return;
    if (count > 0) {
        FReceiveLen += count;
        Progress();
    }
    FReceiveBuffer[static_cast<std::size_t>(FReceiveLen)] = 0;
    TLiveness guard = Liveness();

    if (FState == hsWaitingBody) {
        // Emptied before the piece is handed on: a handler that raises must not have the
        // same bytes delivered again with the next read.
        int len = FReceiveLen;
        FReceiveLen = 0;
        if (FTakingBody) ProcessBodyData(FReceiveBuffer.data(), len);
        else PostSetReady();
        return;
    }

    // A header that ended without handing on the rest of this read leaves it as body for
    // the next read.
    while (FReceiveLen > 0 && FState != hsWaitingBody) {
        char* buf = FReceiveBuffer.data();
        // Lines for the application are read as text: a zero byte ends the search for the line
        // end. A header line is cut whole, so that a NUL in it is seen and refused.
        std::size_t textLen = FState == hsWaitingHeader ? static_cast<std::size_t>(FReceiveLen)
                                                          : ::strnlen(buf, static_cast<std::size_t>(FReceiveLen));
        auto* lf = static_cast<char*>(std::memchr(buf, '\n', textLen));
        if (!lf) break;
        int p = static_cast<int>(lf - buf) + 1;
        int lineLen = (p > 1 && buf[p - 2] == '\r') ? p - 2 : p - 1;
        FLineEndLen = p - lineLen;
        FCurrentLine.assign(buf, static_cast<std::size_t>(lineLen));
        FReceiveLen -= p;
        std::memmove(buf, buf + p, static_cast<std::size_t>(FReceiveLen) + 1);
        if (FState == hsWaitingHeader || FTunnel == tnWaitingReply) {
            if (FNextStep) (this->*FNextStep)();
            else PostSetReady();
        } else if (auto handler = OnDataAvailable) {
            handler(this, Error);
        }
        if (!guard) return;
    }
}

// A read from the socket. Linux reports a reset once, to the read that meets it; the close
// report that follows may no longer carry it, so it is kept.
int THttpCli::Read(char* Buffer, int Size)
{
    int count = FSocket->Receive(Buffer, Size);
    if (int err = count < 0 ? FSocket->LastError() : 0; err != 0 && err != WSAEWOULDBLOCK) FReceiveError = err;
    return count;
}

// One read and one piece: the body goes from the socket to the stream and to OnDocData
// without passing through the line buffer.
void THttpCli::ReceiveBody()
{
    char* buf;
    int size;
    if (FBodyDepth == 0) {
        if (!FBodyBuffer) FBodyBuffer = std::make_unique_for_overwrite<char[]>(HttpBodyPiece);
        buf = FBodyBuffer.get();
        size = HttpBodyPiece;
    } else {
        // A read under a handler that pumps: one small buffer per level of nesting, made once
        // and kept, so deep nesting costs neither the stack nor an allocation per piece.
        auto level = static_cast<std::size_t>(FBodyDepth - 1);
        if (FNestedBuffers.size() <= level) FNestedBuffers.resize(level + 1);
        if (!FNestedBuffers[level]) FNestedBuffers[level] = std::make_unique_for_overwrite<char[]>(kUsableBuffer);
        buf = FNestedBuffers[level].get();
        size = kUsableBuffer;
    }
    int count = Read(buf, size);
    if (count <= 0) return;
    Progress();
    if (FTakingBody) ProcessBodyData(buf, count);
    else PostSetReady();
}

void THttpCli::ProcessHeaderLine()
{
    if (FResponse.Ignorable(FCurrentLine)) return;
    TLiveness guard = Liveness();
    if (FResponse.BeforeHeader()) {
        TriggerHeaderBegin();
        if (!guard) return;
    }
    THttpField field;
    switch (FResponse.AddLine(FCurrentLine, field)) {
    case THttpResponse::lnHeaderless:
        FinishHeaderlessLine();
        return;
    case THttpResponse::lnEnd:
        FinishHeader();
        return;
    case THttpResponse::lnFault:
        EndWithFailure(FResponse.Fault(), FResponse.FaultInAddress() ? WSAEINVAL : 0);
        return;
    case THttpResponse::lnField:
        HeaderField(field);
        return;
    }
}

// A status line or a header field, read by the response: what it says to the client.
void THttpCli::HeaderField(const THttpField& Field)
{
    TLiveness guard = Liveness();
    if (Field.Name == "content-range") {
        // "bytes 100-103/200": the range the next request asks for, unless it is set anew.
        std::size_t d = Pos("-", Field.Value);
        if (d > 0) {
            const std::string& value = Field.Value;
            FContentRangeBegin = Copy(value, 7, static_cast<std::int64_t>(d) - 7);
            std::size_t slash = Pos("/", value);
            std::int64_t end = slash > d ? static_cast<std::int64_t>(slash) : static_cast<std::int64_t>(value.size()) + 1;
            FContentRangeEnd = Copy(value, static_cast<std::int64_t>(d) + 1, end - static_cast<std::int64_t>(d) - 1);
        }
    } else if (Field.Name == "set-cookie") {
        bool accept = true;
        TriggerCookie(Field.Value, accept);
        if (!guard) return;
    }
    if (auto handler = OnHeaderData) {
        handler(this);
        if (!guard) return;
    }
    if (FResponse.Status() >= 400) FSocket->Close();
}

// A document without a header is all body: its bytes go on as they came, line ends included,
// and the rest of this read with them.
void THttpCli::FinishHeaderlessLine()
{
    TLiveness guard = Liveness();
    if (!BeginBody()) return;
    FCurrentLine.append(FLineEndLen == 2 ? "\r\n" : "\n");
    ProcessBodyData(FCurrentLine.data(), static_cast<int>(FCurrentLine.size()));
    if (!guard) return;
    if (FReceiveLen > 0 && FState == hsWaitingBody) TakeRestOfRead();
}

// The header is over: the client waits for the body and says so (OnHeaderEnd). False when a
// handler freed the client.
bool THttpCli::BeginBody()
{
    TLiveness guard = Liveness();
    SetState(hsWaitingBody);
    if (!guard) return false;
    FNextStep = nullptr;
    FTakingBody = true;
    TriggerHeaderEnd();
    return static_cast<bool>(guard);
}

// The bytes of this read behind the header are body.
void THttpCli::TakeRestOfRead()
{
    int len = FReceiveLen;
    FReceiveLen = 0;
    ProcessBodyData(FReceiveBuffer.data(), len);
}

// The empty line: an interim response ends and the real one follows; a relocation closes
// the connection to follow it; anything else starts the body.
void THttpCli::FinishHeader()
{
    switch (FResponse.EndHeader()) {
    case THttpResponse::heInterim:
        return;
    case THttpResponse::heFault:
        EndWithFailure(FResponse.Fault(), 0);
        return;
    case THttpResponse::heRelocation:
        FollowRelocation();
        return;
    case THttpResponse::heBody:
        break;
    }
    std::size_t dot = LastPos(".", FDocName);
    if (dot > 0 && LowerCase(FDocName.substr(dot - 1)) == ".exe" && FResponse.ContentType() == "text/html")
        ReplaceExt(FDocName, "htm");
    if (!BeginBody()) return;
    if (!FResponse.BodyExpected()) {
        // Whatever follows a response without a body belongs to no document.
        FReceiveLen = 0;
        CloseConnection();
    } else if (FReceiveLen > 0) {
        TakeRestOfRead();
    } else if (DocumentComplete()) {
        // Nothing to wait for: the server's close would add nothing.
        CloseConnection();
    }
}

// The header of a relocation is over: its connection closes, and its close report starts
// the request to the new address.
void THttpCli::FollowRelocation()
{
    TLiveness guard = Liveness();
    TriggerHeaderEnd();
    if (!guard) return;
    int status = 404;
    std::string why = FResponse.RelocationFault(status);
    if (why.empty()) FollowLocation(FResponse.RelocationAddress(), why);
    if (!why.empty()) {
        EndWithFailure(why, 0, status);
        return;
    }
    FResponse.Relocated();
    FReceiveLen = 0;
    FBodyDataCount = 0;
    SetSocketClosedHandler(true);
    FSocket->Close();
}

void THttpCli::ProcessBodyData(const char* Data, int Len)
{
    TLiveness guard = Liveness();
    // While the piece is out, a handler that pumps messages must not read over it.
    ++FBodyDepth;
    struct Leave {
        TLiveness& G;
        int& Depth;
        ~Leave()
        {
            if (G) --Depth;
        }
    } leave{guard, FBodyDepth};
    if (FBodyDataCount == 0) {
        TriggerDocBegin();
        if (!guard) return;
    }
    ++FBodyDataCount;
    if (!FResponse.Decodes()) {
        if (DeliverPiece(Data, static_cast<std::int64_t>(FResponse.Take(static_cast<std::size_t>(Len)))) &&
            DocumentComplete())
            CloseConnection();
        return;
    }
    auto deliver = [this](const char* Piece, std::size_t Count) {
        return DeliverPiece(Piece, static_cast<std::int64_t>(Count));
    };
    switch (FResponse.FeedBody(Data, static_cast<std::size_t>(Len), deliver)) {
    case THttpResponse::fdFault:
        EndWithFailure(FResponse.Fault(), 0);
        return;
    case THttpResponse::fdStopped:
        return;
    case THttpResponse::fdGoOn:
        if (DocumentComplete()) CloseConnection();
        return;
    }
}

// One piece of the document: stored, counted, then reported. False when the request is over
// or the client gone.
bool THttpCli::DeliverPiece(const char* Data, std::int64_t Len)
{
    TLiveness guard = Liveness();
    std::string why;
    if (FRcvdStream && Len > 0 && !WriteReceived(Data, Len, why)) {
        // A document that cannot be stored whole is not received: the request fails now
        // rather than report a truncated file as a success.
        EndWithFailure("Cannot write the document: " + why, 0);
        return false;
    }
    FRcvdCount += Len;
    try {
        TriggerDocData(Data, static_cast<int>(Len));
    } catch (...) {
        if (guard && DocumentComplete()) CloseConnection();
        throw;
    }
    return guard && FTakingBody;
}

// Writes the first Count bytes of the piece to RcvdStream and counts what the stream took
// when it could not take them all.
bool THttpCli::WriteReceived(const char* Data, std::int64_t Count, std::string& Why)
{
    errno = 0;
    std::int64_t written = 0;
    try {
        written = FRcvdStream->Write(Data, Count);
    } catch (const std::exception& E) {
        Why = E.what();
        return false;
    }
    if (written == Count) return true;
    int err = errno;
    if (written > 0) FRcvdCount += written;
    Why = err != 0 ? SystemErrorText(err) : std::string("Stream write error");
    return false;
}


}  // namespace kapo
