// One client's life: the head read line by line under the head caps, the answer, the body sent
// piece by piece as the queue drains (or paced by a timer), then an orderly close.
#include "KoraServer.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "platform/Timer.h"

namespace kora {

using namespace kapo;

namespace {

constexpr UINT WM_REAP = WM_USER + 50;
constexpr int PaceMs = 100;
// How long a finished client may take to close its side before it is cut off.
constexpr int CloseGraceMs = 5000;

std::int64_t NowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The client's socket, which also notices a head growing past its cap before any line of it is
// complete: line mode alone would hold an endless line.
class TClientSocket : public TWSocket {
public:
    std::size_t HeadRoom = 0;  // bytes a partial line may hold; 0 once the head is read
    std::function<void()> OnHeadTooLong;

protected:
    bool FireDataAvailable(std::uint16_t Error) override
    {
        TLiveness guard = Liveness();
        bool handled = TWSocket::FireDataAvailable(Error);
        if (guard && HeadRoom > 0 && LineMode() && Held() > HeadRoom && OnHeadTooLong) {
            auto h = OnHeadTooLong;
            h();
        }
        return handled;
    }
};

}  // namespace

class TKoraServer::TClient {
public:
    TClient(TKoraServer& Server, std::uint64_t Id, SOCKET Handle)
        : FServer(Server), FId(Id), FTimer([this] { Guarded([this] { Tick(); }); })
    {
        FSocket.SetLineMode(true);
        FSocket.SetLineEnd("\n");  // bare LF ends a line too; the CR is cut off below
        FSocket.HeadRoom = MaxHeadBytes;
        FSocket.OnHeadTooLong = [this] { Respond(TKoraService::Error(431)); };
        FSocket.OnDataAvailable = [this](TObject*, std::uint16_t) { DataAvailable(); };
        FSocket.OnDataSent = [this](TObject*, std::uint16_t) { DataSent(); };
        FSocket.OnSendData = [this](TObject*, int n) {
            FBytes += static_cast<std::uint64_t>(n);
            FLastProgress = NowMs();
        };
        FSocket.OnSessionClosed = [this](TObject*, std::uint16_t Error) {
            // The socket cut a body whose file ended before its length.
            if (Error == WSAECONNABORTED && FPhase == phBody) FStatus = 500;
            Closed();
        };
        FSocket.Dup(Handle);
        FPeer = FSocket.PeerAddr() + ":" + FSocket.PeerPort();
        FLastProgress = NowMs();
        Arm();
    }
    ~TClient()
    {
        FSocket.OnSessionClosed = nullptr;
        if (FFile >= 0) ::close(FFile);
    }

private:
    // phCut: dropped at the idle limit; what the cut hands over (a partial line) is not read.
    enum TPhase { phHead, phBody, phClosing, phCut, phGone };

    // One client's failure ends that client only, never the service: the timer's callback is
    // not behind the socket's own guard, so what escapes it is caught here.
    template <typename F>
    void Guarded(F&& Step)
    {
        try {
            Step();
        } catch (const std::exception& E) {
            if (FPhase == phGone) return;
            FServer.Log(FPeer + " client failed: " + E.what());
            if (FStatus == 0) FStatus = 500;
            FPhase = phCut;
            try {
                FSocket.Abort();
            } catch (const std::exception&) {
            }
            Closed();
        }
    }

    void DataAvailable()
    {
        if (FPhase != phHead) {
            // Anything after the head is not ours to read; it is taken and dropped.
            char junk[4096];
            FSocket.Receive(junk, sizeof junk);
            return;
        }
        std::string line = FSocket.ReceiveText();
        FLastProgress = NowMs();
        FHeadBytes += line.size();
        if (FHeadBytes > MaxHeadBytes) return Respond(TKoraService::Error(431));
        if (++FHeadLines > MaxHeadLines) return Respond(TKoraService::Error(431));
        if (!line.empty() && line.back() == '\n') line.pop_back();
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (FHeadLines == 1) {
            if (!ParseRequestLine(line, FHead)) return Respond(TKoraService::Error(400));
            FMethod = FHead.Method;
            FPath = FHead.Target;
            return;
        }
        if (line.empty()) return Respond(FServer.FService.Answer(FHead));
        ParseHeaderField(line, FHead);
    }

