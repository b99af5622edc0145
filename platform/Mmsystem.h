// The media control entry points with the wave-audio device: one command call that takes a
// device, a command, flags and a parameter block, and the texts of its error codes. The device
// plays wave files through ALSA's "default" PCM; a play with MCI_NOTIFY posts MM_MCINOTIFY to
// the callback target through the message queue.
#pragma once

#include <cstdint>

#include "platform/MessageQueue.h"

namespace kapo {

using DWORD = std::uint32_t;
using DWORD_PTR = std::uintptr_t;
using MCIERROR = DWORD;
using MCIDEVICEID = UINT;

// Commands.
constexpr UINT MCI_OPEN = 0x0803;
constexpr UINT MCI_CLOSE = 0x0804;
constexpr UINT MCI_PLAY = 0x0806;
constexpr UINT MCI_SEEK = 0x0807;
constexpr UINT MCI_STOP = 0x0808;
constexpr UINT MCI_GETDEVCAPS = 0x080B;
constexpr UINT MCI_SET = 0x080D;
constexpr UINT MCI_STATUS = 0x0814;
constexpr UINT MCI_WHERE = 0x0843;
constexpr UINT MCI_SETAUDIO = 0x0873;

// Flags common to every command.
constexpr DWORD MCI_NOTIFY = 0x00000001;
constexpr DWORD MCI_WAIT = 0x00000002;
constexpr DWORD MCI_FROM = 0x00000004;
constexpr DWORD MCI_TO = 0x00000008;

constexpr DWORD MCI_OPEN_SHAREABLE = 0x00000100;
constexpr DWORD MCI_OPEN_ELEMENT = 0x00000200;
constexpr DWORD MCI_OPEN_ALIAS = 0x00000400;
constexpr DWORD MCI_OPEN_TYPE = 0x00002000;

constexpr DWORD MCI_SEEK_TO_START = 0x00000100;
constexpr DWORD MCI_SEEK_TO_END = 0x00000200;

constexpr DWORD MCI_STATUS_ITEM = 0x00000100;
constexpr DWORD MCI_STATUS_START = 0x00000200;
constexpr DWORD MCI_STATUS_LENGTH = 0x00000001;
constexpr DWORD MCI_STATUS_POSITION = 0x00000002;
constexpr DWORD MCI_STATUS_NUMBER_OF_TRACKS = 0x00000003;
constexpr DWORD MCI_STATUS_MODE = 0x00000004;
constexpr DWORD MCI_STATUS_MEDIA_PRESENT = 0x00000005;
constexpr DWORD MCI_STATUS_TIME_FORMAT = 0x00000006;
constexpr DWORD MCI_STATUS_READY = 0x00000007;
constexpr DWORD MCI_STATUS_CURRENT_TRACK = 0x00000008;

constexpr DWORD MCI_GETDEVCAPS_ITEM = 0x00000100;
constexpr DWORD MCI_GETDEVCAPS_CAN_RECORD = 0x00000001;
constexpr DWORD MCI_GETDEVCAPS_HAS_AUDIO = 0x00000002;
constexpr DWORD MCI_GETDEVCAPS_HAS_VIDEO = 0x00000003;
constexpr DWORD MCI_GETDEVCAPS_DEVICE_TYPE = 0x00000004;
constexpr DWORD MCI_GETDEVCAPS_USES_FILES = 0x00000005;
constexpr DWORD MCI_GETDEVCAPS_COMPOUND_DEVICE = 0x00000006;
constexpr DWORD MCI_GETDEVCAPS_CAN_EJECT = 0x00000007;
constexpr DWORD MCI_GETDEVCAPS_CAN_PLAY = 0x00000008;
constexpr DWORD MCI_GETDEVCAPS_CAN_SAVE = 0x00000009;

constexpr DWORD MCI_SET_TIME_FORMAT = 0x00000400;
constexpr DWORD MCI_FORMAT_MILLISECONDS = 0;
constexpr DWORD MCI_FORMAT_SAMPLES = 9;
constexpr DWORD MCI_FORMAT_TMSF = 10;

// MCI_SETAUDIO: the level the device's own sample path gives the sound, 0 (silent) to 1000
// (the samples unchanged); it applies at once to a sound that is playing.
constexpr DWORD MCI_DGV_SETAUDIO_ITEM = 0x00800000;
constexpr DWORD MCI_DGV_SETAUDIO_VALUE = 0x01000000;
constexpr DWORD MCI_DGV_SETAUDIO_VOLUME = 0x00004002;

// Source rectangle of MCI_WHERE (devices with pictures only).
constexpr DWORD MCI_WHERE_SOURCE = 0x00020000;

// Modes answered by MCI_STATUS_MODE.
constexpr DWORD MCI_MODE_NOT_READY = 524;
constexpr DWORD MCI_MODE_STOP = 525;
constexpr DWORD MCI_MODE_PLAY = 526;
constexpr DWORD MCI_MODE_RECORD = 527;
constexpr DWORD MCI_MODE_SEEK = 528;
constexpr DWORD MCI_MODE_PAUSE = 529;
constexpr DWORD MCI_MODE_OPEN = 530;

// Device types answered by MCI_GETDEVCAPS_DEVICE_TYPE.
constexpr DWORD MCI_DEVTYPE_VCR = 513;
constexpr DWORD MCI_DEVTYPE_VIDEODISC = 514;
constexpr DWORD MCI_DEVTYPE_OVERLAY = 515;
constexpr DWORD MCI_DEVTYPE_CD_AUDIO = 516;
constexpr DWORD MCI_DEVTYPE_DAT = 517;
constexpr DWORD MCI_DEVTYPE_SCANNER = 518;
constexpr DWORD MCI_DEVTYPE_ANIMATION = 519;
constexpr DWORD MCI_DEVTYPE_DIGITAL_VIDEO = 520;
constexpr DWORD MCI_DEVTYPE_OTHER = 521;
constexpr DWORD MCI_DEVTYPE_WAVEFORM_AUDIO = 522;
constexpr DWORD MCI_DEVTYPE_SEQUENCER = 523;

// Completion message: wParam one of the MCI_NOTIFY_ codes, lParam the device.
constexpr UINT MM_MCINOTIFY = 0x03B9;
constexpr WPARAM MCI_NOTIFY_SUCCESSFUL = 0x0001;
constexpr WPARAM MCI_NOTIFY_SUPERSEDED = 0x0002;
constexpr WPARAM MCI_NOTIFY_ABORTED = 0x0004;
constexpr WPARAM MCI_NOTIFY_FAILURE = 0x0008;

// Error codes.
constexpr MCIERROR MCIERR_INVALID_DEVICE_ID = 257;
constexpr MCIERROR MCIERR_UNRECOGNIZED_COMMAND = 261;
constexpr MCIERROR MCIERR_HARDWARE = 262;
constexpr MCIERROR MCIERR_INVALID_DEVICE_NAME = 263;
constexpr MCIERROR MCIERR_OUT_OF_MEMORY = 264;
constexpr MCIERROR MCIERR_DRIVER_INTERNAL = 272;
constexpr MCIERROR MCIERR_MISSING_PARAMETER = 273;
constexpr MCIERROR MCIERR_UNSUPPORTED_FUNCTION = 274;
constexpr MCIERROR MCIERR_FILE_NOT_FOUND = 275;
constexpr MCIERROR MCIERR_OUTOFRANGE = 282;
constexpr MCIERROR MCIERR_FLAGS_NOT_COMPATIBLE = 284;
constexpr MCIERROR MCIERR_BAD_CONSTANT = 290;
constexpr MCIERROR MCIERR_BAD_TIME_FORMAT = 293;
constexpr MCIERROR MCIERR_INVALID_FILE = 296;
constexpr MCIERROR MCIERR_NULL_PARAMETER_BLOCK = 297;
constexpr MCIERROR MCIERR_FILENAME_REQUIRED = 304;
constexpr MCIERROR MCIERR_WAVE_OUTPUTSINUSE = 320;
constexpr MCIERROR MCIERR_WAVE_OUTPUTSUNSUITABLE = 326;

// Parameter blocks. dwCallback is the target of MM_MCINOTIFY.
struct MCI_GENERIC_PARMS {
    DWORD_PTR dwCallback;
};

struct MCI_OPEN_PARMS {
    DWORD_PTR dwCallback;
    MCIDEVICEID wDeviceID;       // answer
    const char* lpstrDeviceType; // with MCI_OPEN_TYPE: "waveaudio" (any case)
    const char* lpstrElementName;  // with MCI_OPEN_ELEMENT: the wave file
    const char* lpstrAlias;
};

struct MCI_PLAY_PARMS {
    DWORD_PTR dwCallback;
    DWORD dwFrom;  // with MCI_FROM, in the time format
    DWORD dwTo;    // with MCI_TO, in the time format
};

struct MCI_SEEK_PARMS {
    DWORD_PTR dwCallback;
    DWORD dwTo;
};

struct MCI_STATUS_PARMS {
    DWORD_PTR dwCallback;
    DWORD_PTR dwReturn;
    DWORD dwItem;
    DWORD dwTrack;
};

struct MCI_GETDEVCAPS_PARMS {
    DWORD_PTR dwCallback;
    DWORD dwReturn;
    DWORD dwItem;
};

struct MCI_SET_PARMS {
    DWORD_PTR dwCallback;
    DWORD dwTimeFormat;
    DWORD dwAudio;
};

struct MCI_DGV_SETAUDIO_PARMS {
    DWORD_PTR dwCallback;
    DWORD dwItem;
    DWORD dwValue;
    DWORD dwOver;
    const char* lpstrAlgorithm;
    const char* lpstrQuality;
};

struct MCI_RECT {
    int left, top, right, bottom;
};

struct MCI_WHERE_PARMS {
    DWORD_PTR dwCallback;
    MCI_RECT rc;
};

// Sends a command to an open device (MCI_OPEN goes to device 0 and answers the new device in
// wDeviceID). params points at the command's parameter block. Returns 0 or an MCIERR_ code.
// Commands for one device come from one thread at a time; a play without MCI_WAIT runs on a
// worker of the device, stopped by the next PLAY, SEEK, STOP or CLOSE of that device.
MCIERROR mciSendCommand(MCIDEVICEID device, UINT msg, DWORD_PTR flags, DWORD_PTR params);

// Copies the text of an error code (0 included) into text, cut to size - 1 bytes and ended by
// NUL. False, with an empty text, for a code this layer does not know.
bool mciGetErrorString(MCIERROR code, char* text, UINT size);

}  // namespace kapo
