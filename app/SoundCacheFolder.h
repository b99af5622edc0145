// Where sounds fetched for a drag out of the window are kept: a folder of the user's cache,
// bounded in size, the oldest going first. No window here.
#pragma once

#include <cstdint>
#include <string>

namespace kapo {

constexpr std::uint64_t SoundCacheLimit = 256ull << 20;

// $XDG_CACHE_HOME/kapo/sounds/ ($HOME/.cache/kapo/sounds/ without it), with its trailing "/";
// made when missing, the folders made and the sounds folder itself open to their owner only.
// Empty when it cannot be made.
std::string SoundCacheFolder();

// Removes the least recently used regular files of the folder (by modification time, which a
// use renews) until what is left takes at most Limit bytes; Keep stays whatever its size.
void TrimSoundCache(const std::string& Folder, std::uint64_t Limit, const std::string& KeepName);

}  // namespace kapo
