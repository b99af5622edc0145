// Test peers for the HTTP client: a loopback server that plays one script per accepted
// connection (bytes to send, pauses until the test signals, clean close or reset), a watchdog
// that aborts a request that hangs, an event recorder and a name resolver for test hosts.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/HttpProt.h"
#include "platform/MessageQueue.h"
#include "platform/Winsock.h"

namespace httptest {

// A loopback port nothing listens on right now.
inline int FreePort()
{
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}


using namespace std::chrono_literals;

// The body bytes a pattern step sends: byte i of a document of any length.
inline char HttpPatternByte(std::uint64_t i)
{
    return static_cast<char>((i * 167 + (i >> 11) + (i >> 19)) & 0xFF);
}

inline std::string HttpPattern(std::uint64_t from, std::size_t n)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = HttpPatternByte(from + i);
    return s;
}

class HttpScriptedServer {
public:
    struct Step {
        enum Kind { Send, Await, Pause, Close, Reset, Endless, Pattern } What;
        std::string Data;
        std::uint64_t Count = 0;
    };

    HttpScriptedServer()
    {
        FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        if (::bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(FListen, 16) != 0)
            ADD_FAILURE() << "cannot listen on loopback";
        socklen_t len = sizeof a;
        ::getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len);
        FPort = ntohs(a.sin_port);
        FThread = std::thread([this] { Run(); });
    }

    ~HttpScriptedServer()
    {
        {
            std::lock_guard<std::mutex> g(FLock);
            FStop = true;
            if (FConn >= 0) ::shutdown(FConn, SHUT_RDWR);
        }
        FCond.notify_all();
        FThread.join();
        ::close(FListen);
    }

    int Port() const { return FPort; }
    std::string PortText() const { return std::to_string(FPort); }
    std::string Url(const std::string& path, const std::string& host = "127.0.0.1") const
    {
        return "http://" + host + ":" + PortText() + path;
    }

    // Starts the script of the next connection; the steps below add to it. Each connection
    // first reads the request (header, and a body of its declared length).
    HttpScriptedServer& Connection()
    {
        std::lock_guard<std::mutex> g(FLock);
        FScripts.emplace_back();
        return *this;
    }
    HttpScriptedServer& Send(const std::string& bytes) { return Add({Step::Send, bytes, 0}); }
    // Waits until the test has called Signal this many times in all.
    HttpScriptedServer& Await(int signals) { return Add({Step::Await, {}, static_cast<std::uint64_t>(signals)}); }
    // Keeps the client waiting, as a slow server does.
    HttpScriptedServer& Pause(std::chrono::milliseconds ms)
    {
        return Add({Step::Pause, {}, static_cast<std::uint64_t>(ms.count())});
    }
    // Ends the sending side, then reads until the client closes, so no unread byte turns the
    // close into a reset. Also the end of every script.
    HttpScriptedServer& Close() { return Add({Step::Close, {}, 0}); }
    HttpScriptedServer& Reset() { return Add({Step::Reset, {}, 0}); }
    // Sends the line again and again until the client goes away (at most 64 MiB).
    HttpScriptedServer& Endless(const std::string& line) { return Add({Step::Endless, line, 0}); }
    // Sends count bytes of the pattern, starting at pattern position 0.
    HttpScriptedServer& Pattern(std::uint64_t count) { return Add({Step::Pattern, {}, count}); }

    void Signal()
    {
        {
            std::lock_guard<std::mutex> g(FLock);
            ++FSignals;
        }
        FCond.notify_all();
    }

    // What each connection received so far, in order of acceptance.
    std::vector<std::string> Requests()
    {
        std::lock_guard<std::mutex> g(FLock);
        return FRequests;
    }
    std::string Request(std::size_t i)
    {
        std::lock_guard<std::mutex> g(FLock);
        return i < FRequests.size() ? FRequests[i] : std::string();
    }
    int Accepted()
    {
        std::lock_guard<std::mutex> g(FLock);
        return static_cast<int>(FRequests.size());
    }
    // Waits until every scripted connection has been played to its end.
    bool WaitDone(std::chrono::milliseconds limit = 20s)
    {
        std::unique_lock<std::mutex> l(FLock);
        return FCond.wait_for(l, limit, [this] { return FStop || (FScripts.empty() && FConn < 0); });
    }
    std::uint64_t EndlessBytes() const { return FEndlessBytes; }

