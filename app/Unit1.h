// The main window: its components, their places and design values, and its handlers.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>

#include "app/PreviewSettings.h"
#include "app/SoundCache.h"
#include "app/FailureText.h"

#include "ui/ExtCtrls.h"
#include "ui/Forms.h"
#include "net/HttpProt.h"
#include "platform/PrivateFolder.h"
#include "platform/Timer.h"
#include "ui/StdCtrls.h"
#include "widgets/FileCtrl.h"
#include "widgets/Gauges.h"
#include "widgets/MPlayer.h"
#include "widgets/Outline.h"

namespace kapo {

class TCatalogueSearch;

// The service's base address the settings panel starts with: a host name (and port) followed
// by "/", without scheme; by default the demo service on this machine.
extern const char* const DefaultBaseAddress;
extern const char* const IdleStatusText;

// Busy lamp colours.
constexpr TColor LampIdle = clMaroon;
constexpr TColor LampBusy = clRed;
constexpr TColor LampReceiving = clLime;

// The folder of the program file, with its trailing "/".
std::string ProgramFolderOf();
// Tests run the window against a folder of their own.
void SetProgramFolderForTesting(const std::string& folder);
// Where kapo.ini is kept, with its trailing "/": beside the program when that folder is
// writable and not one of the system's program folders (an installed program), otherwise
// $XDG_CONFIG_HOME/kapo/ (~/.config/kapo/ when unset).
std::string SettingsFolderOf(const std::string& programFolder);

class TForm1 : public TForm {
public:
    explicit TForm1(TComponent* owner);
    ~TForm1() override;

    // Components, in creation order.
    TImage* Imp;
    TImage* Fim;
    TShape* Shp1;
    TGauge* G1;
    TLabel* Stk;
    TImage* Stop;
    TImage* Sons;
    TImage* Transf;
    TImage* Config;
    TLabel* Label1;
    TOutline* Lista;
    TListBox* Nomes;
    TDirectoryListBox* Dir;
    TDriveComboBox* Drv;
    TNotebook* Abook;
    TMediaPlayer* Mp;
    THttpCli* HttpCli1;
    // page "Default"
    TImage* Image1;
    TLabel* Label30;
    TLabel* Label31;
    TLabel* Label3;
    TLabel* Label7;
    TLabel* Label2;
    TEdit* Login;
    TEdit* Senha;
    TEdit* Proxy;
    TEdit* PrPort;
    TEdit* Serv;
    // page "Extra"
    TImage* Fim1;
    TImage* Fim2;
    TMemo* Memo1;

    std::string ProgramFolder;
    std::string SettingsFolder;
    // The folder the folder list showed before the saved one was applied.
    std::string StartFolder;
    bool Dragging = false;
    int DragStartX = 0;
    int DragStartY = 0;
    // The window's place and the pointer's screen position at the mouse-down of a drag.
    TPoint DragWindowStart;
    TPoint DragPointerStart;

    // What the gauge counts while a transfer is taken up again or a batch runs: the bytes of
    // the sound already there before this request and the sound's whole length (-1 unknown),
    // and the sound's place in the batch.
    struct TGaugeShare {
        std::int64_t Before = 0, Whole = -1;
        int Index = 0, Count = 1;
        bool Active() const { return Before > 0 || Count > 1; }
    };
    TGaugeShare GaugeShare;

    TShape* BusyLamp() const { return Shp1; }
    // Where the index, the lists and preview copies are fetched to: never a folder of the user.
    TPrivateFolder& PrivateFolder() { return *FPrivateFolder; }
    // The search over the whole catalogue (Ctrl+F).
    TCatalogueSearch& Search() { return *FSearch; }

    // Fetches BaseAddress + FileName into LocalFolder + FileName and answers "Ok!",
    // "Erro no download!" or "Não encontrei arquivo!". A fetch still running is cancelled first.
    std::string FetchFile(const std::string& LocalFolder, const std::string& BaseAddress, const std::string& FileName,
                          const std::string& Login, const std::string& Password);

    void FormCreate(TObject* Sender);
    void FormActivate(TObject* Sender);
    void FormDestroy(TObject* Sender);
    void ShapeWindow();

