// The waiting layer: a wait for a flag that a handler sets, pumping the socket's messages.
#include "net/CustomSyncWSocket.h"

#include <time.h>

namespace kapo {

namespace {

std::int64_t NowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

int TCustomSyncWSocket::WaitForFlag(char* Flag)
{
    const std::int64_t deadline = NowMs() + FTimeout;
    TLiveness guard = Liveness();
    while (*Flag == 0) {
        if (FTimeout > 0 && NowMs() > deadline) return WaitAbandoned;
        if (FQuitSeen || MessageQueue::Current().QuitReceived()) return WaitAbandoned;
        PumpMessages();
        // The flag usually lives in the component: once it is gone, nothing can set it.
        if (!guard) return WaitAbandoned;
        if (*Flag != 0) break;
        if (FQuitSeen || MessageQueue::Current().QuitReceived()) return WaitAbandoned;
        WaitForWork();
    }
    return 0;
}

int TCustomSyncWSocket::RunAndWait(char* Flag, TSyncProc Proc, void* Data)
{
    *Flag = 0;
    if (Proc) Proc(Data);
    return WaitForFlag(Flag);
}

}  // namespace kapo
