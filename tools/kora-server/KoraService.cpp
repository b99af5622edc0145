#include "KoraService.h"

#include <sys/stat.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "net/HttpProt.h"

namespace kora {

namespace {

std::string Trim(const std::string& s)
{
    std::size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    std::size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool StartsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

bool EqualNoCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

// The real path of an existing entry; empty when it cannot be resolved.
std::string RealPath(const std::string& path)
{
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

std::string ContentTypeOf(const std::string& path)
{
    auto ends = [&](const char* ext) {
        std::string e(ext);
        return path.size() >= e.size() && EqualNoCase(path.substr(path.size() - e.size()), e);
    };
    if (ends(".txt")) return "text/plain";
    if (ends(".wav")) return "audio/wav";
    return "application/octet-stream";
}

const char* ReasonOf(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    default: return "Error";
    }
}

}  // namespace

bool ParseRequestLine(const std::string& line, TRequestHead& head)
{
    // The client sends names as the catalogue spells them, spaces included: the target is
    // everything between the first and the last space.
    std::size_t a = line.find(' ');
    if (a == std::string::npos || a == 0) return false;
    std::size_t b = line.rfind(' ');
    if (b <= a + 1) return false;
    head.Method = line.substr(0, a);
    head.Target = line.substr(a + 1, b - a - 1);
    head.Version = line.substr(b + 1);
    if (!StartsWith(head.Version, "HTTP/1.")) return false;
    for (char c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    return true;
}

void ParseHeaderField(const std::string& line, TRequestHead& head)
{
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) return;
    if (EqualNoCase(line.substr(0, colon), "Authorization")) head.Authorization = Trim(line.substr(colon + 1));
}

bool ParseAccount(const std::string& text, TAccount& account)
{
    std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    account.Name = text.substr(0, colon);
    account.Password = text.substr(colon + 1);
    return true;
}

std::vector<TAccount> LoadAccounts(const std::string& fileName)
{
    std::ifstream in(fileName, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read the accounts file " + fileName);
    std::vector<TAccount> out;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (Trim(line).empty() || line[0] == '#') continue;
        TAccount a;
        if (!ParseAccount(line, a))
            throw std::runtime_error(fileName + ":" + std::to_string(number) + ": not an account (NAME:PASSWORD)");
        out.push_back(a);
    }
    return out;
}

bool PercentDecode(const std::string& in, std::string& out)
{
    out.clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out += in[i];
            continue;
        }
        if (i + 2 >= in.size() || !std::isxdigit(static_cast<unsigned char>(in[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(in[i + 2])))
            return false;
        char c = static_cast<char>(std::stoi(in.substr(i + 1, 2), nullptr, 16));
        if (c == '\0') return false;
        out += c;
        i += 2;
    }
    return true;
}

bool TargetPath(const std::string& target, std::string& path)
{
    std::string t = target;
    if (EqualNoCase(t.substr(0, 7), "http://")) {
        std::size_t slash = t.find('/', 7);
        t = slash == std::string::npos ? "/" : t.substr(slash);
    }
    if (t.empty() || t[0] != '/') return false;
    std::size_t query = t.find('?');
    path = t.substr(0, query);
    return true;
}

TKoraService::TKoraService(const std::string& root, std::vector<TAccount> accounts)
{
    FRoot = RealPath(root);
    if (FRoot.empty()) throw std::runtime_error("cannot serve " + root + ": no such folder");
    for (const TAccount& a : accounts) FCredentials.push_back("Basic " + kapo::EncodeBase64(a.Name + ":" + a.Password));
}

bool TKoraService::Authorized(const std::string& authorization) const
{
    for (const std::string& c : FCredentials)
        if (c == authorization) return true;
    return false;
}

TReply TKoraService::Error(int status)
{
    TReply r;
    r.Status = status;
    r.Reason = ReasonOf(status);
    r.Body = std::to_string(status) + " " + r.Reason + "\n";
    r.Length = r.Body.size();
    r.ContentType = "text/plain";
    return r;
}

TReply TKoraService::Answer(const TRequestHead& head) const
{
    if (head.Method != "GET" && head.Method != "HEAD") return Error(405);
    std::string raw, path;
    if (!TargetPath(head.Target, raw) || !PercentDecode(raw, path)) return Error(400);
    // Every component must name an entry below the root: no "..", no ".", no empty names
    // (which "//" or a trailing "/" would make).
    std::string relative = path.substr(1);
    if (relative.empty()) return Error(404);
    std::size_t start = 0;
    while (start <= relative.size()) {
        std::size_t end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        std::string part = relative.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return Error(400);
        start = end + 1;
    }
    if (StartsWith(relative, "club/") && !Authorized(head.Authorization)) {
        TReply r = Error(401);
        r.Challenge = true;
        return r;
    }
    // Symbolic links may be used inside the folder, never to leave it.
    std::string real = RealPath(FRoot + "/" + relative);
    if (real.empty()) return Error(404);
    if (!StartsWith(real, FRoot + "/")) return Error(403);
    struct stat st;
    if (::stat(real.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return Error(404);
    TReply r;
    r.Status = 200;
    r.Reason = "OK";
    r.Path = real;
    r.Length = static_cast<std::uint64_t>(st.st_size);
    r.ContentType = ContentTypeOf(real);
    return r;
}

std::string TKoraService::ResponseHead(const TReply& reply)
{
    std::string h = "HTTP/1.0 " + std::to_string(reply.Status) + " " + reply.Reason + "\r\n";
    h += "Server: kora-server\r\n";
    h += "Content-Type: " + reply.ContentType + "\r\n";
    h += "Content-Length: " + std::to_string(reply.Length) + "\r\n";
    if (reply.Challenge) h += "WWW-Authenticate: Basic realm=\"KORA club\"\r\n";
    h += "Connection: close\r\n\r\n";
    return h;
}

}  // namespace kora
