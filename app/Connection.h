// The way every fetch of the window reaches the service: the proxy field names an HTTP proxy,
// or a SOCKS proxy by its scheme, at the port field's port.
#pragma once

#include <string>

#include "net/HttpProt.h"

namespace kapo {

// "socks5://host", "socks4a://host" or "socks4://host" names a SOCKS proxy at Port; any other
// text an HTTP proxy (none when empty).
void ApplyConnection(THttpCli& Cli, const std::string& Proxy, const std::string& Port);

}  // namespace kapo
