#include "app/SoundCacheFolder.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace kapo {

std::string SoundCacheFolder()
{
    const char* cache = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    std::string base;
    if (cache && cache[0] == '/') base = cache;
    else if (home && home[0] == '/') base = std::string(home) + "/.cache";
    else return {};
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    ::mkdir(base.c_str(), 0700);
    const std::string kapo = base + "/kapo", sounds = kapo + "/sounds";
    ::mkdir(kapo.c_str(), 0700);
    ::mkdir(sounds.c_str(), 0700);
    struct stat st;
    // Only a folder of this user's, and closed to others, holds the sounds.
    if (::lstat(sounds.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) return {};
    if ((st.st_mode & 0777) != 0700 && ::chmod(sounds.c_str(), 0700) != 0) return {};
    return sounds + "/";
}

void TrimSoundCache(const std::string& Folder, std::uint64_t Limit, const std::string& KeepName)
{
    struct TEntry {
        std::string Name;
        std::uint64_t Size;
        struct timespec Time;
    };
    std::vector<TEntry> entries;
    std::uint64_t total = 0;
    if (DIR* d = ::opendir(Folder.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            struct stat st;
            if (name == "." || name == ".." || ::lstat((Folder + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
            entries.push_back({name, static_cast<std::uint64_t>(st.st_size), st.st_mtim});
            total += static_cast<std::uint64_t>(st.st_size);
        }
        ::closedir(d);
    }
    std::sort(entries.begin(), entries.end(), [](const TEntry& a, const TEntry& b) {
        return a.Time.tv_sec != b.Time.tv_sec ? a.Time.tv_sec < b.Time.tv_sec : a.Time.tv_nsec < b.Time.tv_nsec;
    });
    for (const TEntry& e : entries) {
        if (total <= Limit) break;
        if (e.Name == KeepName) continue;
        if (::unlink((Folder + e.Name).c_str()) == 0) total -= e.Size;
    }
}

}  // namespace kapo
