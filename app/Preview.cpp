// The window's preview: a sound plays while it downloads, sounds heard before come from
// memory, auditioning follows the selection in the list, and the level is the user's.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "app/Unit1.h"
#include "platform/GrowingFile.h"

namespace kapo {

namespace {

// The first bytes of a file as they are now.
std::string ReadHead(const std::string& path, std::size_t most)
{
    std::string head(most, '\0');
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    ssize_t n = ::pread(fd, head.data(), head.size(), 0);
    ::close(fd);
    head.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return head;
}

// A whole file, or nothing when it is larger than most.
bool ReadWhole(const std::string& path, std::size_t most, std::string& bytes)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bytes.clear();
    std::vector<char> buf(1 << 16);
    bool ok = true;
    for (;;) {
        ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || bytes.size() + static_cast<std::size_t>(std::max<ssize_t>(n, 0)) > most) ok = false;
        if (n <= 0 || !ok) break;
        bytes.append(buf.data(), static_cast<std::size_t>(n));
    }
    ::close(fd);
    return ok;
}

// Puts a kept sound back where the player reads it: the private folder, owner-only.
void WriteCopy(const std::string& path, const std::string& bytes)
{
    TFileStream file(path, fmCreate, 0600);
    if (file.Write(bytes.data(), static_cast<std::int64_t>(bytes.size())) != static_cast<std::int64_t>(bytes.size()))
        throw EWriteError("Stream write error");
}

// How a play that starts during its download gets on.
struct TStreamedPlay {
    bool Started = false;
    bool Whole = false;  // no early start: the file is played once it is complete
    MCIDEVICEID Device = 0;
    TMediaPlayer::TPlayTicket Ticket;
    std::string Failure;  // the device's text when the play could not start
};

// Opens the copy and starts its play without waiting for it; a refused open leaves the copy to
// be played once it is whole. Runs inside a download's data event, so nothing escapes.
void StartEarly(TMediaPlayer& mp, const std::string& copy, TStreamedPlay& play)
{
    try {
        if (mp.CurrentMode() == 2) mp.CloseDevice();
        mp.SetFileName(copy);
        mp.OpenDevice();
    } catch (const std::exception&) {
        play.Whole = true;
        return;
    }
    play.Started = true;
    play.Device = mp.DeviceId();
    play.Ticket = mp.BeginPlay();
    if (!play.Ticket) play.Failure = mp.LastErrorText();
}

// Enough of the sound is there to start: the header and the first tenth of a second of
// frames (or all of them, for a shorter sound).
bool ReadyToStart(const TWaveLayout& w, std::uint64_t size)
{
    const std::uint64_t tenth = std::uint64_t(w.SampleRate) / 10 * w.BlockAlign;
    return size >= w.DataOffset + std::min(w.DataSize, tenth);
}

}  // namespace

void TForm1::PreviewSound(const std::string& Name)
{
    // Auditioning ends the preview under way and asks for the next one; the outermost preview
    // plays it once the first has unwound, so that a long walk through the list never stacks
    // one wait inside another.
    TLiveness guard = Liveness();
    const bool outermost = FPreviewDepth == 0;
    ++FPreviewDepth;
    struct TDepth {
        TLiveness& Guard;
        int& Depth;
        ~TDepth()
        {
            if (Guard) --Depth;
        }
    } depth{guard, FPreviewDepth};
    PreviewOnce(Name);
    while (outermost && guard && FAuditionPending) {
        FAuditionPending = false;
        BusyLamp()->SetBrushColor(LampBusy);
        Stk->SetCaption("");
        std::string next;
        if (SelectedSound(next)) PreviewOnce(next);
    }
}

