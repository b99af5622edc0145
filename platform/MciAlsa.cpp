// The wave-audio device on ALSA. Files are read with libsndfile and written to the "default"
// PCM, which on desktops is the sound server's plug, so the server or ALSA's plug layer does
// any conversion of rate and channels. The PCM is opened only while a sound plays: an open
// element must not keep other programs off the sound card.
//
// A file that is still being written (see GrowingFile.h) is read through libsndfile's virtual
// I/O: its length is what the data chunk declares, and a read past the bytes written so far
// waits for them, so playback that catches up with the download pauses instead of ending.
#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <sndfile.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/GrowingFile.h"
#include "platform/Mmsystem.h"

namespace kapo {
namespace {

constexpr int kMaxChannels = 8;
constexpr unsigned kLatencyUs = 100000;
constexpr sf_count_t kChunkFrames = 4096;
constexpr int kWaitSliceMs = 20;
// A device that takes no frame for this long is stuck (a suspended card, a frozen server).
constexpr auto kStallLimit = std::chrono::seconds(5);
// A download that adds nothing for this long is taken to have ended where it stands.
constexpr int kGrowthStallMs = 30000;
constexpr DWORD kFullVolume = 1000;
constexpr MCIDEVICEID kLastDeviceId = 0xFFFE;  // 0xFFFF means "every device" to callers

using Clock = std::chrono::steady_clock;

// How frames travel to the device: the file's own precision where the device takes it.
enum class SampleKind { S16, S32, F32 };

snd_pcm_format_t PcmFormatOf(SampleKind k)
{
    switch (k) {
    case SampleKind::S32: return SND_PCM_FORMAT_S32_LE;
    case SampleKind::F32: return SND_PCM_FORMAT_FLOAT_LE;
    case SampleKind::S16: break;
    }
    return SND_PCM_FORMAT_S16_LE;
}

std::size_t SampleBytes(SampleKind k) { return k == SampleKind::S16 ? 2 : 4; }

SampleKind NativeKindOf(int format)
{
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_PCM_32: return SampleKind::S32;
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE: return SampleKind::F32;
    default: return SampleKind::S16;
    }
}

bool IsWaveContainer(int format)
{
    int major = format & SF_FORMAT_TYPEMASK;
    return major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX || major == SF_FORMAT_RF64;
}

// alsa-lib prints its complaints to stderr by default; a desktop program reports through
// its error codes instead.
void SilentAlsaError(const char*, int, const char*, int, const char*, ...) {}

void QuietAlsa()
{
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(SilentAlsaError); });
}

MCIERROR ErrorOfPcmOpen(int err)
{
    switch (-err) {
    case EBUSY:
    case EAGAIN: return MCIERR_WAVE_OUTPUTSINUSE;
    case ENOMEM: return MCIERR_OUT_OF_MEMORY;
    default: return MCIERR_HARDWARE;
    }
}

void PostNotify(DWORD_PTR target, WPARAM code, MCIDEVICEID id)
{
    if (target != 0) PostMessage(static_cast<HWND>(target), MM_MCINOTIFY, code, static_cast<LPARAM>(id));
}

// The bytes of a file still being written, as libsndfile's virtual I/O sees them: as long as
// the data chunk declares, and read as they arrive. Reads wait only once Blocking is set (on
// the play's worker), never while the file is opened on the caller's thread.
struct TGrowingSource {
    int Fd = -1;
    std::shared_ptr<TGrowingFile> Growth;
    std::uint64_t End = 0;
    std::uint64_t Position = 0;
    std::uint64_t DataOffset = 0;
    std::uint64_t FrameBytes = 1;  // a short read ends on a frame, or libsndfile loses samples
    bool Blocking = false;
    const std::atomic<bool>* Stop = nullptr;

