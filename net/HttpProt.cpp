#include "net/HttpProt.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace kapo {

// ---------------------------------------------------------------------------------------------
// Address, Base64 and date helpers
// ---------------------------------------------------------------------------------------------

namespace {

// Characters of s after position k (from 1).
std::string After(const std::string& s, std::size_t k)
{
    return k >= s.size() ? std::string() : s.substr(k);
}

// Characters of s before position k (from 1).
std::string BeforePos(const std::string& s, std::size_t k)
{
    return s.substr(0, k > 0 ? k - 1 : 0);
}

}  // namespace

void ParseURL(const std::string& URL, std::string& Proto, std::string& User, std::string& Pass,
              std::string& Host, std::string& Port, std::string& Path)
{
    Proto.clear();
    User.clear();
    Pass.clear();
    Host.clear();
    Port.clear();
    Path.clear();
    if (URL.empty()) return;

    std::size_t k = 0;  // the authority starts after position k (from 1)
    std::size_t p = Pos("://", URL);
    if (p > 0) {
        Proto = URL.substr(0, p - 1);
        k = p + 2;
    } else if (URL[0] == '/') {
        Proto = "http";
        k = 1;
        if (URL.size() > 1 && URL[1] != '/') {
            Path = URL;
            return;
        }
    } else if (LowerCase(URL.substr(0, 5)) == "http:") {
        Proto = "http";
        k = 6;
        if (URL.size() > 6 && URL[6] != '/') {
            Path = URL.substr(5);
            return;
        }
    } else if (LowerCase(URL.substr(0, 7)) == "mailto:") {
        Proto = "mailto";
        k = Pos(":", URL);
    }

    std::string rest = After(URL, k);
    std::size_t slash = rest.find('/');
    if (slash != std::string::npos) {
        Path = rest.substr(slash);
        rest.resize(slash);
    }

    std::size_t colon = LastPos(":", rest);
    std::size_t at = LastPos("@", rest);
    if (colon == 0 && at == 0) {
        Host = rest;
        return;
    }
    if (at < colon) {
        Port = After(rest, colon);
        Host = rest.substr(at, colon - at - 1);
        if (at == 0) return;
        rest = BeforePos(rest, at);
    } else {
        Host = After(rest, at);
        rest = BeforePos(rest, at);
    }
    std::size_t q = rest.find(':');
    if (q != std::string::npos) {
        User = rest.substr(0, q);
        Pass = rest.substr(q + 1);
    } else {
        User = rest;
    }
}

std::size_t LastPos(const std::string& Sub, const std::string& S)
{
    if (Sub.empty() || Sub.size() > S.size()) return 0;
    std::size_t p = S.rfind(Sub);
    return p == std::string::npos ? 0 : p + 1;
}

