#include "platform/GrowingFile.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>

namespace kapo {

namespace {

constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatFloat = 3;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;
// Chunks before the frames are small; a file that puts megabytes there is not waited for.
constexpr std::uint64_t kHeaderLimit = 1 << 20;

std::uint32_t Le32(const unsigned char* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}
std::uint16_t Le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

struct TRegistry {
    std::mutex Lock;
    std::map<std::string, std::weak_ptr<TGrowingFile>> Files;
};

TRegistry& Registry()
{
    static TRegistry r;
    return r;
}

}  // namespace

TWaveLayout ReadWaveLayout(const void* bytes, std::size_t size)
{
    const auto* b = static_cast<const unsigned char*>(bytes);
    TWaveLayout w;
    auto notWave = [&] {
        w = TWaveLayout{};
        w.Complete = true;
        return w;
    };
    const std::size_t head = std::min<std::size_t>(size, 12);
    if (std::memcmp(b, "RIFF", std::min<std::size_t>(head, 4)) != 0) return notWave();
    if (head > 8 && std::memcmp(b + 8, "WAVE", head - 8) != 0) return notWave();
    if (size < 12) return w;
    bool haveFormat = false;
    std::uint16_t tag = 0, bits = 0;
    for (std::uint64_t at = 12;;) {
        if (at > kHeaderLimit) return notWave();
        if (at + 8 > size) return w;
        const unsigned char* c = b + at;
        const std::uint32_t length = Le32(c + 4);
        if (std::memcmp(c, "data", 4) == 0) {
            if (!haveFormat) return notWave();
            w.Complete = true;
            w.DataOffset = at + 8;
            w.DataSize = length;
            const bool integer = tag == kFormatPcm && (bits == 8 || bits == 16 || bits == 24 || bits == 32);
            const bool real = tag == kFormatFloat && (bits == 32 || bits == 64);
            // 0 and all ones are what writers put there when they do not know the size yet.
            w.Streamable = (integer || real) && w.Channels >= 1 && w.Channels <= 8 && w.SampleRate > 0 &&
                           w.BlockAlign == w.Channels * bits / 8 && length != 0 && length != 0xFFFFFFFFu;
            return w;
        }
        if (std::memcmp(c, "fmt ", 4) == 0) {
            if (length < 16) return notWave();
            if (at + 8 + length > size) return w;
            tag = Le16(c + 8);
            w.Channels = Le16(c + 10);
            w.SampleRate = Le32(c + 12);
            w.BlockAlign = Le16(c + 20);
            bits = Le16(c + 22);
            // The extensible form names its real format in the first two bytes of its GUID.
            if (tag == kFormatExtensible && length >= 40) tag = Le16(c + 32);
            haveFormat = true;
        }
        at += 8 + std::uint64_t(length) + (length & 1);
    }
}

struct TGrowingFile::TState {
    mutable std::mutex Lock;
    mutable std::condition_variable Changed;
    std::uint64_t Size = 0;
    bool Ended = false;
    bool Whole = false;
    std::chrono::steady_clock::time_point LastGrowth = std::chrono::steady_clock::now();
};

TGrowingFile::TGrowingFile(std::string path) : FPath(std::move(path)), FState(std::make_unique<TState>()) {}

TGrowingFile::~TGrowingFile() { End(false); }

std::shared_ptr<TGrowingFile> TGrowingFile::Begin(const std::string& path)
{
    std::shared_ptr<TGrowingFile> f(new TGrowingFile(path));
    TRegistry& r = Registry();
    std::lock_guard g(r.Lock);
    r.Files[path] = f;
    return f;
}

std::shared_ptr<TGrowingFile> TGrowingFile::Find(const std::string& path)
{
    TRegistry& r = Registry();
    std::lock_guard g(r.Lock);
    auto it = r.Files.find(path);
    if (it == r.Files.end()) return nullptr;
    std::shared_ptr<TGrowingFile> f = it->second.lock();
    if (!f) r.Files.erase(it);
    return f;
}

void TGrowingFile::Grew(std::uint64_t size)
{
    {
        std::lock_guard g(FState->Lock);
        if (FState->Ended || size <= FState->Size) return;
        FState->Size = size;
        FState->LastGrowth = std::chrono::steady_clock::now();
    }
    FState->Changed.notify_all();
}

void TGrowingFile::End(bool whole)
{
    {
        std::lock_guard g(FState->Lock);
        if (FState->Ended) return;
        FState->Ended = true;
        FState->Whole = whole;
    }
    FState->Changed.notify_all();
    TRegistry& r = Registry();
    std::lock_guard g(r.Lock);
    auto it = r.Files.find(FPath);
    // A later writer of the same path keeps its own announcement.
    if (it != r.Files.end()) {
        std::shared_ptr<TGrowingFile> f = it->second.lock();
        if (!f || f.get() == this) r.Files.erase(it);
    }
}

std::uint64_t TGrowingFile::WaitFor(std::uint64_t size, const std::function<bool()>& stop, int stallMs) const
{
    std::unique_lock l(FState->Lock);
    const auto stall = std::chrono::milliseconds(stallMs);
    while (FState->Size < size && !FState->Ended) {
        if (stop && stop()) break;
        if (std::chrono::steady_clock::now() - FState->LastGrowth > stall) break;
        FState->Changed.wait_for(l, std::chrono::milliseconds(10));
    }
    return FState->Size;
}

std::uint64_t TGrowingFile::Size() const
{
    std::lock_guard g(FState->Lock);
    return FState->Size;
}

bool TGrowingFile::Ended() const
{
    std::lock_guard g(FState->Lock);
    return FState->Ended;
}

bool TGrowingFile::Whole() const
{
    std::lock_guard g(FState->Lock);
    return FState->Whole;
}

}  // namespace kapo