    void Respond(TReply Reply)
    {
        if (FPhase != phHead) return;
        FPhase = phBody;
        FSocket.HeadRoom = 0;
        FSocket.SetLineMode(false);
        const bool head = FHead.Method == "HEAD";
        const bool file = (Reply.Status == 200 || Reply.Status == 206) && !Reply.Path.empty();
        if (file && !head) {
            FFile = ::open(Reply.Path.c_str(), O_RDONLY | O_CLOEXEC);
            if (FFile < 0) Reply = TKoraService::Error(404);
            else FLength = FRemaining = Reply.Length;
            FOffset = Reply.Offset;
        }
        FStatus = Reply.Status;
        std::string out = TKoraService::ResponseHead(Reply);
        if (FFile < 0 && !head) out += Reply.Body;
        TLiveness guard = FSocket.Liveness();
        FSocket.SendText(out);
        if (!guard || FPhase == phGone) return;
        // The rest follows as the queue drains (OnDataSent), or on the pace timer's ticks; a
        // paced body starts with the head, as a slow line delivers it.
        if (FServer.FOptions.Rate > 0 && FRemaining > 0) {
            SendPiece(PaceShare());
            if (!guard || FPhase == phGone) return;
            Arm();
        }
    }

    // Queues the next piece of the file behind what is queued. The socket sends it straight
    // from the file as the connection drains, so no byte of it passes through our memory; a
    // file that shrank meanwhile has the socket cut the connection (see Closed). A piece that
    // cannot be queued (no descriptor left for the queue's copy) ends the client.
    void SendPiece(std::uint64_t Most)
    {
        const std::uint64_t want = std::min(Most, FRemaining);
        const auto offset = static_cast<std::int64_t>(FOffset + FLength - FRemaining);
        try {
            FSocket.SendFile(FFile, offset, static_cast<std::int64_t>(want));
        } catch (const Exception&) {
            FStatus = 500;
            FSocket.Abort();
            return;
        }
        FRemaining -= want;
        // Everything is queued: the queue's own descriptor is all the client still needs.
        if (FRemaining == 0 && FFile >= 0) {
            ::close(FFile);
            FFile = -1;
        }
    }

    void DataSent()
    {
        FLastProgress = NowMs();
        if (FPhase != phBody) return;
        if (FRemaining > 0) {
            if (FServer.FOptions.Rate == 0) SendPiece(FRemaining);
            return;
        }
        Finish();
    }

    // Everything is out: say so with a FIN and let the client close its side.
    void Finish()
    {
        FPhase = phClosing;
        WriteLog();
        FSocket.Shutdown(1);
        FClosingSince = NowMs();
        Arm();
    }

    void Arm()
    {
        const std::int64_t now = NowMs();
        std::int64_t wait = FLastProgress + FServer.FOptions.IdleMs - now;
        if (FPhase == phClosing) wait = std::min<std::int64_t>(wait, FClosingSince + CloseGraceMs - now);
        if (FPhase == phBody && FServer.FOptions.Rate > 0 && FRemaining > 0) wait = std::min<std::int64_t>(wait, PaceMs);
        FTimer.Start(static_cast<int>(std::max<std::int64_t>(wait, 0)));
    }

    std::uint64_t PaceShare() const { return std::max<std::uint64_t>(FServer.FOptions.Rate * PaceMs / 1000, 1); }

    void Tick()
    {
        const std::int64_t now = NowMs();
        if (now - FLastProgress >= FServer.FOptions.IdleMs ||
            (FPhase == phClosing && now - FClosingSince >= CloseGraceMs)) {
            if (FPhase == phHead) {
                FStatus = 408;
                FPhase = phCut;
            }
            FSocket.Abort();  // its close handler has the client reaped
            return;
        }
        if (FPhase == phBody && FServer.FOptions.Rate > 0 && FRemaining > 0 && FSocket.AllSent()) {
            TLiveness guard = FSocket.Liveness();
            SendPiece(PaceShare());
            if (!guard || FPhase == phGone) return;
        }
        Arm();
    }

