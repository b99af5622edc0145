// Address splitting on arbitrary text: never crashes, host, port and path are pieces of the
// address, user and password (percent-decoded) are never longer than it, and all six are set
// whatever they held before.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "net/HttpProt.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string url(reinterpret_cast<const char*>(data), size);
    std::string proto = "x", user = "x", pass = "x", host = "x", port = "x", path = "x";
    kapo::ParseURL(url, proto, user, pass, host, port, path);
    // The scheme may come in lower case, or be "http" by default.
    auto lower = [](std::string t) {
        for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return t;
    };
    if (proto != "http" && lower(url).find(lower(proto)) == std::string::npos) {
        std::fprintf(stderr, "the scheme is not part of the address\n");
        std::abort();
    }
    if (user.size() + pass.size() > url.size()) {
        std::fprintf(stderr, "user and password are longer than the address\n");
        std::abort();
    }
    for (const std::string* part : {&host, &port, &path}) {
        if (url.find(*part) == std::string::npos) {
            std::fprintf(stderr, "a part is not a piece of the address\n");
            std::abort();
        }
    }
    std::string again[6];
    kapo::ParseURL(url, again[0], again[1], again[2], again[3], again[4], again[5]);
    if (again[0] != proto || again[1] != user || again[2] != pass || again[3] != host || again[4] != port ||
        again[5] != path) {
        std::fprintf(stderr, "splitting the same address twice differs\n");
        std::abort();
    }
    return 0;
}
