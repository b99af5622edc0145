// kora-server: serves a folder in the service's remote layout over HTTP/1.0.
#include <signal.h>
#include <sys/resource.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <stdexcept>

#include "KoraServer.h"
#include "platform/MessageQueue.h"

using namespace kora;

namespace {

namespace fs = std::filesystem;

// Both places are relative to the program, so an installed program carries no path of the
// build: installed, the catalogue of the package beside bin/; otherwise the build's own.
std::string DefaultRoot()
{
    std::error_code ec;
    fs::path folder = fs::read_symlink("/proc/self/exe", ec).parent_path();
    fs::path installed = folder / KORA_INSTALLED_ROOT;
    fs::path chosen = fs::is_directory(installed, ec) ? installed : folder / KORA_BUILD_ROOT;
    fs::path resolved = fs::weakly_canonical(chosen, ec);
    return (ec ? chosen : resolved).string();
}

void Usage(const std::string& root)
{
    std::fprintf(stderr,
                 "usage: kora-server [--root DIR] [--listen ADDR:PORT] [--account NAME:PASSWORD]...\n"
                 "                   [--accounts FILE] [--rate BYTES_PER_S]\n"
                 "  --root      the folder to serve (default: %s)\n"
                 "  --listen    where to listen (default: 127.0.0.1:8642)\n"
                 "  --account   a member allowed into club/ (repeatable)\n"
                 "  --accounts  a file of members, NAME:PASSWORD one a line\n"
                 "  --rate      at most this many body bytes per second for each client\n",
                 root.c_str());
}

// Each client needs its socket, its file, its timer and the send queue's own descriptor of a
// file range being sent; the rest is kept for the listener and whatever the library opens.
std::size_t RaiseDescriptorLimit()
{
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return 256;
    if (rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &rl);
        ::getrlimit(RLIMIT_NOFILE, &rl);
    }
    const rlim_t usable = rl.rlim_cur > 64 ? rl.rlim_cur - 64 : 0;
    return static_cast<std::size_t>(std::min<rlim_t>(usable / 4, 4000));
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string defaultRoot = DefaultRoot();
    std::string root = defaultRoot;
    std::string listen = "127.0.0.1:8642";
    std::vector<TAccount> accounts;
    TServerOptions options;
    try {
        for (int i = 1; i < argc; ++i) {
            std::string arg = argv[i];
            auto value = [&]() -> std::string {
                if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
                return argv[++i];
            };
            if (arg == "--root") root = value();
            else if (arg == "--listen") listen = value();
            else if (arg == "--account") {
                TAccount a;
                if (!ParseAccount(value(), a)) throw std::invalid_argument("--account wants NAME:PASSWORD");
                accounts.push_back(a);
            } else if (arg == "--accounts") {
                for (const TAccount& a : LoadAccounts(value())) accounts.push_back(a);
            } else if (arg == "--rate") {
                std::string v = value();
                std::size_t used = 0;
                options.Rate = std::stoull(v, &used);
                if (used != v.size() || v[0] == '-') throw std::invalid_argument("--rate wants a number of bytes");
            } else if (arg == "--help" || arg == "-h") {
                Usage(defaultRoot);
                return 0;
            } else {
                throw std::invalid_argument("unknown option " + arg);
            }
        }
        std::size_t colon = listen.rfind(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == listen.size())
            throw std::invalid_argument("--listen wants ADDR:PORT");
        options.Address = listen.substr(0, colon);
        options.Port = listen.substr(colon + 1);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kora-server: %s\n", e.what());
        Usage(defaultRoot);
        return 2;
    }

    // The signals arrive as a descriptor the queue watches, so the loop ends normally.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &stop, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    int sfd = ::signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK);
    if (sfd < 0) {
        std::perror("kora-server: signalfd");
        return 1;
    }

    options.MaxClients = RaiseDescriptorLimit();
    options.Log = [](const std::string& line) {
        std::cout << line << std::endl;
    };
    try {
        TKoraService service(root, accounts);
        TKoraServer server(service, options);
        server.Start();
        std::cout << "kora-server: serving " << service.Root() << " on http://" << options.Address << ":" << server.Port()
                  << "/ (" << accounts.size() << " account(s), at most " << options.MaxClients << " clients)" << std::endl;
        kapo::MessageQueue& q = kapo::MessageQueue::Current();
        q.Watch(sfd, EPOLLIN, [sfd](std::uint32_t) {
            signalfd_siginfo si;
            while (::read(sfd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) kapo::PostQuitMessage(0);
        });
        q.Run();
        q.Unwatch(sfd);
        std::cout << "kora-server: stopped" << std::endl;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kora-server: %s\n", e.what());
        ::close(sfd);
        return 1;
    }
    ::close(sfd);
    return 0;
}
