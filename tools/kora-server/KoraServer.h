// The demo service on the project's sockets: a listening socket, one socket per client, the
// request head read in line mode, the file streamed through the send queue in pieces.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "KoraService.h"
#include "net/WSocket.h"

namespace kora {

struct TServerOptions {
    std::string Address = "127.0.0.1";
    std::string Port = "8642";  // "0" takes a free one
    int IdleMs = 30000;          // a client that makes no progress this long is dropped
    std::uint64_t Rate = 0;      // body bytes per second for each client; 0 is unlimited
    std::size_t MaxClients = 1000;  // beyond this a new client gets 503 at once
    std::function<void(const std::string&)> Log;  // one line per request
};

// Posted to Handle() from any thread: the server's thread leaves its loop (WM_QUIT).
constexpr kapo::UINT WM_SERVER_STOP = kapo::WM_USER + 51;

// Runs on the thread that creates it, from that thread's message queue.
class TKoraServer {
public:
    TKoraServer(const TKoraService& Service, TServerOptions Options);
    ~TKoraServer();
    TKoraServer(const TKoraServer&) = delete;
    TKoraServer& operator=(const TKoraServer&) = delete;

    // Starts listening; raises kapo::ESocketException when it cannot.
    void Start();
    std::uint16_t Port();
    std::size_t Clients() const { return FClients.size(); }
    kapo::HWND Handle() const { return FHandle; }

private:
    class TClient;
    void AcceptOne();
    void Refuse(kapo::SOCKET Handle);
    void Reap(std::uint64_t Id);
    void HandleMessage(kapo::TMessage& Msg);
    void Log(const std::string& Line) const;

    const TKoraService& FService;
    TServerOptions FOptions;
    kapo::HWND FHandle = 0;
    std::unique_ptr<kapo::TWSocket> FListener;
    std::map<std::uint64_t, std::unique_ptr<TClient>> FClients;
    std::uint64_t FNextId = 1;
};

}  // namespace kora
