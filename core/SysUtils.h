// Run-time basics: the exception family, formatting, text and file helpers.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kapo {

class TObject {
public:
    virtual ~TObject() = default;
};

// Root of every failure the program raises; carries the message text.
class Exception : public std::exception {
public:
    explicit Exception(std::string msg) : FMessage(std::move(msg)) {}
    const std::string& Message() const { return FMessage; }
    void SetMessage(std::string msg) { FMessage = std::move(msg); }
    const char* what() const noexcept override { return FMessage.c_str(); }

private:
    std::string FMessage;
};

// I/O failure of the run time; the message follows the system error code.
class EInOutError : public Exception {
public:
    explicit EInOutError(int code);
    int ErrorCode() const { return FErrorCode; }
    static std::string TextOf(int code);

private:
    int FErrorCode;
};

class EStreamError : public Exception { using Exception::Exception; };
class EFOpenError : public EStreamError { using EStreamError::EStreamError; };    // "Cannot open file %s"
class EFCreateError : public EStreamError { using EStreamError::EStreamError; };  // "Cannot create file %s"
class EReadError : public EStreamError { using EStreamError::EStreamError; };
class EWriteError : public EStreamError { using EStreamError::EStreamError; };
class EInvalidOperation : public Exception { using Exception::Exception; };
class ERangeError : public Exception {
public:
    ERangeError() : Exception("Range check error") {}
    using Exception::Exception;
};
class EListError : public Exception { using Exception::Exception; };
class EStringListError : public EListError { using EListError::EListError; };
class EConvertError : public Exception { using Exception::Exception; };
class EOutOfResources : public Exception { using Exception::Exception; };

// An argument of Format: a whole number or a text.
using TFormatArg = std::variant<std::int64_t, std::string>;

std::string FormatArgs(std::string_view fmt, const std::vector<TFormatArg>& args);

// printf-like formatting for %d %u %x %X %s %%, with flags "-", width and precision
// ("%2.2d" pads a number to two digits). A missing or mistyped argument raises EConvertError.
template <typename... Args>
std::string Format(std::string_view fmt, const Args&... args)
{
    std::vector<TFormatArg> v;
    v.reserve(sizeof...(Args));
    auto add = [&v](const auto& a) {
        using A = std::decay_t<decltype(a)>;
        if constexpr (std::is_integral_v<A> || std::is_enum_v<A>)
            v.emplace_back(static_cast<std::int64_t>(a));
        else
            v.emplace_back(std::string(a));
    };
    (add(args), ...);
    return FormatArgs(fmt, v);
}

std::string Trim(std::string_view s);  // drops leading and trailing bytes <= ' '
std::string UpperCase(std::string_view s);  // ASCII letters only
std::string LowerCase(std::string_view s);
std::string AnsiUpperCase(std::string_view s);  // locale-aware for UTF-8 text
std::string AnsiLowerCase(std::string_view s);
int CompareText(std::string_view a, std::string_view b);  // ASCII, case-insensitive
bool SameText(std::string_view a, std::string_view b);
int AnsiCompareText(std::string_view a, std::string_view b);  // locale order, case-insensitive

std::string IntToStr(std::int64_t v);
int StrToInt(std::string_view s);  // raises EConvertError
// False when the text is not a whole number that fits.
bool TryStrToInt(std::string_view s, int& out);

// Position (from 1) of sub in s, 0 when absent.
std::size_t Pos(std::string_view sub, std::string_view s);
// Characters from position index (from 1), count of them; clipped to the text.
std::string Copy(std::string_view s, std::int64_t index, std::int64_t count);

bool FileExists(const std::string& name);       // an existing non-directory
bool DirectoryExists(const std::string& name);
bool DeleteFile(const std::string& name);  // false when it could not be removed
std::string ExtractFilePath(const std::string& name);  // up to and including the last '/'
std::string GetCurrentDir();
std::string IncludeTrailingPathDelimiter(const std::string& s);

}  // namespace kapo