private:
    HttpScriptedServer& Add(Step s)
    {
        std::lock_guard<std::mutex> g(FLock);
        if (FScripts.empty()) FScripts.emplace_back();
        FScripts.back().push_back(std::move(s));
        return *this;
    }

    bool Stopped()
    {
        std::lock_guard<std::mutex> g(FLock);
        return FStop;
    }

    // Waits for a descriptor; false once the server stops or the time runs out.
    bool Ready(int fd, short events, int ms = 20000)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!Stopped() && std::chrono::steady_clock::now() < until) {
            pollfd p{fd, events, 0};
            if (::poll(&p, 1, 50) > 0) return true;
        }
        return false;
    }

    void Run()
    {
        while (!Stopped()) {
            if (!Ready(FListen, POLLIN, 60000)) continue;
            int c = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            std::vector<Step> script;
            std::size_t index;
            {
                std::lock_guard<std::mutex> g(FLock);
                if (!FScripts.empty()) {
                    script = std::move(FScripts.front());
                    FScripts.pop_front();
                }
                FConn = c;
                index = FRequests.size();
                FRequests.emplace_back();
            }
            Play(c, index, script);
            {
                std::lock_guard<std::mutex> g(FLock);
                FConn = -1;
            }
            ::close(c);
            FCond.notify_all();
        }
    }

    void Record(std::size_t index, const char* data, std::size_t n)
    {
        std::lock_guard<std::mutex> g(FLock);
        FRequests[index].append(data, n);
    }

    void ReadRequest(int c, std::size_t index)
    {
        std::string got;
        std::size_t need = std::string::npos;
        char buf[65536];
        while (need == std::string::npos || got.size() < need) {
            if (!Ready(c, POLLIN)) return;
            ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0) return;
            got.append(buf, static_cast<std::size_t>(n));
            Record(index, buf, static_cast<std::size_t>(n));
            if (need == std::string::npos) {
                std::size_t end = got.find("\r\n\r\n");
                if (end == std::string::npos) continue;
                need = end + 4;
                std::string head = got.substr(0, end + 2);
                std::size_t cl = head.find("\r\nContent-Length: ");
                if (cl != std::string::npos) need += std::stoul(head.substr(cl + 18));
            }
        }
    }

    bool SendAll(int c, const char* data, std::size_t n)
    {
        while (n > 0) {
            if (!Ready(c, POLLOUT)) return false;
            ssize_t k = ::send(c, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (k < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (k <= 0) return false;
            data += k;
            n -= static_cast<std::size_t>(k);
        }
        return true;
    }

    void Play(int c, std::size_t index, const std::vector<Step>& script)
    {
        int one = 1;
        ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ReadRequest(c, index);
        for (const Step& s : script) {
            switch (s.What) {
            case Step::Send:
                if (!SendAll(c, s.Data.data(), s.Data.size())) return;
                break;
            case Step::Await: {
                std::unique_lock<std::mutex> l(FLock);
                if (!FCond.wait_for(l, 20s, [&] { return FStop || FSignals >= s.Count; })) return;
                if (FStop) return;
                break;
            }
            case Step::Pause: {
                std::unique_lock<std::mutex> l(FLock);
                FCond.wait_for(l, std::chrono::milliseconds(s.Count), [&] { return FStop; });
                break;
            }
            case Step::Close:
                CloseCleanly(c, index);
                return;
            case Step::Reset: {
                linger l{1, 0};
                ::setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                return;
            }
            case Step::Endless:
                while (FEndlessBytes < (64u << 20)) {
                    if (!SendAll(c, s.Data.data(), s.Data.size())) break;
                    FEndlessBytes += s.Data.size();
                }
                break;
            case Step::Pattern: {
                std::string chunk;
                for (std::uint64_t done = 0; done < s.Count;) {
                    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(65536, s.Count - done));
                    chunk = HttpPattern(done, n);
                    if (!SendAll(c, chunk.data(), n)) return;
                    done += n;
                }
                break;
            }
            }
        }
        CloseCleanly(c, index);
    }

    void CloseCleanly(int c, std::size_t index)
    {
        ::shutdown(c, SHUT_WR);
        char buf[4096];
        while (Ready(c, POLLIN, 5000)) {
            ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0) break;
            Record(index, buf, static_cast<std::size_t>(n));
        }
    }

    int FListen = -1;
    int FPort = 0;
    std::mutex FLock;
    std::condition_variable FCond;
    std::deque<std::vector<Step>> FScripts;
    std::vector<std::string> FRequests;
    std::uint64_t FSignals = 0;
    std::atomic<std::uint64_t> FEndlessBytes{0};
    int FConn = -1;
    bool FStop = false;
    std::thread FThread;
};

