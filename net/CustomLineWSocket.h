// The line-mode layer of the socket chain.
#pragma once

#include "net/CustomSocksWSocket.h"

namespace kapo {

// Line-mode layer of the chain; with line mode off it hands everything through.
class TCustomLineWSocket : public TCustomSocksWSocket {
public:
    using TCustomSocksWSocket::TCustomSocksWSocket;
};

}  // namespace kapo
