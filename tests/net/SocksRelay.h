// A SOCKS5 proxy on loopback for tests: answers without authentication and relays to
// 127.0.0.1 at the port asked for, whatever name came with it.
#pragma once

#include <poll.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/net/SocketTestSupport.h"

namespace testsupport {

// Accepts connections on loopback and answers each as a SOCKS5 proxy without authentication,
// then relays to 127.0.0.1 at the port asked for, whatever name came with it. Records each
// connection's request; with Refuse set it answers "connection refused" instead.
class Socks5Relay {
public:
    explicit Socks5Relay(int connections, bool refuse = false) : FRefuse(refuse)
    {
        FListen = testsupport::ListenOnLoopback(4);
        FPort = PortOf(FListen);
        FThread = std::thread([this, connections] {
            for (int i = 0; i < connections; ++i) {
                pollfd p{FListen, POLLIN, 0};
                if (::poll(&p, 1, kDeadlineMs) != 1) return;
                int fd = ::accept(FListen, nullptr, nullptr);
                if (fd < 0) return;
                SetTimeouts(fd, kDeadlineMs);
                Serve(fd);
                ::close(fd);
            }
        });
    }
    ~Socks5Relay()
    {
        Join();
        ::close(FListen);
    }
    void Join()
    {
        if (FThread.joinable()) FThread.join();
    }
    std::string PortText() const { return std::to_string(FPort); }
    // Greeting and request of each connection, as the proxy read them.
    std::vector<std::string> Seen;

private:
    void Serve(int fd)
    {
        std::string greeting = RecvExactly(fd, 3);
        SendAll(fd, std::string("\x05\x00", 2));
        std::string head = RecvExactly(fd, 5);
        if (head.size() < 5) return;
        std::string rest = RecvExactly(fd, static_cast<unsigned char>(head[4]) + 2u);
        Seen.push_back(greeting + head + rest);
        if (rest.size() < 2) return;
        if (FRefuse) {
            SendAll(fd, std::string("\x05\x05\x00\x01\x00\x00\x00\x00\x00\x00", 10));
            RecvToEnd(fd);
            return;
        }
        std::uint16_t port = static_cast<std::uint16_t>((static_cast<unsigned char>(rest[rest.size() - 2]) << 8) |
                                                        static_cast<unsigned char>(rest.back()));
        int dest = ConnectTo(port);
        SendAll(fd, std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x50", 10));
        Relay(fd, dest);
        ::close(dest);
    }
    // Copies both ways until both sides have finished sending.
    static void Relay(int a, int b)
    {
        bool aOpen = true, bOpen = true;
        char buf[4096];
        while (aOpen || bOpen) {
            pollfd p[2] = {{aOpen ? a : -1, POLLIN, 0}, {bOpen ? b : -1, POLLIN, 0}};
            if (::poll(p, 2, kDeadlineMs) <= 0) return;
            for (int i = 0; i < 2; ++i) {
                if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                int from = i == 0 ? a : b, to = i == 0 ? b : a;
                ssize_t n = ::recv(from, buf, sizeof buf, 0);
                if (n <= 0) {
                    ::shutdown(to, SHUT_WR);
                    (i == 0 ? aOpen : bOpen) = false;
                } else if (!SendAll(to, std::string(buf, static_cast<std::size_t>(n)))) {
                    return;
                }
            }
        }
    }

    bool FRefuse;
    int FListen = -1;
    std::uint16_t FPort = 0;
    std::thread FThread;
};

inline std::string Socks5Seen(const std::string& host, int port)
{
    return std::string("\x05\x01\x00\x05\x01\x00\x03", 7) + static_cast<char>(host.size()) + host +
           static_cast<char>(port >> 8) + static_cast<char>(port & 0xFF);
}

}  // namespace testsupport