// Aborts the client and fails the test when the time runs out; the abort arrives as a
// message on the test's thread, so a waiting Get wakes up and ends.
class HttpWatchdog {
public:
    HttpWatchdog(kapo::THttpCli& cli, std::chrono::milliseconds limit = 30s)
        : HttpWatchdog([&cli] { cli.Abort(); }, limit)
    {
    }
    HttpWatchdog(std::function<void()> onFire, std::chrono::milliseconds limit)
    {
        FTarget = kapo::AllocateHWnd([this, onFire](kapo::TMessage&) {
            ADD_FAILURE() << "watchdog: the request did not end in time";
            FFired = true;
            onFire();
        });
        FThread = std::thread([this, limit] {
            std::unique_lock<std::mutex> l(FLock);
            if (!FCond.wait_for(l, limit, [this] { return FStop; })) kapo::PostMessage(FTarget, kapo::WM_USER, 0, 0);
        });
    }
    ~HttpWatchdog()
    {
        {
            std::lock_guard<std::mutex> g(FLock);
            FStop = true;
        }
        FCond.notify_all();
        FThread.join();
        kapo::DeallocateHWnd(FTarget);
    }
    bool Fired() const { return FFired; }

private:
    kapo::HWND FTarget = 0;
    bool FFired = false;
    std::mutex FLock;
    std::condition_variable FCond;
    bool FStop = false;
    std::thread FThread;
};

// Pumps the thread's queue, waiting between passes, until pred holds or the watchdog fires.
inline bool HttpPumpUntil(const HttpWatchdog& wd, const std::function<bool()>& pred)
{
    for (;;) {
        kapo::ProcessMessages();
        if (pred()) return true;
        if (wd.Fired()) return false;
        kapo::WaitMessage(-1);
    }
}

// Handles everything posted so far, including what those messages post in turn up to a
// marker posted now: afterwards nothing queued before this call is left.
inline void HttpDrainQueue()
{
    bool seen = false;
    kapo::HWND marker = kapo::AllocateHWnd([&seen](kapo::TMessage&) { seen = true; });
    kapo::PostMessage(marker, kapo::WM_USER, 0, 0);
    while (!seen) kapo::ProcessMessages();
    kapo::DeallocateHWnd(marker);
}

inline const char* HttpStateName(kapo::THttpCliState s)
{
    static const char* names[] = {"hsReady",         "hsNotConnected",  "hsConnected",   "hsDnsLookup",
                                  "hsDnsLookupDone", "hsWaitingHeader", "hsWaitingBody", "hsAborting"};
    return names[s];
}

