#include "core/SysUtils.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <clocale>
#include <climits>
#include <cstring>
#include <cwchar>
#include <cwctype>

namespace kapo {

std::string EInOutError::TextOf(int code)
{
    switch (code) {
    case 2: return "File not found";
    case 3: return "Invalid filename";
    case 4: return "Too many open files";
    case 5: return "File access denied";
    default: return Format("I/O error %d", code);
    }
}

EInOutError::EInOutError(int code) : Exception(TextOf(code)), FErrorCode(code) {}

namespace {

std::string pad(std::string body, int width, bool left)
{
    if (width > 0 && static_cast<int>(body.size()) < width) {
        std::string fill(static_cast<std::size_t>(width) - body.size(), ' ');
        body = left ? body + fill : fill + body;
    }
    return body;
}

std::string formatInteger(std::int64_t v, char conv, int prec)
{
    bool neg = false;
    std::uint64_t u;
    if (conv == 'd' && v < 0) {
        neg = true;
        u = static_cast<std::uint64_t>(-(v + 1)) + 1;
    } else if (conv == 'd') {
        u = static_cast<std::uint64_t>(v);
    } else {
        // Unsigned and hexadecimal forms show the 32-bit value, as the texts expect.
        u = static_cast<std::uint32_t>(v);
    }
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, u, (conv == 'x' || conv == 'X') ? 16 : 10);
    std::string digits(buf, r.ptr);
    if (conv == 'X')
        for (auto& c : digits) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (prec > 0 && static_cast<int>(digits.size()) < prec)
        digits.insert(0, static_cast<std::size_t>(prec) - digits.size(), '0');
    return neg ? "-" + digits : digits;
}

}  // namespace

std::string FormatArgs(std::string_view fmt, const std::vector<TFormatArg>& args)
{
    std::string out;
    std::size_t next = 0;
    for (std::size_t i = 0; i < fmt.size(); ++i) {
        char c = fmt[i];
        if (c != '%') {
            out += c;
            continue;
        }
        if (++i >= fmt.size())
            throw EConvertError(Format("Format '%s' invalid or incompatible with argument", std::string(fmt)));
        if (fmt[i] == '%') {
            out += '%';
            continue;
        }
        bool left = false;
        if (fmt[i] == '-') {
            left = true;
            ++i;
        }
        int width = 0, prec = -1;
        while (i < fmt.size() && std::isdigit(static_cast<unsigned char>(fmt[i])))
            width = width * 10 + (fmt[i++] - '0');
        if (i < fmt.size() && fmt[i] == '.') {
            prec = 0;
            ++i;
            while (i < fmt.size() && std::isdigit(static_cast<unsigned char>(fmt[i])))
                prec = prec * 10 + (fmt[i++] - '0');
        }
        if (i >= fmt.size() || next >= args.size())
            throw EConvertError(Format("Format '%s' invalid or incompatible with argument", std::string(fmt)));
        char conv = fmt[i];
        const TFormatArg& a = args[next++];
        switch (conv) {
        case 'd': case 'u': case 'x': case 'X':
            if (!std::holds_alternative<std::int64_t>(a))
                throw EConvertError(Format("Format '%s' invalid or incompatible with argument", std::string(fmt)));
            out += pad(formatInteger(std::get<std::int64_t>(a), conv, prec), width, left);
            break;
        case 's': {
            if (!std::holds_alternative<std::string>(a))
                throw EConvertError(Format("Format '%s' invalid or incompatible with argument", std::string(fmt)));
            std::string s = std::get<std::string>(a);
            if (prec >= 0 && static_cast<std::size_t>(prec) < s.size()) s.resize(static_cast<std::size_t>(prec));
            out += pad(s, width, left);
            break;
        }
        default:
            throw EConvertError(Format("Format '%s' invalid or incompatible with argument", std::string(fmt)));
        }
    }
    return out;
}

std::string Trim(std::string_view s)
{
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return std::string(s.substr(b, e - b));
}

std::string UpperCase(std::string_view s)
{
    std::string r(s);
    for (auto& c : r)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return r;
}

std::string LowerCase(std::string_view s)
{
    std::string r(s);
    for (auto& c : r)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return r;
}

