// Reading a response, without sockets: the status line, the header fields, the framing and
// codings of the body, and whether the body arrived whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/Classes.h"

namespace kapo {

// What a response may send before the client gives up on it ("HTTP line too long", "HTTP
// header too large", "Too many relocations"): the bytes of one header line (or of a chunked
// body's framing line), without its line end; the header lines a request keeps, relocations
// included, and the bytes of them; the relocations one request follows.
constexpr int HttpMaxLineBytes = 64 * 1024;
constexpr int HttpMaxHeaderLines = 1000;
constexpr int HttpMaxHeaderBytes = 256 * 1024;
constexpr int HttpMaxRelocations = 20;
// Most body bytes read or decoded at once: large pieces keep the calls per byte low.
constexpr int HttpBodyPiece = 256 * 1024;

// "HTTP/1.0" or "HTTP/1.1", blanks, a three-digit code, then the end of the line or blanks and
// the reason. False for anything else (the code and the reason are then left as they were).
bool ParseStatusLine(const std::string& Line, int& Status, std::string& Reason);

// Takes a "Transfer-Encoding: chunked" body apart as its bytes arrive, in pieces of any size:
// chunk sizes, the chunks' data, the end of each chunk, the last chunk and its trailer.
class THttpChunkDecoder {
public:
    enum TResult { cdMore, cdDone, cdError };
    // Appends the data carried by the Len bytes to Out. cdDone once the last chunk and its
    // trailer have been read (bytes after them are not looked at); cdError, with Error(),
    // for framing that is not chunked.
    TResult Feed(const char* Data, std::size_t Len, std::string& Out);
    bool Done() const { return FState == csDone; }
    const std::string& Error() const { return FError; }
    void Reset() { *this = THttpChunkDecoder(); }

private:
    TResult Fail(const char* Why);
    bool SizeLine();

    enum { csSize, csData, csDataEnd, csTrailer, csDone, csError } FState = csSize;
    std::uint64_t FLeft = 0;  // data bytes of the current chunk still to come
    std::string FLine;        // the framing line being read
    std::string FError;
};

// Undoes a "Content-Encoding" of gzip or deflate (zlib-wrapped, or raw as some servers send
// it) as the bytes arrive.
class THttpInflater {
public:
    explicit THttpInflater(bool Gzip);
    ~THttpInflater();
    THttpInflater(const THttpInflater&) = delete;
    THttpInflater& operator=(const THttpInflater&) = delete;

    // Queues received bytes for decoding.
    void Add(const char* Data, std::size_t Len);
    // Decodes queued bytes into Out (emptied first), at most Max bytes of it. Out stays empty
    // when nothing more can be decoded now. False, with Error(), for data that is not what
    // its coding says.
    bool Next(std::string& Out, std::size_t Max);
    // The compressed stream has ended, its check sum included.
    bool Done() const { return FDone; }
    const std::string& Error() const { return FError; }

private:
    struct TZStream;
    std::unique_ptr<TZStream> FZ;
    bool FGzip, FStarted = false, FDone = false;
    std::string FInput;
    std::string FError;
};

// One step of undoing a body's codings, outermost first: a chunked framing taken apart, or a
// compression undone.
struct THttpBodyStep {
    std::unique_ptr<THttpChunkDecoder> Chunks;
    std::unique_ptr<THttpInflater> Inflater;
    bool Done() const { return Chunks ? Chunks->Done() : Inflater->Done(); }
};

// What is wrong with a received header line (the status line or a field, its line end taken
// off), or "" when nothing is: a CR that ends no line, a NUL byte, a field without a colon or
// whose name is no token. A line that starts with a blank continues the field before it.
std::string HeaderLineFault(const std::string& Line, bool StatusLine);

// A header field as read: the name lower-cased, the value without the blanks before it.
struct THttpField {
    std::string Name, Value;
};

// Everything read from the answers to one request, interim responses and relocations
// included: the status, the header fields, how the body is framed and coded, and the body's
// bytes counted. It is fed the header's lines and then the body's bytes, and says what they
// mean; it knows nothing of sockets or events. A fault (Fault()) ends the request: the reason
// is precise enough to tell the user what the server did wrong.
class THttpResponse {
public:
    THttpResponse();
    // A new request; Head: its responses have no body. The authentication challenges of
    // earlier requests stay.
    void Start(bool Head);
    // The request went out: a status line is awaited.
    void AwaitStatus() { FAwaitingStatus = true; }

