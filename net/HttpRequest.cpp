// The HTTP client's sending side: the address prepared, the connection, the request header,
// the tunnel through a proxy and the body of a POST.
#include "net/HttpProt.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace kapo {

namespace {

std::string ErrorText(int Error)
{
    return WinsockErrorText(Error) + " (Error #" + IntToStr(Error) + ")";
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Starting a request
// ---------------------------------------------------------------------------------------------

void THttpCli::StartRequest(THttpRequest Kind)
{
    if (FState != hsReady) throw EHttpException("HTTP component is busy", httperrBusy);
    if (Kind == rqPost && !FSendStream) throw EHttpException("HTTP component has nothing to post", httperrNoData);

    FRequestType = Kind;
    FResponse.Start(Kind == rqHead);
    FRequestDoneError = 0;
    SetSocketClosedHandler(false);
    ++FRequestSerial;
    // Whatever an ended response left behind belongs to it, not to this request.
    FReceiveLen = 0;
    FReceiveBuffer[0] = 0;
    FReceiveError = 0;
    FNextStep = nullptr;
    FTakingBody = false;
    FEnded = false;
    FFailed = false;

    TLiveness guard = Liveness();
    SetState(hsNotConnected);
    // A handler may have freed the client or aborted the request it was told of.
    if (!guard || FState != hsNotConnected) return;

    FDocName.clear();
    FRcvdCount = 0;
    FSentCount = 0;
    FBodyDataCount = 0;
    FSendingBody = false;
    FLocation = FURL;
    StartIdleTimer();
    if (HasLineBreakOrNul(FURL)) {
        EndWithFailure("Invalid character in URL", WSAEINVAL);
        return;
    }

    std::string proto, user, pass, host, port, path;
    ParseURL(FURL, proto, user, pass, host, port, path);
    FTargetHost = host;
    FScheme = proto.empty() ? std::string("http") : LowerCase(proto);
    if (!user.empty()) FUsername = user;
    if (!pass.empty()) FPassword = pass;
    // The server credentials belong to this scheme, host and port only.
    SetCredentials(FUsername, FPassword, FScheme, host, port);
    // The fragment is the reader's, never the server's.
    FDocName = path.substr(0, path.find('#'));
    if (FProxy.empty()) {
        FRequestTarget = RequestTargetOf(path);
        FConnectHost = host;
        FConnectPort = port.empty() ? DefaultPort(FScheme) : port;
    } else {
        std::string p = port.empty() ? std::string() : ":" + port;
        FRequestTarget = FScheme + "://" + host + p + RequestTargetOf(path);
        std::string pproto, puser, ppass, phost, pport, ppath;
        ParseURL(FProxy, pproto, puser, ppass, phost, pport, ppath);
        FConnectHost = phost;
        FConnectPort = pport.empty() ? FProxyPort : pport;
    }
    if (FRequestTarget.empty()) FRequestTarget = "/";

    if (FDocName.empty() || FDocName == "/") {
        FDocName = "document.htm";
    } else {
        if (FDocName.back() == '/') FDocName.pop_back();
        std::size_t slash = LastPos("/", FDocName);
        if (slash > 0) FDocName = FDocName.substr(slash, 255);
        std::size_t q = FDocName.find('?');
        if (q != std::string::npos) FDocName.resize(q);
    }

    StartConnect();
}

void THttpCli::SetProxyAddress(const std::string& Text, const std::string& DefaultPort)
{
    const TProxyAddress proxy = ParseProxyAddress(Text);
    const bool socks = !proxy.SocksLevel.empty();
    const std::string port = proxy.Port.empty() ? DefaultPort : proxy.Port;
    FProxy = socks || proxy.Host.empty() ? std::string() : proxy.Host + (proxy.Port.empty() ? "" : ":" + proxy.Port);
    FProxyPort = DefaultPort;
    FProxyUsername = socks ? std::string() : proxy.User;
    FProxyPassword = socks ? std::string() : proxy.Password;
    FSocksServer = socks ? proxy.Host : std::string();
    FSocksPort = socks ? port : std::string();
    FSocksLevel = proxy.SocksLevel;
    FSocksUsercode = socks ? proxy.User : std::string();
    FSocksPassword = socks ? proxy.Password : std::string();
    FSocksAuthentication = socks && !proxy.User.empty() ? socksAuthenticateUsercode : socksNoAuthentication;
}

void THttpCli::StartConnect()
{
    FResolvedAddr.clear();
    FReceiveError = 0;
    // An https document is fetched over TLS, straight from its server or, through a proxy,
    // inside a tunnel the proxy opens with CONNECT.
    bool secure = SameText(FScheme, "https");
    FTunnel = secure && !FProxy.empty() ? tnNeeded : tnNone;
    FSocket->SetTls(secure && FProxy.empty());
    FSocket->SetTlsHost(FTargetHost);
    FSocket->SetTlsCaFile(FCaFile);
    TLiveness guard = Liveness();
    SetState(hsDnsLookup);
    if (!guard || FState != hsDnsLookup) return;
    // The proxy knows names this machine may not: the name goes to it as it is.
    if (SocksResolves()) ConnectSocket(FConnectHost);
    else FSocket->StartDnsLookup(FConnectHost);
}

bool THttpCli::SocksResolves() const
{
    return !FSocksServer.empty() && UpperCase(FSocksLevel) != "4";
}

void THttpCli::HandleDnsLookupDone(TObject* Sender, std::uint16_t Error)
{
    if (Error == 0) {
        ConnectSocket(FSocket->DnsResult());
        return;
    }
    if (FState == hsAborting) return;
    FRequestDoneError = Error;
    FResponse.SetStatus(404, "can't resolve hostname to IP address");
    HandleSessionClosed(Sender, Error);
}

// The address is known (looked up, or a name the SOCKS proxy resolves): the connection starts.
void THttpCli::ConnectSocket(const std::string& Addr)
{
    Progress();
    FResolvedAddr = Addr;
    TLiveness guard = Liveness();
    SetState(hsDnsLookupDone);
    if (!guard || FState != hsDnsLookupDone) return;
    try {
        FSocket->SetAddr(FResolvedAddr);
        FSocket->SetPort(FConnectPort);
        FSocket->SetProto("tcp");
        // The socket forgets its proxy at every close: it is named again for each connection,
        // relocations included.
        if (!FSocksServer.empty() || !FSocket->SocksServer().empty()) {
            FSocket->SetSocksServer(FSocksServer);
            FSocket->SetSocksPort(FSocksPort);
            if (!FSocksLevel.empty()) FSocket->SetSocksLevel(FSocksLevel);
            FSocket->SetSocksUsercode(FSocksUsercode);
            FSocket->SetSocksPassword(FSocksPassword);
            FSocket->SetSocksAuthentication(FSocksAuthentication);
        }
        FSocksError.clear();
        FSocket->Connect();
    } catch (const Exception& E) {
        int err = FSocket->LastError();
        // Refused before any socket call (a bad address or port): say why.
        FResponse.SetStatus(404, "can't connect: " + (err != 0 ? ErrorText(err) : E.Message()));
        if (err == 0) err = WSAEINVAL;
        FRequestDoneError = static_cast<std::uint32_t>(err);
        FSocket->Close();
        if (!guard) return;
        HandleSessionClosed(FSocket, static_cast<std::uint16_t>(err));
    }
}

void THttpCli::HandleSessionConnected(TObject* Sender, std::uint16_t Error)
{
    if (Error != 0) {
        FRequestDoneError = Error;
        FResponse.SetStatus(404, FSocksError.empty() ? ConnectionErrorText(Error)
                                                     : "socks: " + FSocksError + " (Error #" + IntToStr(Error) + ")");
        HandleSessionClosed(Sender, Error);
        return;
    }
    Progress();
    if (FTunnel == tnNeeded) {
        SendTunnelRequest();
        return;
    }
    if (FTunnel == tnHandshake) FTunnel = tnOpen;
    TLiveness guard = Liveness();
    // A handler may free the client or abort the request at each step.
    FConnected = true;
    SetState(hsConnected);
    if (!guard || FState != hsConnected) return;
    TriggerSessionConnected();
    if (!guard || FState != hsConnected) return;
    FNextStep = &THttpCli::ProcessHeaderLine;
    FResponse.AwaitStatus();
    FTakingBody = false;
    SetState(hsWaitingHeader);
    if (!guard || FState != hsWaitingHeader) return;
    try {
        switch (FRequestType) {
        case rqGet:
            SendRequestHeader("GET", "1.0");
            break;
        case rqPost:
            SendRequestHeader("POST", "1.0");
            if (!guard || FState != hsWaitingHeader) return;
            TriggerSendBegin();
            if (!guard || FState != hsWaitingHeader) return;
            FSendingBody = true;
            HandleDataSent(FSocket, 0);
            break;
        case rqHead:
            SendRequestHeader("HEAD", "1.0");
            break;
        case rqNone:
            break;
        }
    } catch (const std::exception& E) {
        // A request that never left cannot be answered: the request fails here.
        if (!guard || FEnded || FState == hsReady) return;
        EndWithFailure(std::string("Cannot send the request: ") + E.what(), 0);
    }
}

void THttpCli::SendRequestHeader(const std::string& Method, const std::string& Version)
{
    TLiveness guard = Liveness();
    auto sending = [&] { return guard && FState == hsWaitingHeader; };
    FRequestBuffer->Clear();
    TriggerRequestHeaderBegin();
    if (!sending()) return;
    bool post = Method == "POST";
    // Inside a tunnel the server itself is addressed: the request line names the path only.
    std::string target = FRequestTarget;
    if (FTunnel == tnOpen) {
        std::string tproto, tuser, tpass, thost, tport;
        ParseURL(FRequestTarget, tproto, tuser, tpass, thost, tport, target);
        if (target.empty()) target = "/";
    }
    AddRequestLine(Method + " " + target + " HTTP/" + Version);
    if (!FSender.empty()) AddRequestLine("From: " + FSender);
    if (!FAccept.empty()) AddRequestLine("Accept: " + FAccept);
    if (!FReference.empty()) AddRequestLine("Referer: " + FReference);
    if (post && !FContentTypePost.empty()) AddRequestLine("Content-Type: " + FContentTypePost);
    if (!FAgent.empty()) AddRequestLine("User-Agent: " + FAgent);
    // A server on another port than the default one is told which of its sites is meant.
    std::string originScheme, originHost, originPort;
    CurrentOrigin(originScheme, originHost, originPort);
    if (originPort.empty() || originPort == DefaultPort(originScheme)) AddRequestLine("Host: " + FTargetHost);
    else AddRequestLine("Host: " + FTargetHost + ":" + originPort);
    if (FNoCache) AddRequestLine("Pragma: no-cache");
    // The bytes that will be sent: the stream is read from where it stands.
    if (post) AddRequestLine("Content-Length: " + IntToStr(FSendStream->Size() - FSendStream->Position()));
    if (FModifiedSince != 0) AddRequestLine("If-Modified-Since: " + HttpDateText(FModifiedSince) + " GMT");
    if (SendsCredentials())
        AddRequestLine("Authorization: Basic " + EncodeBase64(FAuthUser + ":" + FAuthPass));
    // The proxy's credentials are for the proxy: through a tunnel they would reach the server.
    if (!FProxy.empty() && !FProxyUsername.empty() && FTunnel != tnOpen)
        AddRequestLine(ProxyAuthorization());
    if (!FCookie.empty()) AddRequestLine("Cookie: " + FCookie);
    if (!FContentRangeBegin.empty() || !FContentRangeEnd.empty()) {
        AddRequestLine("Range: bytes=" + FContentRangeBegin + "-" + FContentRangeEnd);
        FContentRangeBegin.clear();
        FContentRangeEnd.clear();
    }
    TriggerRequestHeaderEnd();
    if (!sending()) return;
    AddRequestLine("");
    if (!sending()) return;
    FSocket->Send(FRequestBuffer->Memory(), static_cast<int>(FRequestBuffer->Size()));
    if (!guard) return;
    FRequestBuffer->Clear();
}

void THttpCli::AddRequestLine(const std::string& Line)
{
    std::string s = Line;
    if (auto handler = OnCommand) {
        TLiveness guard = Liveness();
        handler(this, s);
        // Unwinds the composition; the connected handler checks the guard and stops.
        if (!guard) throw Exception("HTTP component destroyed");
    }
    if (!s.empty()) FRequestBuffer->WriteBuffer(s.data(), static_cast<std::int64_t>(s.size()));
    FRequestBuffer->WriteBuffer("\r\n", 2);
}

// Where the current request goes: the scheme, host and port its server credentials would reach.
void THttpCli::CurrentOrigin(std::string& Scheme, std::string& Host, std::string& Port) const
{
    if (FProxy.empty()) {
        Scheme = FScheme;
        Host = FTargetHost;
        Port = FConnectPort;
        return;
    }
    std::string user, pass, path;
    ParseURL(FRequestTarget, Scheme, user, pass, Host, Port, path);
    Scheme = Scheme.empty() ? std::string("http") : LowerCase(Scheme);
    if (Port.empty()) Port = DefaultPort(Scheme);
}

void THttpCli::SetCredentials(const std::string& User, const std::string& Pass, const std::string& Scheme,
                              const std::string& Host, const std::string& Port)
{
    FAuthUser = User;
    FAuthPass = Pass;
    FAuthScheme = Scheme;
    FAuthHost = Host;
    FAuthPort = Port.empty() ? DefaultPort(Scheme) : Port;
}

// The Authorization line goes to the scheme, host and port of URL only, so that a relocation
// to another server, or to the same one in clear, does not hand it the user's password.
bool THttpCli::SendsCredentials() const
{
    // ":secret", a password without a user name, is still a credential.
    if (FAuthUser.empty() && FAuthPass.empty()) return false;
    std::string scheme, host, port;
    CurrentOrigin(scheme, host, port);
    return scheme == FAuthScheme && SameText(host, FAuthHost) && port == FAuthPort;
}

std::string THttpCli::ProxyAuthorization() const
{
    return "Proxy-Authorization: Basic " + EncodeBase64(FProxyUsername + ":" + FProxyPassword);
}

std::string THttpCli::ConnectionErrorText(int Error) const
{
    if (Error == tlserrHandshake || Error == tlserrTruncated) return FSocket->TlsErrorText();
    return ErrorText(Error);
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
    if (!user.empty() || !pass.empty()) SetCredentials(user, pass, scheme, host, port);
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
    SetSocketClosedHandler(false);
    TLiveness guard = Liveness();
    if (auto handler = OnLocationChange) handler(this);
    if (!guard) return;
    PostMessage(FNotifyWindow, WM_RELOCATE, FRequestSerial, 0);
}

// Asks the proxy for a tunnel to the document's server; its reply is read line by line.
void THttpCli::SendTunnelRequest()
{
    std::string scheme, host, port;
    CurrentOrigin(scheme, host, port);
    std::string authority = host + ":" + port;
    std::string request = "CONNECT " + authority + " HTTP/1.0\r\nHost: " + authority + "\r\n";
    if (!FAgent.empty()) request += "User-Agent: " + FAgent + "\r\n";
    if (!FProxyUsername.empty()) request += ProxyAuthorization() + "\r\n";
    request += "\r\n";
    FTunnel = tnWaitingReply;
    FTunnelStatus = 0;
    FTunnelLines = 0;
    FReceiveLen = 0;
    FNextStep = &THttpCli::ProcessTunnelLine;
    FSocket->Send(request.data(), static_cast<int>(request.size()));
}

// One line of the proxy's reply to CONNECT. A 2xx status and the empty line open the tunnel;
// anything else ends the request, so nothing meant for the server goes out in clear.
void THttpCli::ProcessTunnelLine()
{
    if (++FTunnelLines > HttpMaxHeaderLines) {
        EndWithFailure("The proxy's reply to CONNECT is too long", 0);
        return;
    }
    const std::string& line = FCurrentLine;
    if (FTunnelLines == 1) {
        if (!ParseStatusLine(line, FTunnelStatus, FTunnelReason))
            EndWithFailure("The proxy did not answer CONNECT with an HTTP status", 0);
        return;
    }
    if (!line.empty()) return;  // the reply's fields say nothing the tunnel needs
    if (FTunnelStatus >= 100 && FTunnelStatus < 200) {
        FTunnelLines = 0;  // an interim reply: the real one follows
        return;
    }
    if (FTunnelStatus < 200 || FTunnelStatus >= 300) {
        EndWithFailure("The proxy refused the tunnel: " + IntToStr(FTunnelStatus) +
                           (FTunnelReason.empty() ? "" : " " + FTunnelReason), 0);
        return;
    }
    // Whatever followed the reply is already the server's.
    std::string rest(FReceiveBuffer.data(), static_cast<std::size_t>(FReceiveLen));
    FReceiveLen = 0;
    FReceiveBuffer[0] = 0;
    FNextStep = nullptr;
    FTunnel = tnHandshake;
    std::string scheme, host, port;
    CurrentOrigin(scheme, host, port);
    FSocket->StartTls(host, rest);
}

void THttpCli::HandleDataSent(TObject* Sender, std::uint16_t Error)
{
    if (!FSendingBody) return;
    Progress();
    TLiveness guard = Liveness();
    try {
        std::int64_t n = FSendStream ? FSendStream->Read(FSendBuffer.data(), BufferSize) : 0;
        if (n <= 0) {
            FSendingBody = false;
            TriggerSendEnd();
            return;
        }
        FSentCount += n;
        TriggerSendData(FSendBuffer.data(), static_cast<int>(n));
        if (!guard) return;
        FSocket->Send(FSendBuffer.data(), static_cast<int>(n));
    } catch (const std::exception& E) {
        // A body sent in part is a request the server cannot answer.
        if (!guard || !FSendingBody || FEnded || FState == hsReady) throw;
        FSendingBody = false;
        EndWithFailure(std::string("Cannot send the request: ") + E.what(), 0);
    }
}

}  // namespace kapo
