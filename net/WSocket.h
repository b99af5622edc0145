// The asynchronous socket, the one header its users include: the sockets library bound at run
// time, conversions and error texts, and the socket component chain TCustomWSocket ->
// TCustomSocksWSocket -> TCustomTlsWSocket -> TCustomLineWSocket -> TCustomSyncWSocket ->
// TWSocket, one file pair per layer.
#pragma once

#include "net/CustomSyncWSocket.h"

namespace kapo {

// The socket component the application uses.
class TWSocket : public TCustomSyncWSocket {
public:
    using TCustomSyncWSocket::TCustomSyncWSocket;
};

}  // namespace kapo
