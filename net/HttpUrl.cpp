// Address, reference, Base64 and date helpers of the HTTP client: plain functions on strings.
#include "net/HttpUrl.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <utility>

#include "core/SysUtils.h"

namespace kapo {

bool IsSchemeName(const std::string& s)
{
    if (s.empty() || !std::isalpha(static_cast<unsigned char>(s[0]))) return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
    });
}

std::string DefaultPort(const std::string& Scheme)
{
    return SameText(Scheme, "https") ? "443" : "80";
}

bool HasLineBreakOrNul(const std::string& s)
{
    return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

namespace {

// Characters of s after position k (from 1).
std::string After(const std::string& s, std::size_t k)
{
    return k >= s.size() ? std::string() : s.substr(k);
}

// Characters of s before position k (from 1).
std::string BeforePos(const std::string& s, std::size_t k)
{
    return s.substr(0, k > 0 ? k - 1 : 0);
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool StartsEscape(const std::string& s, std::size_t i)
{
    return i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0;
}

}  // namespace

void ParseURL(const std::string& URL, std::string& Proto, std::string& User, std::string& Pass,
              std::string& Host, std::string& Port, std::string& Path)
{
    Proto.clear();
    User.clear();
    Pass.clear();
    Host.clear();
    Port.clear();
    Path.clear();
    if (URL.empty()) return;

    std::size_t k = 0;  // the authority starts after position k (from 1)
    std::size_t p = Pos("://", URL);
    // "host/p?next=http://x" names no scheme: what stands before "://" must be a scheme's name.
    if (p > 0 && IsSchemeName(URL.substr(0, p - 1))) {
        Proto = URL.substr(0, p - 1);
        k = p + 2;
    } else if (URL[0] == '/') {
        Proto = "http";
        k = 1;
        if (URL.size() > 1 && URL[1] != '/') {
            Path = URL;
            return;
        }
    } else if (LowerCase(URL.substr(0, 5)) == "http:") {
        Proto = "http";
        k = 6;
        if (URL.size() > 6 && URL[6] != '/') {
            Path = URL.substr(5);
            return;
        }
    } else if (LowerCase(URL.substr(0, 7)) == "mailto:") {
        Proto = "mailto";
        k = Pos(":", URL);
    }

    std::string rest = After(URL, k);
    // An "@" or ":" in the query or the fragment belongs to neither user nor host.
    std::size_t end = rest.find_first_of("/?#");
    if (end != std::string::npos) {
        Path = rest.substr(end);
        rest.resize(end);
    }

    std::size_t colon = LastPos(":", rest);
    std::size_t at = LastPos("@", rest);
    if (colon == 0 && at == 0) {
        Host = rest;
        return;
    }
    if (at < colon) {
        Port = After(rest, colon);
        Host = rest.substr(at, colon - at - 1);
        if (at == 0) return;
        rest = BeforePos(rest, at);
    } else {
        Host = After(rest, at);
        rest = BeforePos(rest, at);
    }
    std::size_t q = rest.find(':');
    if (q != std::string::npos) {
        User = PercentDecode(rest.substr(0, q));
        Pass = PercentDecode(rest.substr(q + 1));
    } else {
        User = PercentDecode(rest);
    }
}

TProxyAddress ParseProxyAddress(const std::string& Text)
{
    TProxyAddress out;
    std::string proto, path;
    ParseURL(Trim(Text), proto, out.User, out.Password, out.Host, out.Port, path);
    proto = LowerCase(proto);
    // Moved in from a new string: g++ 12 at -O3 warns with a false overlap about assigning a
    // literal to the empty field.
    static const std::pair<const char*, const char*> kLevels[] = {{"socks5", "5"}, {"socks4a", "4A"}, {"socks4", "4"}};
    for (const auto& [scheme, level] : kLevels)
        if (proto == scheme) {
            out.SocksLevel = std::string(level);
            break;
        }
    return out;
}

std::string HideProxyPassword(const std::string& Text)
{
    std::size_t scheme = Text.find("://");
    std::size_t from = scheme == std::string::npos ? 0 : scheme + 3;
    std::size_t end = std::min(Text.find_first_of("/?#", from), Text.size());
    std::size_t at = Text.rfind('@', end == 0 ? 0 : end - 1);
    std::size_t colon = Text.find(':', from);
    if (at == std::string::npos || at < from || colon == std::string::npos || colon > at) return Text;
    std::string out = Text.substr(0, colon + 1);
    // One mark per character: a UTF-8 sequence's continuation bytes add none.
    for (std::size_t i = colon + 1; i < at; ++i)
        if ((static_cast<unsigned char>(Text[i]) & 0xC0) != 0x80) out += '*';
    return out + Text.substr(at);
}

std::string PercentDecode(const std::string& S)
{
    std::string out;
    out.reserve(S.size());
    for (std::size_t i = 0; i < S.size(); ++i) {
        if (S[i] == '%' && StartsEscape(S, i)) {
            out += static_cast<char>(HexValue(S[i + 1]) * 16 + HexValue(S[i + 2]));
            i += 2;
        } else {
            out += S[i];
        }
    }
    return out;
}

// "a/./b/../c" to "a/c": "." and ".." segments are taken out, never climbing above the root.
std::string RemoveDotSegments(std::string in)
{
    std::string out;
    while (!in.empty()) {
        if (in.compare(0, 3, "../") == 0) in.erase(0, 3);
        else if (in.compare(0, 2, "./") == 0) in.erase(0, 2);
        else if (in.compare(0, 3, "/./") == 0) in.erase(0, 2);
        else if (in == "/.") in = "/";
        else if (in.compare(0, 4, "/../") == 0 || in == "/..") {
            in = in.size() == 3 ? std::string("/") : in.substr(3);
            std::size_t slash = out.rfind('/');
            out.resize(slash == std::string::npos ? 0 : slash);
        } else if (in == "." || in == "..") {
            in.clear();
        } else {
            std::size_t next = in.find('/', 1);
            out += in.substr(0, next);
            in.erase(0, next == std::string::npos ? in.size() : next);
        }
    }
    return out;
}

std::string RequestTargetOf(const std::string& Path)
{
    std::string path = Path.substr(0, Path.find('#'));
    // Appended to a new "/" rather than inserted at the front: g++ 12 at -O3 warns about
    // std::string::insert at position 0 with a false overlap.
    if (path.empty() || path[0] == '?') path = std::string("/").append(path);
    std::size_t query = std::min(path.find('?'), path.size());
    if (path[0] == '/') path = RemoveDotSegments(path.substr(0, query)) + path.substr(query);
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        auto c = static_cast<unsigned char>(path[i]);
        // Other printable bytes go as given: servers read them so, and an encoded "{" might
        // name another document.
        bool plain = c > 32 && c < 127 && (c != '%' || StartsEscape(path, i));
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::size_t LastPos(const std::string& Sub, const std::string& S)
{
    if (Sub.empty() || Sub.size() > S.size()) return 0;
    std::size_t p = S.rfind(Sub);
    return p == std::string::npos ? 0 : p + 1;
}

std::string EncodeBase64(const std::string& S)
{
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((S.size() + 2) / 3 * 4);
    // Three bytes make four characters; a short last group is padded with "=".
    for (std::size_t i = 0; i < S.size(); i += 3) {
        std::size_t n = std::min<std::size_t>(3, S.size() - i);
        std::uint32_t v = 0;
        for (std::size_t j = 0; j < 3; ++j) v = v << 8 | (j < n ? std::uint8_t(S[i + j]) : 0u);
        for (std::size_t j = 0; j < 4; ++j) out += j <= n ? kAlphabet[(v >> (18 - 6 * j)) & 63] : '=';
    }
    return out;
}

std::string HttpDateText(TDateTime DT)
{
    static const char kDays[] = "MonTueWedThuFriSatSun";
    static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    constexpr std::int64_t kMsPerDay = 86400000;
    if (!std::isfinite(DT) || std::fabs(DT) > 1e7) throw EConvertError("Invalid date");

    // Round to the millisecond first, so that 23:59:59.9999 is the next day's midnight. Before
    // the epoch the whole part counts days back and the fraction is still a time of day.
    std::int64_t ms = std::llround(DT * double(kMsPerDay));
    std::int64_t days = ms / kMsPerDay;
    std::int64_t time = (ms < 0 ? -ms : ms) % kMsPerDay;
    // 0001-01-01 and 9999-12-31: the years that fit the four-digit field.
    if (days < -693593 || days > 2958465) throw EConvertError("Invalid date");

    // Day 2 (1900-01-01) is a Monday; days before it need a floored remainder.
    std::int64_t weekday = ((days - 2) % 7 + 7) % 7;

    // Civil date from a day count (1970-01-01 is day 25569 here).
    std::int64_t z = days - 25569 + 719468;
    std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    std::int64_t doe = z - era * 146097;
    std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    std::int64_t mp = (5 * doy + 2) / 153;
    std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);

    std::int64_t secs = time / 1000;
    return std::string(kDays + weekday * 3, 3) + ", " +
           Format("%2.2d %s %4.4d %2.2d:%2.2d:%2.2d", day, std::string(kMonths + (month - 1) * 3, 3), year,
                  secs / 3600, secs / 60 % 60, secs % 60);
}

void ReplaceExt(std::string& Name, const std::string& Ext)
{
    std::size_t d = LastPos(".", Name);
    if (d > 0) Name = Name.substr(0, d) + Ext;
    else Name += "." + Ext;
}

namespace {

// The five parts of a reference; "has" tells an empty part from an absent one.
struct TReference {
    bool HasScheme = false, HasAuthority = false, HasQuery = false;
    std::string Scheme, Authority, Path, Query;
};

TReference SplitReference(const std::string& s)
{
    TReference r;
    std::string rest = s.substr(0, s.find('#'));
    std::size_t colon = rest.find(':');
    if (colon != std::string::npos && colon < rest.find_first_of("/?") && IsSchemeName(rest.substr(0, colon))) {
        r.HasScheme = true;
        r.Scheme = LowerCase(rest.substr(0, colon));
        rest.erase(0, colon + 1);
    }
    if (rest.compare(0, 2, "//") == 0) {
        std::size_t end = rest.find_first_of("/?", 2);
        r.HasAuthority = true;
        r.Authority = rest.substr(2, end == std::string::npos ? std::string::npos : end - 2);
        rest.erase(0, end == std::string::npos ? rest.size() : end);
    }
    std::size_t q = rest.find('?');
    if (q != std::string::npos) {
        r.HasQuery = true;
        r.Query = rest.substr(q + 1);
        rest.resize(q);
    }
    r.Path = rest;
    return r;
}

}  // namespace

std::string ResolveReference(const std::string& Base, const std::string& Ref)
{
    TReference b = SplitReference(Base), r = SplitReference(Ref), t;
    // "http:/path" on an http page is read as "/path", as browsers do.
    if (r.HasScheme && !r.HasAuthority && r.Scheme == b.Scheme) r.HasScheme = false;
    if (r.HasScheme) {
        t = r;
        t.Path = RemoveDotSegments(r.Path);
    } else {
        t.HasScheme = true;
        t.Scheme = b.Scheme;
        if (r.HasAuthority) {
            t.HasAuthority = true;
            t.Authority = r.Authority;
            t.Path = RemoveDotSegments(r.Path);
            t.HasQuery = r.HasQuery;
            t.Query = r.Query;
        } else {
            t.HasAuthority = b.HasAuthority;
            t.Authority = b.Authority;
            if (r.Path.empty()) {
                t.Path = b.Path;
                t.HasQuery = r.HasQuery || b.HasQuery;
                t.Query = r.HasQuery ? r.Query : b.Query;
            } else {
                if (r.Path[0] == '/') {
                    t.Path = RemoveDotSegments(r.Path);
                } else {
                    // Merged with the base's folder; an authority with no path has the root.
                    std::size_t slash = b.Path.rfind('/');
                    std::string folder = b.HasAuthority && b.Path.empty()
                                             ? std::string("/")
                                             : (slash == std::string::npos ? std::string() : b.Path.substr(0, slash + 1));
                    t.Path = RemoveDotSegments(folder + r.Path);
                }
                t.HasQuery = r.HasQuery;
                t.Query = r.Query;
            }
        }
    }
    std::string out = t.Scheme + ":";
    if (t.HasAuthority) out += "//" + t.Authority;
    out += t.Path;
    if (t.HasQuery) out += "?" + t.Query;
    return out;
}

}  // namespace kapo
