#include "platform/PrivateFolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "core/SysUtils.h"

namespace kapo {

namespace {

// A parent is usable when it is a folder we may create entries in.
bool UsableParent(const char* dir)
{
    if (!dir || dir[0] != '/') return false;
    struct stat st;
    return ::stat(dir, &st) == 0 && S_ISDIR(st.st_mode) && ::access(dir, W_OK | X_OK) == 0;
}

std::string DefaultParent()
{
    for (const char* var : {"XDG_RUNTIME_DIR", "TMPDIR"})
        if (UsableParent(std::getenv(var))) return std::getenv(var);
    return "/tmp";
}

}  // namespace

TPrivateFolder::TPrivateFolder(std::string parent) : FParent(std::move(parent)) {}

TPrivateFolder::~TPrivateFolder() { Remove(); }

const std::string& TPrivateFolder::Path()
{
    if (!FPath.empty()) return FPath;
    std::string parent = FParent.empty() ? DefaultParent() : FParent;
    std::string pattern = IncludeTrailingPathDelimiter(parent) + "kapo-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    // mkdtemp creates the folder with mode 0700 whatever the umask.
    if (!::mkdtemp(buf.data())) throw EFCreateError("Cannot create folder " + pattern + ": " + std::strerror(errno));
    FPath = IncludeTrailingPathDelimiter(buf.data());
    return FPath;
}

std::string TPrivateFolder::NewName(const std::string& stem, const std::string& suffix)
{
    return stem + "-" + std::to_string(++FSerial) + suffix;
}

void TPrivateFolder::Remove()
{
    if (FPath.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
    FPath.clear();
}

}  // namespace kapo
