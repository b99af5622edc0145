#include "app/PartialTransfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kapo {

std::string PartialPath(const std::string& Folder, const std::string& Name)
{
    return Folder + "." + Name + ".kapo-part";
}

std::string PartialNotePath(const std::string& Folder, const std::string& Name)
{
    return PartialPath(Folder, Name) + "-info";
}

std::string TransferValidator(const std::string& LastModified, std::int64_t Total)
{
    if (!LastModified.empty()) return "Last-Modified: " + LastModified;
    if (Total >= 0) return "Length: " + std::to_string(Total);
    return {};
}

namespace {

bool Number(const std::string& s, std::size_t& at, std::int64_t& value)
{
    const std::size_t start = at;
    value = 0;
    while (at < s.size() && s[at] >= '0' && s[at] <= '9' && at - start < 18) value = value * 10 + (s[at++] - '0');
    return at > start && (at >= s.size() || s[at] < '0' || s[at] > '9');
}

}  // namespace

bool ParseContentRange(const std::string& Value, std::int64_t& First, std::int64_t& Last, std::int64_t& Total)
{
    std::size_t at = Value.find_first_not_of(' ');
    if (at == std::string::npos || Value.compare(at, 6, "bytes ") != 0) return false;
    at = Value.find_first_not_of(' ', at + 6);
    if (at == std::string::npos || !Number(Value, at, First) || at >= Value.size() || Value[at++] != '-') return false;
    if (!Number(Value, at, Last) || at >= Value.size() || Value[at++] != '/' || Last < First) return false;
    if (at < Value.size() && Value[at] == '*') {
        Total = -1;
        ++at;
    } else if (!Number(Value, at, Total) || Total <= Last) {
        return false;
    }
    return Value.find_first_not_of(' ', at) == std::string::npos;
}

TResumeVerdict JudgeResume(int Status, std::int64_t Asked, const std::string& ContentRange,
                           const std::string& Validator, const std::string& Stored)
{
    if (Status == 200) return rvWhole;
    if (Status == 206) {
        std::int64_t first = 0, last = 0, total = 0;
        if (Asked <= 0 || !ParseContentRange(ContentRange, first, last, total) || first != Asked) return rvRestart;
        if (Validator.empty() || Validator != Stored) return rvRestart;
        return rvAppend;
    }
    // 416: the partial file reaches past the file's end, so the file is not the one it was.
    if (Status == 416 && Asked > 0) return rvRestart;
    return rvRefused;
}

std::string ReadPartialNote(const std::string& Path)
{
    const int fd = ::open(Path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return {};
    struct stat st {};
    std::string text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < 4096) {
        text.resize(static_cast<std::size_t>(st.st_size));
        ssize_t n = ::read(fd, text.data(), text.size());
        text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    ::close(fd);
    const std::size_t end = text.find_first_of("\r\n");
    return end == std::string::npos ? std::string() : text.substr(0, end);
}

bool WritePartialNote(const std::string& Path, const std::string& Validator)
{
    const int fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const std::string line = Validator + "\n";
    const bool ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    return ::close(fd) == 0 && ok;
}

}  // namespace kapo
