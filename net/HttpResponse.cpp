// The HTTP client's receiving side: the header cut into lines and read, the body delivered.
#include "net/HttpResponse.h"

#include "net/HttpProt.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include <zlib.h>

#include "net/HttpInternal.h"

namespace kapo {

using namespace httpdetail;

bool ParseStatusLine(const std::string& Line, int& Status, std::string& Reason)
{
    auto blank = [&](std::size_t i) { return i < Line.size() && (Line[i] == ' ' || Line[i] == '\t'); };
    auto digit = [&](std::size_t i) { return i < Line.size() && Line[i] >= '0' && Line[i] <= '9'; };
    // Other versions frame their messages in ways this client does not know.
    if (Line.compare(0, 7, "HTTP/1.") != 0 || (Line[7] != '0' && Line[7] != '1') || !blank(8)) return false;
    std::size_t i = 8;
    while (blank(i)) ++i;
    if (!digit(i) || !digit(i + 1) || !digit(i + 2)) return false;
    std::size_t end = i + 3;
    // "2000" is no three-digit code, and "200x" no code at all.
    if (end < Line.size() && !blank(end)) return false;
    Status = (Line[i] - '0') * 100 + (Line[i + 1] - '0') * 10 + (Line[i + 2] - '0');
    while (blank(end)) ++end;
    Reason = Line.substr(std::min(end, Line.size()));
    return true;
}

namespace {

bool IsTokenChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

}  // namespace

std::string HeaderLineFault(const std::string& Line, bool StatusLine)
{
    // A CR that ends no line is read as a line end by some and as data by others: a reply
    // read two ways is refused.
    if (Line.find('\r') != std::string::npos) return "a CR without its LF";
    if (Line.find('\0') != std::string::npos) return "a NUL byte";
    if (StatusLine || Line.empty() || Line[0] == ' ' || Line[0] == '\t') return {};
    std::size_t colon = Line.find(':');
    if (colon == std::string::npos) return "a line without a colon";
    if (colon == 0 || !std::all_of(Line.begin(), Line.begin() + static_cast<std::ptrdiff_t>(colon), IsTokenChar))
        return "an invalid field name";
    return {};
}

namespace {

// Framing lines are short; a trailer field may be as long as a header line.
constexpr std::size_t kMaxChunkLine = HttpMaxLineBytes;

}  // namespace

struct THttpInflater::TZStream {
    z_stream Z{};
    bool Open = false;
    ~TZStream()
    {
        if (Open) inflateEnd(&Z);
    }
};

THttpInflater::THttpInflater(bool Gzip) : FZ(std::make_unique<TZStream>()), FGzip(Gzip) {}
THttpInflater::~THttpInflater() = default;

void THttpInflater::Add(const char* Data, std::size_t Len)
{
    // After the end of a gzip member another may follow; anything else there is dropped.
    if (!FDone || FGzip) FInput.append(Data, Len);
}

bool THttpInflater::Next(std::string& Out, std::size_t Max)
{
    Out.clear();
    if (!FError.empty()) return false;
    if (FDone) {
        if (FInput.size() < 2) return true;
        if (static_cast<unsigned char>(FInput[0]) != 0x1f || static_cast<unsigned char>(FInput[1]) != 0x8b) {
            FInput.clear();
            return true;
        }
        inflateReset(&FZ->Z);
        FDone = false;
    }
    if (FInput.empty()) return true;
    if (!FStarted) {
        // deflate comes zlib-wrapped or raw: the first two bytes tell which.
        if (!FGzip && FInput.size() < 2) return true;
        int bits = 15 + 16;
        if (!FGzip) {
            auto b0 = static_cast<unsigned char>(FInput[0]), b1 = static_cast<unsigned char>(FInput[1]);
            bits = (b0 & 0x0F) == 8 && (b0 * 256 + b1) % 31 == 0 ? 15 : -15;
        }
        if (inflateInit2(&FZ->Z, bits) != Z_OK) {
            FError = "zlib cannot start";
            return false;
        }
        FZ->Open = true;
        FStarted = true;
    }
    Out.resize(Max);
    z_stream& z = FZ->Z;
    z.next_in = reinterpret_cast<Bytef*>(FInput.data());
    z.avail_in = static_cast<uInt>(std::min<std::size_t>(FInput.size(), UINT32_MAX));
    z.next_out = reinterpret_cast<Bytef*>(Out.data());
    z.avail_out = static_cast<uInt>(Max);
    int r = inflate(&z, Z_NO_FLUSH);
    std::size_t used = FInput.size() - z.avail_in;
    Out.resize(Max - z.avail_out);
    // Taken out of the queue before the caller hands the output on.
    FInput.erase(0, used);
    if (r == Z_STREAM_END) {
        FDone = true;
        if (!FGzip) FInput.clear();
    } else if (r != Z_OK && r != Z_BUF_ERROR) {
        FError = z.msg ? z.msg : "invalid compressed data";
        return false;
    }
    return true;
}

THttpChunkDecoder::TResult THttpChunkDecoder::Fail(const char* Why)
{
    FState = csError;
    FError = Why;
    return cdError;
}

// "1a2b", maybe followed by blanks and ";name=value" extensions, which say nothing we need.
bool THttpChunkDecoder::SizeLine()
{
    std::size_t i = 0;
    std::uint64_t size = 0;
    for (; i < FLine.size(); ++i) {
        char c = FLine[i];
        int v = c >= '0' && c <= '9' ? c - '0' : (c >= 'a' && c <= 'f' ? c - 'a' + 10 : (c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1));
        if (v < 0) break;
        if (i >= 15) return false;  // more than any body could hold
        size = size * 16 + static_cast<std::uint64_t>(v);
    }
    if (i == 0) return false;
    while (i < FLine.size() && (FLine[i] == ' ' || FLine[i] == '\t')) ++i;
    if (i < FLine.size() && FLine[i] != ';') return false;
    FLeft = size;
    return true;
}

THttpChunkDecoder::TResult THttpChunkDecoder::Feed(const char* Data, std::size_t Len, std::string& Out)
{
    std::size_t i = 0;
    while (i < Len) {
        switch (FState) {
        case csDone:
            return cdDone;
        case csError:
            return cdError;
        case csData: {
            std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(FLeft, Len - i));
            Out.append(Data + i, n);
            i += n;
            FLeft -= n;
            if (FLeft == 0) FState = csDataEnd;
            break;
        }
        default: {
            // A framing line: the size, the end of a chunk's data, or a trailer field.
            const char* lf = static_cast<const char*>(std::memchr(Data + i, '\n', Len - i));
            std::size_t n = lf ? static_cast<std::size_t>(lf - (Data + i)) : Len - i;
            if (FLine.size() + n > kMaxChunkLine) return Fail("chunk framing line too long");
            FLine.append(Data + i, n);
            i += n;
            if (!lf) break;
            ++i;
            if (!FLine.empty() && FLine.back() == '\r') FLine.pop_back();
            if (FState == csTrailer && !HeaderLineFault(FLine, false).empty())
                return Fail("invalid trailer field");
            if (FState == csSize) {
                if (!SizeLine()) return Fail("invalid chunk size");
                FState = FLeft > 0 ? csData : csTrailer;
            } else if (FState == csDataEnd) {
                if (!FLine.empty()) return Fail("chunk longer than its size");
                FState = csSize;
            } else if (FLine.empty()) {
                FState = csDone;
            }
            FLine.clear();
            break;
        }
        }
    }
    return FState == csDone ? cdDone : (FState == csError ? cdError : cdMore);
}

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
    // Some servers send an empty line or two before the status line.
    if (FAwaitingStatus && FCurrentLine.empty()) return;
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
// the connection to follow it; anything else starts the body, framed and coded as the header
// said.
void THttpCli::FinishHeader()
{
    if (FStatusCode == 101) {
        // Nothing was asked to switch protocols: what follows is not HTTP.
        EndWithFailure("The server switched protocols unasked (101)", 0);
        return;
    }
    if (FStatusCode >= 100 && FStatusCode < 200) {
        FDeclaredLength = -1;
        FAwaitingStatus = true;
        return;
    }
    TLiveness guard = Liveness();
    // The body of an error is never the document: its framing is not judged.
    bool document = FStatusCode < 400;
    if (document && !FFramingError.empty()) {
        EndWithFailure(FFramingError, 0);
        return;
    }
    if (document && IsRelocationStatus(FStatusCode)) {
        TriggerHeaderEnd();
        if (!guard) return;
        std::string why;
        if (FRelocations >= HttpMaxRelocations) why = "Too many relocations";
        else if (FLocationFields > 1) why = "Relocation with two Location fields";
        else if (!FRelocationPending) {
            // Not followed, the relocation is this request's outcome, under its own status.
            EndWithFailure(FReasonPhrase.empty() ? std::string("Relocation without an address")
                                                 : FReasonPhrase + " (relocation without an address)",
                           0, FStatusCode);
            return;
        } else FollowLocation(FPendingLocation, why);
        if (!why.empty()) {
            EndWithFailure(why, 0);
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
    if (document && BodyExpected() && !CheckFraming()) return;
    if (!BeginBody()) return;
    if (!BodyExpected()) {
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

// Sets the body's decoding up from the header's codings, the last one applied undone first.
// False, the request ended, for a coding the client cannot undo: its bytes must not be stored
// as the document.
bool THttpCli::CheckFraming()
{
    std::vector<std::string> transfer = SplitCommas(FTransferCodings);
    // Two fields that each said "chunked" frame the body once.
    transfer.erase(std::unique(transfer.begin(), transfer.end(),
                               [](const std::string& a, const std::string& b) { return a == b && a == "chunked"; }),
                   transfer.end());
    FDecoders.clear();
    if (!transfer.empty()) {
        // A transfer coding frames the body itself: by its chunks when chunked was applied
        // last, else by the close. A length says nothing then.
        FDeclaredLength = -1;
        FChunked = transfer.back() == "chunked";
        if (FChunked) transfer.pop_back();
    }
    auto add = [&](const std::string& coding, bool transferCoding) {
        THttpBodyStep step;
        if (coding == "gzip" || coding == "x-gzip" || coding == "deflate")
            step.Inflater = std::make_unique<THttpInflater>(coding != "deflate");
        else if (transferCoding && coding == "chunked")
            step.Chunks = std::make_unique<THttpChunkDecoder>();
        else if (transferCoding && coding == "*")
            return true;  // names no coding
        else
            return false;
        FDecoders.push_back(std::move(step));
        return true;
    };
    for (auto c = transfer.rbegin(); c != transfer.rend(); ++c) {
        if (!add(*c, true)) {
            EndWithFailure("Unsupported transfer coding: " + FTransferCodings, 0);
            return false;
        }
    }
    std::vector<std::string> content = SplitCommas(FContentCodings);
    for (auto c = content.rbegin(); c != content.rend(); ++c) {
        if (!add(*c, false)) {
            EndWithFailure("Unsupported content coding: " + FContentCodings, 0);
            return false;
        }
    }
    return true;
}

// The first line of a response: its status. False, the request ended, when the server did
// not answer in HTTP.
bool THttpCli::ReadStatusLine()
{
    int status = 0;
    std::string reason;
    if (!ParseStatusLine(FCurrentLine, status, reason)) {
        const std::string& l = FCurrentLine;
        bool known = l.compare(0, 8, "HTTP/1.0") == 0 || l.compare(0, 8, "HTTP/1.1") == 0;
        if (!known && l.size() >= 8 && l.compare(0, 5, "HTTP/") == 0 && std::isdigit(static_cast<unsigned char>(l[5])) &&
            l[6] == '.' && std::isdigit(static_cast<unsigned char>(l[7])) && (l.size() == 8 || l[8] == ' ')) {
            EndWithFailure("Unsupported HTTP version: " + l.substr(0, 8), 0);
            return false;
        }
        EndWithFailure("No HTTP response: the reply does not start with a status line", 0);
        return false;
    }
    FStatusCode = status;
    FReasonPhrase = reason;
    FAwaitingStatus = false;
    ResetFraming();
    // What a former response (an interim one, a relocation) said is not this one's.
    FRelocationPending = false;
    FPendingLocation.clear();
    return true;
}

void THttpCli::ResetFraming()
{
    FFramingError.clear();
    FTransferCodings.clear();
    FContentCodings.clear();
    FChunked = false;
    FChunks.Reset();
    FDecoders.clear();
    FLocationFields = 0;
    FWireCount = 0;
}

// Content-Length, Transfer-Encoding and Content-Encoding: how the body is framed and coded.
void THttpCli::ReadFramingField(const std::string& Name, const std::string& Value)
{
    std::string& codings = Name == "transfer-encoding" ? FTransferCodings : FContentCodings;
    if (Name == "content-length") {
        // "5, 5" repeats one length; two different ones leave the body's end unknown.
        std::int64_t length = -1;
        for (const std::string& item : SplitCommas(Value)) {
            std::int64_t v = -1;
            try {
                v = StrToInt64(item);
            } catch (const EConvertError&) {
            }
            if (v < 0) {
                FFramingError = "Invalid Content-Length: " + Value;
                return;
            }
            if ((length >= 0 && v != length) || (FDeclaredLength >= 0 && v != FDeclaredLength)) {
                FFramingError = "Conflicting Content-Length values";
                return;
            }
            length = v;
        }
        if (length < 0) {
            FFramingError = "Invalid Content-Length: " + Value;
            return;
        }
        FContentLength = length;
        FDeclaredLength = length;
        return;
    }
    for (const std::string& item : SplitCommas(LowerCase(Value))) {
        if (item == "identity") continue;
        if (!codings.empty()) codings += ", ";
        codings += item;
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
    std::string fault = HeaderLineFault(line, FAwaitingStatus);
    // A blank at the start continues a field; right after the status line there is none.
    if (fault.empty() && !FAwaitingStatus && (line[0] == ' ' || line[0] == '\t') && FRcvdHeader->Count() >= 2 &&
        (*FRcvdHeader)[FRcvdHeader->Count() - 2].compare(0, 5, "HTTP/") == 0)
        fault = "a folded line with no field before it";
    if (!fault.empty()) {
        EndWithFailure("Invalid HTTP header: " + fault, 0);
        return;
    }
    if (FAwaitingStatus) {
        if (!ReadStatusLine()) return;
    } else if (std::size_t k = Pos(":", line); k > 0) {
        std::string name = LowerCase(line.substr(0, k - 1));
        std::size_t v = k;  // index of the value's first character
        while (v + 1 < line.size() && line[v] == ' ') ++v;
        std::string value = line.substr(std::min(v, line.size()));
        if (name == "location") {
            ++FLocationFields;
            if (HasLineBreakOrNul(value)) {
                EndWithFailure("Invalid character in relocation address", WSAEINVAL);
                return;
            }
            // Followed only when the status asks for it, at the end of the header.
            FRelocationPending = !Trim(value).empty();
            FPendingLocation = value;
        } else if (name == "content-length" || name == "transfer-encoding" || name == "content-encoding") {
            ReadFramingField(name, value);
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
    if (FDeclaredLength >= 0 && BodyExpected()) n = std::min(n, std::max<std::int64_t>(0, FDeclaredLength - FWireCount));
    if (FChunked || !FDecoders.empty()) {
        DecodeBody(Data, FChunked ? Len : n);
        return;
    }
    FWireCount += n;
    if (!DeliverPiece(Data, n)) return;
    if (DocumentComplete()) CloseConnection();
}

// A framed or coded body: each read is taken apart and decoded whole before its document
// bytes go on, so a handler that pumps and reads more meanwhile finds the decoders where this
// read left them, and the bytes stay in order.
void THttpCli::DecodeBody(const char* Data, std::int64_t Len)
{
    std::uintptr_t serial = FRequestSerial;
    FWireCount += Len;
    std::string plain;
    const char* bytes = Data;
    auto count = static_cast<std::size_t>(Len);
    if (FChunked) {
        if (FChunks.Feed(Data, count, plain) == THttpChunkDecoder::cdError) {
            EndWithFailure("Invalid chunked body: " + FChunks.Error(), 0);
            return;
        }
        bytes = plain.data();
        count = plain.size();
    }
    if (!PassOn(0, bytes, count, serial)) return;
    if (serial != FRequestSerial) return;
    if (DocumentComplete()) CloseConnection();
}

// Decoded bytes through the decoding steps from Step on, then to the document. False when the
// request ended, the client is gone or a handler moved on.
bool THttpCli::PassOn(std::size_t Step, const char* Data, std::size_t Len, std::uintptr_t Serial)
{
    if (Step >= FDecoders.size()) return Len == 0 || DeliverPiece(Data, static_cast<std::int64_t>(Len));
    if (FDecoders[Step].Chunks) {
        std::string plain;
        if (FDecoders[Step].Chunks->Feed(Data, Len, plain) == THttpChunkDecoder::cdError) {
            EndWithFailure("Invalid chunked body: " + FDecoders[Step].Chunks->Error(), 0);
            return false;
        }
        return PassOn(Step + 1, plain.data(), plain.size(), Serial);
    }
    FDecoders[Step].Inflater->Add(Data, Len);
    std::string piece;
    for (;;) {
        THttpInflater& inflater = *FDecoders[Step].Inflater;
        if (!inflater.Next(piece, kBodyPiece)) {
            EndWithFailure("Cannot decode the document: " + inflater.Error(), 0);
            return false;
        }
        if (piece.empty()) return true;
        if (!PassOn(Step + 1, piece.data(), piece.size(), Serial)) return false;
        // A handler may have ended the request, or read and decoded the rest itself.
        if (Serial != FRequestSerial || FDecoders.size() <= Step) return false;
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
