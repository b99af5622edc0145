// Reading a response: the status line, the header fields, the body's framing and codings.
#include "net/HttpResponse.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <vector>

#include <zlib.h>

#include "core/SysUtils.h"
#include "net/HttpUrl.h"

namespace kapo {

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

// A length field's number, of any size a length can have; -1 for anything else.
std::int64_t LengthValue(const std::string& s)
{
    std::string t = Trim(s);
    const char* b = t.data();
    const char* e = b + t.size();
    if (b != e && *b == '+') ++b;
    std::int64_t v = -1;
    auto r = std::from_chars(b, e, v);
    return t.empty() || r.ec != std::errc() || r.ptr != e ? -1 : v;
}

// The items of a comma-separated field value, trimmed, empty ones left out.
std::vector<std::string> SplitCommas(const std::string& Value)
{
    std::vector<std::string> out;
    std::size_t from = 0;
    while (from <= Value.size()) {
        std::size_t comma = std::min(Value.find(',', from), Value.size());
        std::string item = Trim(Value.substr(from, comma - from));
        if (!item.empty()) out.push_back(item);
        from = comma + 1;
    }
    return out;
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
// One request's responses
// ---------------------------------------------------------------------------------------------

namespace {

// Statuses whose responses never carry a body, whatever their length field says.
bool StatusHasBody(int Status)
{
    return !(Status >= 100 && Status < 200) && Status != 204 && Status != 304;
}

// The statuses that send the client elsewhere with their location field; a location on any
// other response names nothing to fetch.
bool IsRelocationStatus(int Status)
{
    return Status == 301 || Status == 302 || Status == 303 || Status == 307 || Status == 308;
}

}  // namespace

THttpResponse::THttpResponse() = default;

void THttpResponse::Start(bool Head)
{
    FHead = Head;
    FStatus = 0;
    FReason.clear();
    FAwaitingStatus = false;
    FHeader.Clear();
    FHeaderLines = 0;
    FHeaderBytes = 0;
    FRelocations = 0;
    FContentLength = -1;
    FContentType.clear();
    FAcceptRanges.clear();
    FFault.clear();
    FFaultInAddress = false;
    ResetFraming();
}

void THttpResponse::ResetFraming()
{
    FLocationFields = 0;
    FRelocationPending = false;
    FPendingLocation.clear();
    FFramingError.clear();
    FTransferCodings.clear();
    FContentCodings.clear();
    FChunked = false;
    FSteps.clear();
    FWireCount = 0;
    ++FGeneration;
}

void THttpResponse::SetStatus(int Status, const std::string& Reason)
{
    FStatus = Status;
    FReason = Reason;
}

THttpResponse::TLine THttpResponse::Failed(const std::string& Why, bool InAddress)
{
    FFault = Why;
    FFaultInAddress = InAddress;
    return lnFault;
}

THttpResponse::TLine THttpResponse::AddLine(const std::string& Line, THttpField& Field)
{
    Field = {};
    // A relocation's own length must not judge the document that follows it.
    if (FHeaderLines++ == 0) FDeclaredLength = -1;
    if (UpperCase(Line.substr(0, 6)) == "<HTML>") {
        if (FContentType.empty()) FContentType = "text/html";
        return lnHeaderless;
    }
    if (Line.empty()) return lnEnd;
    // A server that never ends its header must not fill the memory.
    if (FHeader.Count() >= HttpMaxHeaderLines ||
        FHeaderBytes + static_cast<std::int64_t>(Line.size()) > HttpMaxHeaderBytes)
        return Failed(Format("HTTP header too large: more than %d lines or %d bytes", HttpMaxHeaderLines,
                             HttpMaxHeaderBytes));
    FHeader.Add(Line);
    FHeaderBytes += static_cast<std::int64_t>(Line.size());

    std::string fault = HeaderLineFault(Line, FAwaitingStatus);
    // A blank at the start continues a field; right after the status line there is none.
    if (fault.empty() && !FAwaitingStatus && (Line[0] == ' ' || Line[0] == '\t') && FHeader.Count() >= 2 &&
        FHeader[FHeader.Count() - 2].compare(0, 5, "HTTP/") == 0)
        fault = "a folded line with no field before it";
    if (!fault.empty()) return Failed("Invalid HTTP header: " + fault);
    if (FAwaitingStatus) return ReadStatusLine(Line) ? lnField : lnFault;
    std::size_t colon = Line.find(':');
    if (colon == std::string::npos || colon == 0) return lnField;  // a folded line
    Field.Name = LowerCase(Line.substr(0, colon));
    std::size_t v = colon + 1;
    while (v + 1 < Line.size() && Line[v] == ' ') ++v;
    Field.Value = Line.substr(std::min(v, Line.size()));
    if (Field.Name == "location") {
        ++FLocationFields;
        if (HasLineBreakOrNul(Field.Value)) return Failed("Invalid character in relocation address", true);
        // Followed only when the status asks for it, at the end of the header.
        FRelocationPending = !Trim(Field.Value).empty();
        FPendingLocation = Field.Value;
    } else {
        ReadField(Field.Name, Field.Value);
    }
    return lnField;
}

// The first line of a response: its status. False, with the fault, when the server did not
// answer in HTTP.
bool THttpResponse::ReadStatusLine(const std::string& Line)
{
    int status = 0;
    std::string reason;
    if (!ParseStatusLine(Line, status, reason)) {
        bool known = Line.compare(0, 8, "HTTP/1.0") == 0 || Line.compare(0, 8, "HTTP/1.1") == 0;
        if (!known && Line.size() >= 8 && Line.compare(0, 5, "HTTP/") == 0 &&
            std::isdigit(static_cast<unsigned char>(Line[5])) && Line[6] == '.' &&
            std::isdigit(static_cast<unsigned char>(Line[7])) && (Line.size() == 8 || Line[8] == ' ')) {
            Failed("Unsupported HTTP version: " + Line.substr(0, 8));
            return false;
        }
        Failed("No HTTP response: the reply does not start with a status line");
        return false;
    }
    FStatus = status;
    FReason = reason;
    FAwaitingStatus = false;
    // What a former response (an interim one, a relocation) said is not this one's.
    ResetFraming();
    FAcceptRanges.clear();
    return true;
}

void THttpResponse::ReadField(const std::string& Name, const std::string& Value)
{
    if (Name == "content-length" || Name == "transfer-encoding" || Name == "content-encoding")
        ReadFraming(Name, Value);
    else if (Name == "accept-ranges")
        FAcceptRanges = Value;
    else if (Name == "content-type")
        FContentType = LowerCase(Value);
    else if (Name == "www-authenticate")
        FChallenges.Add(Value);
}

// Content-Length, Transfer-Encoding and Content-Encoding: how the body is framed and coded.
void THttpResponse::ReadFraming(const std::string& Name, const std::string& Value)
{
    if (Name == "content-length") {
        // "5, 5" repeats one length; two different ones leave the body's end unknown.
        std::int64_t length = -1;
        for (const std::string& item : SplitCommas(Value)) {
            std::int64_t v = LengthValue(item);
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
    std::string& codings = Name == "transfer-encoding" ? FTransferCodings : FContentCodings;
    for (const std::string& item : SplitCommas(LowerCase(Value))) {
        if (item == "identity") continue;
        if (!codings.empty()) codings += ", ";
        codings += item;
    }
}

THttpResponse::TEnd THttpResponse::EndHeader()
{
    if (FStatus == 101) {
        // Nothing was asked to switch protocols: what follows is not HTTP.
        FFault = "The server switched protocols unasked (101)";
        return heFault;
    }
    if (FStatus >= 100 && FStatus < 200) {
        FDeclaredLength = -1;
        FAwaitingStatus = true;
        return heInterim;
    }
    // The body of an error is never the document: its framing is not judged.
    if (FStatus >= 400) return heBody;
    if (!FFramingError.empty()) {
        FFault = FFramingError;
        return heFault;
    }
    if (IsRelocationStatus(FStatus)) return heRelocation;
    return !BodyExpected() || SetUpDecoding() ? heBody : heFault;
}

std::string THttpResponse::RelocationFault(int& Status) const
{
    Status = 404;
    if (FRelocations >= HttpMaxRelocations) return "Too many relocations";
    if (FLocationFields > 1) return "Relocation with two Location fields";
    if (FRelocationPending) return {};
    // Not followed, the relocation is the request's outcome, under its own status.
    Status = FStatus;
    return FReason.empty() ? std::string("Relocation without an address") : FReason + " (relocation without an address)";
}

void THttpResponse::Relocated()
{
    ++FRelocations;
    FHeaderLines = 0;
}

// Sets the body's decoding up from the header's codings, the last one applied undone first.
// False, with the fault, for a coding that cannot be undone: its bytes must not be stored as
// the document.
bool THttpResponse::SetUpDecoding()
{
    std::vector<std::string> transfer = SplitCommas(FTransferCodings);
    // Two fields that each said "chunked" frame the body once.
    transfer.erase(std::unique(transfer.begin(), transfer.end(),
                               [](const std::string& a, const std::string& b) { return a == b && a == "chunked"; }),
                   transfer.end());
    FSteps.clear();
    if (!transfer.empty()) {
        // A transfer coding frames the body itself: by its chunks when chunked was applied
        // last, else by the close. A length says nothing then.
        FDeclaredLength = -1;
        FChunked = transfer.back() == "chunked";
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
        FSteps.push_back(std::move(step));
        return true;
    };
    for (auto c = transfer.rbegin(); c != transfer.rend(); ++c) {
        if (!add(*c, true)) {
            FFault = "Unsupported transfer coding: " + FTransferCodings;
            return false;
        }
    }
    std::vector<std::string> content = SplitCommas(FContentCodings);
    for (auto c = content.rbegin(); c != content.rend(); ++c) {
        if (!add(*c, false)) {
            FFault = "Unsupported content coding: " + FContentCodings;
            return false;
        }
    }
    return true;
}

bool THttpResponse::BodyExpected() const
{
    return !FHead && StatusHasBody(FStatus);
}

// Each piece is taken apart and decoded whole before its document bytes go on, so a handler
// that pumps and reads more meanwhile finds the decoders where this piece left them, and the
// bytes stay in order.
THttpResponse::TFeed THttpResponse::FeedBody(const char* Data, std::size_t Len, const TDeliver& Deliver)
{
    std::size_t n = Take(Len);
    if (FSteps.empty()) return Deliver(Data, n) ? fdGoOn : fdStopped;
    return PassOn(0, Data, n, Deliver);
}

std::size_t THttpResponse::Take(std::size_t Len)
{
    std::size_t n = Len;
    // Bytes past the declared length belong to no document.
    if (FDeclaredLength >= 0 && BodyExpected())
        n = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(Len),
                                                            std::max<std::int64_t>(0, FDeclaredLength - FWireCount)));
    FWireCount += static_cast<std::int64_t>(n);
    return n;
}

// Bytes through the decoding steps from Step on, then to the document.
THttpResponse::TFeed THttpResponse::PassOn(std::size_t Step, const char* Data, std::size_t Len, const TDeliver& Deliver)
{
    if (Step >= FSteps.size()) return Len == 0 || Deliver(Data, Len) ? fdGoOn : fdStopped;
    std::uint64_t generation = FGeneration;
    if (FSteps[Step].Chunks) {
        std::string plain;
        if (FSteps[Step].Chunks->Feed(Data, Len, plain) == THttpChunkDecoder::cdError) {
            FFault = "Invalid chunked body: " + FSteps[Step].Chunks->Error();
            return fdFault;
        }
        TFeed r = PassOn(Step + 1, plain.data(), plain.size(), Deliver);
        return r == fdGoOn && generation != FGeneration ? fdStopped : r;
    }
    FSteps[Step].Inflater->Add(Data, Len);
    std::string piece;
    for (;;) {
        THttpInflater& inflater = *FSteps[Step].Inflater;
        if (!inflater.Next(piece, HttpBodyPiece)) {
            FFault = "Cannot decode the document: " + inflater.Error();
            return fdFault;
        }
        if (piece.empty()) return fdGoOn;
        if (TFeed r = PassOn(Step + 1, piece.data(), piece.size(), Deliver); r != fdGoOn) return r;
        // A handler may have begun another request, or read and decoded the rest itself.
        if (generation != FGeneration) return fdStopped;
    }
}

bool THttpResponse::Complete() const
{
    if (!BodyExpected()) return true;
    if (FChunked) return FSteps[0].Done();
    return FDeclaredLength >= 0 && FWireCount >= FDeclaredLength;
}

std::string THttpResponse::EndReason(bool InHeader) const
{
    // Nothing, or half a header, is no document, whatever status came.
    if (InHeader)
        return FAwaitingStatus ? "No HTTP response: the connection closed before a status line"
                               : "Connection closed before the end of the HTTP header";
    if (!BodyExpected()) return {};
    if (!FChunked && FDeclaredLength >= 0 && FWireCount < FDeclaredLength)
        return Format("Document truncated: %d of %d bytes received", FWireCount, FDeclaredLength);
    for (const THttpBodyStep& step : FSteps) {
        if (step.Done()) continue;
        return step.Chunks ? "Document truncated: the chunked body ended before its last chunk"
                           : "Document truncated: the compressed body ended early";
    }
    return {};
}

}  // namespace kapo
