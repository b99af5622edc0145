// The HTTP client's receiving side: the header cut into lines and read, the body delivered.
#include "net/HttpProt.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "net/HttpInternal.h"

namespace kapo {

using namespace httpdetail;

// ---------------------------------------------------------------------------------------------
// Receiving
// ---------------------------------------------------------------------------------------------

void THttpCli::HandleDataAvailable(TObject* Sender, std::uint16_t Error)
{
    // Body bytes skip the line buffer; only bytes left there by the header go through it.
    if (FState == hsWaitingBody && FReceiveLen == 0 && FRequestType != rqNone) {
        ReceiveBody();
        return;
    }
    int room = kUsableBuffer - FReceiveLen;
    if (room < 1) {
        // Nothing more can be read, so the connection would never report its end: the request
        // ends here as a failure.
        FReceiveLen = 0;
        if (FState != hsReady && FStatusCode < 400) {
            FStatusCode = 404;
            FReasonPhrase = "HTTP line too long";
        }
        CloseConnection();
        throw EHttpException("HTTP line too long", httperrOverflow);
    }
    int count = FSocket->Receive(FReceiveBuffer.data() + FReceiveLen, room);
    if (count < 0) {
        // Linux reports a reset once, to the read that meets it; the close report that follows
        // may no longer carry it.
        int err = FSocket->LastError();
        if (err != 0 && err != WSAEWOULDBLOCK) FReceiveError = err;
    }
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
        // The buffer is read as text: a zero byte ends the search for the line end.
        std::size_t textLen = ::strnlen(buf, static_cast<std::size_t>(FReceiveLen));
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

// One read and one piece: the body goes from the socket to the stream and to OnDocData
// without passing through the line buffer.
void THttpCli::ReceiveBody()
{
    char* buf;
    int size;
    if (FBodyDepth == 0) {
        if (!FBodyBuffer) FBodyBuffer = std::make_unique_for_overwrite<char[]>(kBodyPiece);
        buf = FBodyBuffer.get();
        size = kBodyPiece;
    } else {
        // A read under a handler that pumps: one small buffer per level of nesting, made once
        // and kept, so deep nesting costs neither the stack nor an allocation per piece.
        auto level = static_cast<std::size_t>(FBodyDepth - 1);
        if (FNestedBuffers.size() <= level) FNestedBuffers.resize(level + 1);
        if (!FNestedBuffers[level]) FNestedBuffers[level] = std::make_unique_for_overwrite<char[]>(kUsableBuffer);
        buf = FNestedBuffers[level].get();
        size = kUsableBuffer;
    }
    int count = FSocket->Receive(buf, size);
    if (count < 0) {
        int err = FSocket->LastError();
        if (err != 0 && err != WSAEWOULDBLOCK) FReceiveError = err;
        return;
    }
    if (count == 0) return;
    Progress();
    if (FTakingBody) ProcessBodyData(buf, count);
    else PostSetReady();
}

void THttpCli::HeaderOverflow()
{
    EndWithFailure(Format("HTTP header too large: more than %d lines or %d bytes", HttpMaxHeaderLines,
                          HttpMaxHeaderBytes),
                   0);
}

void THttpCli::ProcessHeaderLine()
{
    TLiveness guard = Liveness();
    if (FHeaderLineCount == 0) {
        // A relocation's own length must not judge the document that follows it.
        FDeclaredLength = -1;
        TriggerHeaderBegin();
        if (!guard) return;
    }
    ++FHeaderLineCount;

    if (UpperCase(FCurrentLine.substr(0, 6)) == "<HTML>") FinishHeaderlessLine();
    else if (FCurrentLine.empty()) FinishHeader();
    else ProcessHeaderField();
}

// A document without a header is all body: its bytes go on as they came, line ends included,
// and the rest of this read with them.
void THttpCli::FinishHeaderlessLine()
{
    TLiveness guard = Liveness();
    if (FContentType.empty()) FContentType = "text/html";
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
    if (FStatusCode >= 100 && FStatusCode < 200) {
        FDeclaredLength = -1;
        FRelocationPending = false;
        return;
    }
    TLiveness guard = Liveness();
    if (FRelocationPending) {
        TriggerHeaderEnd();
        if (!guard) return;
        if (FRelocations >= HttpMaxRelocations) {
            EndWithFailure("Too many relocations", 0);
            return;
        }
        ++FRelocations;
        FReceiveLen = 0;
        FHeaderLineCount = 0;
        FBodyDataCount = 0;
        SetSocketClosedHandler(true);
        FSocket->Close();
        return;
    }
    std::size_t dot = LastPos(".", FDocName);
    if (dot > 0 && LowerCase(FDocName.substr(dot - 1)) == ".exe" && FContentType == "text/html")
        ReplaceExt(FDocName, "htm");
    if (!BeginBody()) return;
    if (FReceiveLen > 0) {
        TakeRestOfRead();
    } else if (DocumentComplete()) {
        // Nothing to wait for: the server's close would add nothing.
        CloseConnection();
    }
}

// A status line or a header field.
void THttpCli::ProcessHeaderField()
{
    // A server that never ends its header must not fill the memory.
    if (FRcvdHeader->Count() >= HttpMaxHeaderLines ||
        FHeaderBytes + static_cast<std::int64_t>(FCurrentLine.size()) > HttpMaxHeaderBytes) {
        HeaderOverflow();
        return;
    }
    FRcvdHeader->Add(FCurrentLine);
    FHeaderBytes += static_cast<std::int64_t>(FCurrentLine.size());

    TLiveness guard = Liveness();
    const std::string& line = FCurrentLine;
    if (line.compare(0, 8, "HTTP/1.0") == 0 || line.compare(0, 8, "HTTP/1.1") == 0) {
        FStatusCode = StrToInt(Copy(line, 10, 3));
        FReasonPhrase = Copy(line, 14, INT32_MAX);
    } else if (std::size_t k = Pos(":", line); k > 0) {
        std::string name = LowerCase(line.substr(0, k - 1));
        std::size_t v = k;  // index of the value's first character
        while (v + 1 < line.size() && line[v] == ' ') ++v;
        std::string value = line.substr(std::min(v, line.size()));
        if (name == "location") {
            if (HasLineBreakOrNul(value)) {
                EndWithFailure("Invalid character in relocation address", WSAEINVAL);
                return;
            }
            ProcessLocation(value);
        } else if (name == "content-length") {
            FContentLength = StrToInt64(value);
            FDeclaredLength = FContentLength;
        } else if (name == "content-range") {
            std::size_t d = Pos("-", value);
            if (d > 0) {
                FContentRangeBegin = Copy(value, 7, static_cast<std::int64_t>(d) - 7);
                std::size_t slash = Pos("/", value);
                std::int64_t end = slash > d ? static_cast<std::int64_t>(slash) : static_cast<std::int64_t>(value.size()) + 1;
                FContentRangeEnd = Copy(value, static_cast<std::int64_t>(d) + 1, end - static_cast<std::int64_t>(d) - 1);
            }
        } else if (name == "accept-ranges") {
            FAcceptRanges = value;
        } else if (name == "content-type") {
            FContentType = LowerCase(value);
        } else if (name == "www-authenticate") {
            FWWWAuthenticate->Add(value);
        } else if (name == "set-cookie") {
            bool accept = true;
            TriggerCookie(value, accept);
            if (!guard) return;
        }
    }
    if (auto handler = OnHeaderData) {
        handler(this);
        if (!guard) return;
    }
    if (FStatusCode >= 400) FSocket->Close();
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
    auto n = static_cast<std::int64_t>(Len);
    // Bytes past the declared length belong to no document.
    if (FDeclaredLength >= 0 && BodyExpected()) n = std::min(n, std::max<std::int64_t>(0, FDeclaredLength - FRcvdCount));
    std::string why;
    if (FRcvdStream && n > 0 && !WriteReceived(Data, n, why)) {
        // A document that cannot be stored whole is not received: the request fails now
        // rather than report a truncated file as a success.
        EndWithFailure("Cannot write the document: " + why, 0);
        return;
    }
    FRcvdCount += n;
    try {
        TriggerDocData(Data, static_cast<int>(n));
    } catch (...) {
        if (guard && DocumentComplete()) CloseConnection();
        throw;
    }
    if (!guard) return;
    if (DocumentComplete()) CloseConnection();
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
