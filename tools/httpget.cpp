// httpget: fetches one address into one file with the program's HTTP client, for trying the
// client against real servers and proxies.
//
//   httpget [--proxy HOST[:PORT]] [--user NAME --password SECRET] [--timeout SECONDS] URL FILE
//
// The request ends as a failure after SECONDS without progress (60 by default, 0 for none).
// Prints "StatusCode ReasonPhrase" and then the count of body bytes received; exits 0 when
// the request succeeded, 1 with "code message" when the client raised, 2 on any other error.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/Classes.h"
#include "core/SysUtils.h"
#include "net/HttpProt.h"

using namespace kapo;

namespace {

int Usage()
{
    std::fprintf(stderr, "usage: httpget [--proxy HOST[:PORT]] [--user NAME --password SECRET] [--timeout SECONDS] URL FILE\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string proxy, user, password, url, file;
    bool havePassword = false;
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
        } else if (a == "--timeout" && hasValue) {
            try {
                timeout = StrToInt(argv[++i]);
            } catch (const EConvertError&) {
                return Usage();
            }
            if (timeout < 0) return Usage();
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

    try {
        THttpCli cli;
        cli.SetURL(url);
        cli.SetProxy(proxy);
        cli.SetUsername(user);
        cli.SetPassword(password);
        cli.SetTimeout(timeout);
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