void TForm1::PreviewOnce(const std::string& Name)
{
    const std::string copy = PrivateFolder().Path() + Name;
    // The play lets the window go on, so it may be gone when the play returns.
    TLiveness guard = Liveness();
    // A copy still there (its deletion failed) is played without fetching again.
    if (FileExists(copy)) {
        PlaySound(copy);
        if (!guard) return;
        BusyLamp()->SetBrushColor(LampIdle);
        return;
    }
    if (const std::string* kept = FSounds.Find(Name)) {
        const TWaveLayout layout = ReadWaveLayout(kept->data(), kept->size());
        TStreamedPlay play;
        if (layout.Complete && layout.Streamable) {
            // The play starts on the first piece of the copy, as it would during a download;
            // writing the rest of a long sound would otherwise delay it.
            std::shared_ptr<TGrowingFile> growth = TGrowingFile::Begin(copy);
            TFileStream file(copy, fmCreate, 0600);
            auto put = [&](std::size_t from, std::size_t to) {
                const auto n = static_cast<std::int64_t>(to - from);
                if (file.Write(kept->data() + from, n) != n) throw EWriteError("Stream write error");
                growth->Grew(to);
            };
            const std::size_t first = std::min<std::size_t>(kept->size(), layout.DataOffset + 65536);
            put(0, first);
            StartEarly(*Mp, copy, play);
            put(first, kept->size());
            growth->End(true);
        } else {
            WriteCopy(copy, *kept);
        }
        if (!play.Started) {
            PlaySound(copy);
            if (!guard) return;
        } else {
            Mp->AwaitPlay(play.Ticket);
            DeleteFile(copy);
            if (!guard) return;
            if (!play.Failure.empty()) Stk->SetCaption(play.Failure);
            else if (Mp->LastError() != 0) Stk->SetCaption(Mp->LastErrorText());
        }
        BusyLamp()->SetBrushColor(LampIdle);
        return;
    }

    // The copy is played as it arrives: the device is told that it is still growing, and the
    // play starts as soon as the header and the first frames are in.
    std::shared_ptr<TGrowingFile> growth = TGrowingFile::Begin(copy);
    TStreamedPlay play;
    auto progress = [&](std::int64_t size) {
        growth->Grew(static_cast<std::uint64_t>(size));
        if (play.Started || play.Whole) return;
        const std::string head = ReadHead(copy, 65536);
        TWaveLayout layout = ReadWaveLayout(head.data(), head.size());
        if (!layout.Complete) return;
        // Anything but a plain wave is opened once it is whole, and refused then as before.
        if (!layout.Streamable) {
            play.Whole = true;
            return;
        }
        if (ReadyToStart(layout, static_cast<std::uint64_t>(size))) StartEarly(*Mp, copy, play);
    };
    bool superseded = false;
    std::string result;
    try {
        result = FetchInto(copy, Serv->Text() + "club/waves/" + Name, Login->Text(), Senha->Text(), &superseded, 0600,
                           progress);
    } catch (...) {
        growth->End(false);
        throw;
    }
    const bool ok = result == "Ok!" && !superseded;
    growth->End(ok);
    if (!guard) return;
    // Only what the device took for a sound is kept; an error page is not heard again.
    std::string bytes;
    const bool keep = ok && ReadWhole(copy, FSounds.Capacity(), bytes);
    if (keep && play.Started) FSounds.Put(Name, std::move(bytes));
    if (superseded) {
        // A later preview or fetch took over; a play of ours that it left running ends.
        if (play.Ticket && Mp->DeviceId() == play.Device && Mp->CurrentMode() == 2) Mp->CloseDevice();
        Mp->AwaitPlay(play.Ticket);
        DeleteFile(copy);
        return;
    }
    if (!ok) ShowFetchFailure(fkSound, result);
    BusyLamp()->SetBrushColor(LampIdle);
    if (!play.Started) {
        // Too short to start early, or not a plain wave: played now that it is whole.
        if (ok) {
            const bool sound = PlaySound(copy);
            if (!guard) return;
            // What the device refused is not kept, so it is fetched again next time.
            if (keep && sound) FSounds.Put(Name, std::move(bytes));
        } else {
            DeleteFile(copy);
        }
        if (!guard) return;
        BusyLamp()->SetBrushColor(LampIdle);
        return;
    }
    // A cut download has the sound stop where its data ends.
    Mp->AwaitPlay(play.Ticket);
    DeleteFile(copy);
    if (!guard) return;
    if (ok && !play.Failure.empty()) Stk->SetCaption(play.Failure);
    else if (ok && Mp->LastError() != 0) Stk->SetCaption(Mp->LastErrorText());
    BusyLamp()->SetBrushColor(LampIdle);
}

void TForm1::NomesClick(TObject*)
{
    if (!FPreviewSettings.Audition) return;
    // Every move starts the rest anew: keys held down fetch nothing on the way.
    FAuditionRest->Start(AuditionRestMs);
}

void TForm1::AuditionRested()
{
    if (!FPreviewSettings.Audition || Nomes->ItemIndex() < 0) return;
    if (FPreviewDepth > 0) {
        // Inside a preview: end it (its download too) and let it hand over.
        FAuditionPending = true;
        if (FRunningFetch) FRunningFetch->Superseded = true;
        HttpCli1->Abort();
        if (Mp->CurrentMode() == 2) Mp->CloseDevice();
        return;
    }
    NomesDblClick(Nomes);
}

void TForm1::SetAudition(bool On)
{
    FPreviewSettings.Audition = On;
    if (!On) {
        FAuditionRest->Stop();
        FAuditionPending = false;
    }
    Stk->SetCaption(On ? "Audição ligada" : "Audição desligada");
}

void TForm1::ChangeVolume(int Steps)
{
    FPreviewSettings.Volume = StepVolume(FPreviewSettings.Volume, Steps);
    Mp->SetVolume(static_cast<DWORD>(FPreviewSettings.Volume * 10));
    Stk->SetCaption(VolumeText(FPreviewSettings.Volume));
}

void TForm1::VolumeWheel(TObject*, TShiftState, int WheelDelta, TPoint, bool& Handled)
{
    // One step a notch; fine-grained wheels add up to notches.
    FWheelRest += WheelDelta;
    int steps = FWheelRest / 120;
    FWheelRest -= steps * 120;
    if (steps != 0) ChangeVolume(steps);
    Handled = true;
}

}  // namespace kapo
