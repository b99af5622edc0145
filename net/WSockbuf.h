// One fixed-size chunk of outgoing bytes; a socket's send queue is a list of them.
#pragma once

#include <cstdint>

#include "core/SysUtils.h"

namespace kapo {

class TBuffer : public TObject {
public:
    static constexpr int DefaultSize = 1514;

    // A size of zero or less gives DefaultSize.
    explicit TBuffer(int Size);
    ~TBuffer() override;
    TBuffer(const TBuffer&) = delete;
    TBuffer& operator=(const TBuffer&) = delete;

    // Resizes the storage, keeping the bytes written so far. A size below the write position
    // of a chunk that still holds bytes raises ERangeError and changes nothing.
    void SetBufSize(int NewSize);
    // Copies as many bytes as fit behind the write position; returns the count (0 when full).
    int Write(const void* Data, int Len);
    // The unsent bytes: their address and count, or nullptr and 0. Nothing is consumed.
    const char* Peek(int& Len) const;
    // Marks up to Len unsent bytes as taken; returns the count. An emptied chunk starts over.
    int Remove(int Len);

    char* Buf = nullptr;
    int BufSize = 0;
    int WrCount = 0;  // bytes written so far
    int RdCount = 0;  // bytes taken out; 0 <= RdCount <= WrCount <= BufSize
};

// A range of an open file waiting in a send queue in place of bytes: the system sends it
// straight from the file when its turn comes. It owns its descriptor (a duplicate of the
// caller's) and holds no bytes of its own, so nothing may be written into it.
class TFileChunk : public TBuffer {
public:
    TFileChunk(int Fd, std::int64_t Offset, std::int64_t Len);
    ~TFileChunk() override;
    // The chunk as a file range, or nullptr when it holds bytes.
    static TFileChunk* Of(TBuffer* Chunk) { return dynamic_cast<TFileChunk*>(Chunk); }

    int Fd;
    std::int64_t Offset;  // where the next byte comes from
    std::int64_t Left;    // bytes still to send
};

}  // namespace kapo
