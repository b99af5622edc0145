// The media player: a control that drives one media device through the MCI command entry
// and shows a bar of up to nine buttons. The window uses it to play a wave file to its end:
//
//     if (Mp->CurrentMode() == 2) Mp->CloseDevice();   // 2: playing
//     Mp->SetFileName(path);
//     Mp->OpenDevice();                                // EMCIDeviceError with the device's text
//     Mp->WaitNextCommand(true);
//     Mp->StartPlay();                                 // returns when the sound has ended
//
// BeginPlay and AwaitPlay are the same play in two halves, for a caller that has more to do
// while the sound starts (a download that goes on feeding it).
//
// While a play with wait runs, the thread's messages are handled (the window stays alive); a
// handler may end the play meanwhile by a new play, CloseDevice or destroying the player, and
// an application asked to terminate stops it.
//
// Device commands wait by default and play commands notify by default; WaitNextCommand and
// NotifyNextCommand change that for exactly the next command. Commands with a notification
// end in MM_MCINOTIFY to the player's hidden target (Handle), handled by the message loop.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/MessageQueue.h"
#include "platform/Mmsystem.h"
#include "ui/Controls.h"

namespace kapo {

enum TMPBtnType { btPlay, btPause, btStop, btNext, btPrev, btStep, btBack, btRecord, btEject };

// A set of buttons: bit n is the button of value n.
using TButtonSet = unsigned;
constexpr TButtonSet ButtonBit(TMPBtnType b) { return 1u << static_cast<unsigned>(b); }
constexpr TButtonSet mpAllButtons = 0x1FF;
constexpr int mpButtonCount = 9;

enum TMPDeviceTypes {
    dtAutoSelect, dtAVIVideo, dtCDAudio, dtDAT, dtDigitalVideo, dtMMMovie, dtOther, dtOverlay, dtScanner,
    dtSequencer, dtVCR, dtVideodisc, dtWaveAudio
};
// The device type name sent with MCI_OPEN_TYPE; empty for dtAutoSelect.
const char* DeviceTypeName(TMPDeviceTypes t);

enum TMPNotifyValues { nvSuccessful, nvSuperseded, nvAborted, nvFailure };

class EMCIDeviceError : public Exception {
public:
    using Exception::Exception;
};

// Where button index of count visible buttons lies in a bar of the given size.
TRect MPButtonRect(int index, int count, int width, int height);

class TMediaPlayer : public TCustomControl {
public:
    // A play started by BeginPlay, until AwaitPlay has seen its end.
    class TPlayWait;
    using TPlayTicket = std::shared_ptr<TPlayWait>;

    explicit TMediaPlayer(TComponent* owner);
    ~TMediaPlayer() override;

    // Opens FileName (closing what is open first). Raises EMCIDeviceError with LastErrorText
    // and changes nothing else when the device refuses.
    void OpenDevice();
    // Closes the open device; nothing when none is open. Errors only go to LastError.
    void CloseDevice();
    // Plays from the current position (rewinding first when at the end and AutoRewind);
    // raises only when nothing is open, a failed play only sets LastError.
    void StartPlay();
    // StartPlay as after WaitNextCommand(true), except that it returns as soon as the sound
    // has started; none when nothing was started (LastError says why).
    TPlayTicket BeginPlay();
    // Returns when the play has ended, handling the thread's messages meanwhile, as StartPlay
    // with wait does; then the completion message follows. Once per ticket.
    void AwaitPlay(const TPlayTicket& ticket);
    void RewindToStart();
    // The next command waits for its end (v true) or not; used up by that command.
    void WaitNextCommand(bool v);
    // The next command sends a completion message (v true) or not; used up by that command.
    void NotifyNextCommand(bool v);
    // The device's mode less MCI_MODE_NOT_READY: 0 not ready, 1 stopped, 2 playing, 3
    // recording, 4 seeking, 5 paused, 6 open. Of no use when nothing is open.
    std::uint8_t CurrentMode();
    // Raises EMCIDeviceError "No MCI device open" when nothing is open.
    void CheckOpen() const;
    // The device's text for LastError, or "Unknown error code".
    std::string LastErrorText() const;
    // Opens the device when AutoOpen; the window's description calls it once set up.
    void Loaded();

