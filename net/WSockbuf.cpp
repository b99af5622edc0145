#include "net/WSockbuf.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace kapo {

TBuffer::TBuffer(int Size)
{
    WrCount = 0;
    RdCount = 0;
    SetBufSize(Size);
}

TBuffer::~TBuffer()
{
    delete[] Buf;
}

void TBuffer::SetBufSize(int NewSize)
{
    if (NewSize <= 0) NewSize = DefaultSize;
    if (NewSize == BufSize) return;
    if (WrCount == RdCount) {
        delete[] Buf;
        Buf = nullptr;
        Buf = new char[static_cast<std::size_t>(NewSize)];
        BufSize = NewSize;
        return;
    }
    // The read prefix moves too, so both positions stay valid; it must therefore fit.
    if (NewSize < WrCount) throw ERangeError();
    char* bigger = new char[static_cast<std::size_t>(NewSize)];
    std::memcpy(bigger, Buf, static_cast<std::size_t>(WrCount));
    delete[] Buf;
    Buf = bigger;
    BufSize = NewSize;
}

int TBuffer::Write(const void* Data, int Len)
{
    int room = BufSize - WrCount;
    if (room <= 0 || Len <= 0) return 0;
    int n = std::min(room, Len);
    std::memcpy(Buf + WrCount, Data, static_cast<std::size_t>(n));
    WrCount += n;
    return n;
}

const char* TBuffer::Peek(int& Len) const
{
    if (WrCount > RdCount) {
        Len = WrCount - RdCount;
        return Buf + RdCount;
    }
    Len = 0;
    return nullptr;
}

int TBuffer::Remove(int Len)
{
    int avail = WrCount - RdCount;
    if (avail <= 0 || Len <= 0) return 0;
    int n = std::min(Len, avail);
    RdCount += n;
    if (RdCount == WrCount) {
        RdCount = 0;
        WrCount = 0;
    }
    return n;
}

TFileChunk::TFileChunk(int Fd, std::int64_t Offset, std::int64_t Len) : TBuffer(1), Fd(Fd), Offset(Offset), Left(Len)
{
    WrCount = RdCount = 0;
    BufSize = 0;  // nothing fits: a Write takes no bytes
}

TFileChunk::~TFileChunk()
{
    if (Fd >= 0) ::close(Fd);
}

}  // namespace kapo
