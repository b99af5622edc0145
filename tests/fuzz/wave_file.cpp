// A sound file, taken from the fuzz input, opened by the wave device as the player opens a
// previewed copy: whatever the bytes (a page, another format named .wav, a cut header), the
// open either refuses with a known code or gives a device whose length and position make
// sense, which plays a short sound to its end into a null output and closes.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/Mmsystem.h"

using namespace kapo;

namespace {

std::string gPath;

[[noreturn]] void Fail(const char* what, unsigned long code)
{
    std::fprintf(stderr, "%s (%lu)\n", what, code);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // alsa-lib finds ~/.asoundrc through HOME: a private one whose default output drops all.
    static char dir[] = "/tmp/kapo-fuzz-wave-XXXXXX";
    if (!::mkdtemp(dir)) Fail("no temporary folder", 0);
    ::setenv("HOME", dir, 1);
    std::ofstream(std::string(dir) + "/.asoundrc") << "pcm.!default { type null }\n";
    gPath = std::string(dir) + "/som.wav";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    {
        std::ofstream out(gPath, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    MCI_OPEN_PARMS open{};
    open.lpstrDeviceType = "waveaudio";
    open.lpstrElementName = gPath.c_str();
    MCIERROR err = mciSendCommand(0, MCI_OPEN, MCI_OPEN_TYPE | MCI_OPEN_ELEMENT | MCI_WAIT,
                                  reinterpret_cast<DWORD_PTR>(&open));
    if (err != 0) {
        if (err != MCIERR_INVALID_FILE) Fail("a file that exists is refused for another reason", err);
        char text[256];
        if (!mciGetErrorString(err, text, sizeof text) || text[0] == '\0') Fail("a refusal without a text", err);
        return 0;
    }
    MCIDEVICEID id = open.wDeviceID;
    MCI_SET_PARMS set{};
    set.dwTimeFormat = MCI_FORMAT_MILLISECONDS;
    if ((err = mciSendCommand(id, MCI_SET, MCI_SET_TIME_FORMAT | MCI_WAIT, reinterpret_cast<DWORD_PTR>(&set))) != 0)
        Fail("milliseconds refused", err);
    MCI_STATUS_PARMS status{};
    status.dwItem = MCI_STATUS_LENGTH;
    if ((err = mciSendCommand(id, MCI_STATUS, MCI_STATUS_ITEM | MCI_WAIT, reinterpret_cast<DWORD_PTR>(&status))) != 0)
        Fail("no length", err);
    DWORD_PTR length = status.dwReturn;
    // Short sounds are played whole: the frames are read and converted as for a preview. A
    // file whose header promises more than it holds ends where its data ends.
    if (length <= 2000) {
        MCI_PLAY_PARMS play{};
        err = mciSendCommand(id, MCI_PLAY, MCI_WAIT, reinterpret_cast<DWORD_PTR>(&play));
        status.dwItem = MCI_STATUS_POSITION;
        if (err == 0 &&
            mciSendCommand(id, MCI_STATUS, MCI_STATUS_ITEM | MCI_WAIT, reinterpret_cast<DWORD_PTR>(&status)) == 0 &&
            status.dwReturn > length)
            Fail("played past the end", status.dwReturn);
    }
    if ((err = mciSendCommand(id, MCI_CLOSE, MCI_WAIT, 0)) != 0) Fail("close refused", err);
    return 0;
}