// Every event of a client, in order, as short texts.
class HttpEventLog {
public:
    explicit HttpEventLog(kapo::THttpCli& c) : FCli(c)
    {
        using kapo::TObject;
        c.OnSessionConnected = [this](TObject*) { Add("SessionConnected"); };
        c.OnHeaderData = [this](TObject*) { Add("HeaderData " + FCli.CurrentLine()); };
        c.OnCommand = [this](TObject*, std::string& s) { Add("Command " + s); };
        c.OnHeaderBegin = [this](TObject*) { Add("HeaderBegin"); };
        c.OnHeaderEnd = [this](TObject*) { Add("HeaderEnd"); };
        c.OnRequestHeaderBegin = [this](TObject*) { Add("RequestHeaderBegin"); };
        c.OnRequestHeaderEnd = [this](TObject*) { Add("RequestHeaderEnd"); };
        c.OnDocBegin = [this](TObject*) { Add("DocBegin"); };
        c.OnDocData = [this](TObject*, const void* b, int n) {
            Add("DocData " + std::string(static_cast<const char*>(b), static_cast<std::size_t>(n)));
        };
        c.OnDocEnd = [this](TObject*) { Add("DocEnd"); };
        c.OnSendBegin = [this](TObject*) { Add("SendBegin"); };
        c.OnSendData = [this](TObject*, const void*, int n) { Add("SendData " + std::to_string(n)); };
        c.OnSendEnd = [this](TObject*) { Add("SendEnd"); };
        c.OnStateChange = [this](TObject*) { Add(std::string("State ") + HttpStateName(FCli.State())); };
        c.OnRequestDone = [this](TObject*, kapo::THttpRequest rq, std::uint16_t err) {
            Add("RequestDone " + std::to_string(rq) + " " + std::to_string(err));
            ++FDone;
        };
        c.OnLocationChange = [this](TObject*) { Add("LocationChange " + FCli.Location()); };
        c.OnCookie = [this](TObject*, const std::string& d, bool&) { Add("Cookie " + d); };
    }
    void Add(const std::string& e)
    {
        Events.push_back(e);
        if (OnEvent) OnEvent(e);
    }
    // Called after each event is recorded (for example to signal a server).
    std::function<void(const std::string&)> OnEvent;
    int DoneCount() const { return FDone; }
    // The events that start with one of the prefixes, in order.
    std::vector<std::string> Only(std::initializer_list<const char*> prefixes) const
    {
        std::vector<std::string> out;
        for (const auto& e : Events)
            for (const char* p : prefixes)
                if (e.rfind(p, 0) == 0) {
                    out.push_back(e);
                    break;
                }
        return out;
    }

    std::vector<std::string> Events;

private:
    kapo::THttpCli& FCli;
    int FDone = 0;
};

// Resolves the test host names to loopback (all other names fail), optionally holding every
// lookup back until released. The lookups run on worker threads that may outlive the object,
// so what they use is shared with them.
class HttpTestResolver {
public:
    explicit HttpTestResolver(std::vector<std::string> names, bool hold = false)
        : FState(std::make_shared<State>())
    {
        FState->Names = std::move(names);
        FState->Hold = hold;
        std::shared_ptr<State> st = FState;
        kapo::SetNameResolver([st](const std::string& name, std::string& official, std::vector<std::uint32_t>& addrs) {
            {
                std::unique_lock<std::mutex> l(st->Lock);
                ++st->Started;
                st->Cond.notify_all();
                st->Cond.wait(l, [&] { return !st->Hold; });
            }
            for (const auto& n : st->Names)
                if (n == name) {
                    official = name;
                    addrs.push_back(htonl(INADDR_LOOPBACK));
                    return 0;
                }
            return static_cast<int>(kapo::WSAHOST_NOT_FOUND);
        });
    }
    ~HttpTestResolver()
    {
        kapo::SetNameResolver({});
        Release();
    }
    void Release()
    {
        std::lock_guard<std::mutex> g(FState->Lock);
        FState->Hold = false;
        FState->Cond.notify_all();
    }
    int Started()
    {
        std::lock_guard<std::mutex> g(FState->Lock);
        return FState->Started;
    }

private:
    struct State {
        std::vector<std::string> Names;
        std::mutex Lock;
        std::condition_variable Cond;
        bool Hold = false;
        int Started = 0;
    };
    std::shared_ptr<State> FState;
};

// The request header the client sends by default, between the request line and the Host line.
inline std::string HttpDefaultLines()
{
    return "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
           "User-Agent: Mozilla/3.0 (compatible)\r\n";
}

}  // namespace httptest

namespace httptest {

// Runs a synchronous request: "ok", or the exception's code and message.
inline std::string HttpRun(kapo::THttpCli& c, kapo::THttpRequest kind = kapo::rqGet)
{
    try {
        c.RunRequest(kind);
        return "ok";
    } catch (const kapo::EHttpException& e) {
        return std::to_string(e.ErrorCode()) + " " + e.Message();
    }
}

// A complete response with a declared length.
inline std::string HttpOk(const std::string& body, const std::string& extra = "")
{
    return "HTTP/1.0 200 OK\r\n" + extra + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// A client with a watchdog and an in-memory received stream.
struct HttpClientRig {
    kapo::THttpCli Cli;
    kapo::TMemoryStream Body;
    HttpWatchdog Dog{Cli};
    HttpClientRig() { Cli.SetRcvdStream(&Body); }
    std::string Received() const { return Body.DataString(); }
};

}  // namespace httptest
