#include "widgets/MPlayer.h"

#include <QWidget>

#include <algorithm>
#include <memory>
#include <vector>

#include "ui/Forms.h"

namespace kapo {

namespace {

constexpr const char* kDeviceTypeNames[] = {"",    "AVIVideo", "CDAudio", "DAT",       "DigitalVideo", "MMMovie",  "Other",
                                            "Overlay", "Scanner", "Sequencer", "VCR", "Videodisc", "WaveAudio"};

TColor GlyphColour(TMPBtnType b)
{
    switch (b) {
    case btPlay: return clGreen;
    case btRecord:
    case btStop: return clMaroon;
    case btPause: return clOlive;
    default: return clNavy;
    }
}

}  // namespace

const char* DeviceTypeName(TMPDeviceTypes t) { return kDeviceTypeNames[static_cast<int>(t)]; }

TRect MPButtonRect(int index, int count, int width, int height)
{
    if (count <= 0) return TRect{};
    return Rect(index * width / count, 0, (index + 1) * width / count, height);
}

TMediaPlayer::TMediaPlayer(TComponent* owner) : TCustomControl(owner)
{
    // The completion message is for this control only; the queue drops it once we are gone.
    FHandle = AllocateHWnd([this, guard = Liveness()](TMessage& m) {
        if (guard && m.Msg == MM_MCINOTIFY) MMNotify(m);
    });
    SetBounds(Left(), Top(), 240, 30);
}

TMediaPlayer::~TMediaPlayer()
{
    if (FDeviceId != 0) {
        MCI_GENERIC_PARMS p{FHandle};
        mciSendCommand(FDeviceId, MCI_CLOSE, MCI_WAIT, reinterpret_cast<DWORD_PTR>(&p));
    }
    DeallocateHWnd(FHandle);
}

DWORD TMediaPlayer::DeviceCommandFlags()
{
    DWORD flags = MCI_WAIT;
    if (FUseWait) {
        flags = FWait ? MCI_WAIT : 0;
        FUseWait = false;
    }
    if (FUseNotify) {
        if (FNotify) flags |= MCI_NOTIFY;
        FUseNotify = false;
    }
    return flags;
}

void TMediaPlayer::OpenDevice()
{
    MCI_OPEN_PARMS p{};
    if (FOpened) CloseDevice();
    p.lpstrDeviceType = DeviceTypeName(FDeviceType);
    p.lpstrElementName = FFileName.c_str();
    FFlags = DeviceCommandFlags();
    FFlags |= FDeviceType != dtAutoSelect ? MCI_OPEN_TYPE : MCI_OPEN_ELEMENT;
    if (FShareable) FFlags |= MCI_OPEN_SHAREABLE;
    p.dwCallback = FHandle;
    MCIERROR err = mciSendCommand(0, MCI_OPEN, FFlags, reinterpret_cast<DWORD_PTR>(&p));
    if (err != 0) {
        FError = err;
        throw EMCIDeviceError(LastErrorText());
    }
    FOpened = true;
    FDeviceId = static_cast<std::uint16_t>(p.wDeviceID);
    SendVolume();
    FFrames = Length() / 10;
    ReadCapabilities();

    MCI_WHERE_PARMS where{};
    where.dwCallback = FHandle;
    FError = mciSendCommand(FDeviceId, MCI_WHERE, MCI_WAIT | MCI_WHERE_SOURCE, reinterpret_cast<DWORD_PTR>(&where));
    if (FDeviceType == dtCDAudio || FDeviceType == dtVideodisc) {
        MCI_SET_PARMS set{};
        set.dwTimeFormat = MCI_FORMAT_TMSF;
        FError = mciSendCommand(FDeviceId, MCI_SET, MCI_WAIT | MCI_SET_TIME_FORMAT, reinterpret_cast<DWORD_PTR>(&set));
    }

    FAutoButtons = ButtonBit(btNext) | ButtonBit(btPrev);
    if (FCanStep) FAutoButtons |= ButtonBit(btStep) | ButtonBit(btBack);
    if (FCanPlay) FAutoButtons |= ButtonBit(btPlay);
    if (FCanRecord) FAutoButtons |= ButtonBit(btRecord);
    if (FCanEject) FAutoButtons |= ButtonBit(btEject);
    if (CurrentMode() == 2) ShowPlayState();
    Invalidate();
}

void TMediaPlayer::ReadCapabilities()
{
    auto ask = [this](DWORD item) {
        MCI_GETDEVCAPS_PARMS p{};
        p.dwItem = item;
        mciSendCommand(FDeviceId, MCI_GETDEVCAPS, MCI_WAIT | MCI_GETDEVCAPS_ITEM, reinterpret_cast<DWORD_PTR>(&p));
        return p.dwReturn;
    };
    FCanPlay = ask(MCI_GETDEVCAPS_CAN_PLAY) != 0;
    FCanRecord = ask(MCI_GETDEVCAPS_CAN_RECORD) != 0;
    FCanEject = ask(MCI_GETDEVCAPS_CAN_EJECT) != 0;
    FHasVideo = ask(MCI_GETDEVCAPS_HAS_VIDEO) != 0;
    DWORD type = ask(MCI_GETDEVCAPS_DEVICE_TYPE);
    FCanStep = type == MCI_DEVTYPE_VCR || type == MCI_DEVTYPE_OVERLAY || type == MCI_DEVTYPE_ANIMATION ||
               type == MCI_DEVTYPE_DIGITAL_VIDEO;
}

void TMediaPlayer::ShowPlayState()
{
    FAutoButtons &= ~(ButtonBit(btPlay) | ButtonBit(btRecord));
    FAutoButtons |= ButtonBit(btPause) | ButtonBit(btStop);
}

void TMediaPlayer::CloseDevice()
{
    if (FDeviceId == 0) return;
    FFlags = DeviceCommandFlags();
    MCI_GENERIC_PARMS p{FHandle};
    FError = mciSendCommand(FDeviceId, MCI_CLOSE, FFlags, reinterpret_cast<DWORD_PTR>(&p));
    if (FError != 0) return;
    FOpened = false;
    FDeviceId = 0;
    FAutoButtons = 0;
    Invalidate();
}

void TMediaPlayer::CheckOpen() const
{
    if (!FOpened) throw EMCIDeviceError("No MCI device open");
}

void TMediaPlayer::StartPlay()
{
    CheckOpen();
    if (FAutoRewind && !FUseFrom && !FUseTo && Position() == Length()) RewindToStart();

    FFlags = MCI_NOTIFY;
    if (FUseNotify) {
        FFlags = FNotify ? MCI_NOTIFY : 0;
        FUseNotify = false;
    }
    if (FUseWait) {
        if (FWait) FFlags |= MCI_WAIT;
        FUseWait = false;
    }
    MCI_PLAY_PARMS p = TakePlayRange();
    p.dwCallback = FHandle;
    if (FFlags & MCI_WAIT) {
        AwaitPlay(Launch(FFlags, p));
        return;
    }
    FError = mciSendCommand(FDeviceId, MCI_PLAY, FFlags, reinterpret_cast<DWORD_PTR>(&p));
    if (FError == 0) {
        ShowPlayState();
        Invalidate();
    }
}

// The end of a play as the hidden target of its notification hears it.
struct TPlayEnd {
    bool Done = false;
    WPARAM Code = MCI_NOTIFY_SUCCESSFUL;
};

class TMediaPlayer::TPlayWait {
public:
    ~TPlayWait()
    {
        if (Waker) DeallocateHWnd(Waker);
    }
    std::shared_ptr<TPlayEnd> End = std::make_shared<TPlayEnd>();
    HWND Waker = 0;
    MCIDEVICEID Id = 0;
    DWORD Flags = 0;
    MCIERROR Err = 0;  // the play command's own answer
    bool Awaited = false;
};

TMediaPlayer::TPlayTicket TMediaPlayer::BeginPlay()
{
    WaitNextCommand(true);
    CheckOpen();
    if (FAutoRewind && !FUseFrom && !FUseTo && Position() == Length()) RewindToStart();
    FFlags = MCI_NOTIFY | MCI_WAIT;
    if (FUseNotify) {
        FFlags = (FNotify ? MCI_NOTIFY : 0) | MCI_WAIT;
        FUseNotify = false;
    }
    FUseWait = false;
    MCI_PLAY_PARMS p = TakePlayRange();
    TPlayTicket ticket = Launch(FFlags, p);
    if (FError != 0) return nullptr;
    return ticket;
}

MCI_PLAY_PARMS TMediaPlayer::TakePlayRange()
{
    MCI_PLAY_PARMS p{};
    if (FUseFrom) {
        FFlags |= MCI_FROM;
        p.dwFrom = FFrom;
        FUseFrom = false;
    }
    if (FUseTo) {
        FFlags |= MCI_TO;
        p.dwTo = FTo;
        FUseTo = false;
    }
    return p;
}

TMediaPlayer::TPlayTicket TMediaPlayer::Launch(DWORD flags, MCI_PLAY_PARMS& p)
{
    // The call returns when the sound has ended, but the thread's messages flow meanwhile, as
    // they do while a synchronous request runs: the window repaints, moves and takes input. The
    // device plays on its worker and tells a target of this play when it is over: played
    // out, failed, or ended by a command that a handler gave meanwhile (a stop, a close, a new
    // play).
    auto ticket = std::make_shared<TPlayWait>();
    std::shared_ptr<TPlayEnd> end = ticket->End;
    ticket->Waker = AllocateHWnd([end](TMessage& m) {
        if (m.Msg != MM_MCINOTIFY) return;
        end->Done = true;
        end->Code = m.WParam;
    });
    ticket->Id = FDeviceId;
    ticket->Flags = flags;
    p.dwCallback = ticket->Waker;
    FError = mciSendCommand(ticket->Id, MCI_PLAY, (flags & ~MCI_WAIT) | MCI_NOTIFY, reinterpret_cast<DWORD_PTR>(&p));
    ticket->Err = FError;
    if (FError != 0) ticket->End->Done = true;
    return ticket;
}

void TMediaPlayer::AwaitPlay(const TPlayTicket& ticket)
{
    if (!ticket || ticket->Awaited) return;
    ticket->Awaited = true;
    const std::shared_ptr<TPlayEnd> end = ticket->End;
    const MCIDEVICEID id = ticket->Id;
    const HWND target = FHandle;
    const MCIERROR err = ticket->Err;
    auto ending = [] { return Application && Application->Terminated(); };
    TLiveness guard = Liveness();
    while (err == 0 && !end->Done) {
        // The application's loop cannot end before this call does: a program asked to end
        // stops the sound.
        if (ending()) {
            mciSendCommand(id, MCI_STOP, MCI_WAIT, 0);
            end->Code = MCI_NOTIFY_ABORTED;
            break;
        }
        ProcessMessages();
        if (!guard) break;
        if (!end->Done && !ending()) WaitMessage(-1);
    }
    // A player destroyed meanwhile has closed its device.
    if (!guard) return;
    // A play that started and then lost its output reports it only by its end.
    FError = err == 0 && end->Code == MCI_NOTIFY_FAILURE ? MCIERR_HARDWARE : err;
    // The completion message follows the call, as it would after a play that blocks.
    if (err == 0 && (ticket->Flags & MCI_NOTIFY))
        PostMessage(target, MM_MCINOTIFY, end->Code, static_cast<LPARAM>(id));
}

void TMediaPlayer::SetVolume(DWORD v)
{
    FVolume = std::min<DWORD>(v, 1000);
    if (FDeviceId != 0) SendVolume();
}

void TMediaPlayer::SendVolume()
{
    MCI_DGV_SETAUDIO_PARMS p{};
    p.dwCallback = FHandle;
    p.dwItem = MCI_DGV_SETAUDIO_VOLUME;
    p.dwValue = FVolume;
    mciSendCommand(FDeviceId, MCI_SETAUDIO, MCI_WAIT | MCI_DGV_SETAUDIO_ITEM | MCI_DGV_SETAUDIO_VALUE,
                   reinterpret_cast<DWORD_PTR>(&p));
}

void TMediaPlayer::RewindToStart()
{
    MCI_SEEK_PARMS p{};
    p.dwCallback = FHandle;
    FError = mciSendCommand(FDeviceId, MCI_SEEK, MCI_WAIT | MCI_SEEK_TO_START, reinterpret_cast<DWORD_PTR>(&p));
}

void TMediaPlayer::WaitNextCommand(bool v)
{
    FWait = v;
    FUseWait = true;
}

void TMediaPlayer::NotifyNextCommand(bool v)
{
    FNotify = v;
    FUseNotify = true;
}

std::uint8_t TMediaPlayer::CurrentMode()
{
    MCI_STATUS_PARMS p{};
    p.dwItem = MCI_STATUS_MODE;
    FError = mciSendCommand(FDeviceId, MCI_STATUS, MCI_WAIT | MCI_STATUS_ITEM, reinterpret_cast<DWORD_PTR>(&p));
    return static_cast<std::uint8_t>(p.dwReturn - MCI_MODE_NOT_READY);
}

DWORD TMediaPlayer::Length()
{
    MCI_STATUS_PARMS p{};
    p.dwItem = MCI_STATUS_LENGTH;
    FError = mciSendCommand(FDeviceId, MCI_STATUS, MCI_WAIT | MCI_STATUS_ITEM, reinterpret_cast<DWORD_PTR>(&p));
    return static_cast<DWORD>(p.dwReturn);
}

DWORD TMediaPlayer::Position()
{
    MCI_STATUS_PARMS p{};
    p.dwItem = MCI_STATUS_POSITION;
    FError = mciSendCommand(FDeviceId, MCI_STATUS, MCI_WAIT | MCI_STATUS_ITEM, reinterpret_cast<DWORD_PTR>(&p));
    return static_cast<DWORD>(p.dwReturn);
}

void TMediaPlayer::SetStartPos(DWORD v)
{
    FFrom = v;
    FUseFrom = true;
}

void TMediaPlayer::SetEndPos(DWORD v)
{
    FTo = v;
    FUseTo = true;
}

std::string TMediaPlayer::LastErrorText() const
{
    std::vector<char> buf(4096);
    if (!mciGetErrorString(FError, buf.data(), static_cast<UINT>(buf.size()))) return "Unknown error code";
    return buf.data();
}

void TMediaPlayer::Loaded()
{
    if (FAutoOpen) OpenDevice();
}

void TMediaPlayer::MMNotify(TMessage& m)
{
    if (FAutoEnable && CurrentMode() == 1) {
        if (FCanPlay) FAutoButtons |= ButtonBit(btPlay);
        if (FCanRecord) FAutoButtons |= ButtonBit(btRecord);
        FAutoButtons &= ~(ButtonBit(btPause) | ButtonBit(btStop));
        Invalidate();
    }
    switch (m.WParam) {
    case MCI_NOTIFY_SUCCESSFUL: FNotifyValue = nvSuccessful; break;
    case MCI_NOTIFY_SUPERSEDED: FNotifyValue = nvSuperseded; break;
    case MCI_NOTIFY_ABORTED: FNotifyValue = nvAborted; break;
    case MCI_NOTIFY_FAILURE: FNotifyValue = nvFailure; break;
    default: break;
    }
    DoNotify();
}

void TMediaPlayer::DoNotify()
{
    if (auto handler = OnNotify) handler(this);
}

void TMediaPlayer::SetAutoEnable(bool v)
{
    FAutoEnable = v;
    Invalidate();
}

void TMediaPlayer::SetVisibleButtons(TButtonSet v)
{
    FVisibleButtons = v & mpAllButtons;
    Invalidate();
}

void TMediaPlayer::SetEnabledButtons(TButtonSet v)
{
    FEnabledButtons = v & mpAllButtons;
    Invalidate();
}

void TMediaPlayer::SetColoredButtons(TButtonSet v)
{
    FColoredButtons = v & mpAllButtons;
    Invalidate();
}

void TMediaPlayer::SetTabStop(bool v)
{
    FTabStop = v;
    Widget()->setFocusPolicy(v ? Qt::StrongFocus : Qt::NoFocus);
}

bool TMediaPlayer::ButtonEnabled(TMPBtnType b) const
{
    if (!Enabled() || !(FEnabledButtons & ButtonBit(b))) return false;
    return !FAutoEnable || (FAutoButtons & ButtonBit(b));
}

void TMediaPlayer::Paint()
{
    TCanvas& c = Canvas();
    std::vector<TMPBtnType> shown;
    for (int i = 0; i < mpButtonCount; ++i)
        if (FVisibleButtons & ButtonBit(static_cast<TMPBtnType>(i))) shown.push_back(static_cast<TMPBtnType>(i));
    for (std::size_t i = 0; i < shown.size(); ++i)
        DrawButton(c, shown[i], MPButtonRect(static_cast<int>(i), static_cast<int>(shown.size()), Width(), Height()));
}

void TMediaPlayer::DrawButton(TCanvas& c, TMPBtnType b, const TRect& r) const
{
    // A raised face: light upper-left edge, dark lower-right edge, black outline.
    c.Pen().Clear = false;
    c.Pen().Width = 1;
    c.Pen().Color = clBlack;
    c.Brush().Style = bsSolid;
    c.Brush().Color = clBtnFace;
    c.Rectangle(r);
    c.Pen().Color = clWhite;
    c.MoveTo(r.Left + 1, r.Bottom - 2);
    c.LineTo(r.Left + 1, r.Top + 1);
    c.LineTo(r.Right - 1, r.Top + 1);
    c.Pen().Color = clGray;
    c.MoveTo(r.Left + 1, r.Bottom - 2);
    c.LineTo(r.Right - 2, r.Bottom - 2);
    c.LineTo(r.Right - 2, r.Top);

    TColor ink = !ButtonEnabled(b) ? clGray : (FColoredButtons & ButtonBit(b)) ? GlyphColour(b) : clBlack;
    c.Pen().Color = ink;
    c.Brush().Color = ink;
    int s = std::max(2, std::min(r.Width(), r.Height()) / 3);  // glyph size
    int cx = (r.Left + r.Right) / 2, cy = (r.Top + r.Bottom) / 2;
    int x0 = cx - s / 2, y0 = cy - s / 2;
    auto right = [&](int x, int w) { c.Polygon({{x, y0}, {x + w, cy}, {x, y0 + s}}); };
    auto left = [&](int x, int w) { c.Polygon({{x + w, y0}, {x, cy}, {x + w, y0 + s}}); };
    auto bar = [&](int x, int w) { c.FillRect(Rect(x, y0, x + w, y0 + s + 1)); };
    switch (b) {
    case btPlay: right(x0, s); break;
    case btPause:
        bar(x0, s / 3 + 1);
        bar(x0 + s - s / 3, s / 3 + 1);
        break;
    case btStop: c.FillRect(Rect(x0, y0, x0 + s + 1, y0 + s + 1)); break;
    case btNext:
        right(x0, s - 2);
        bar(x0 + s - 1, 2);
        break;
    case btPrev:
        bar(x0, 2);
        left(x0 + 2, s - 2);
        break;
    case btStep:
        bar(x0, 2);
        right(x0 + 3, s - 3);
        break;
    case btBack:
        left(x0, s - 3);
        bar(x0 + s - 1, 2);
        break;
    case btRecord: c.Ellipse(Rect(x0, y0, x0 + s + 1, y0 + s + 1)); break;
    case btEject:
        c.Polygon({{cx, y0}, {x0 + s, y0 + s * 2 / 3}, {x0, y0 + s * 2 / 3}});
        c.FillRect(Rect(x0, y0 + s * 2 / 3 + 2, x0 + s + 1, y0 + s + 1));
        break;
    }
}

}  // namespace kapo
