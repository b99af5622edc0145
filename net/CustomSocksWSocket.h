// The SOCKS layer of the socket chain.
#pragma once

#include "net/CustomWSocket.h"

namespace kapo {

// SOCKS negotiation layer of the chain; with no SOCKS server set it hands everything through.
class TCustomSocksWSocket : public TCustomWSocket {
public:
    using TCustomWSocket::TCustomWSocket;
};

}  // namespace kapo
