// Sound tests: a temporary HOME whose ALSA "default" PCM is a file sink (raw frames written to
// a file through the null device), wave files written with libsndfile, and a FIFO read at a
// card's pace; the watchdog and the pump come from support/TestLoop.h.
#pragma once

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "platform/MessageQueue.h"
#include "support/TestLoop.h"

namespace soundtest {

// One per test process. alsa-lib reads ~/.asoundrc through $HOME, so HOME must point here
// before the first PCM is opened: every sound test calls Instance() first.
class AlsaFileSink {
public:
    static AlsaFileSink& Instance()
    {
        static AlsaFileSink sink;
        return sink;
    }

    const std::string& Home() const { return FHome; }
    const std::string& SinkPath() const { return FSink; }

    // Bytes the last play left in the sink; empty when nothing was opened.
    std::string ReadSink() const
    {
        std::ifstream in(FSink, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bool SinkExists() const { return std::filesystem::exists(FSink); }
    void RemoveSink() const { std::filesystem::remove(FSink); }

    // Replaces ~/.asoundrc. alsa-lib watches only its top configuration file for changes, so
    // its cached configuration is dropped and read again at the next open.
    void WriteConfig(const std::string& text) const
    {
        std::string tmp = FHome + "/.asoundrc.new";
        {
            std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
            out << text;
        }
        std::filesystem::rename(tmp, FHome + "/.asoundrc");
        snd_config_update_free_global();
    }
    void UseFileSink() const
    {
        WriteConfig("pcm.!default {\n  type file\n  slave.pcm null\n  file \"" + FSink + "\"\n  format raw\n}\n");
    }
    // Through a pipe into a FIFO, whose writes block when it is full: the plugin writes
    // without waiting, so a slow reader of the FIFO makes the output keep time as a card would.
    void UseFifo(const std::string& fifo) const
    {
        WriteConfig("pcm.!default {\n  type file\n  slave.pcm null\n  file \"|cat > " + fifo + "\"\n  format raw\n}\n");
    }

    ~AlsaFileSink()
    {
        std::error_code ec;
        std::filesystem::remove_all(FHome, ec);
    }

private:
    AlsaFileSink()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kapo-alsa-XXXXXX").string();
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (::mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        FHome = buf.data();
        FSink = FHome + "/sink.raw";
        std::filesystem::create_directory(FHome + "/.config");
        UseFileSink();
        ::setenv("HOME", FHome.c_str(), 1);
        // The other place alsa-lib looks for a user configuration.
        ::setenv("XDG_CONFIG_HOME", (FHome + "/.config").c_str(), 1);
    }

    std::string FHome;
    std::string FSink;
};

using testsupport::Watchdog;

// Reads the sink when it is a FIFO, 8 KiB a millisecond, so that the output keeps time as a
// card would. Writers come and go: each play opens the FIFO anew.
class SlowFifoReader {
public:
    explicit SlowFifoReader(std::string path) : FPath(std::move(path)), FThread([this] { Run(); }) {}
    ~SlowFifoReader()
    {
        FQuit = true;
        // A writer's open releases a reader blocked in its own open.
        int fd = ::open(FPath.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
        FThread.join();
    }
    std::size_t Total()
    {
        std::lock_guard<std::mutex> g(FLock);
        return FTotal;
    }
    bool WaitTotal(std::size_t n)
    {
        std::unique_lock<std::mutex> l(FLock);
        return FMore.wait_for(l, std::chrono::seconds(20), [&] { return FTotal >= n; });
    }

private:
    void Run()
    {
        std::vector<char> buf(8192);
        while (!FQuit) {
            int fd = ::open(FPath.c_str(), O_RDONLY);
            if (fd < 0) return;
            ssize_t n;
            while ((n = ::read(fd, buf.data(), buf.size())) > 0) {
                {
                    std::lock_guard<std::mutex> g(FLock);
                    FTotal += static_cast<std::size_t>(n);
                }
                FMore.notify_all();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            ::close(fd);
        }
    }

    std::string FPath;
    std::atomic<bool> FQuit{false};
    std::mutex FLock;
    std::condition_variable FMore;
    std::size_t FTotal = 0;
    std::thread FThread;
};

// More than the pipe, the FIFO and the copying program hold, so that bytes past this many
// come from the play just started.
constexpr std::size_t kSinkBuffers = 512 * 1024;

using testsupport::PumpUntil;

// A fresh temporary folder, removed with the object.
class TempDir {
public:
    TempDir()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kapo-wave-XXXXXX").string();
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (::mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        FPath = buf.data();
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(FPath, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string File(const std::string& name) const { return FPath + "/" + name; }

private:
    std::string FPath;
};

// Writes a wave file of the given sub-format (SF_FORMAT_PCM_16, …) from interleaved samples
// of the type the writer takes: short, int or float.
template <typename T>
void WriteWave(const std::string& path, int subformat, int channels, int rate, const std::vector<T>& samples)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | subformat;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (f == nullptr) throw std::runtime_error(std::string("cannot write wave: ") + sf_strerror(nullptr));
    sf_count_t frames = static_cast<sf_count_t>(samples.size()) / channels;
    sf_count_t written = 0;
    if constexpr (std::is_same_v<T, short>)
        written = sf_writef_short(f, samples.data(), frames);
    else if constexpr (std::is_same_v<T, int>)
        written = sf_writef_int(f, samples.data(), frames);
    else
        written = sf_writef_float(f, samples.data(), frames);
    sf_close(f);
    if (written != frames) throw std::runtime_error("short wave write");
}

// A simple tone: 16-bit stereo at 8000 Hz.
inline void WriteTone(const std::string& path, int frames)
{
    std::vector<short> s(static_cast<std::size_t>(frames) * 2);
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<short>((i * 977) % 20000 - 10000);
    WriteWave(path, SF_FORMAT_PCM_16, 2, 8000, s);
}

template <typename T>
std::string BytesOf(const std::vector<T>& v)
{
    return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
}

}  // namespace soundtest
