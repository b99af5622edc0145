// The waiting layer of the socket chain.
#pragma once

#include "net/CustomLineWSocket.h"

namespace kapo {

// Waiting layer of the chain.
class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    using TCustomLineWSocket::TCustomLineWSocket;
};

}  // namespace kapo
