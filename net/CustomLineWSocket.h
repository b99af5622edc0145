// The line-mode layer of the socket chain.
#pragma once

#include "net/CustomTlsWSocket.h"

namespace kapo {

// Line-mode layer of the chain; with line mode off it hands everything through.
class TCustomLineWSocket : public TCustomTlsWSocket {
public:
    using TCustomTlsWSocket::TCustomTlsWSocket;
};

}  // namespace kapo
