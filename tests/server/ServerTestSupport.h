// The demo server on a thread of its own (its own message queue), and a plain client for it.
#pragma once

#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KoraServer.h"
#include "tests/net/SocketTestSupport.h"

namespace testsupport {

class ServerThread {
public:
    ServerThread(const std::string& root, std::vector<kora::TAccount> accounts, kora::TServerOptions options = {})
    {
        options.Address = "127.0.0.1";
        options.Port = "0";
        options.Log = [this](const std::string& line) {
            {
                std::lock_guard<std::mutex> g(FLock);
                FLog.push_back(line);
            }
            FChanged.notify_all();
        };
        std::promise<void> ready;
        FThread = std::thread([&, root, accounts, options] {
            try {
                kora::TKoraService service(root, accounts);
                kora::TKoraServer server(service, options);
                server.Start();
                FHandle = server.Handle();
                FPort = server.Port();
                ready.set_value();
                kapo::MessageQueue::Current().Run();
            } catch (...) {
                try {
                    ready.set_exception(std::current_exception());
                } catch (const std::future_error&) {
                }
            }
        });
        ready.get_future().get();
    }
    ~ServerThread()
    {
        kapo::PostMessage(FHandle, kora::WM_SERVER_STOP, 0, 0);
        FThread.join();
    }
    std::uint16_t Port() const { return FPort; }

    // Waits until a logged line contains the text; the line, or "" after the deadline.
    std::string WaitForLog(const std::string& text, int ms = kDeadlineMs)
    {
        std::unique_lock<std::mutex> l(FLock);
        std::string found;
        FChanged.wait_for(l, std::chrono::milliseconds(ms), [&] {
            for (const auto& line : FLog)
                if (line.find(text) != std::string::npos) {
                    found = line;
                    return true;
                }
            return false;
        });
        return found;
    }
    std::vector<std::string> Log()
    {
        std::lock_guard<std::mutex> g(FLock);
        return FLog;
    }

private:
    std::thread FThread;
    kapo::HWND FHandle = 0;
    std::uint16_t FPort = 0;
    std::mutex FLock;
    std::condition_variable FChanged;
    std::vector<std::string> FLog;
};

struct Response {
    int Status = 0;
    std::map<std::string, std::string> Fields;  // names in lower case
    std::string Body;
    bool Ended = false;  // the server closed cleanly
};

inline Response ParseResponse(const std::string& raw)
{
    Response r;
    std::size_t end = raw.find("\r\n\r\n");
    if (raw.compare(0, 9, "HTTP/1.0 ") != 0 || end == std::string::npos) return r;
    r.Status = std::stoi(raw.substr(9, 3));
    std::size_t pos = raw.find("\r\n") + 2;
    while (pos < end) {
        std::size_t eol = raw.find("\r\n", pos);
        std::string line = raw.substr(pos, eol - pos);
        std::size_t colon = line.find(':');
        std::string name = line.substr(0, colon);
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        r.Fields[name] = line.substr(colon + 2);
        pos = eol + 2;
    }
    r.Body = raw.substr(end + 4);
    return r;
}

// Sends the request as it is and reads the answer to the end.
inline Response Ask(std::uint16_t port, const std::string& request)
{
    int fd = ConnectTo(port);
    if (fd < 0) return {};
    SendAll(fd, request);
    bool ended = false;
    Response r = ParseResponse(RecvToEnd(fd, &ended));
    r.Ended = ended;
    ::close(fd);
    return r;
}

}  // namespace testsupport