    void ImpMouseDown(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
    void ImpMouseMove(TObject* Sender, TShiftState Shift, int X, int Y);
    void ImpMouseUp(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
    void FimMouseDown(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
    void FimMouseUp(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
    void StopMouseDown(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
    void StopMouseUp(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
    void SonsMouseDown(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
    void SonsMouseUp(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
    void TransfMouseDown(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
    void TransfMouseUp(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
    void ConfigMouseDown(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
    void ConfigMouseUp(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
    void DrvClick(TObject* Sender);
    // The buttons' keys (Esc, F5, Ctrl+S, Ctrl+comma, Ctrl+Q), seen before the focused control.
    void FormKeyDown(TObject* Sender, unsigned short& Key, TShiftState Shift);
    // Enter or Space previews the selected sound, as a double click does.
    void NomesKeyDown(TObject* Sender, unsigned short& Key, TShiftState Shift);
    void ListaClick(TObject* Sender);
    void HttpCli1DocBegin(TObject* Sender);
    void HttpCli1DocData(TObject* Sender, const void* Buffer, int Len);
    void HttpCli1DocEnd(TObject* Sender);
    void NomesDblClick(TObject* Sender);
    // With auditioning on, a new selection in the list is previewed once it has rested.
    void NomesClick(TObject* Sender);
    // The wheel over the lamp or the gauge sets the volume.
    void VolumeWheel(TObject* Sender, TShiftState Shift, int WheelDelta, TPoint MousePos, bool& Handled);

    // Previews a sound whose name has been checked: from a copy still there, from the sounds
    // heard before, or fetched and played while it arrives.
    void PreviewSound(const std::string& Name);
    void SetAudition(bool On);
    // Steps of 10 % up or down; the status line shows the new level.
    void ChangeVolume(int Steps);
    const TPreviewSettings& PreviewSettings() const { return FPreviewSettings; }
    TSoundCache& SoundCache() { return FSounds; }
    // How long the selection rests before auditioning plays it.
    static constexpr int AuditionRestMs = 200;
    // A row dragged out of the window: the sound goes as a file (text/uri-list).
    void NomesStartDrag(TObject* Sender, int Index);
    void InstallDragOut();
    // The application is asked to end (Ctrl+Q, the close button, the desktop, a signal): a
    // fetch in progress is stopped at once, so the loop can end without waiting for it.
    void ApplicationTerminate(TObject* Sender);

    // The sound's file name in a row of the list: the characters before the one that precedes
    // the first colon (Colon is its position from 0).
    static std::string SoundName(const std::string& Row, std::size_t Colon);

private:
    // A fetch in progress; a later fetch marks it superseded before it aborts its request.
    struct TFetch {
        bool Superseded = false;
        std::function<void(std::int64_t)> Progress;
        TFetchFileStream* Stream = nullptr;  // the file of the fetch with its cap, when it makes one
    };
    // FetchFile with the local path and the address given whole. Superseded, when given, tells
    // whether a later fetch cancelled this one; the later one's caller then owns the window.
    // Rights: permission bits of a new local file (the program's own copies are owner-only).
    // Progress, when given, hears the bytes written so far after each block; Into, when given,
    // receives the body instead of a new file at LocalPath.
    std::string FetchInto(const std::string& LocalPath, const std::string& Address, const std::string& Login,
                          const std::string& Password, bool* Superseded = nullptr, mode_t Rights = 0600,
                          std::function<void(std::int64_t)> Progress = {}, TStream* Into = nullptr);

    // The sound of the selected row, when there is one, the login and password are given and
    // its name is safe as a file name; otherwise false, with the status line saying what is
    // missing.
    bool SelectedSound(std::string& Name);
    // Plays a local copy through Mp until it ends or a handler ends it (Stop, another preview,
    // closing), then deletes it; a play that fails puts the device's text in the status line.
    // False when the device refused the file as a sound (an error page, another format).
    bool PlaySound(const std::string& Path);
    // Fetches a sound into the folder and gives it its name only when it came whole, taking up
    // what an earlier try left. Answers FetchFile's result, or "Som já existe!!!" when the name
    // was taken meanwhile.
    std::string TransferSound(const std::string& Folder, const std::string& Name);
    // The gauge as the share of the sound (and of the batch) that has arrived.
    void ShowGaugeShare();
    // With more than the highlighted row selected, transfers every selected sound in turn and
    // sums up in the status line; false when the single transfer is to handle the press.
    bool TransferSelection();
    // The file a drag of the row hands over, fetched into the cache when it is not in the
    // folder; empty, with the reason in Why when there is one, when there is none.
    std::string DragFile(int Index, std::string& Why);
    int FStopPresses = 0;
    bool FBatchRunning = false;

    // One preview from its copy, the cache or the service.
    void PreviewOnce(const std::string& Name);
    void AuditionRested();

    // Puts what failed in the status line: the failure's own text, else the fetch's result
    // (a catalogue file) or the club's refusal (a sound).
    void ShowFetchFailure(TFetchKind Kind, const std::string& Result);

    std::unique_ptr<TPrivateFolder> FPrivateFolder;
    TFetch* FRunningFetch = nullptr;
    TSoundCache FSounds;
    TPreviewSettings FPreviewSettings;
    std::unique_ptr<TQueueTimer> FAuditionRest;
    int FPreviewDepth = 0;
    bool FAuditionPending = false;
    int FWheelRest = 0;
    std::unique_ptr<TCatalogueSearch> FSearch;
    // How the last fetch that failed ended.
    TFetchOutcome FLastOutcome;
    bool FLastFetchFailed = false;

    TImage* NewButton(int left, int top, const std::string& hint);
    TLabel* NewLabel(TWinControl* parent, int left, int top, int width, int height, const std::string& caption,
                     const std::string& font, int fontHeight, TColor color, TAlignment alignment);
    TEdit* NewEdit(TWinControl* parent, int left, int top, int width, TColor textColor, int tabOrder);
    void ShowPressed(TImage* button);
    void ShowReleased(TImage* button);
};

extern TForm1* Form1;

// The status line after a batch: "3 sons transferidos, 1 já existia, 1 falhou".
std::string BatchSummary(int Transferred, int Existing, int Failed, bool Stopped);

}  // namespace kapo