    void Closed()
    {
        if (FPhase == phGone) return;
        if (FPhase != phClosing) WriteLog();
        FPhase = phGone;
        FTimer.Stop();
        PostMessage(FServer.FHandle, WM_REAP, static_cast<WPARAM>(FId), 0);
    }

    void WriteLog()
    {
        std::string status = FStatus ? std::to_string(FStatus) : "-";
        FServer.Log(FPeer + " " + FMethod + " " + FPath + " " + status + " " + std::to_string(FBytes));
    }

    TKoraServer& FServer;
    const std::uint64_t FId;
    TClientSocket FSocket;
    TQueueTimer FTimer;
    TPhase FPhase = phHead;
    std::string FPeer;
    TRequestHead FHead;
    std::string FMethod = "-", FPath = "-";
    std::size_t FHeadBytes = 0;
    int FHeadLines = 0;
    int FStatus = 0;
    int FFile = -1;
    std::uint64_t FLength = 0;     // of the file being sent
    std::uint64_t FOffset = 0;     // where the part sent starts in the file
    std::uint64_t FRemaining = 0;  // bytes of it not yet queued
    std::uint64_t FBytes = 0;
    std::int64_t FLastProgress = 0;
    std::int64_t FClosingSince = 0;
};

TKoraServer::TKoraServer(const TKoraService& Service, TServerOptions Options)
    : FService(Service), FOptions(std::move(Options))
{
    FHandle = AllocateHWnd([this](TMessage& m) { HandleMessage(m); });
}

TKoraServer::~TKoraServer()
{
    FClients.clear();
    FListener.reset();
    DeallocateHWnd(FHandle);
}

void TKoraServer::Start()
{
    FListener = std::make_unique<TWSocket>();
    FListener->SetAddr(FOptions.Address);
    FListener->SetPort(FOptions.Port);
    FListener->SetProto("tcp");
    FListener->SetListenBacklog(1024);
    FListener->OnSessionAvailable = [this](TObject*, std::uint16_t) { AcceptOne(); };
    FListener->Listen();
    if (FListener->State() != wsListening) throw ESocketException("cannot listen on " + FOptions.Address + ":" + FOptions.Port);
}

std::uint16_t TKoraServer::Port()
{
    return FListener ? static_cast<std::uint16_t>(std::stoi(FListener->BoundPortText())) : 0;
}

void TKoraServer::AcceptOne()
{
    SOCKET h;
    try {
        h = FListener->Accept();
    } catch (const Exception& E) {
        Log("accept failed: " + E.Message());
        return;
    }
    if (h == INVALID_SOCKET) return;
    if (FClients.size() >= FOptions.MaxClients) return Refuse(h);
    const std::uint64_t id = FNextId++;
    try {
        FClients.emplace(id, std::make_unique<TClient>(*this, id, h));
    } catch (const std::exception& E) {
        Log(std::string("client dropped: ") + E.what());
    }
}

// A short answer that fits the socket's buffer, sent and closed at once: a refused client
// costs no descriptor beyond this call.
void TKoraServer::Refuse(SOCKET Handle)
{
    TReply r = TKoraService::Error(503);
    std::string out = TKoraService::ResponseHead(r) + r.Body;
    WSocket_send(Handle, out.data(), static_cast<int>(out.size()), 0);
    WSocket_shutdown(Handle, 1);
    WSocket_closesocket(Handle);
    Log("refused a client: " + std::to_string(FClients.size()) + " are being served");
}

void TKoraServer::Reap(std::uint64_t Id)
{
    FClients.erase(Id);
}

void TKoraServer::HandleMessage(TMessage& Msg)
{
    if (Msg.Msg == WM_REAP) Reap(static_cast<std::uint64_t>(Msg.WParam));
    else if (Msg.Msg == WM_SERVER_STOP) PostQuitMessage(0);
}

void TKoraServer::Log(const std::string& Line) const
{
    if (FOptions.Log) FOptions.Log(Line);
}

}  // namespace kora
