// Helpers shared by the files of the HTTP client; not part of its interface.
#pragma once

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "net/HttpProt.h"

namespace kapo::httpdetail {

constexpr int kUsableBuffer = 8192;  // the last byte of the receive buffer stays a 0
// Most body bytes one read takes: large pieces keep the calls per byte low.
constexpr int kBodyPiece = 256 * 1024;

inline std::string ErrorText(int Error)
{
    return WinsockErrorText(Error) + " (Error #" + IntToStr(Error) + ")";
}

inline int Clamp32(std::int64_t v)
{
    return v > INT32_MAX ? INT32_MAX : (v < INT32_MIN ? INT32_MIN : static_cast<int>(v));
}

// A decimal number of any size a length can have; raises EConvertError like StrToInt.
inline std::int64_t StrToInt64(const std::string& s)
{
    std::string t = Trim(s);
    const char* b = t.data();
    const char* e = b + t.size();
    if (b != e && *b == '+') ++b;
    std::int64_t v = 0;
    auto r = std::from_chars(b, e, v);
    if (t.empty() || r.ec != std::errc() || r.ptr != e)
        throw EConvertError(Format("'%s' is not a valid integer value", s));
    return v;
}

// A CR or LF would end a request line early and start one of the sender's choosing.
inline bool HasLineBreakOrNul(const std::string& s)
{
    return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

inline std::string SystemErrorText(int err)
{
    char buf[256];
    return ::strerror_r(err, buf, sizeof buf);
}

// The items of a comma-separated field value, trimmed, empty ones left out.
inline std::vector<std::string> SplitCommas(const std::string& Value)
{
    std::vector<std::string> out;
    std::size_t from = 0;
    while (from <= Value.size()) {
        std::size_t comma = std::min(Value.find(',', from), Value.size());
        std::string item = Trim(Value.substr(from, comma - from));
        if (!item.empty()) out.push_back(item);
        from = comma + 1;
    }
    return out;
}

// A letter, then letters, digits, "+", "-" or ".": what may stand before "://" or ":".
inline bool IsSchemeName(const std::string& s)
{
    if (s.empty() || !std::isalpha(static_cast<unsigned char>(s[0]))) return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
    });
}

// The port a scheme's addresses use when they name none.
inline std::string DefaultPort(const std::string& Scheme)
{
    return SameText(Scheme, "https") ? "443" : "80";
}

inline bool IsTlsError(int Error)
{
    return Error == tlserrHandshake || Error == tlserrTruncated;
}

// Statuses whose responses never carry a body, whatever their length field says.
inline bool StatusHasBody(int Status)
{
    return !(Status >= 100 && Status < 200) && Status != 204 && Status != 304;
}

}  // namespace kapo::httpdetail