    // -- the header
    enum TLine { lnField, lnEnd, lnHeaderless, lnFault };
    // One of the empty lines some servers send before their status line: nothing to read.
    bool Ignorable(const std::string& Line) const { return FAwaitingStatus && Line.empty(); }
    // No line of this response's header has been read yet.
    bool BeforeHeader() const { return FHeaderLines == 0; }
    // One header line, its line end taken off. lnField: the status line (Field.Name empty) or
    // a field, kept in Header(); lnEnd: the empty line; lnHeaderless: a document that starts
    // with "<HTML>", no header at all, the line being its first.
    TLine AddLine(const std::string& Line, THttpField& Field);
    enum TEnd { heInterim, heRelocation, heBody, heFault };
    // What the empty line ends: an interim response (the real one follows), a relocation to
    // follow, or the header of a body framed and coded as it said.
    TEnd EndHeader();
    // Why the relocation just read cannot be followed, "" when it can; Status: the status the
    // request then ends with.
    std::string RelocationFault(int& Status) const;
    const std::string& RelocationAddress() const { return FPendingLocation; }
    // The relocation is followed: the next header is that of the next address.
    void Relocated();

    // -- the body
    bool BodyExpected() const;
    // Takes Len bytes of the body apart and hands what they carry of the document to Deliver,
    // in pieces; Deliver answers false when the request ended or the client is gone, and the
    // response is then not touched again. fdStopped: Deliver said so, or a new request began
    // while a piece was out.
    enum TFeed { fdGoOn, fdStopped, fdFault };
    using TDeliver = std::function<bool(const char* Data, std::size_t Len)>;
    TFeed FeedBody(const char* Data, std::size_t Len, const TDeliver& Deliver);
    // A body that is neither framed by chunks nor coded goes to the document as it came, up
    // to its declared length: Take counts a piece of Len bytes and answers how many of them
    // are the document's. The client hands them on itself, which keeps the stack of a handler
    // that pumps and reads the next piece as shallow as one call.
    bool Decodes() const { return !FSteps.empty(); }
    std::size_t Take(std::size_t Len);
    // The body is all there: the response has none, or what its framing declared has come.
    bool Complete() const;
    // Why a response whose connection ended here is not whole, or "": InHeader, the header
    // was not over.
    std::string EndReason(bool InHeader) const;

    // -- what was read
    int Status() const { return FStatus; }
    const std::string& Reason() const { return FReason; }
    // A local failure ends the request under a status of its own.
    void SetStatus(int Status, const std::string& Reason);
    // The last length declared in this request, -1 when none.
    std::int64_t ContentLength() const { return FContentLength; }
    const std::string& ContentType() const { return FContentType; }
    const std::string& AcceptRanges() const { return FAcceptRanges; }
    TStrings& Header() { return FHeader; }
    TStrings& Challenges() { return FChallenges; }
    // After lnFault, heFault or fdFault. FaultInAddress: the fault is a relocation address
    // that would have broken the request line.
    const std::string& Fault() const { return FFault; }
    bool FaultInAddress() const { return FFaultInAddress; }

private:
    TLine Failed(const std::string& Why, bool InAddress = false);
    bool ReadStatusLine(const std::string& Line);
    void ReadField(const std::string& Name, const std::string& Value);
    void ReadFraming(const std::string& Name, const std::string& Value);
    bool SetUpDecoding();
    void ResetFraming();
    TFeed PassOn(std::size_t Step, const char* Data, std::size_t Len, const TDeliver& Deliver);

    bool FHead = false;
    int FStatus = 0;
    std::string FReason;
    bool FAwaitingStatus = false;
    TStringList FHeader, FChallenges;
    int FHeaderLines = 0;  // lines of this response's header read, its status line included
    std::int64_t FHeaderBytes = 0;  // bytes kept in FHeader
    int FRelocations = 0;
    std::int64_t FContentLength = -1;
    std::string FContentType, FAcceptRanges;
    std::string FFault;
    bool FFaultInAddress = false;
    // The response being read: its location, a fault of its framing fields, and how its body
    // is framed and coded.
    int FLocationFields = 0;
    bool FRelocationPending = false;
    std::string FPendingLocation;
    std::string FFramingError;
    std::string FTransferCodings, FContentCodings;  // lower-cased, without "identity"
    std::int64_t FDeclaredLength = -1;  // what this response declared; ContentLength keeps older ones
    bool FChunked = false;  // the body is framed by its chunks: FSteps[0] takes them apart
    std::vector<THttpBodyStep> FSteps;
    std::int64_t FWireCount = 0;  // body bytes of this response as they came
    // Changes with every response read, so a delivery that finds it changed stops.
    std::uint64_t FGeneration = 0;
};

}  // namespace kapo