    static sf_count_t Length(void* self) { return static_cast<sf_count_t>(static_cast<TGrowingSource*>(self)->End); }
    static sf_count_t Tell(void* self) { return static_cast<sf_count_t>(static_cast<TGrowingSource*>(self)->Position); }
    static sf_count_t Write(const void*, sf_count_t, void*) { return 0; }
    static sf_count_t Seek(sf_count_t offset, int whence, void* self)
    {
        auto* s = static_cast<TGrowingSource*>(self);
        sf_count_t base = whence == SEEK_CUR ? static_cast<sf_count_t>(s->Position)
                          : whence == SEEK_END ? static_cast<sf_count_t>(s->End)
                                               : 0;
        if (base + offset < 0) return -1;
        s->Position = static_cast<std::uint64_t>(base + offset);
        return base + offset;
    }
    static sf_count_t Read(void* ptr, sf_count_t count, void* self)
    {
        auto* s = static_cast<TGrowingSource*>(self);
        if (count <= 0 || s->Position >= s->End) return 0;
        const std::uint64_t want = std::min<std::uint64_t>(s->End, s->Position + static_cast<std::uint64_t>(count));
        // What has arrived is handed over at once (a short read is not the end for libsndfile);
        // only a read that finds nothing new waits, for one more sample.
        auto frameStart = [s](std::uint64_t at) {
            return at <= s->DataOffset ? at : s->DataOffset + (at - s->DataOffset) / s->FrameBytes * s->FrameBytes;
        };
        const std::uint64_t least = std::min(want, frameStart(s->Position) + s->FrameBytes);
        std::uint64_t there = s->Blocking
                                  ? s->Growth->WaitFor(least, [s] { return s->Stop && s->Stop->load(); }, kGrowthStallMs)
                                  : s->Growth->Size();
        there = std::min(there, want);
        // libsndfile counts a short read in whole frames: the bytes of a frame cut in two wait
        // for the rest, unless no rest will come.
        if (there < want && !s->Growth->Ended() && frameStart(there) > s->Position) there = frameStart(there);
        auto* out = static_cast<char*>(ptr);
        sf_count_t done = 0;
        while (s->Position < there) {
            ssize_t n = ::pread(s->Fd, out + done, static_cast<std::size_t>(there - s->Position),
                                static_cast<off_t>(s->Position));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            s->Position += static_cast<std::uint64_t>(n);
            done += n;
        }
        return done;
    }
};

// Scales samples in place by volume / 1000.
void ApplyVolume(SampleKind kind, unsigned char* buf, std::size_t samples, DWORD volume)
{
    switch (kind) {
    case SampleKind::S16: {
        auto* p = reinterpret_cast<short*>(buf);
        for (std::size_t i = 0; i < samples; ++i) p[i] = static_cast<short>(p[i] * static_cast<int>(volume) / 1000);
        break;
    }
    case SampleKind::S32: {
        auto* p = reinterpret_cast<int*>(buf);
        for (std::size_t i = 0; i < samples; ++i)
            p[i] = static_cast<int>(static_cast<long long>(p[i]) * volume / 1000);
        break;
    }
    case SampleKind::F32: {
        auto* p = reinterpret_cast<float*>(buf);
        for (std::size_t i = 0; i < samples; ++i) p[i] = p[i] * static_cast<float>(volume) / 1000.0f;
        break;
    }
    }
}

class WaveDevice {
public:
    WaveDevice(MCIDEVICEID id, int fd, SNDFILE* file, const SF_INFO& info, std::unique_ptr<TGrowingSource> source)
        : FId(id), FFd(fd), FFile(file), FInfo(info), FLength(info.frames), FSource(std::move(source))
    {
        if (FSource) FSource->Stop = &FStopRequest;
    }
    ~WaveDevice()
    {
        StopPlay(0);
        sf_close(FFile);
        ::close(FFd);
    }
    WaveDevice(const WaveDevice&) = delete;
    WaveDevice& operator=(const WaveDevice&) = delete;

    MCIERROR Command(UINT msg, DWORD flags, DWORD_PTR params);

