// The HTTP client following a relocation to the address a response names.
#include "net/HttpProt.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "net/HttpInternal.h"

namespace kapo {

using namespace httpdetail;

void THttpCli::ProcessLocation(const std::string& Value)
{
    // An empty location names no document; the response is taken as it is.
    if (Value.empty()) return;
    FRelocationPending = true;
    if (!FProxy.empty()) {
        RelocateThroughProxy(Value);
        return;
    }
    if (Value[0] == '/') {
        FRequestTarget = Value;
        FLocation = FScheme + "://" + FConnectHost + FRequestTarget;
        return;
    }
    std::string scheme, user, pass, host, port, path;
    ParseURL(Value, scheme, user, pass, host, port, path);
    FConnectHost = host;
    FRequestTarget = path;
    if (!port.empty()) FConnectPort = port;
    bool namesHost = false;
    if (!scheme.empty()) scheme = LowerCase(scheme);
    if (!scheme.empty() && !FConnectHost.empty()) {
        FScheme = scheme;
        FTargetHost = FConnectHost;
        if (FRequestTarget.empty()) {
            FRequestTarget = "/";
            FLocation = scheme + "://" + FConnectHost;
        } else {
            FLocation = scheme + "://" + FConnectHost + FRequestTarget;
        }
        namesHost = true;
    } else {
        if (scheme.empty()) scheme = FScheme;
        FScheme = scheme;
        if (FRequestTarget.empty()) {
            // a bare name: a document beside the root of the current server
            FLocation = scheme + "://" + FTargetHost + "/" + host;
            FConnectHost = FTargetHost;
            FRequestTarget = FLocation;
        } else if (FConnectHost.empty()) {
            FLocation = scheme + "://" + FTargetHost + FRequestTarget;
            FConnectHost = FTargetHost;
        } else {
            FTargetHost = FConnectHost;
            namesHost = true;
        }
    }
    // A new server without a port is reached on the default one; a location on the same
    // server keeps the port in use.
    if (namesHost && port.empty()) FConnectPort = DefaultPort(FScheme);
}

// Through a proxy the connection stays with the proxy and the request line carries the whole
// new address, port included.
void THttpCli::RelocateThroughProxy(const std::string& Value)
{
    std::string cscheme, cuser, cpass, chost, cport, cpath;
    ParseURL(FRequestTarget, cscheme, cuser, cpass, chost, cport, cpath);
    if (cscheme.empty()) cscheme = "http";
    std::string scheme, user, pass, host, port, path;
    if (Value[0] != '/') ParseURL(Value, scheme, user, pass, host, port, path);
    if (Value[0] == '/') {
        scheme = cscheme;
        host = chost;
        port = cport;
        path = Value;
    } else if (!host.empty() && (!scheme.empty() || !path.empty())) {
        if (scheme.empty()) scheme = "http";
    } else if (!host.empty()) {
        // a bare name: a document beside the root of the current server
        path = "/" + host;
        scheme = cscheme;
        host = chost;
        port = cport;
    } else {
        if (scheme.empty()) scheme = cscheme;
        host = chost;
        port = cport;
    }
    if (path.empty()) path = "/";
    scheme = LowerCase(scheme);
    FScheme = scheme;
    FTargetHost = host;
    FLocation = scheme + "://" + host + (port.empty() ? std::string() : ":" + port) + path;
    FRequestTarget = FLocation;
}

void THttpCli::HandleRelocationClosed(TObject* Sender, std::uint16_t Error)
{
    FConnected = false;
    FRelocationPending = false;
    SetSocketClosedHandler(false);
    TLiveness guard = Liveness();
    if (auto handler = OnLocationChange) handler(this);
    if (!guard) return;
    PostMessage(FNotifyWindow, WM_RELOCATE, FRequestSerial, 0);
}

}  // namespace kapo
