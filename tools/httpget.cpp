// httpget: fetches one address into one file with the program's HTTP client, for trying the
// client against real servers and proxies.
//
//   httpget [--proxy HOST[:PORT]] [--user NAME --password SECRET] [--timeout SECONDS]
//           [--socks HOST:PORT[,LEVEL] [--socks-user NAME --socks-password SECRET]]
//           [--cacert FILE] URL FILE
//
// --socks goes through a SOCKS proxy of LEVEL 4, 4A or 5 (5 by default); --socks-user and
// --socks-password authenticate to a SOCKS5 proxy with user and password. An https address
// is checked against the system's certificates and those of the --cacert file; nothing turns
// the check off. The request ends as a failure after SECONDS without progress (60 by
// default, 0 for none).
// Prints "StatusCode ReasonPhrase" and then the count of body bytes received; exits 0 when
// the request succeeded, 1 with "code message" when the client raised, 2 on any other error.
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/Classes.h"
#include "core/SysUtils.h"
#include "net/HttpProt.h"

using namespace kapo;

namespace {

bool ParseSeconds(const char* Text, int& Value)
{
    const char* end = Text + std::strlen(Text);
    auto r = std::from_chars(Text, end, Value);
    return r.ec == std::errc() && r.ptr == end && Value >= 0;
}

int Usage()
{
    std::fprintf(stderr,
                 "usage: httpget [--proxy HOST[:PORT]] [--user NAME --password SECRET] [--timeout SECONDS]\n"
                 "               [--socks HOST:PORT[,LEVEL] [--socks-user NAME --socks-password SECRET]]\n"
                 "               [--cacert FILE] URL FILE\n");
    return 2;
}

// HOST:PORT[,LEVEL]; false when a part is missing or the level is not 4, 4A or 5.
bool ParseSocks(const std::string& Text, std::string& Host, std::string& Port, std::string& Level)
{
    std::string hostPort = Text;
    Level = "5";
    std::size_t comma = Text.find(',');
    if (comma != std::string::npos) {
        hostPort = Text.substr(0, comma);
        Level = UpperCase(Text.substr(comma + 1));
    }
    std::size_t colon = hostPort.rfind(':');
    if (colon == std::string::npos) return false;
    Host = hostPort.substr(0, colon);
    Port = hostPort.substr(colon + 1);
    return !Host.empty() && !Port.empty() && (Level == "4" || Level == "4A" || Level == "5");
}

}  // namespace

int main(int argc, char** argv)
{
    std::string proxy, user, password, url, file, cacert;
    std::string socks, socksUser, socksPassword;
    bool havePassword = false, haveSocksPassword = false;
    int timeout = 60;
    int positional = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "--proxy" && hasValue) {
            proxy = argv[++i];
        } else if (a == "--user" && hasValue) {
            user = argv[++i];
        } else if (a == "--password" && hasValue) {
            password = argv[++i];
            havePassword = true;
        } else if (a == "--socks" && hasValue) {
            socks = argv[++i];
        } else if (a == "--socks-user" && hasValue) {
            socksUser = argv[++i];
        } else if (a == "--socks-password" && hasValue) {
            socksPassword = argv[++i];
            haveSocksPassword = true;
        } else if (a == "--cacert" && hasValue) {
            cacert = argv[++i];
        } else if (a == "--timeout" && hasValue) {
            if (!ParseSeconds(argv[++i], timeout)) return Usage();
        } else if (a.rfind("--", 0) == 0) {
            return Usage();
        } else if (positional == 0) {
            url = a;
            ++positional;
        } else if (positional == 1) {
            file = a;
            ++positional;
        } else {
            return Usage();
        }
    }
    if (positional != 2 || user.empty() != !havePassword) return Usage();
    std::string socksHost, socksPort, socksLevel;
    if (!socks.empty() && !ParseSocks(socks, socksHost, socksPort, socksLevel)) return Usage();
    if (socksUser.empty() != !haveSocksPassword) return Usage();
    // User and password exist only in SOCKS5.
    if (!socksUser.empty() && (socks.empty() || socksLevel != "5")) return Usage();

    try {
        THttpCli cli;
        cli.SetURL(url);
        cli.SetProxy(proxy);
        cli.SetUsername(user);
        cli.SetPassword(password);
        cli.SetTimeout(timeout);
        cli.SetSocksServer(socksHost);
        cli.SetSocksPort(socksPort);
        if (!socks.empty()) cli.SetSocksLevel(socksLevel);
        if (!socksUser.empty()) {
            cli.SetSocksUsercode(socksUser);
            cli.SetSocksPassword(socksPassword);
            cli.SetSocksAuthentication(socksAuthenticateUsercode);
        }
        cli.SetCaFile(cacert);
        TFileStream out(file, fmCreate);
        cli.SetRcvdStream(&out);
        try {
            cli.Get();
        } catch (const EHttpException& e) {
            std::printf("%u %s\n", static_cast<unsigned>(e.ErrorCode()), e.Message().c_str());
            return 1;
        }
        std::printf("%d %s\n%d\n", cli.StatusCode(), cli.ReasonPhrase().c_str(), cli.RcvdCount());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "httpget: %s\n", e.what());
        return 2;
    }
}