    // Stops a play in progress; its pending notification goes out with the given code
    // (0: none at all).
    void StopPlay(WPARAM code);

private:
    MCIERROR Status(DWORD flags, MCI_STATUS_PARMS* p);
    MCIERROR GetDevCaps(DWORD flags, MCI_GETDEVCAPS_PARMS* p);
    MCIERROR Set(DWORD flags, MCI_SET_PARMS* p);
    MCIERROR Seek(DWORD flags, MCI_SEEK_PARMS* p);
    MCIERROR Play(DWORD flags, MCI_PLAY_PARMS* p);
    MCIERROR SetAudio(DWORD flags, MCI_DGV_SETAUDIO_PARMS* p);
    void PlayBody(snd_pcm_t* pcm, SampleKind kind, sf_count_t end, DWORD_PTR notifyTarget);
    sf_count_t ReadFrames(SampleKind kind, unsigned char* buf, sf_count_t frames);
    // 0, an error code, or kStopped.
    MCIERROR WriteFrames(snd_pcm_t* pcm, const unsigned char* buf, sf_count_t frames, std::size_t frameBytes);
    MCIERROR Drain(snd_pcm_t* pcm);

    DWORD ToUnits(sf_count_t frames) const;
    sf_count_t FromUnits(DWORD units) const;

    static constexpr MCIERROR kStopped = 0xFFFFFFFF;

    MCIDEVICEID FId;
    int FFd;
    SNDFILE* FFile;
    SF_INFO FInfo;
    DWORD FTimeFormat = MCI_FORMAT_MILLISECONDS;
    std::atomic<sf_count_t> FLength;
    std::atomic<sf_count_t> FPosition{0};
    std::atomic<bool> FPlaying{false};
    std::atomic<bool> FStopRequest{false};
    std::atomic<WPARAM> FStopCode{MCI_NOTIFY_ABORTED};
    std::atomic<DWORD> FVolume{kFullVolume};
    MCIERROR FPlayResult = 0;  // written by the worker, read after joining it
    std::unique_ptr<TGrowingSource> FSource;
    std::thread FWorker;
};

DWORD WaveDevice::ToUnits(sf_count_t frames) const
{
    // frames * 1000 / rate without overflow for any length libsndfile can report.
    unsigned long long f = static_cast<unsigned long long>(frames);
    unsigned long long v = f;
    if (FTimeFormat == MCI_FORMAT_MILLISECONDS) {
        unsigned long long rate = static_cast<unsigned long long>(FInfo.samplerate);
        v = f / rate * 1000 + f % rate * 1000 / rate;
    }
    return static_cast<DWORD>(std::min<unsigned long long>(v, 0xFFFFFFFFull));
}

sf_count_t WaveDevice::FromUnits(DWORD units) const
{
    // The length as the caller was told it means the very last frame, whatever the rounding.
    sf_count_t length = FLength.load();
    if (units == ToUnits(length)) return length;
    if (FTimeFormat == MCI_FORMAT_MILLISECONDS)
        return static_cast<sf_count_t>(static_cast<unsigned long long>(units) * static_cast<unsigned>(FInfo.samplerate) / 1000);
    return static_cast<sf_count_t>(units);
}

void WaveDevice::StopPlay(WPARAM code)
{
    if (!FWorker.joinable()) return;
    FStopCode = code;
    FStopRequest = true;
    FWorker.join();
    FStopRequest = false;
}

MCIERROR WaveDevice::Command(UINT msg, DWORD flags, DWORD_PTR params)
{
    // A command that asks for a notification takes over from the play's pending one.
    WPARAM displaced = (flags & MCI_NOTIFY) ? MCI_NOTIFY_SUPERSEDED : MCI_NOTIFY_ABORTED;
    MCIERROR err = 0;
    switch (msg) {
    case MCI_STATUS: err = Status(flags, reinterpret_cast<MCI_STATUS_PARMS*>(params)); break;
    case MCI_GETDEVCAPS: err = GetDevCaps(flags, reinterpret_cast<MCI_GETDEVCAPS_PARMS*>(params)); break;
    case MCI_SET: err = Set(flags, reinterpret_cast<MCI_SET_PARMS*>(params)); break;
    case MCI_SETAUDIO: err = SetAudio(flags, reinterpret_cast<MCI_DGV_SETAUDIO_PARMS*>(params)); break;
    case MCI_SEEK:
        StopPlay(displaced);
        err = Seek(flags, reinterpret_cast<MCI_SEEK_PARMS*>(params));
        break;
    case MCI_STOP: StopPlay(displaced); break;
    case MCI_PLAY:
        StopPlay(displaced);
        // The play notifies for itself when it ends.
        return Play(flags, reinterpret_cast<MCI_PLAY_PARMS*>(params));
    default: return MCIERR_UNRECOGNIZED_COMMAND;  // MCI_WHERE among them: a wave has no picture
    }
    if (err == 0 && (flags & MCI_NOTIFY) && params != 0)
        PostNotify(reinterpret_cast<MCI_GENERIC_PARMS*>(params)->dwCallback, MCI_NOTIFY_SUCCESSFUL, FId);
    return err;
}

