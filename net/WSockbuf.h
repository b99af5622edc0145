// One fixed-size chunk of outgoing bytes; a socket's send queue is a list of them.
#pragma once

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

}  // namespace kapo