    // Length and position in the device's time format (milliseconds for a wave).
    DWORD Length();
    DWORD Position();
    // A start or end point for the next StartPlay only.
    void SetStartPos(DWORD v);
    void SetEndPos(DWORD v);

    std::uint16_t DeviceId() const { return FDeviceId; }
    bool Opened() const { return FOpened; }
    MCIERROR LastError() const { return FError; }
    DWORD CommandFlags() const { return FFlags; }
    // The hidden target that receives the completion messages.
    HWND Handle() const { return FHandle; }
    DWORD Frames() const { return FFrames; }
    // The level of the sound in the device's own sample path: 0 silent, 1000 the samples as
    // they are. Applies to the open device at once and to every device opened later.
    DWORD Volume() const { return FVolume; }
    void SetVolume(DWORD v);  // frames per step: a tenth of the length
    bool CanPlay() const { return FCanPlay; }
    bool CanRecord() const { return FCanRecord; }
    bool CanEject() const { return FCanEject; }
    bool HasVideo() const { return FHasVideo; }
    bool CanStep() const { return FCanStep; }
    // The buttons the device's state allows.
    TButtonSet AutoButtons() const { return FAutoButtons; }
    TMPNotifyValues NotifyValue() const { return FNotifyValue; }

    // Published properties.
    const std::string& FileName() const { return FFileName; }
    void SetFileName(const std::string& v) { FFileName = v; }
    TMPDeviceTypes DeviceType() const { return FDeviceType; }
    void SetDeviceType(TMPDeviceTypes v) { FDeviceType = v; }
    bool Shareable() const { return FShareable; }
    void SetShareable(bool v) { FShareable = v; }
    bool AutoOpen() const { return FAutoOpen; }
    void SetAutoOpen(bool v) { FAutoOpen = v; }
    bool AutoRewind() const { return FAutoRewind; }
    void SetAutoRewind(bool v) { FAutoRewind = v; }
    bool AutoEnable() const { return FAutoEnable; }
    void SetAutoEnable(bool v);
    TButtonSet VisibleButtons() const { return FVisibleButtons; }
    void SetVisibleButtons(TButtonSet v);
    TButtonSet EnabledButtons() const { return FEnabledButtons; }
    void SetEnabledButtons(TButtonSet v);
    TButtonSet ColoredButtons() const { return FColoredButtons; }
    void SetColoredButtons(TButtonSet v);
    bool TabStop() const { return FTabStop; }
    void SetTabStop(bool v);

    // Raised after a completion message has been taken in.
    TNotifyEvent OnNotify;
    virtual void DoNotify();
    // Takes in MM_MCINOTIFY.
    virtual void MMNotify(TMessage& m);

    void Paint() override;

private:
    DWORD DeviceCommandFlags();
    // The play's From and To, when set for this command, into its flags; they are used once.
    MCI_PLAY_PARMS TakePlayRange();
    TPlayTicket Launch(DWORD flags, MCI_PLAY_PARMS& p);
    void SendVolume();
    void ReadCapabilities();
    void ShowPlayState();
    bool ButtonEnabled(TMPBtnType b) const;
    void DrawButton(TCanvas& c, TMPBtnType b, const TRect& r) const;

    HWND FHandle = 0;
    std::uint16_t FDeviceId = 0;
    bool FOpened = false;
    std::string FFileName;
    TMPDeviceTypes FDeviceType = dtAutoSelect;
    bool FShareable = false;
    bool FAutoOpen = false;
    bool FAutoRewind = true;
    bool FAutoEnable = true;
    TButtonSet FVisibleButtons = mpAllButtons;
    TButtonSet FEnabledButtons = mpAllButtons;
    TButtonSet FColoredButtons = mpAllButtons;
    bool FTabStop = true;
    bool FWait = false, FUseWait = false;
    bool FNotify = false, FUseNotify = false;
    DWORD FFrom = 0, FTo = 0;
    bool FUseFrom = false, FUseTo = false;
    DWORD FFlags = 0;
    MCIERROR FError = 0;
    DWORD FFrames = 0;
    bool FCanPlay = false, FCanRecord = false, FCanEject = false, FHasVideo = false, FCanStep = false;
    TButtonSet FAutoButtons = 0;
    TMPNotifyValues FNotifyValue = nvSuccessful;
    DWORD FVolume = 1000;
};

}  // namespace kapo
