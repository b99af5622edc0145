// What the demo service answers, apart from any socket: the request head's checks, the
// mapping of a request target to a file below the served folder, Basic authentication on the
// members' area, and the response head.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kora {

// Limits of a request head.
constexpr std::size_t MaxHeadBytes = 8192;
constexpr int MaxHeadLines = 100;

struct TRequestHead {
    std::string Method;
    std::string Target;   // as sent: origin form "/path" or absolute form "http://host/path"
    std::string Version;  // "HTTP/1.0", "HTTP/1.1"
    std::string Authorization;
    std::string Range;  // the Range field, as sent
};

// Parses the request line and keeps the header fields the service needs. False for a request
// that is not well formed (400).
bool ParseRequestLine(const std::string& line, TRequestHead& head);
void ParseHeaderField(const std::string& line, TRequestHead& head);

struct TAccount {
    std::string Name, Password;
};
// "NAME:PASSWORD"; false when there is no colon or the name is empty.
bool ParseAccount(const std::string& text, TAccount& account);
// One account per line of the file, "NAME:PASSWORD"; blank lines and lines starting with "#"
// are skipped. Raises std::runtime_error with the file name when it cannot be read or a line is
// not an account.
std::vector<TAccount> LoadAccounts(const std::string& fileName);

struct TReply {
    int Status = 200;
    std::string Reason;
    std::string Path;         // the file to send, for 200 and 206
    std::uint64_t Offset = 0;  // where in the file the body starts (206)
    std::uint64_t Length = 0;  // the body's length: the file's, the range's or Body's
    std::uint64_t FileSize = 0;
    std::int64_t Modified = -1;  // the file's time, seconds since 1970; -1 for none
    std::string ContentType;
    std::string Body;         // a short text body for errors
    bool Challenge = false;   // add WWW-Authenticate
};

class TKoraService {
public:
    // root: the served folder; it must exist.
    TKoraService(const std::string& root, std::vector<TAccount> accounts);

    // Decides the answer to a parsed request: the file to send, or an error.
    TReply Answer(const TRequestHead& head) const;
    // The response head for a reply (status line, fields, empty line).
    static std::string ResponseHead(const TReply& reply);
    // A reply with a short text body.
    static TReply Error(int status);

    const std::string& Root() const { return FRoot; }

private:
    bool Authorized(const std::string& authorization) const;

    std::string FRoot;  // resolved, without a trailing "/"
    std::vector<std::string> FCredentials;  // "Basic " + base64 of "name:password"
};

// Narrows a whole-file reply of a GET to the one byte range a Range field asks for
// ("bytes=A-B", "bytes=A-", "bytes=-N"): 206, or 416 for a range past the end. A field of any
// other form (another unit, several ranges) is ignored and the whole file is sent.
void ApplyRange(const std::string& range, TReply& reply);

// Decodes %XX escapes; false for a malformed escape or one that gives NUL.
bool PercentDecode(const std::string& in, std::string& out);
// The path part of a target in origin or absolute form; false when it is neither.
bool TargetPath(const std::string& target, std::string& path);

}  // namespace kora
