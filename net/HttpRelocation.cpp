// The HTTP client following a relocation to the address a response names.
#include "net/HttpRelocation.h"

#include "net/HttpProt.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "net/HttpInternal.h"

namespace kapo {

using namespace httpdetail;

bool IsRelocationStatus(int Status)
{
    return Status == 301 || Status == 302 || Status == 303 || Status == 307 || Status == 308;
}

namespace {

// The five parts of a reference; "has" tells an empty part from an absent one.
struct TReference {
    bool HasScheme = false, HasAuthority = false, HasQuery = false;
    std::string Scheme, Authority, Path, Query;
};

TReference SplitReference(const std::string& s)
{
    TReference r;
    std::string rest = s.substr(0, s.find('#'));
    std::size_t colon = rest.find(':');
    if (colon != std::string::npos && colon < rest.find_first_of("/?") && IsSchemeName(rest.substr(0, colon))) {
        r.HasScheme = true;
        r.Scheme = LowerCase(rest.substr(0, colon));
        rest.erase(0, colon + 1);
    }
    if (rest.compare(0, 2, "//") == 0) {
        std::size_t end = rest.find_first_of("/?", 2);
        r.HasAuthority = true;
        r.Authority = rest.substr(2, end == std::string::npos ? std::string::npos : end - 2);
        rest.erase(0, end == std::string::npos ? rest.size() : end);
    }
    std::size_t q = rest.find('?');
    if (q != std::string::npos) {
        r.HasQuery = true;
        r.Query = rest.substr(q + 1);
        rest.resize(q);
    }
    r.Path = rest;
    return r;
}

}  // namespace

std::string ResolveReference(const std::string& Base, const std::string& Ref)
{
    TReference b = SplitReference(Base), r = SplitReference(Ref), t;
    // "http:/path" on an http page is read as "/path", as browsers do.
    if (r.HasScheme && !r.HasAuthority && r.Scheme == b.Scheme) r.HasScheme = false;
    if (r.HasScheme) {
        t = r;
        t.Path = RemoveDotSegments(r.Path);
    } else {
        t.HasScheme = true;
        t.Scheme = b.Scheme;
        if (r.HasAuthority) {
            t.HasAuthority = true;
            t.Authority = r.Authority;
            t.Path = RemoveDotSegments(r.Path);
            t.HasQuery = r.HasQuery;
            t.Query = r.Query;
        } else {
            t.HasAuthority = b.HasAuthority;
            t.Authority = b.Authority;
            if (r.Path.empty()) {
                t.Path = b.Path;
                t.HasQuery = r.HasQuery || b.HasQuery;
                t.Query = r.HasQuery ? r.Query : b.Query;
            } else {
                if (r.Path[0] == '/') {
                    t.Path = RemoveDotSegments(r.Path);
                } else {
                    // Merged with the base's folder; an authority with no path has the root.
                    std::size_t slash = b.Path.rfind('/');
                    std::string folder = b.HasAuthority && b.Path.empty()
                                             ? std::string("/")
                                             : (slash == std::string::npos ? std::string() : b.Path.substr(0, slash + 1));
                    t.Path = RemoveDotSegments(folder + r.Path);
                }
                t.HasQuery = r.HasQuery;
                t.Query = r.Query;
            }
        }
    }
    std::string out = t.Scheme + ":";
    if (t.HasAuthority) out += "//" + t.Authority;
    out += t.Path;
    if (t.HasQuery) out += "?" + t.Query;
    return out;
}

// The absolute address of the document now being asked for: what a relative location is
// resolved against.
std::string THttpCli::CurrentAddress() const
{
    if (!FProxy.empty()) return FRequestTarget;  // already absolute
    bool defaultPort = FConnectPort == DefaultPort(FScheme);
    return FScheme + "://" + FTargetHost + (defaultPort ? std::string() : ":" + FConnectPort) + FRequestTarget;
}

// Points the request at the address a relocation names. False, with the reason, when it
// names nothing the client can fetch. Credentials written into the location are used for it,
// and only for its scheme, host and port; without any, those of URL stay with URL's server.
bool THttpCli::FollowLocation(const std::string& Value, std::string& Why)
{
    if (Trim(Value).empty()) {
        Why = "Relocation without an address";
        return false;
    }
    std::string url = ResolveReference(CurrentAddress(), Trim(Value));
    std::string scheme, user, pass, host, port, path;
    ParseURL(url, scheme, user, pass, host, port, path);
    scheme = LowerCase(scheme);
    if (scheme != "http" && scheme != "https") {
        Why = "Relocation to an address that is neither http nor https: " + url;
        return false;
    }
    if (host.empty()) {
        Why = "Relocation to an address without a host: " + url;
        return false;
    }
    std::string target = RequestTargetOf(path);
    FScheme = scheme;
    FTargetHost = host;
    if (!user.empty() || !pass.empty()) {
        FAuthUser = user;
        FAuthPass = pass;
        FAuthScheme = scheme;
        FAuthHost = host;
        FAuthPort = port.empty() ? DefaultPort(scheme) : port;
    }
    FLocation = scheme + "://" + host + (port.empty() ? std::string() : ":" + port) + target;
    if (FProxy.empty()) {
        FConnectHost = host;
        FConnectPort = port.empty() ? DefaultPort(scheme) : port;
        FRequestTarget = target;
    } else {
        // Through a proxy the connection stays with it and the request line carries the
        // whole address, port included.
        FRequestTarget = FLocation;
    }
    return true;
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
