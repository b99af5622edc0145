// The demo service on a thread of its own, with its own message queue, serving a folder.
#pragma once

// Before Qt, whose "signals" keyword would clash with parameter names there.
#include "KoraServer.h"

#include <cstdint>
#include <future>
#include <string>
#include <thread>

namespace kapo::test {

class ServiceThread {
public:
    explicit ServiceThread(const std::string& root, std::uint64_t rate = 0)
    {
        std::promise<std::pair<std::uint16_t, HWND>> started;
        auto ready = started.get_future();
        FThread = std::thread([root, rate, &started] {
            kora::TKoraService service(root, {{"demo", "demo"}});
            kora::TServerOptions options;
            options.Port = "0";
            options.Rate = rate;
            kora::TKoraServer server(service, options);
            server.Start();
            started.set_value({server.Port(), server.Handle()});
            MessageQueue::Current().Run();
        });
        auto [port, handle] = ready.get();
        FPort = port;
        FHandle = handle;
    }
    ~ServiceThread()
    {
        PostMessage(FHandle, kora::WM_SERVER_STOP, 0, 0);
        FThread.join();
    }
    ServiceThread(const ServiceThread&) = delete;
    ServiceThread& operator=(const ServiceThread&) = delete;
    std::string Base() const { return "127.0.0.1:" + std::to_string(FPort) + "/"; }

private:
    std::thread FThread;
    std::uint16_t FPort = 0;
    HWND FHandle = 0;
};

}  // namespace kapo::test
