// The main window: its components, their places and design values, and its handlers.
#pragma once

#include <string>

#include "ui/ExtCtrls.h"
#include "ui/Forms.h"
#include "net/HttpProt.h"
#include "ui/StdCtrls.h"
#include "widgets/FileCtrl.h"
#include "widgets/Gauges.h"
#include "widgets/Outline.h"

namespace kapo {

// The service's own base address: a host name followed by "/", without scheme. The host is
// under a reserved test domain, so nothing real is contacted by accident.
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
    // The folder the folder list showed before the saved one was applied.
    std::string StartFolder;
    bool Dragging = false;
    int DragStartX = 0;
    int DragStartY = 0;
    // The window's place and the pointer's screen position at the mouse-down of a drag.
    TPoint DragWindowStart;
    TPoint DragPointerStart;

    TShape* BusyLamp() const { return Shp1; }

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
    void ListaClick(TObject* Sender);
    void HttpCli1DocBegin(TObject* Sender);
    void HttpCli1DocData(TObject* Sender, const void* Buffer, int Len);
    void HttpCli1DocEnd(TObject* Sender);
    void NomesDblClick(TObject* Sender);

private:
    TImage* NewButton(int left, int top, const std::string& hint);
    TLabel* NewLabel(TWinControl* parent, int left, int top, int width, int height, const std::string& caption,
                     const std::string& font, int fontHeight, TColor color, TAlignment alignment);
    TEdit* NewEdit(TWinControl* parent, int left, int top, int width, TColor textColor, int tabOrder);
    void ShowPressed(TImage* button);
    void ShowReleased(TImage* button);
};

extern TForm1* Form1;

}  // namespace kapo
