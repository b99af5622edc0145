// The waiting layer of the socket chain.
#pragma once

#include "net/CustomLineWSocket.h"

namespace kapo {

// Waiting layer of the chain: a wait on the socket's thread that keeps its messages flowing.
class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    using TSyncProc = void (*)(void* Data);
    // Returned when a wait ends without its flag: time out, or the loop is ending.
    static constexpr int WaitAbandoned = 12001;

    using TCustomLineWSocket::TCustomLineWSocket;

    // Milliseconds a wait may last; 0 is no limit.
    int Timeout() const { return FTimeout; }

    // Handles messages until *Flag is non-zero (0), the time-out passes or WM_QUIT is seen
    // (WaitAbandoned). Between passes it blocks on the queue instead of spinning.
    virtual int WaitForFlag(char* Flag);
    // Clears the flag, calls Proc(Data) when given, then waits for the flag.
    virtual int RunAndWait(char* Flag, TSyncProc Proc, void* Data);

protected:
    int FTimeout = 0;
};

}  // namespace kapo
