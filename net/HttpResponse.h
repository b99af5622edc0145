// The plain parts of reading a response, testable without sockets: the status line and the
// chunked framing of a body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kapo {

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

}  // namespace kapo
