#include "KoraService.h"

#include <sys/stat.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
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
    case 206: return "Partial Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 416: return "Range Not Satisfiable";
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
    const std::string name = line.substr(0, colon);
    if (EqualNoCase(name, "Authorization")) head.Authorization = Trim(line.substr(colon + 1));
    else if (EqualNoCase(name, "Range")) head.Range = Trim(line.substr(colon + 1));
}

namespace {

// Digits only, without overflow; false for anything else, the empty text included.
bool ParseOffset(const std::string& text, std::uint64_t& value)
{
    if (text.empty() || text.size() > 19) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
}

// An HTTP date: "Sun, 06 Nov 1994 08:49:37 GMT", in English whatever the locale.
std::string HttpDate(std::int64_t seconds)
{
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const time_t t = static_cast<time_t>(seconds);
    struct tm tm {};
    ::gmtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[tm.tm_wday], tm.tm_mday,
                  months[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

}  // namespace

void ApplyRange(const std::string& range, TReply& reply)
{
    if (reply.Status != 200 || reply.Path.empty()) return;
    if (!EqualNoCase(range.substr(0, 6), "bytes=")) return;
    const std::string bounds = Trim(range.substr(6));
    const std::size_t dash = bounds.find('-');
    if (dash == std::string::npos || bounds.find(',') != std::string::npos) return;
    const std::string a = Trim(bounds.substr(0, dash)), b = Trim(bounds.substr(dash + 1));
    const std::uint64_t size = reply.FileSize;
    std::uint64_t first = 0, last = size ? size - 1 : 0, n = 0;
    if (a.empty()) {
        // The last N bytes.
        if (!ParseOffset(b, n)) return;
        if (n == 0 || size == 0) {
            first = size;
        } else {
            first = n >= size ? 0 : size - n;
        }
    } else {
        if (!ParseOffset(a, first)) return;
        if (!b.empty()) {
            if (!ParseOffset(b, last) || last < first) return;
            if (size) last = std::min(last, size - 1);
        }
    }
    if (first >= size) {
        TReply refused = TKoraService::Error(416);
        refused.FileSize = size;
        reply = refused;
        return;
    }
    reply.Status = 206;
    reply.Reason = ReasonOf(206);
    reply.Offset = first;
    reply.Length = last - first + 1;
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
    r.Length = r.FileSize = static_cast<std::uint64_t>(st.st_size);
    r.Modified = static_cast<std::int64_t>(st.st_mtime);
    r.ContentType = ContentTypeOf(real);
    // Ranges of a plain GET only: a HEAD describes the whole file.
    if (head.Method == "GET" && !head.Range.empty()) ApplyRange(head.Range, r);
    return r;
}

std::string TKoraService::ResponseHead(const TReply& reply)
{
    std::string h = "HTTP/1.0 " + std::to_string(reply.Status) + " " + reply.Reason + "\r\n";
    h += "Server: kora-server\r\n";
    h += "Content-Type: " + reply.ContentType + "\r\n";
    h += "Content-Length: " + std::to_string(reply.Length) + "\r\n";
    if (!reply.Path.empty()) h += "Accept-Ranges: bytes\r\n";
    if (reply.Status == 206)
        h += "Content-Range: bytes " + std::to_string(reply.Offset) + "-" +
             std::to_string(reply.Offset + reply.Length - 1) + "/" + std::to_string(reply.FileSize) + "\r\n";
    if (reply.Status == 416) h += "Content-Range: bytes */" + std::to_string(reply.FileSize) + "\r\n";
    if (reply.Modified >= 0) h += "Last-Modified: " + HttpDate(reply.Modified) + "\r\n";
    if (reply.Challenge) h += "WWW-Authenticate: Basic realm=\"KORA club\"\r\n";
    h += "Connection: close\r\n\r\n";
    return h;
}

}  // namespace kora