std::string EncodeBase64(const std::string& S)
{
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((S.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= S.size(); i += 3) {
        std::uint32_t v = (std::uint32_t(std::uint8_t(S[i])) << 16) | (std::uint32_t(std::uint8_t(S[i + 1])) << 8) |
                          std::uint8_t(S[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    std::size_t left = S.size() - i;
    if (left > 0) {
        std::uint32_t v = std::uint32_t(std::uint8_t(S[i])) << 16;
        if (left == 2) v |= std::uint32_t(std::uint8_t(S[i + 1])) << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += left == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string HttpDateText(TDateTime DT)
{
    static const char kDays[] = "MonTueWedThuFriSatSun";
    static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    constexpr std::int64_t kMsPerDay = 86400000;
    if (!std::isfinite(DT) || std::fabs(DT) > 1e7) throw EConvertError("Invalid date");

    // Round to the millisecond first, so that 23:59:59.9999 is the next day's midnight. Before
    // the epoch the whole part counts days back and the fraction is still a time of day.
    std::int64_t ms = std::llround(DT * double(kMsPerDay));
    std::int64_t days = ms / kMsPerDay;
    std::int64_t time = (ms < 0 ? -ms : ms) % kMsPerDay;
    // 0001-01-01 and 9999-12-31: the years that fit the four-digit field.
    if (days < -693593 || days > 2958465) throw EConvertError("Invalid date");

    // Day 2 (1900-01-01) is a Monday; days before it need a floored remainder.
    std::int64_t weekday = ((days - 2) % 7 + 7) % 7;

    // Civil date from a day count (1970-01-01 is day 25569 here).
    std::int64_t z = days - 25569 + 719468;
    std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    std::int64_t doe = z - era * 146097;
    std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    std::int64_t mp = (5 * doy + 2) / 153;
    std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);

    std::int64_t secs = time / 1000;
    return std::string(kDays + weekday * 3, 3) + ", " +
           Format("%2.2d %s %4.4d %2.2d:%2.2d:%2.2d", day, std::string(kMonths + (month - 1) * 3, 3), year,
                  secs / 3600, secs / 60 % 60, secs % 60);
}

void ReplaceExt(std::string& Name, const std::string& Ext)
{
    std::size_t d = LastPos(".", Name);
    if (d > 0) Name = Name.substr(0, d) + Ext;
    else Name += "." + Ext;
}

}  // namespace kapo

namespace kapo {

// ---------------------------------------------------------------------------------------------
// Construction, properties, notifications
// ---------------------------------------------------------------------------------------------

namespace {

constexpr int kUsableBuffer = 8192;  // the last byte of the receive buffer stays a 0
// Most body bytes one read takes: large pieces keep the calls per byte low.
constexpr int kBodyPiece = 256 * 1024;

std::string ErrorText(int Error)
{
    return WinsockErrorText(Error) + " (Error #" + IntToStr(Error) + ")";
}

int Clamp32(std::int64_t v)
{
    return v > INT32_MAX ? INT32_MAX : (v < INT32_MIN ? INT32_MIN : static_cast<int>(v));
}

// A decimal number of any size a length can have; raises EConvertError like StrToInt.
std::int64_t StrToInt64(const std::string& s)
{
    std::string t = Trim(s);
    const char* b = t.data();
    const char* e = b + t.size();
    if (b != e && *b == '+') ++b;
    std::int64_t v = 0;
    auto r = std::from_chars(b, e, v);
    if (t.empty() || r.ec != std::errc() || r.ptr != e)
        throw EConvertError(Format("'%s' is not a valid integer value", s));
    return v;
}

// A CR or LF would end a request line early and start one of the sender's choosing.
bool HasLineBreakOrNul(const std::string& s)
{
    return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

std::string SystemErrorText(int err)
{
    char buf[256];
    return ::strerror_r(err, buf, sizeof buf);
}

// The port a scheme's addresses use when they name none.
std::string DefaultPort(const std::string& Scheme)
{
    return SameText(Scheme, "https") ? "443" : "80";
}

bool IsTlsError(int Error)
{
    return Error == tlserrHandshake || Error == tlserrTruncated;
}

// Statuses whose responses never carry a body, whatever their length field says.
bool StatusHasBody(int Status)
{
    return !(Status >= 100 && Status < 200) && Status != 204 && Status != 304;
}

}  // namespace

THttpCli::THttpCli(TComponent* AOwner) : TComponent(AOwner)
{
    FNotifyWindow = AllocateHWnd([this, guard = Liveness()](TMessage& Msg) {
        if (guard) WndProc(Msg);
    });
    FSocket = new TWSocket(this);
    FProxyPort = "80";
    FContentTypePost = "application/x-www-form-urlencoded";
    FAccept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
    FAgent = "Mozilla/3.0 (compatible)";
    FWWWAuthenticate = std::make_unique<TStringList>();
    SetSocketClosedHandler(false);
    FSocket->OnDataAvailable = [this](TObject* S, std::uint16_t E) { HandleDataAvailable(S, E); };
    FSocket->OnSessionConnected = [this](TObject* S, std::uint16_t E) { HandleSessionConnected(S, E); };
    FSocket->OnDataSent = [this](TObject* S, std::uint16_t E) { HandleDataSent(S, E); };
    FSocket->OnDnsLookupDone = [this](TObject* S, std::uint16_t E) { HandleDnsLookupDone(S, E); };
    // The proxy's own words say more than a bare code when the connect fails.
    FSocket->OnSocksError = [this](TObject*, int, const std::string& Msg) { FSocksError = Msg; };
    FRcvdHeader = std::make_unique<TStringList>();
    FRequestBuffer = std::make_unique<TMemoryStream>();
    FState = hsReady;
}

THttpCli::~THttpCli()
{
    FIdleTimer.reset();
    FWWWAuthenticate.reset();
    // The socket reports nothing while it is destroyed; its handlers are dropped anyway so
    // that nothing can reach a client that is half gone.
    FSocket->OnSessionClosed = nullptr;
    FSocket->OnDataAvailable = nullptr;
    FSocket->OnSessionConnected = nullptr;
    FSocket->OnDataSent = nullptr;
    FSocket->OnDnsLookupDone = nullptr;
    FSocket->OnSocksError = nullptr;
    delete FSocket;
    FSocket = nullptr;
    FRcvdHeader.reset();
    FRequestBuffer.reset();
    DeallocateHWnd(FNotifyWindow);
}

void THttpCli::SetSocketClosedHandler(bool Relocation)
{
    if (Relocation)
        FSocket->OnSessionClosed = [this](TObject* S, std::uint16_t E) { HandleRelocationClosed(S, E); };
    else
        FSocket->OnSessionClosed = [this](TObject* S, std::uint16_t E) { HandleSessionClosed(S, E); };
}

void THttpCli::SetMultiThreaded(bool v)
{
    FMultiThreaded = v;
    FSocket->SetMultiThreaded(v);
}

int THttpCli::ContentLength() const { return Clamp32(FContentLength); }
int THttpCli::RcvdCount() const { return Clamp32(FRcvdCount); }
int THttpCli::SentCount() const { return Clamp32(FSentCount); }

void THttpCli::SetState(THttpCliState NewState)
{
    if (NewState == FState) return;
    FState = NewState;
    if (NewState == hsReady && FIdleTimer) FIdleTimer->Stop();
    TLiveness guard = Liveness();
    if (auto handler = OnStateChange) handler(this);
    if (!guard) return;
    if (NewState == hsReady) PostRequestDone();
}

// The notifications carry the request they belong to: a WM_SET_READY left in the queue by a
// request that Abort already ended must not end the request started after it.
void THttpCli::PostSetReady()
{
    PostMessage(FNotifyWindow, WM_SET_READY, FRequestSerial, 0);
}

// OnRequestDone reports the request that became ready, even when another has started since.
void THttpCli::PostRequestDone()
{
    PostMessage(FNotifyWindow, WM_REQUEST_DONE, static_cast<WPARAM>(FRequestType),
                static_cast<LPARAM>(FRequestDoneError));
}

void THttpCli::WndProc(TMessage& Msg)
{
    switch (Msg.Msg) {
    case WM_REQUEST_DONE:
        if (auto handler = OnRequestDone)
            handler(this, static_cast<THttpRequest>(Msg.WParam), static_cast<std::uint16_t>(Msg.LParam));
        break;
    case WM_SET_READY:
        if (Msg.WParam == FRequestSerial) SetState(hsReady);
        break;
    case WM_RELOCATE:
        // After Abort the relocation has nowhere to go.
        if (Msg.WParam == FRequestSerial && FState != hsReady) {
            // A failure here must end the request, not escape into the message loop.
            try {
                StartConnect();
            } catch (const Exception& E) {
                EndWithFailure(E.Message(), 0);
            }
        }
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------------------------
// Starting a request
// ---------------------------------------------------------------------------------------------

void THttpCli::StartRequest(THttpRequest Kind)
{
    if (FState != hsReady) throw EHttpException("HTTP component is busy", httperrBusy);
    if (Kind == rqPost && !FSendStream) throw EHttpException("HTTP component has nothing to post", httperrNoData);

    FRcvdHeader->Clear();
    FRequestType = Kind;
    FRequestDoneError = 0;
    SetSocketClosedHandler(false);
    ++FRequestSerial;
    // Whatever an ended response left behind belongs to it, not to this request.
    FReceiveLen = 0;
    FReceiveBuffer[0] = 0;
    FRelocationPending = false;
    FHeaderBytes = 0;
    FReceiveError = 0;
    FNextStep = nullptr;
    FTakingBody = false;
    FRelocations = 0;
    FEnded = false;

    TLiveness guard = Liveness();
    SetState(hsNotConnected);
    // A handler may have freed the client or aborted the request it was told of.
    if (!guard || FState != hsNotConnected) return;

    FDocName.clear();
    FStatusCode = 0;
    FRcvdCount = 0;
    FSentCount = 0;
    FHeaderLineCount = 0;
    FBodyDataCount = 0;
    FContentLength = -1;
    FContentType.clear();
    FSendingBody = false;
    FLocation = FURL;
    StartIdleTimer();
    if (HasLineBreakOrNul(FURL)) {
        EndWithFailure("Invalid character in URL", WSAEINVAL);
        return;
    }

    std::string proto, user, pass, host, port, path;
    std::string connectHost, connectPort;
    ParseURL(FURL, proto, user, pass, host, port, path);
    FTargetHost = host;
    FScheme = proto.empty() ? std::string("http") : LowerCase(proto);
    if (!user.empty()) FUsername = user;
    if (!pass.empty()) FPassword = pass;
    // The server credentials belong to this scheme, host and port only.
    FAuthScheme = FScheme;
    FAuthHost = host;
    FAuthPort = port.empty() ? DefaultPort(FScheme) : port;
    if (FProxy.empty()) {
        FRequestTarget = path;
        FDocName = FRequestTarget;
        connectHost = host;
        connectPort = port.empty() ? DefaultPort(FScheme) : port;
    } else {
        FDocName = path;
        std::string p = port.empty() ? std::string() : ":" + port;
        FRequestTarget = FScheme + "://" + host + p + path;
        std::string pproto, puser, ppass, phost, pport, ppath;
        ParseURL(FProxy, pproto, puser, ppass, phost, pport, ppath);
        connectHost = phost;
        connectPort = pport.empty() ? FProxyPort : pport;
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

    FConnectHost = connectHost;
    FConnectPort = connectPort;
    StartConnect();
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
    if (SocksResolves()) {
        // The proxy knows names this machine may not: the name goes to it as it is.
        Progress();
        FResolvedAddr = FConnectHost;
        SetState(hsDnsLookupDone);
        if (!guard || FState != hsDnsLookupDone) return;
        ConnectSocket(guard);
        return;
    }
    FSocket->StartDnsLookup(FConnectHost);
}

bool THttpCli::SocksResolves() const
{
    return !FSocksServer.empty() && UpperCase(FSocksLevel) != "4";
}

void THttpCli::HandleDnsLookupDone(TObject* Sender, std::uint16_t Error)
{
    if (Error == 0) {
        Progress();
        FResolvedAddr = FSocket->DnsResult();
        TLiveness guard = Liveness();
        SetState(hsDnsLookupDone);
        if (!guard || FState != hsDnsLookupDone) return;
        ConnectSocket(guard);
        return;
    }
    if (FState == hsAborting) return;
    FRequestDoneError = Error;
    FStatusCode = 404;
    FReasonPhrase = "can't resolve hostname to IP address";
    HandleSessionClosed(Sender, Error);
}

void THttpCli::ConnectSocket(TLiveness& Guard)
{
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
        FStatusCode = 404;
        if (err != 0) {
            FReasonPhrase = "can't connect: " + ErrorText(err);
        } else {
            // Refused before any socket call (a bad address or port): say why.
            err = WSAEINVAL;
            FReasonPhrase = "can't connect: " + E.Message();
        }
        FRequestDoneError = static_cast<std::uint32_t>(err);
        FSocket->Close();
        if (!Guard) return;
        HandleSessionClosed(FSocket, static_cast<std::uint16_t>(err));
    }
}

void THttpCli::HandleSessionConnected(TObject* Sender, std::uint16_t Error)
{
    if (Error != 0) {
        FRequestDoneError = Error;
        FStatusCode = 404;
        FReasonPhrase = FSocksError.empty() ? ConnectionErrorText(Error)
                                            : "socks: " + FSocksError + " (Error #" + IntToStr(Error) + ")";
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
        AddRequestLine("Authorization: Basic " + EncodeBase64(FUsername + ":" + FPassword));
    // The proxy's credentials are for the proxy: through a tunnel they would reach the server.
    if (!FProxy.empty() && !FProxyUsername.empty() && FTunnel != tnOpen)
        AddRequestLine("Proxy-Authorization: Basic " + EncodeBase64(FProxyUsername + ":" + FProxyPassword));
    if (!FCookie.empty()) AddRequestLine("Cookie: " + FCookie);
    if (!FContentRangeBegin.empty() || !FContentRangeEnd.empty()) {
        AddRequestLine("Range: bytes=" + FContentRangeBegin + "-" + FContentRangeEnd);
        FContentRangeBegin.clear();
        FContentRangeEnd.clear();
    }
    FAcceptRanges.clear();
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

// The Authorization line goes to the scheme, host and port of URL only, so that a relocation
// to another server, or to the same one in clear, does not hand it the user's password.
bool THttpCli::SendsCredentials() const
{
    if (FUsername.empty()) return false;
    std::string scheme, host, port;
    CurrentOrigin(scheme, host, port);
    return scheme == FAuthScheme && SameText(host, FAuthHost) && port == FAuthPort;
}

std::string THttpCli::ConnectionErrorText(int Error) const
{
    if (IsTlsError(Error)) return FSocket->TlsErrorText();
    return ErrorText(Error);
}

// Asks the proxy for a tunnel to the document's server; its reply is read line by line.
void THttpCli::SendTunnelRequest()
{
    std::string scheme, host, port;
    CurrentOrigin(scheme, host, port);
    std::string authority = host + ":" + port;
    std::string request = "CONNECT " + authority + " HTTP/1.0\r\nHost: " + authority + "\r\n";
    if (!FAgent.empty()) request += "User-Agent: " + FAgent + "\r\n";
    if (!FProxyUsername.empty())
        request += "Proxy-Authorization: Basic " + EncodeBase64(FProxyUsername + ":" + FProxyPassword) + "\r\n";
    request += "\r\n";
    FTunnel = tnWaitingReply;
    FTunnelStatus = 0;
    FTunnelLines = 0;
    FTunnelStatusLine.clear();
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
        bool ok = line.size() >= 12 && line.compare(0, 7, "HTTP/1.") == 0 && line[8] == ' ' &&
                  (line.size() == 12 || line[12] == ' ');
        for (std::size_t i = 9; ok && i < 12; ++i) ok = line[i] >= '0' && line[i] <= '9';
        if (!ok) {
            EndWithFailure("The proxy did not answer CONNECT with an HTTP status", 0);
            return;
        }
        FTunnelStatus = std::stoi(line.substr(9, 3));
        FTunnelStatusLine = line;
        return;
    }
    if (!line.empty()) return;  // the reply's fields say nothing the tunnel needs
    if (FTunnelStatus >= 100 && FTunnelStatus < 200) {
        FTunnelLines = 0;  // an interim reply: the real one follows
        return;
    }
    if (FTunnelStatus < 200 || FTunnelStatus >= 300) {
        EndWithFailure("The proxy refused the tunnel: " + FTunnelStatusLine.substr(9), 0);
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

// ---------------------------------------------------------------------------------------------
// The synchronous request, Abort and the end of a request
// ---------------------------------------------------------------------------------------------

void THttpCli::RunRequest(THttpRequest Kind)
{
    TLiveness guard = Liveness();
    StartRequest(Kind);
    for (;;) {
        if (!guard) throw EHttpException("Connection aborted on request", 404);
        if (FState == hsReady) break;
        if (FMultiThreaded) FSocket->ProcessOwnMessages();
        else ProcessMessages();
        if (!guard) throw EHttpException("Connection aborted on request", 404);
        if (FState == hsReady) break;
        // Sleep until a message or a socket event arrives instead of spinning.
        if (FMultiThreaded) MessageQueue::Current().WaitNext(-1);
        else WaitMessage(-1);
    }
    if (FStatusCode >= 400) throw EHttpException(FReasonPhrase, static_cast<std::uint16_t>(FStatusCode));
}

void THttpCli::Abort()
{
    if (FState == hsReady) {
        if (FSocket->State() != wsClosed) FSocket->Close();
        return;
    }
    Interrupt("Connection aborted on request", httperrAborted);
}

// Ends the running request at once, from outside its flow of events (Abort, the idle timer).
void THttpCli::Interrupt(const std::string& Reason, std::uint32_t Error)
{
    TLiveness guard = Liveness();
    bool lookup = FState == hsDnsLookup;
    SetState(hsAborting);
    if (!guard) return;
    if (lookup) {
        try {
            FSocket->StopDnsLookup();
        } catch (const std::exception&) {
        }
        if (!guard) return;
    }
    FStatusCode = 404;
    FReasonPhrase = Reason;
    FRequestDoneError = Error;
    if (lookup) HandleSessionClosed(FSocket, 0);
    else FSocket->Close();
    if (!guard) return;
    SetState(hsReady);
}

// Ends the running request from inside its flow as a local failure: the connection is closed
// and its close report ends the request; a connection already gone ends it here.
void THttpCli::EndWithFailure(const std::string& Reason, std::uint32_t Error)
{
    FStatusCode = 404;
    FReasonPhrase = Reason;
    FRequestDoneError = Error;
    FReceiveLen = 0;
    FNextStep = nullptr;
    FTakingBody = false;
    FRelocationPending = false;
    SetSocketClosedHandler(false);
    TLiveness guard = Liveness();
    if (FSocket->State() != wsClosed) {
        CloseConnection();
        if (!guard) return;
    }
    FConnected = false;
    if (!FEnded) HandleSessionClosed(FSocket, 0);
}

void THttpCli::CloseConnection()
{
    TLiveness guard = Liveness();
    FSocket->Close();  // its close report may end the request and free the client
    if (guard) FConnected = false;
}

void THttpCli::StartIdleTimer()
{
    if (FTimeout <= 0) {
        if (FIdleTimer) FIdleTimer->Stop();
        return;
    }
    if (!FIdleTimer)
        FIdleTimer = std::make_unique<TQueueTimer>([this, guard = Liveness()] {
            if (guard) IdleTimerFired();
        });
    Progress();
    FIdleTimer->Start(FTimeout * 1000);
}

// The timer is armed for the whole time-out and, when it fires, looks at how long the request
// has really been idle: progress costs a clock reading instead of a re-arming.
void THttpCli::IdleTimerFired()
{
    if (FState == hsReady || FState == hsAborting || FTimeout <= 0) return;
    using namespace std::chrono;
    auto idle = duration_cast<milliseconds>(steady_clock::now() - FLastProgress).count();
    std::int64_t limit = std::int64_t(FTimeout) * 1000;
    if (idle < limit) {
        FIdleTimer->Start(static_cast<int>(limit - idle));
        return;
    }
    Interrupt(WinsockErrorText(WSAETIMEDOUT), WSAETIMEDOUT);
}

// Statuses and methods whose responses carry no body, whatever their length field says.
bool THttpCli::BodyExpected() const
{
    return FRequestType != rqHead && StatusHasBody(FStatusCode);
}

// The body is all there: a response without one, or the length it declared has arrived.
bool THttpCli::DocumentComplete() const
{
    return FState == hsWaitingBody && (!BodyExpected() || (FDeclaredLength >= 0 && FRcvdCount >= FDeclaredLength));
}

// A response that the server cut short is a failure, not a document: a connection error while
// the header or body was read, or fewer body bytes than the server declared.
void THttpCli::CheckPrematureEnd(std::uint16_t Error)
{
    if ((FTunnel == tnWaitingReply || FTunnel == tnHandshake) && FStatusCode < 400) {
        FStatusCode = 404;
        FReasonPhrase = "The proxy closed the connection before the tunnel was open";
        return;
    }
    if (FState != hsWaitingHeader && FState != hsWaitingBody) return;
    if (FStatusCode >= 400) return;  // already a failure, the server's or ours
    bool bodyExpected = BodyExpected();
    bool complete = DocumentComplete();
    int err = Error != 0 ? Error : FReceiveError;
    if (err != 0 && !complete) {
        FRequestDoneError = static_cast<std::uint32_t>(err);
        FStatusCode = 404;
        FReasonPhrase = ConnectionErrorText(err);
    } else if (bodyExpected && FDeclaredLength >= 0 && FRcvdCount < FDeclaredLength) {
        FStatusCode = 404;
        FReasonPhrase = Format("Document truncated: %d of %d bytes received", FRcvdCount, FDeclaredLength);
    }
}

void THttpCli::HandleSessionClosed(TObject* Sender, std::uint16_t Error)
{
    // A request ended by a local failure hears of its connection's close afterwards.
    if (FEnded) return;
    FEnded = true;
    CheckPrematureEnd(Error);
    FConnected = false;
    TLiveness guard = Liveness();
    if (FBodyDataCount > 0) {
        // The request ends even when a handler of OnDocEnd raises; the exception goes on to
        // the socket as any other.
        try {
            TriggerDocEnd();
        } catch (...) {
            if (guard) PostSetReady();
            throw;
        }
    }
    if (!guard) return;
    PostSetReady();
}

// ---------------------------------------------------------------------------------------------
// Receiving
// ---------------------------------------------------------------------------------------------

void THttpCli::HandleDataAvailable(TObject* Sender, std::uint16_t Error)
{
    // Body bytes skip the line buffer; only bytes left there by the header go through it.
    if (FState == hsWaitingBody && FReceiveLen == 0 && FRequestType != rqNone) {
        ReceiveBody();
        return;
    }
    int room = kUsableBuffer - FReceiveLen;
    if (room < 1) {
        // Nothing more can be read, so the connection would never report its end: the request
        // ends here as a failure.
        FReceiveLen = 0;
        if (FState != hsReady && FStatusCode < 400) {
            FStatusCode = 404;
            FReasonPhrase = "HTTP line too long";
        }
        CloseConnection();
        throw EHttpException("HTTP line too long", httperrOverflow);
    }
    int count = FSocket->Receive(FReceiveBuffer.data() + FReceiveLen, room);
    if (count < 0) {
        // Linux reports a reset once, to the read that meets it; the close report that follows
        // may no longer carry it.
        int err = FSocket->LastError();
        if (err != 0 && err != WSAEWOULDBLOCK) FReceiveError = err;
    }
    if (FRequestType == rqNone) return;
    // Nothing new, but lines may still wait here after a handler raised: cut them now, or
    // the server's close would leave them unread.
    if (count <= 0 && FReceiveLen == 0) return;
    if (count > 0) {
        FReceiveLen += count;
        Progress();
    }
    FReceiveBuffer[static_cast<std::size_t>(FReceiveLen)] = 0;
    TLiveness guard = Liveness();

    if (FState == hsWaitingBody) {
        // Emptied before the piece is handed on: a handler that raises must not have the
        // same bytes delivered again with the next read.
        int len = FReceiveLen;
        FReceiveLen = 0;
        if (FTakingBody) ProcessBodyData(FReceiveBuffer.data(), len);
        else PostSetReady();
        return;
    }

    // A header that ended without handing on the rest of this read leaves it as body for
    // the next read.
    while (FReceiveLen > 0 && FState != hsWaitingBody) {
        char* buf = FReceiveBuffer.data();
        // The buffer is read as text: a zero byte ends the search for the line end.
        std::size_t textLen = ::strnlen(buf, static_cast<std::size_t>(FReceiveLen));
        auto* lf = static_cast<char*>(std::memchr(buf, '\n', textLen));
        if (!lf) break;
        int p = static_cast<int>(lf - buf) + 1;
        int lineLen = (p > 1 && buf[p - 2] == '\r') ? p - 2 : p - 1;
        FLineEndLen = p - lineLen;
        FCurrentLine.assign(buf, static_cast<std::size_t>(lineLen));
        FReceiveLen -= p;
        std::memmove(buf, buf + p, static_cast<std::size_t>(FReceiveLen) + 1);
        if (FState == hsWaitingHeader || FTunnel == tnWaitingReply) {
            if (FNextStep) (this->*FNextStep)();
            else PostSetReady();
        } else if (auto handler = OnDataAvailable) {
            handler(this, Error);
        }
        if (!guard) return;
    }
}

// One read and one piece: the body goes from the socket to the stream and to OnDocData
// without passing through the line buffer.
void THttpCli::ReceiveBody()
{
    char* buf;
    int size;
    if (FBodyDepth == 0) {
        if (!FBodyBuffer) FBodyBuffer = std::make_unique_for_overwrite<char[]>(kBodyPiece);
        buf = FBodyBuffer.get();
        size = kBodyPiece;
    } else {
        // A read under a handler that pumps: one small buffer per level of nesting, made once
        // and kept, so deep nesting costs neither the stack nor an allocation per piece.
        auto level = static_cast<std::size_t>(FBodyDepth - 1);
        if (FNestedBuffers.size() <= level) FNestedBuffers.resize(level + 1);
        if (!FNestedBuffers[level]) FNestedBuffers[level] = std::make_unique_for_overwrite<char[]>(kUsableBuffer);
        buf = FNestedBuffers[level].get();
        size = kUsableBuffer;
    }
    int count = FSocket->Receive(buf, size);
    if (count < 0) {
        int err = FSocket->LastError();
        if (err != 0 && err != WSAEWOULDBLOCK) FReceiveError = err;
        return;
    }
    if (count == 0) return;
    Progress();
    if (FTakingBody) ProcessBodyData(buf, count);
    else PostSetReady();
}

void THttpCli::HeaderOverflow()
{
    EndWithFailure(Format("HTTP header too large: more than %d lines or %d bytes", HttpMaxHeaderLines,
                          HttpMaxHeaderBytes),
                   0);
}

void THttpCli::ProcessHeaderLine()
{
    TLiveness guard = Liveness();
    if (FHeaderLineCount == 0) {
        // A relocation's own length must not judge the document that follows it.
        FDeclaredLength = -1;
        TriggerHeaderBegin();
        if (!guard) return;
    }
    ++FHeaderLineCount;

    if (UpperCase(FCurrentLine.substr(0, 6)) == "<HTML>") FinishHeaderlessLine();
    else if (FCurrentLine.empty()) FinishHeader();
    else ProcessHeaderField();
}

// A document without a header is all body: its bytes go on as they came, line ends included,
// and the rest of this read with them.
void THttpCli::FinishHeaderlessLine()
{
    TLiveness guard = Liveness();
    if (FContentType.empty()) FContentType = "text/html";
    if (!BeginBody()) return;
    FCurrentLine.append(FLineEndLen == 2 ? "\r\n" : "\n");
    ProcessBodyData(FCurrentLine.data(), static_cast<int>(FCurrentLine.size()));
    if (!guard) return;
    if (FReceiveLen > 0 && FState == hsWaitingBody) TakeRestOfRead();
}

// The header is over: the client waits for the body and says so (OnHeaderEnd). False when a
// handler freed the client.
bool THttpCli::BeginBody()
{
    TLiveness guard = Liveness();
    SetState(hsWaitingBody);
    if (!guard) return false;
    FNextStep = nullptr;
    FTakingBody = true;
    TriggerHeaderEnd();
    return static_cast<bool>(guard);
}

// The bytes of this read behind the header are body.
void THttpCli::TakeRestOfRead()
{
    int len = FReceiveLen;
    FReceiveLen = 0;
    ProcessBodyData(FReceiveBuffer.data(), len);
}

// The empty line: an interim response ends and the real one follows; a relocation closes
// the connection to follow it; anything else starts the body.
void THttpCli::FinishHeader()
{
    if (FStatusCode >= 100 && FStatusCode < 200) {
        FDeclaredLength = -1;
        FRelocationPending = false;
        return;
    }
    TLiveness guard = Liveness();
    if (FRelocationPending) {
        TriggerHeaderEnd();
        if (!guard) return;
        if (FRelocations >= HttpMaxRelocations) {
            EndWithFailure("Too many relocations", 0);
            return;
        }
        ++FRelocations;
        FReceiveLen = 0;
        FHeaderLineCount = 0;
        FBodyDataCount = 0;
        SetSocketClosedHandler(true);
        FSocket->Close();
        return;
    }
    std::size_t dot = LastPos(".", FDocName);
    if (dot > 0 && LowerCase(FDocName.substr(dot - 1)) == ".exe" && FContentType == "text/html")
        ReplaceExt(FDocName, "htm");
    if (!BeginBody()) return;
    if (FReceiveLen > 0) {
        TakeRestOfRead();
    } else if (DocumentComplete()) {
        // Nothing to wait for: the server's close would add nothing.
        CloseConnection();
    }
}

// A status line or a header field.
void THttpCli::ProcessHeaderField()
{
    // A server that never ends its header must not fill the memory.
    if (FRcvdHeader->Count() >= HttpMaxHeaderLines ||
        FHeaderBytes + static_cast<std::int64_t>(FCurrentLine.size()) > HttpMaxHeaderBytes) {
        HeaderOverflow();
        return;
    }
    FRcvdHeader->Add(FCurrentLine);
    FHeaderBytes += static_cast<std::int64_t>(FCurrentLine.size());

    TLiveness guard = Liveness();
    const std::string& line = FCurrentLine;
    if (line.compare(0, 8, "HTTP/1.0") == 0 || line.compare(0, 8, "HTTP/1.1") == 0) {
        FStatusCode = StrToInt(Copy(line, 10, 3));
        FReasonPhrase = Copy(line, 14, INT32_MAX);
    } else if (std::size_t k = Pos(":", line); k > 0) {
        std::string name = LowerCase(line.substr(0, k - 1));
        std::size_t v = k;  // index of the value's first character
        while (v + 1 < line.size() && line[v] == ' ') ++v;
        std::string value = line.substr(std::min(v, line.size()));
        if (name == "location") {
            if (HasLineBreakOrNul(value)) {
                EndWithFailure("Invalid character in relocation address", WSAEINVAL);
                return;
            }
            ProcessLocation(value);
        } else if (name == "content-length") {
            FContentLength = StrToInt64(value);
            FDeclaredLength = FContentLength;
        } else if (name == "content-range") {
            std::size_t d = Pos("-", value);
            if (d > 0) {
                FContentRangeBegin = Copy(value, 7, static_cast<std::int64_t>(d) - 7);
                std::size_t slash = Pos("/", value);
                std::int64_t end = slash > d ? static_cast<std::int64_t>(slash) : static_cast<std::int64_t>(value.size()) + 1;
                FContentRangeEnd = Copy(value, static_cast<std::int64_t>(d) + 1, end - static_cast<std::int64_t>(d) - 1);
            }
        } else if (name == "accept-ranges") {
            FAcceptRanges = value;
        } else if (name == "content-type") {
            FContentType = LowerCase(value);
        } else if (name == "www-authenticate") {
            FWWWAuthenticate->Add(value);
        } else if (name == "set-cookie") {
            bool accept = true;
            TriggerCookie(value, accept);
            if (!guard) return;
        }
    }
    if (auto handler = OnHeaderData) {
        handler(this);
        if (!guard) return;
    }
    if (FStatusCode >= 400) FSocket->Close();
}

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

void THttpCli::ProcessBodyData(const char* Data, int Len)
{
    TLiveness guard = Liveness();
    // While the piece is out, a handler that pumps messages must not read over it.
    ++FBodyDepth;
    struct Leave {
        TLiveness& G;
        int& Depth;
        ~Leave()
        {
            if (G) --Depth;
        }
    } leave{guard, FBodyDepth};
    if (FBodyDataCount == 0) {
        TriggerDocBegin();
        if (!guard) return;
    }
    ++FBodyDataCount;
    auto n = static_cast<std::int64_t>(Len);
    // Bytes past the declared length belong to no document.
    if (FDeclaredLength >= 0 && BodyExpected()) n = std::min(n, std::max<std::int64_t>(0, FDeclaredLength - FRcvdCount));
    std::string why;
    if (FRcvdStream && n > 0 && !WriteReceived(Data, n, why)) {
        // A document that cannot be stored whole is not received: the request fails now
        // rather than report a truncated file as a success.
        EndWithFailure("Cannot write the document: " + why, 0);
        return;
    }
    FRcvdCount += n;
    try {
        TriggerDocData(Data, static_cast<int>(n));
    } catch (...) {
        if (guard && DocumentComplete()) CloseConnection();
        throw;
    }
    if (!guard) return;
    if (DocumentComplete()) CloseConnection();
}

// Writes the first Count bytes of the piece to RcvdStream and counts what the stream took
// when it could not take them all.
bool THttpCli::WriteReceived(const char* Data, std::int64_t Count, std::string& Why)
{
    errno = 0;
    std::int64_t written = 0;
    try {
        written = FRcvdStream->Write(Data, Count);
    } catch (const std::exception& E) {
        Why = E.what();
        return false;
    }
    if (written == Count) return true;
    int err = errno;
    if (written > 0) FRcvdCount += written;
    Why = err != 0 ? SystemErrorText(err) : std::string("Stream write error");
    return false;
}

// ---------------------------------------------------------------------------------------------
// Event triggers
// ---------------------------------------------------------------------------------------------

void THttpCli::TriggerCookie(const std::string& Data, bool& Accept)
{
    if (auto handler = OnCookie) handler(this, Data, Accept);
}
void THttpCli::TriggerSessionConnected()
{
    if (auto handler = OnSessionConnected) handler(this);
}
void THttpCli::TriggerRequestHeaderBegin()
{
    if (auto handler = OnRequestHeaderBegin) handler(this);
}
void THttpCli::TriggerRequestHeaderEnd()
{
    if (auto handler = OnRequestHeaderEnd) handler(this);
}
void THttpCli::TriggerHeaderBegin()
{
    if (auto handler = OnHeaderBegin) handler(this);
}
void THttpCli::TriggerHeaderEnd()
{
    if (auto handler = OnHeaderEnd) handler(this);
}
void THttpCli::TriggerDocBegin()
{
    if (auto handler = OnDocBegin) handler(this);
}
void THttpCli::TriggerDocData(const void* Buffer, int Len)
{
    if (auto handler = OnDocData) handler(this, Buffer, Len);
}
void THttpCli::TriggerDocEnd()
{
    if (auto handler = OnDocEnd) handler(this);
}
void THttpCli::TriggerSendBegin()
{
    if (auto handler = OnSendBegin) handler(this);
}
void THttpCli::TriggerSendData(const void* Buffer, int Len)
{
    if (auto handler = OnSendData) handler(this, Buffer, Len);
}
void THttpCli::TriggerSendEnd()
{
    if (auto handler = OnSendEnd) handler(this);
}

}  // namespace kapo