namespace {

// Converts UTF-8 text through wide characters; bytes that do not decode pass unchanged.
template <typename F>
std::string mapWide(std::string_view s, F f)
{
    std::string out;
    std::mbstate_t st{};
    std::size_t i = 0;
    while (i < s.size()) {
        wchar_t wc;
        std::size_t n = std::mbrtowc(&wc, s.data() + i, s.size() - i, &st);
        if (n == static_cast<std::size_t>(-1) || n == static_cast<std::size_t>(-2) || n == 0) {
            out += s[i++];
            st = {};
            continue;
        }
        char buf[MB_LEN_MAX];
        std::mbstate_t st2{};
        std::size_t m = std::wcrtomb(buf, static_cast<wchar_t>(f(static_cast<wint_t>(wc))), &st2);
        if (m == static_cast<std::size_t>(-1))
            out.append(s.data() + i, n);
        else
            out.append(buf, m);
        i += n;
    }
    return out;
}

bool utf8Locale()
{
    const char* cs = std::setlocale(LC_CTYPE, nullptr);
    return cs && std::strcmp(cs, "C") != 0 && std::strcmp(cs, "POSIX") != 0;
}

}  // namespace

std::string AnsiUpperCase(std::string_view s)
{
    return utf8Locale() ? mapWide(s, [](wint_t c) { return std::towupper(c); }) : UpperCase(s);
}

std::string AnsiLowerCase(std::string_view s)
{
    return utf8Locale() ? mapWide(s, [](wint_t c) { return std::towlower(c); }) : LowerCase(s);
}

int CompareText(std::string_view a, std::string_view b)
{
    std::string la = LowerCase(a), lb = LowerCase(b);
    return la < lb ? -1 : (la > lb ? 1 : 0);
}

bool SameText(std::string_view a, std::string_view b) { return CompareText(a, b) == 0; }

int AnsiCompareText(std::string_view a, std::string_view b)
{
    std::string la = AnsiLowerCase(a), lb = AnsiLowerCase(b);
    int r = std::strcoll(la.c_str(), lb.c_str());
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

std::string IntToStr(std::int64_t v) { return std::to_string(v); }

bool TryStrToInt(std::string_view s, int& out)
{
    std::string t = Trim(s);
    if (t.empty()) return false;
    const char* b = t.data();
    const char* e = b + t.size();
    if (*b == '+') ++b;
    int v = 0;
    auto r = std::from_chars(b, e, v);
    if (r.ec != std::errc() || r.ptr != e) return false;
    out = v;
    return true;
}

int StrToInt(std::string_view s)
{
    int v;
    if (!TryStrToInt(s, v))
        throw EConvertError(Format("'%s' is not a valid integer value", std::string(s)));
    return v;
}

std::size_t Pos(std::string_view sub, std::string_view s)
{
    if (sub.empty()) return 0;
    auto p = s.find(sub);
    return p == std::string_view::npos ? 0 : p + 1;
}

std::string Copy(std::string_view s, std::int64_t index, std::int64_t count)
{
    if (index < 1) index = 1;
    if (count <= 0 || index > static_cast<std::int64_t>(s.size())) return {};
    auto start = static_cast<std::size_t>(index - 1);
    return std::string(s.substr(start, static_cast<std::size_t>(count)));
}

bool FileExists(const std::string& name)
{
    struct stat st;
    return !name.empty() && ::stat(name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& name)
{
    struct stat st;
    return !name.empty() && ::stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool DeleteFile(const std::string& name) { return !name.empty() && ::unlink(name.c_str()) == 0; }

std::string ExtractFilePath(const std::string& name)
{
    auto p = name.rfind('/');
    return p == std::string::npos ? std::string() : name.substr(0, p + 1);
}

std::string GetCurrentDir()
{
    std::string buf(256, '\0');
    for (;;) {
        if (::getcwd(buf.data(), buf.size())) {
            buf.resize(std::strlen(buf.c_str()));
            return buf;
        }
        if (errno != ERANGE) return {};
        buf.resize(buf.size() * 2);
    }
}

std::string IncludeTrailingPathDelimiter(const std::string& s)
{
    return (!s.empty() && s.back() == '/') ? s : s + "/";
}

}  // namespace kapo