MCIERROR WaveDevice::Status(DWORD flags, MCI_STATUS_PARMS* p)
{
    if (p == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
    if (!(flags & MCI_STATUS_ITEM)) return MCIERR_MISSING_PARAMETER;
    switch (p->dwItem) {
    case MCI_STATUS_LENGTH: p->dwReturn = ToUnits(FLength.load()); break;
    case MCI_STATUS_POSITION: p->dwReturn = (flags & MCI_STATUS_START) ? 0 : ToUnits(FPosition.load()); break;
    case MCI_STATUS_MODE: p->dwReturn = FPlaying ? MCI_MODE_PLAY : MCI_MODE_STOP; break;
    case MCI_STATUS_TIME_FORMAT: p->dwReturn = FTimeFormat; break;
    case MCI_STATUS_NUMBER_OF_TRACKS:
    case MCI_STATUS_CURRENT_TRACK:
    case MCI_STATUS_MEDIA_PRESENT:
    case MCI_STATUS_READY: p->dwReturn = 1; break;
    default: return MCIERR_BAD_CONSTANT;
    }
    return 0;
}

MCIERROR WaveDevice::GetDevCaps(DWORD flags, MCI_GETDEVCAPS_PARMS* p)
{
    if (p == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
    if (!(flags & MCI_GETDEVCAPS_ITEM)) return MCIERR_MISSING_PARAMETER;
    switch (p->dwItem) {
    case MCI_GETDEVCAPS_DEVICE_TYPE: p->dwReturn = MCI_DEVTYPE_WAVEFORM_AUDIO; break;
    case MCI_GETDEVCAPS_CAN_PLAY:
    case MCI_GETDEVCAPS_HAS_AUDIO:
    case MCI_GETDEVCAPS_USES_FILES:
    case MCI_GETDEVCAPS_COMPOUND_DEVICE: p->dwReturn = 1; break;
    case MCI_GETDEVCAPS_CAN_RECORD:
    case MCI_GETDEVCAPS_HAS_VIDEO:
    case MCI_GETDEVCAPS_CAN_EJECT:
    case MCI_GETDEVCAPS_CAN_SAVE: p->dwReturn = 0; break;
    default: return MCIERR_BAD_CONSTANT;
    }
    return 0;
}

MCIERROR WaveDevice::Set(DWORD flags, MCI_SET_PARMS* p)
{
    if (p == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
    DWORD known = MCI_NOTIFY | MCI_WAIT | MCI_SET_TIME_FORMAT;
    if (flags & ~known) return MCIERR_UNSUPPORTED_FUNCTION;
    if (!(flags & MCI_SET_TIME_FORMAT)) return MCIERR_MISSING_PARAMETER;
    if (p->dwTimeFormat != MCI_FORMAT_MILLISECONDS && p->dwTimeFormat != MCI_FORMAT_SAMPLES)
        return MCIERR_BAD_TIME_FORMAT;
    FTimeFormat = p->dwTimeFormat;
    return 0;
}

MCIERROR WaveDevice::SetAudio(DWORD flags, MCI_DGV_SETAUDIO_PARMS* p)
{
    if (p == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
    DWORD known = MCI_NOTIFY | MCI_WAIT | MCI_DGV_SETAUDIO_ITEM | MCI_DGV_SETAUDIO_VALUE;
    if (flags & ~known) return MCIERR_UNSUPPORTED_FUNCTION;
    if (!(flags & MCI_DGV_SETAUDIO_ITEM) || !(flags & MCI_DGV_SETAUDIO_VALUE)) return MCIERR_MISSING_PARAMETER;
    if (p->dwItem != MCI_DGV_SETAUDIO_VOLUME) return MCIERR_BAD_CONSTANT;
    if (p->dwValue > kFullVolume) return MCIERR_OUTOFRANGE;
    // Taken by the playing worker at its next block of frames.
    FVolume = p->dwValue;
    return 0;
}

MCIERROR WaveDevice::Seek(DWORD flags, MCI_SEEK_PARMS* p)
{
    int targets = ((flags & MCI_SEEK_TO_START) != 0) + ((flags & MCI_SEEK_TO_END) != 0) + ((flags & MCI_TO) != 0);
    if (targets == 0) return MCIERR_MISSING_PARAMETER;
    if (targets > 1) return MCIERR_FLAGS_NOT_COMPATIBLE;
    if (flags & MCI_SEEK_TO_START) {
        FPosition = 0;
    } else if (flags & MCI_SEEK_TO_END) {
        FPosition = FLength.load();
    } else {
        if (p == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
        sf_count_t to = FromUnits(p->dwTo);
        if (to > FLength.load()) return MCIERR_OUTOFRANGE;
        FPosition = to;
    }
    return 0;
}

MCIERROR WaveDevice::Play(DWORD flags, MCI_PLAY_PARMS* p)
{
    if ((flags & (MCI_FROM | MCI_TO)) && p == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
    sf_count_t length = FLength.load();
    sf_count_t from = (flags & MCI_FROM) ? FromUnits(p->dwFrom) : FPosition.load();
    sf_count_t to = (flags & MCI_TO) ? FromUnits(p->dwTo) : length;
    if (from > length || to > length || from > to) return MCIERR_OUTOFRANGE;
    FPosition = from;
    DWORD_PTR target = (flags & MCI_NOTIFY) && p != nullptr ? p->dwCallback : 0;
    if (from == to) {
        PostNotify(target, MCI_NOTIFY_SUCCESSFUL, FId);
        return 0;
    }
    if (sf_seek(FFile, from, SEEK_SET) != from) return MCIERR_INVALID_FILE;

    QuietAlsa();
    snd_pcm_t* pcm = nullptr;
    // Non-blocking: a card held by another program answers at once instead of waiting for it.
    int err = snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (err < 0) return ErrorOfPcmOpen(err);
    SampleKind kind = NativeKindOf(FInfo.format);
    err = snd_pcm_set_params(pcm, PcmFormatOf(kind), SND_PCM_ACCESS_RW_INTERLEAVED, static_cast<unsigned>(FInfo.channels),
                             static_cast<unsigned>(FInfo.samplerate), 1, kLatencyUs);
    if (err < 0 && kind != SampleKind::S16) {
        // Every output takes 16-bit frames; libsndfile converts to them.
        kind = SampleKind::S16;
        err = snd_pcm_set_params(pcm, PcmFormatOf(kind), SND_PCM_ACCESS_RW_INTERLEAVED,
                                 static_cast<unsigned>(FInfo.channels), static_cast<unsigned>(FInfo.samplerate), 1, kLatencyUs);
    }
    if (err < 0) {
        snd_pcm_close(pcm);
        return MCIERR_WAVE_OUTPUTSUNSUITABLE;
    }

    FPlaying = true;
    FStopRequest = false;
    FPlayResult = 0;
    if (FSource) FSource->Blocking = true;
    FWorker = std::thread([this, pcm, kind, to, target] { PlayBody(pcm, kind, to, target); });
    if (!(flags & MCI_WAIT)) return 0;
    FWorker.join();
    return FPlayResult;
}

sf_count_t WaveDevice::ReadFrames(SampleKind kind, unsigned char* buf, sf_count_t frames)
{
    switch (kind) {
    case SampleKind::S32: return sf_readf_int(FFile, reinterpret_cast<int*>(buf), frames);
    case SampleKind::F32: return sf_readf_float(FFile, reinterpret_cast<float*>(buf), frames);
    case SampleKind::S16: break;
    }
    return sf_readf_short(FFile, reinterpret_cast<short*>(buf), frames);
}

MCIERROR WaveDevice::WriteFrames(snd_pcm_t* pcm, const unsigned char* buf, sf_count_t frames, std::size_t frameBytes)
{
    auto lastProgress = Clock::now();
    while (frames > 0) {
        if (FStopRequest) return kStopped;
        snd_pcm_sframes_t n = snd_pcm_writei(pcm, buf, static_cast<snd_pcm_uframes_t>(frames));
        if (n == -EAGAIN) {
            if (Clock::now() - lastProgress > kStallLimit) return MCIERR_HARDWARE;
            int w = snd_pcm_wait(pcm, kWaitSliceMs);
            if (w < 0 && snd_pcm_recover(pcm, w, 1) < 0) return MCIERR_HARDWARE;
            continue;
        }
        if (n < 0) {
            if (snd_pcm_recover(pcm, static_cast<int>(n), 1) < 0) return MCIERR_HARDWARE;
            continue;
        }
        frames -= n;
        buf += static_cast<std::size_t>(n) * frameBytes;
        lastProgress = Clock::now();
    }
    return 0;
}

MCIERROR WaveDevice::Drain(snd_pcm_t* pcm)
{
    int err = snd_pcm_drain(pcm);
    if (err == 0) return 0;
    if (err != -EAGAIN) return MCIERR_HARDWARE;
    // Non-blocking drain runs on its own; it may take the buffered frames' time and a margin.
    snd_pcm_uframes_t buffer = 0, period = 0;
    snd_pcm_get_params(pcm, &buffer, &period);
    auto deadline = Clock::now() + kStallLimit +
                    std::chrono::milliseconds(1000ull * buffer / static_cast<unsigned>(FInfo.samplerate));
    while (snd_pcm_state(pcm) == SND_PCM_STATE_DRAINING) {
        if (FStopRequest) return kStopped;
        if (Clock::now() > deadline) return MCIERR_HARDWARE;
        std::this_thread::sleep_for(std::chrono::milliseconds(kWaitSliceMs));
    }
    return 0;
}

void WaveDevice::PlayBody(snd_pcm_t* pcm, SampleKind kind, sf_count_t end, DWORD_PTR notifyTarget)
{
    std::size_t frameBytes = SampleBytes(kind) * static_cast<std::size_t>(FInfo.channels);
    std::vector<unsigned char> buf(static_cast<std::size_t>(kChunkFrames) * frameBytes);
    MCIERROR result = 0;
    sf_count_t pos = FPosition.load();
    while (pos < end && result == 0) {
        sf_count_t got = ReadFrames(kind, buf.data(), std::min(kChunkFrames, end - pos));
        if (got <= 0 && FStopRequest) {
            // A stop while the frames were awaited; the sound itself may go on further.
            result = kStopped;
            break;
        }
        if (got <= 0) {
            // The file holds fewer frames than its header promised: its length is what was read.
            FLength = pos;
            break;
        }
        if (DWORD volume = FVolume.load(); volume != kFullVolume)
            ApplyVolume(kind, buf.data(), static_cast<std::size_t>(got) * static_cast<std::size_t>(FInfo.channels), volume);
        result = WriteFrames(pcm, buf.data(), got, frameBytes);
        if (result == 0) {
            pos += got;
            FPosition = pos;
        }
    }
    if (result == 0) result = Drain(pcm);
    if (result != 0) snd_pcm_drop(pcm);
    snd_pcm_close(pcm);

    WPARAM code = MCI_NOTIFY_SUCCESSFUL;
    if (result == kStopped) {
        code = FStopCode;
        result = 0;
    } else if (result != 0) {
        code = MCI_NOTIFY_FAILURE;
    }
    FPlayResult = result;
    FPlaying = false;
    if (code != 0) PostNotify(notifyTarget, code, FId);
}

// Open devices by id. Ids are not reused until the 16-bit range wraps.
struct DeviceTable {
    std::mutex Lock;
    std::map<MCIDEVICEID, std::shared_ptr<WaveDevice>> Devices;
    MCIDEVICEID Next = 1;
};

DeviceTable& Table()
{
    static DeviceTable table;
    return table;
}

std::shared_ptr<WaveDevice> Find(MCIDEVICEID id)
{
    DeviceTable& t = Table();
    std::lock_guard lock(t.Lock);
    auto it = t.Devices.find(id);
    return it == t.Devices.end() ? nullptr : it->second;
}

// The way to read a file that is still being written: only for a plain PCM wave whose header
// is there and whose data chunk says how long it will be.
std::unique_ptr<TGrowingSource> OpenGrowing(const char* path, int fd)
{
    std::shared_ptr<TGrowingFile> growth = TGrowingFile::Find(path);
    if (!growth || growth->Ended()) return nullptr;
    std::vector<char> head(static_cast<std::size_t>(std::min<std::uint64_t>(growth->Size(), 65536)));
    ssize_t n = head.empty() ? 0 : ::pread(fd, head.data(), head.size(), 0);
    if (n <= 0) return nullptr;
    TWaveLayout layout = ReadWaveLayout(head.data(), static_cast<std::size_t>(n));
    if (!layout.Complete || !layout.Streamable) return nullptr;
    auto source = std::make_unique<TGrowingSource>();
    source->Fd = fd;
    source->Growth = std::move(growth);
    source->End = layout.DataOffset + layout.DataSize;
    source->DataOffset = layout.DataOffset;
    source->FrameBytes = std::max(1u, layout.BlockAlign);
    return source;
}

MCIERROR OpenElement(const char* path, MCIDEVICEID& id)
{
    // O_NONBLOCK: a FIFO given as the element must not hang the open; only regular files pass.
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return MCIERR_FILE_NOT_FOUND;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return MCIERR_INVALID_FILE;
    }
    SF_INFO info{};
    SNDFILE* file = nullptr;
    std::unique_ptr<TGrowingSource> source = OpenGrowing(path, fd);
    if (source) {
        static SF_VIRTUAL_IO io{TGrowingSource::Length, TGrowingSource::Seek, TGrowingSource::Read,
                                TGrowingSource::Write, TGrowingSource::Tell};
        file = sf_open_virtual(&io, SFM_READ, &info, source.get());
    } else {
        file = sf_open_fd(fd, SFM_READ, &info, SF_FALSE);
    }
    if (file == nullptr) {
        ::close(fd);
        return MCIERR_INVALID_FILE;
    }
    if (!IsWaveContainer(info.format) || info.channels < 1 || info.channels > kMaxChannels || info.samplerate <= 0 ||
        info.frames < 0) {
        sf_close(file);
        ::close(fd);
        return MCIERR_INVALID_FILE;
    }

    DeviceTable& t = Table();
    std::lock_guard lock(t.Lock);
    MCIDEVICEID candidate = t.Next;
    while (t.Devices.count(candidate) != 0) {
        candidate = candidate >= kLastDeviceId ? 1 : candidate + 1;
        if (candidate == t.Next) {
            sf_close(file);
            ::close(fd);
            return MCIERR_OUT_OF_MEMORY;
        }
    }
    t.Devices[candidate] = std::make_shared<WaveDevice>(candidate, fd, file, info, std::move(source));
    t.Next = candidate >= kLastDeviceId ? 1 : candidate + 1;
    id = candidate;
    return 0;
}

MCIERROR Open(DWORD flags, MCI_OPEN_PARMS* p)
{
    if (p == nullptr) return MCIERR_NULL_PARAMETER_BLOCK;
    if (flags & MCI_OPEN_TYPE) {
        if (p->lpstrDeviceType == nullptr) return MCIERR_MISSING_PARAMETER;
        if (::strcasecmp(p->lpstrDeviceType, "waveaudio") != 0) return MCIERR_INVALID_DEVICE_NAME;
    }
    if (!(flags & MCI_OPEN_ELEMENT) || p->lpstrElementName == nullptr || *p->lpstrElementName == '\0')
        return MCIERR_FILENAME_REQUIRED;
    MCIDEVICEID id = 0;
    MCIERROR err = OpenElement(p->lpstrElementName, id);
    if (err != 0) return err;
    p->wDeviceID = id;
    if (flags & MCI_NOTIFY) PostNotify(p->dwCallback, MCI_NOTIFY_SUCCESSFUL, id);
    return 0;
}

MCIERROR Close(MCIDEVICEID id, DWORD flags, MCI_GENERIC_PARMS* p)
{
    std::shared_ptr<WaveDevice> dev;
    {
        DeviceTable& t = Table();
        std::lock_guard lock(t.Lock);
        auto it = t.Devices.find(id);
        if (it == t.Devices.end()) return MCIERR_INVALID_DEVICE_ID;
        dev = std::move(it->second);
        t.Devices.erase(it);
    }
    dev->StopPlay((flags & MCI_NOTIFY) ? MCI_NOTIFY_SUPERSEDED : MCI_NOTIFY_ABORTED);
    dev.reset();
    if ((flags & MCI_NOTIFY) && p != nullptr) PostNotify(p->dwCallback, MCI_NOTIFY_SUCCESSFUL, id);
    return 0;
}

struct ErrorText {
    MCIERROR Code;
    const char* Text;
};

// What a user may read of the device, in the program's language.
constexpr ErrorText kErrorTexts[] = {
    {0, "O comando foi executado."},
    {MCIERR_INVALID_DEVICE_ID, "Nenhum dispositivo aberto tem este número."},
    {MCIERR_UNRECOGNIZED_COMMAND, "O dispositivo não conhece este comando."},
    {MCIERR_HARDWARE, "A saída de som não responde ou não pode ser usada."},
    {MCIERR_INVALID_DEVICE_NAME, "Não há dispositivo deste tipo."},
    {MCIERR_OUT_OF_MEMORY, "Não há memória suficiente para o dispositivo."},
    {MCIERR_DRIVER_INTERNAL, "O dispositivo de som falhou internamente."},
    {MCIERR_MISSING_PARAMETER, "Falta ao comando um valor de que ele precisa."},
    {MCIERR_UNSUPPORTED_FUNCTION, "O dispositivo não pode fazer o que o comando pede."},
    {MCIERR_FILE_NOT_FOUND, "O arquivo de som não pode ser encontrado ou aberto."},
    {MCIERR_OUTOFRANGE, "A posição está fora do som."},
    {MCIERR_FLAGS_NOT_COMPATIBLE, "O comando recebeu opções que se excluem."},
    {MCIERR_BAD_CONSTANT, "O dispositivo não conhece o item pedido."},
    {MCIERR_BAD_TIME_FORMAT, "O dispositivo não conhece este formato de tempo."},
    {MCIERR_INVALID_FILE, "O arquivo não é um som wave que este dispositivo possa tocar."},
    {MCIERR_NULL_PARAMETER_BLOCK, "O comando não recebeu bloco de parâmetros."},
    {MCIERR_FILENAME_REQUIRED, "O dispositivo precisa do nome de um arquivo de som."},
    {MCIERR_WAVE_OUTPUTSINUSE, "A saída de som está em uso por outro programa."},
    {MCIERR_WAVE_OUTPUTSUNSUITABLE, "A saída de som não pode tocar o formato deste som."},
};

}  // namespace

MCIERROR mciSendCommand(MCIDEVICEID device, UINT msg, DWORD_PTR flags, DWORD_PTR params)
{
    DWORD f = static_cast<DWORD>(flags);
    if (msg == MCI_OPEN) return Open(f, reinterpret_cast<MCI_OPEN_PARMS*>(params));
    if (msg == MCI_CLOSE) return Close(device, f, reinterpret_cast<MCI_GENERIC_PARMS*>(params));
    std::shared_ptr<WaveDevice> dev = Find(device);
    if (!dev) return MCIERR_INVALID_DEVICE_ID;
    return dev->Command(msg, f, params);
}

bool mciGetErrorString(MCIERROR code, char* text, UINT size)
{
    if (text == nullptr || size == 0) return false;
    for (const ErrorText& e : kErrorTexts) {
        if (e.Code == code) {
            std::size_t n = std::min<std::size_t>(std::strlen(e.Text), size - 1);
            // The texts are UTF-8: a cut goes before a letter, never through it.
            if (n < std::strlen(e.Text))
                while (n > 0 && (static_cast<unsigned char>(e.Text[n]) & 0xC0) == 0x80) --n;
            std::memcpy(text, e.Text, n);
            text[n] = '\0';
            return true;
        }
    }
    text[0] = '\0';
    return false;
}

}  // namespace kapo
