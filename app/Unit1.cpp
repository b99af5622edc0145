#include "app/Unit1.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <vector>

#include "app/CatalogueSearch.h"
#include "core/Classes.h"
#include "ui/Regions.h"

namespace kapo {

// The build names the service the program starts with; a team builds its own in.
const char* const DefaultBaseAddress = KAPO_DEFAULT_SERVICE;
const char* const IdleStatusText = "Status da conexão...";

TForm1* Form1 = nullptr;

namespace {

constexpr TColor WindowColour = 0xA6BCC6;
constexpr TColor PanelColour = 0x7E7164;
constexpr TColor ChooserColour = 0xBDB49D;
constexpr TColor TreeTextColour = 0x263A51;
constexpr TColor KeyColour = 0xFF00FF;
const char* const SettingsFileName = "kapo.ini";
// Six lines of connection and folder, then the preview's (PreviewSettings.h).
constexpr std::size_t SettingsLineCount = 8;
constexpr std::size_t SettingsLineLimit = 4096;

std::string gProgramFolderOverride;

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

// Reads the lines the settings use, by the string lists' reading rules, each kept to the line
// limit. Only a regular file is read (a FIFO would block the start) and only as far as the
// last used line, so neither a huge file nor one that never ends costs more than those lines.
void LoadSettingsLines(const std::string& fileName, TStrings& lines)
{
    struct Handle {
        int Fd;
        ~Handle()
        {
            if (Fd >= 0) ::close(Fd);
        }
    } file{::open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    struct stat st {};
    if (file.Fd < 0 || ::fstat(file.Fd, &st) != 0 || !S_ISREG(st.st_mode))
        throw EFOpenError(Format("Cannot open file %s", fileName));
    std::vector<std::string> read;
    std::string line;
    bool inLine = false, afterCR = false, ended = false;
    std::vector<char> buf(65536);
    while (!ended) {
        ssize_t n = ::read(file.Fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw EReadError("Stream read error");
        if (n == 0) break;
        for (ssize_t i = 0; i < n && !ended; ++i) {
            char c = buf[static_cast<std::size_t>(i)];
            if (afterCR) {
                afterCR = false;
                if (c == '\n') continue;
            }
            if (c == '\0') {
                ended = true;
            } else if (c == '\r' || c == '\n') {
                read.push_back(std::move(line));
                line.clear();
                inLine = false;
                afterCR = c == '\r';
                ended = read.size() == SettingsLineCount;
            } else {
                inLine = true;
                if (line.size() < SettingsLineLimit) line += c;
            }
        }
    }
    if (inLine && read.size() < SettingsLineCount) read.push_back(std::move(line));
    lines.BeginUpdate();
    lines.Clear();
    for (const std::string& l : read) lines.Add(l);
    lines.EndUpdate();
}

}  // namespace

std::string ProgramFolderOf()
{
    if (!gProgramFolderOverride.empty()) return gProgramFolderOverride;
    std::string buf(4096, '\0');
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return "./";
    buf.resize(static_cast<std::size_t>(n));
    return ExtractFilePath(buf);
}

std::string SettingsFolderOf(const std::string& programFolder)
{
    bool system = false;
    for (const char* prefix : {"/usr/", "/bin/", "/sbin/", "/opt/", "/snap/"})
        system = system || programFolder.rfind(prefix, 0) == 0;
    if (!system && ::access(programFolder.c_str(), W_OK) == 0) return programFolder;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    std::string base = config && config[0] == '/' ? config : std::string(home ? home : "") + "/.config";
    return IncludeTrailingPathDelimiter(base) + "kapo/";
}

void SetProgramFolderForTesting(const std::string& folder)
{
    gProgramFolderOverride = folder.empty() ? folder : IncludeTrailingPathDelimiter(folder);
}

TImage* TForm1::NewButton(int left, int top, const std::string& hint)
{
    auto* b = new TImage(this);
    b->SetParent(this);
    b->SetBounds(left, top, 22, 9);
    b->SetCursor(crDrag);
    b->SetHint(hint);
    b->SetShowHint(true);
    b->Picture().LoadFromResourceName("BUTTONUP");
    return b;
}

TLabel* TForm1::NewLabel(TWinControl* parent, int left, int top, int width, int height, const std::string& caption,
                         const std::string& font, int fontHeight, TColor color, TAlignment alignment)
{
    auto* l = new TLabel(this);
    l->SetParent(parent);
    l->SetBounds(left, top, width, height);
    l->SetTransparent(true);
    l->SetAlignment(alignment);
    l->Font().SetName(font);
    l->Font().SetHeight(fontHeight);
    l->Font().SetStyle(fsBold);
    l->Font().SetColor(color);
    l->SetCaption(caption);
    return l;
}

TEdit* TForm1::NewEdit(TWinControl* parent, int left, int top, int width, TColor textColor, int tabOrder)
{
    auto* e = new TEdit(this);
    e->SetParent(parent);
    e->SetBorderStyle(bsNone);
    e->SetBounds(left, top, width, 14);
    e->SetColor(PanelColour);
    e->Font().SetName("Arial");
    e->Font().SetHeight(-11);
    e->Font().SetStyle(fsBold);
    e->Font().SetColor(textColor);
    e->SetTabOrder(tabOrder);
    return e;
}

namespace {

// A name from the service that stays inside the folder it is put in.
bool SafeName(const std::string& name)
{
    return name != "." && name != ".." && name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

// Creates a folder and the missing ones above it; the folders made get the given rights.
void MakeFolders(const std::string& path, mode_t rights)
{
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        ::mkdir(path.substr(0, slash).c_str(), rights);
    ::mkdir(path.c_str(), rights);
}

// Whether anything (a file, a folder, a dangling link) bears the name.
bool Exists(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// Removes a local copy when the handler that fetched it is done with it, however it ends.
class TLocalCopy {
public:
    explicit TLocalCopy(std::string path) : FPath(std::move(path)) {}
    ~TLocalCopy() { DeleteFile(FPath); }
    TLocalCopy(const TLocalCopy&) = delete;
    TLocalCopy& operator=(const TLocalCopy&) = delete;
    const std::string& Path() const { return FPath; }

private:
    std::string FPath;
};

}  // namespace

TForm1::TForm1(TComponent* owner) : TForm(owner), FPrivateFolder(std::make_unique<TPrivateFolder>())
{
    Form1 = this;
    using namespace std::placeholders;
    SetName("Form1");
    SetCaption("Kapo 1.2");
    SetBorderStyle(bsFormNone);
    SetBorderIcons(0);
    SetBounds(196, 110, 604, 368);
    SetColor(WindowColour);
    Font().SetName("MS Sans Serif");
    Font().SetHeight(-11);
    Font().SetColor(clWindowText);

    Imp = new TImage(this);
    Imp->SetParent(this);
    Imp->SetBounds(0, 0, 600, 358);
    Imp->SetAutoSize(true);
    Imp->Picture().LoadFromResourceName("BACKGROUND");
    Imp->OnMouseDown = std::bind_front(&TForm1::ImpMouseDown, this);
    Imp->OnMouseMove = std::bind_front(&TForm1::ImpMouseMove, this);
    Imp->OnMouseUp = std::bind_front(&TForm1::ImpMouseUp, this);

    Fim = NewButton(485, 10, "Encerrar (Ctrl+Q)");
    Fim->OnMouseDown = std::bind_front(&TForm1::FimMouseDown, this);
    Fim->OnMouseUp = std::bind_front(&TForm1::FimMouseUp, this);

    Shp1 = new TShape(this);
    Shp1->SetParent(this);
    Shp1->SetBounds(100, 11, 15, 4);
    Shp1->SetBrushColor(clMaroon);

    G1 = new TGauge(this);
    G1->SetParent(this);
    G1->SetBounds(118, 11, 60, 4);
    G1->SetBackColor(0x804000);
    G1->SetForeColor(clLime);
    G1->SetProgress(0);
    G1->SetShowText(false);

    Stk = NewLabel(this, 185, 5, 109, 14, IdleStatusText, "Arial", -11, clSilver, taLeftJustify);

    Stop = NewButton(73, 10, "Interrompe download (Esc)");
    Stop->OnMouseDown = std::bind_front(&TForm1::StopMouseDown, this);
    Stop->OnMouseUp = std::bind_front(&TForm1::StopMouseUp, this);
    Sons = NewButton(39, 223, "Lista de waves (F5)");
    Sons->OnMouseDown = std::bind_front(&TForm1::SonsMouseDown, this);
    Sons->OnMouseUp = std::bind_front(&TForm1::SonsMouseUp, this);
    Transf = NewButton(43, 70, "Transfere wave (Ctrl+S)");
    Transf->OnMouseDown = std::bind_front(&TForm1::TransfMouseDown, this);
    Transf->OnMouseUp = std::bind_front(&TForm1::TransfMouseUp, this);
    Config = NewButton(43, 25, "Configurações (Ctrl+,)");
    Config->OnMouseDown = std::bind_front(&TForm1::ConfigMouseDown, this);
    Config->OnMouseUp = std::bind_front(&TForm1::ConfigMouseUp, this);

    Label1 = NewLabel(this, 50, 115, 15, 14, "1.2", "Arial", -11, clWindowText, taLeftJustify);

    Lista = new TOutline(this);
    Lista->SetParent(this);
    Lista->SetBounds(110, 158, 146, 180);
    Lista->SetOutlineStyle(osPictureText);
    Lista->SetOptions(ooDrawTreeRoot);
    Lista->SetStyle(otOwnerDraw);
    Lista->SetItemHeight(15);
    Lista->Font().SetName("Arial");
    Lista->Font().SetHeight(-12);
    Lista->Font().SetStyle(fsBold);
    Lista->Font().SetColor(TreeTextColour);
    Lista->SetColor(WindowColour);
    Lista->SetBorderStyle(bsNone);
    Lista->SetItemSeparator("\\");
    Lista->SetScrollBars(ssVertical);
    Lista->SetTabOrder(1);
    Lista->OnClick = std::bind_front(&TForm1::ListaClick, this);

    Nomes = new TListBox(this);
    Nomes->SetParent(this);
    Nomes->SetBounds(296, 41, 285, 301);
    Nomes->SetBorderStyle(bsNone);
    Nomes->SetColor(WindowColour);
    Nomes->Font().SetName("Courier New");
    Nomes->Font().SetHeight(-12);
    Nomes->Font().SetColor(clWindowText);
    Nomes->SetItemHeight(15);
    Nomes->SetTabOrder(2);
    Nomes->OnDblClick = std::bind_front(&TForm1::NomesDblClick, this);
    Nomes->OnKeyDown = std::bind_front(&TForm1::NomesKeyDown, this);
    Nomes->SetMultiSelect(true);
    InstallDragOut();

    Dir = new TDirectoryListBox(this);
    Dir->SetParent(this);
    Dir->SetBounds(100, 40, 180, 111);
    Dir->SetColor(WindowColour);
    Dir->SetItemHeight(16);
    Dir->SetTabOrder(3);

    Drv = new TDriveComboBox(this);
    Drv->SetParent(this);
    Drv->SetBounds(10, 85, 56, 19);
    Drv->SetColor(ChooserColour);
    Drv->SetDirList(Dir);
    Drv->SetTabOrder(4);
    Drv->OnClick = std::bind_front(&TForm1::DrvClick, this);

    Abook = new TNotebook(this);
    Abook->SetParent(this);
    Abook->SetBounds(83, 350, 508, 316);
    Abook->SetColor(PanelColour);
    Abook->SetTabOrder(0);
    TPage* page0 = Abook->AddPage("Default");
    TPage* page1 = Abook->AddPage("Extra");

    // Below the visible client area: never seen, only played through.
    Mp = new TMediaPlayer(this);
    Mp->SetParent(this);
    Mp->SetBounds(5, 397, 29, 30);
    Mp->SetVisibleButtons(ButtonBit(btPlay));
    Mp->SetTabOrder(5);
    Mp->SetTabStop(false);

    HttpCli1 = new THttpCli(this);
    HttpCli1->SetProxyPort("80");
    HttpCli1->SetAgent("Mozilla/3.0 (compatible)");
    HttpCli1->SetAccept("image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*");
    HttpCli1->SetNoCache(false);
    HttpCli1->SetContentTypePost("application/x-www-form-urlencoded");
    HttpCli1->SetMultiThreaded(false);
    // A service that stops answering ends the fetch after a minute without progress.
    HttpCli1->SetTimeout(60);
    HttpCli1->OnDocBegin = std::bind_front(&TForm1::HttpCli1DocBegin, this);
    HttpCli1->OnDocData = std::bind_front(&TForm1::HttpCli1DocData, this);
    HttpCli1->OnDocEnd = std::bind_front(&TForm1::HttpCli1DocEnd, this);

    Image1 = new TImage(this);
    Image1->SetParent(page0);
    Image1->SetBounds(0, 0, 508, 316);
    Image1->Picture().LoadFromResourceName("SETTINGS");
    Image1->OnMouseDown = std::bind_front(&TForm1::ImpMouseDown, this);
    Image1->OnMouseMove = std::bind_front(&TForm1::ImpMouseMove, this);
    Image1->OnMouseUp = std::bind_front(&TForm1::ImpMouseUp, this);

    Label30 = NewLabel(page0, 270, 289, 34, 14, "Login:", "Arial", -11, clNavy, taRightJustify);
    Label31 = NewLabel(page0, 392, 289, 37, 14, "Senha:", "Arial", -11, clNavy, taRightJustify);
    Label3 = NewLabel(page0, 103, 289, 33, 11, "Proxy:", "Small Fonts", -9, clNavy, taLeftJustify);
    Label7 = NewLabel(page0, 103, 274, 33, 11, "Porta:", "Small Fonts", -9, clNavy, taLeftJustify);
    Label2 = NewLabel(page0, 259, 274, 47, 11, "Servidor:", "Small Fonts", -9, clNavy, taRightJustify);

    Login = NewEdit(page0, 310, 287, 70, clYellow, 0);
    Senha = NewEdit(page0, 435, 287, 60, clYellow, 1);
    Senha->SetPasswordChar('*');
    Proxy = NewEdit(page0, 140, 287, 111, clSilver, 2);
    // The proxy's password is the user's secret, as the club's is: never read out.
    Proxy->SetAccessibleTextFilter(HideProxyPassword);
    PrPort = NewEdit(page0, 140, 272, 21, clSilver, 3);
    PrPort->SetText("80");
    Serv = NewEdit(page0, 310, 272, 186, clSilver, 4);
    Serv->SetText(DefaultBaseAddress);

    Fim1 = new TImage(this);
    Fim1->SetParent(page1);
    Fim1->SetBounds(10, 35, 22, 9);
    Fim1->Picture().LoadFromResourceName("BUTTONUP");
    Fim2 = new TImage(this);
    Fim2->SetParent(page1);
    Fim2->SetBounds(40, 35, 22, 9);
    Fim2->Picture().LoadFromResourceName("BUTTONDOWN");
    Memo1 = new TMemo(this);
    Memo1->SetParent(page1);
    Memo1->SetBounds(5, 5, 185, 21);
    Memo1->SetWordWrap(false);
    Memo1->SetTabOrder(0);
    Memo1->SetTabStop(false);

    // For the keyboard and assistive technology: the buttons after the lists, from the top of
    // the strip down, then the top bar; the labels name their edits, the status line is one.
    int order = 6;
    for (TImage* button : {Config, Transf, Sons, Stop, Fim}) {
        button->SetTabStop(true);
        button->SetTabOrder(order++);
    }
    Label30->SetFocusControl(Login);
    Label31->SetFocusControl(Senha);
    Label3->SetFocusControl(Proxy);
    Label7->SetFocusControl(PrPort);
    Label2->SetFocusControl(Serv);
    Stk->SetAccessibleRole(QAccessible::StatusBar);
    Dir->SetAccessibleName("Pastas");
    Lista->SetAccessibleName("Categorias");
    Nomes->SetAccessibleName("Sons");
    Drv->SetAccessibleName("Unidades");
    FSearch = std::make_unique<TCatalogueSearch>(*this);
    // A new selection names its category while searching, and is auditioned when that is on.
    Nomes->OnClick = [this](TObject* Sender) {
        TLiveness guard = Liveness();
        FSearch->SelectionChanged();
        if (guard) NomesClick(Sender);
    };
    ApplyTabOrder();
    SetKeyPreview(true);
    OnKeyDown = std::bind_front(&TForm1::FormKeyDown, this);
    // Sounds heard with other credentials or from another service are not those of the new ones.
    for (TEdit* e : {Serv, Login, Senha}) e->OnChange = [this](TObject*) { FSounds.Clear(); };
    for (TCustomControl* c : {static_cast<TCustomControl*>(Shp1), static_cast<TCustomControl*>(G1)}) {
        c->OnMouseWheel = std::bind_front(&TForm1::VolumeWheel, this);
        c->SetHint("Volume (Ctrl+↑, Ctrl+↓, roda do mouse) · audição ao navegar na lista (F6)");
        c->SetShowHint(true);
    }
    FAuditionRest = std::make_unique<TQueueTimer>([this] { AuditionRested(); });

    OnCreate = std::bind_front(&TForm1::FormCreate, this);
    OnActivate = std::bind_front(&TForm1::FormActivate, this);
    OnDestroy = std::bind_front(&TForm1::FormDestroy, this);
    if (Application) Application->OnTerminate = std::bind_front(&TForm1::ApplicationTerminate, this);
}

TForm1::~TForm1()
{
    // Its background clients go before the window they report to.
    FSearch.reset();
    BeforeDestruction();
    if (Form1 == this) {
        Form1 = nullptr;
        if (Application) Application->OnTerminate = nullptr;
    }
}

// ---- start-up and shut-down ----------------------------------------------------------

void TForm1::FormCreate(TObject*)
{
    ProgramFolder = ProgramFolderOf();
    SettingsFolder = SettingsFolderOf(ProgramFolder);
    SetClientSize(600, 358);
    Abook->SetPageIndex(0);
    Abook->SetBounds(83, 33, Abook->Width(), Abook->Height());
    Abook->SetColor(Imp->Picture().Canvas().Pixels(83, 33));
    StartFolder = Dir->Directory();
    bool loaded = false;
    try {
        LoadSettingsLines(SettingsFolder + SettingsFileName, Memo1->Lines());
        loaded = true;
    } catch (const std::exception&) {
        // A missing or unreadable settings file starts the program with empty settings.
        Serv->SetText(DefaultBaseAddress);
        Proxy->SetText("");
        PrPort->SetText("");
        Login->SetText("");
        Senha->SetText("");
    }
    if (loaded) {
        Proxy->SetText(Memo1->Lines()[1]);
        PrPort->SetText(Memo1->Lines()[2]);
        Login->SetText(Memo1->Lines()[3]);
        Senha->SetText(Memo1->Lines()[4]);
        FPreviewSettings = ReadPreviewSettings(Memo1->Lines()[6], Memo1->Lines()[7]);
        Mp->SetVolume(static_cast<DWORD>(FPreviewSettings.Volume * 10));
        try {
            Dir->ApplyPath(Memo1->Lines()[5]);
        } catch (const std::exception&) {
            // A saved folder that cannot be entered (a stick not plugged in) costs neither the
            // other settings nor the folder list's place; nothing is shown.
        }
    }
    Drv->SetCtl3D(false);
    Dir->SetCtl3D(false);
    Lista->SetColor(Imp->Picture().Canvas().Pixels(110, 158));
    Dir->SetColor(Lista->Color());
    Nomes->SetColor(Lista->Color());
    // Shaped before it is first shown: a window system may show a window without ever
    // activating it (wayland without an activation token), and the key colour would show.
    ShapeWindow();
}

void TForm1::FormDestroy(TObject*)
{
    Memo1->Lines().Clear();
    Memo1->Lines().Add(Serv->Text());
    Memo1->Lines().Add(Proxy->Text());
    Memo1->Lines().Add(PrPort->Text());
    Memo1->Lines().Add(Login->Text());
    Memo1->Lines().Add(Senha->Text());
    // A folder whose name holds a line break cannot be one line of the file.
    std::string folder = Dir->Directory();
    if (HasLineBreak(folder)) folder = HasLineBreak(StartFolder) ? std::string() : StartFolder;
    Memo1->Lines().Add(folder);
    WritePreviewSettings(FPreviewSettings, Memo1->Lines());
    FSounds.Clear();
    // The file holds the password: readable and writable by its owner only, and so is a
    // folder made for it.
    if (SettingsFolder != ProgramFolder) MakeFolders(SettingsFolder, 0700);
    // Written aside and renamed over the old file: a full disk or a crash keeps the old one.
    // The window is going: the failure is told on the program's error output, not in a box.
    const std::string file = SettingsFolder + SettingsFileName;
    try {
        Memo1->Lines().SaveToFileReplacing(file, 0600);
    } catch (const std::exception&) {
        std::fprintf(stderr, "Kapo: não consegui gravar as configurações em %s.\n", file.c_str());
    }
}

// ---- the skinned window --------------------------------------------------------------

void TForm1::FormActivate(TObject*)
{
    ShapeWindow();
    Fim->Picture().Assign(&Fim1->Picture());
}

void TForm1::ShapeWindow()
{
    SetBorderStyle(bsFormNone);
    SetBorderIcons(0);
    SetClientSize(Imp->Width(), Imp->Height());
    QRegion shape = RegionFromPicture(Imp->Picture(), KeyColour);
    SetWindowRgn(this, new QRegion(shape), true);
}

void TForm1::ImpMouseDown(TObject*, TMouseButton, TShiftState, int X, int Y)
{
    DragStartX = X;
    DragStartY = Y;
    DragWindowStart = TPoint{Form1->Left(), Form1->Top()};
    DragPointerStart = MouseCursorPos();
    Dragging = true;
    // Where the window system places windows itself, it carries out the drag.
    if (Form1->StartSystemMove()) Dragging = false;
}

void TForm1::ImpMouseMove(TObject*, TShiftState, int, int)
{
    if (!Dragging) return;
    // From screen positions: where the window system applies moves later, a motion event can
    // still be relative to the window's old place, and adding it up would run ahead of the
    // pointer. Where moves are immediate this is the same as following the picture point.
    TPoint p = MouseCursorPos();
    int left = DragWindowStart.X + (p.X - DragPointerStart.X);
    int top = DragWindowStart.Y + (p.Y - DragPointerStart.Y);
    if (left != Form1->Left()) Form1->SetLeft(left);
    if (top != Form1->Top()) Form1->SetTop(top);
}

void TForm1::ImpMouseUp(TObject*, TMouseButton, TShiftState, int, int)
{
    Abook->Hide();
    Dragging = false;
}

void TForm1::ShowPressed(TImage* button) { button->Picture().Assign(&Fim2->Picture()); }
void TForm1::ShowReleased(TImage* button) { button->Picture().Assign(&Fim1->Picture()); }

void TForm1::FimMouseDown(TObject*, TMouseButton, TShiftState, int, int) { ShowPressed(Fim); }

void TForm1::FimMouseUp(TObject*, TMouseButton, TShiftState, int, int)
{
    ShowReleased(Fim);
    Application->Terminate();
}

void TForm1::StopMouseDown(TObject*, TMouseButton, TShiftState, int, int)
{
    Abook->Hide();
    ShowPressed(Stop);
    BusyLamp()->SetBrushColor(LampIdle);
    ++FStopPresses;
    HttpCli1->Abort();
    FSearch->StopFetching();
    // A preview waits inside its double click while the window goes on; Stop ends it there.
    if (Mp->CurrentMode() == 2) Mp->CloseDevice();
}

void TForm1::StopMouseUp(TObject*, TMouseButton, TShiftState, int, int) { ShowReleased(Stop); }

void TForm1::SonsMouseDown(TObject*, TMouseButton, TShiftState, int, int)
{
    Abook->Hide();
    ShowPressed(Sons);
    if (BusyLamp()->Brush().Color == LampBusy) return;
    BusyLamp()->SetBrushColor(LampBusy);
    FSearch->CatalogueChanged();
    Lista->Clear();
    TLocalCopy index(PrivateFolder().Path() + PrivateFolder().NewName("indice", ".txt"));
    bool superseded = false;
    std::string result = FetchInto(index.Path(), Serv->Text() + "waves/" + "indice.txt", "", "", &superseded);
    if (superseded) return;
    if (result == "Ok!") {
        try {
            Lista->Lines().LoadFromFile(index.Path());
        } catch (const EOutlineLoadError& E) {
            Lista->Clear();
            Stk->SetCaption(MalformedIndexText(E.Line()));
        }
    } else {
        Lista->Clear();
        ShowFetchFailure(fkCatalogue, result);
    }
    BusyLamp()->SetBrushColor(LampIdle);
    G1->SetProgress(0);
}

void TForm1::SonsMouseUp(TObject*, TMouseButton, TShiftState, int, int) { ShowReleased(Sons); }

void TForm1::TransfMouseDown(TObject*, TMouseButton, TShiftState, int, int)
{
    Abook->Hide();
    ShowPressed(Transf);
    if (TransferSelection()) return;
    std::string folder = Dir->Directory() + "/";
    std::string name;
    if (!SelectedSound(name)) return;
    if (Exists(folder + name)) {
        Stk->SetCaption("Som já existe!!!");
        return;
    }
    std::string result;
    try {
        result = TransferSound(folder, name);
    } catch (const EFCreateError&) {
        Stk->SetCaption(FolderNotWritableText);
        return;
    }
    if (result == "Som já existe!!!") Stk->SetCaption(result);
    else if (result != "Ok!") ShowFetchFailure(fkSound, result);
}

void TForm1::TransfMouseUp(TObject*, TMouseButton, TShiftState, int, int) { ShowReleased(Transf); }

void TForm1::ConfigMouseDown(TObject*, TMouseButton, TShiftState, int, int)
{
    ShowPressed(Config);
    Abook->Show();
}

void TForm1::ConfigMouseUp(TObject*, TMouseButton, TShiftState, int, int) { ShowReleased(Config); }

void TForm1::DrvClick(TObject*) { Abook->Hide(); }

void TForm1::FormKeyDown(TObject*, unsigned short& Key, TShiftState Shift)
{
    // Each button's key; it acts as a click on the button, through the same handlers.
    if (FSearch->FormKeyDown(Key, Shift)) {
        Key = 0;
        return;
    }
    const TShiftState mods = Shift & (ssShift | ssAlt | ssCtrl);
    TImage* button = nullptr;
    if (mods == 0 && Key == VK_ESCAPE) button = Stop;
    else if (mods == 0 && Key == VK_F1 + 4) button = Sons;
    else if (mods == ssCtrl && Key == 'S') button = Transf;
    else if (mods == ssCtrl && Key == VK_OEM_COMMA) button = Config;
    else if (mods == ssCtrl && Key == 'Q') button = Fim;
    if (!button) {
        // The preview's keys act without a button.
        const bool audition = mods == 0 && Key == VK_F1 + 5;
        const int steps = mods != ssCtrl ? 0 : Key == VK_UP ? 1 : Key == VK_DOWN ? -1 : 0;
        if (!audition && steps == 0) return;
        Key = 0;
        if (audition) SetAudition(!FPreviewSettings.Audition);
        else ChangeVolume(steps);
        return;
    }
    Key = 0;
    button->PressAndRelease();
}

void TForm1::NomesKeyDown(TObject*, unsigned short& Key, TShiftState Shift)
{
    if ((Key != VK_RETURN && Key != VK_SPACE) || (Shift & (ssShift | ssAlt | ssCtrl))) return;
    Key = 0;
    Nomes->DblClick();
}

// ---- catalogue and preview -----------------------------------------------------------

void TForm1::ListaClick(TObject*)
{
    BusyLamp()->SetBrushColor(LampBusy);
    Stk->SetCaption("");
    int item = Lista->SelectedItem();
    if (item == 0) return;
    FSearch->Dismiss();
    Nomes->Clear();
    std::string line = Lista->Lines()[item - 1];
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) return;  // a heading opens no list
    // The list's name is taken as it stands, spaces included, and never becomes a local name.
    std::string listName = line.substr(colon + 1, 100);
    TLocalCopy list(PrivateFolder().Path() + PrivateFolder().NewName("lista", ".txt"));
    bool superseded = false;
    std::string result = FetchInto(list.Path(), Serv->Text() + "waves/" + listName, "", "", &superseded);
    if (superseded) return;
    if (result == "Ok!") {
        Nomes->Items().LoadFromFile(list.Path());
        Nomes->Repaint();
    } else {
        Nomes->Clear();
        ShowFetchFailure(fkCatalogue, result);
    }
    BusyLamp()->SetBrushColor(LampIdle);
}

void TForm1::NomesDblClick(TObject*)
{
    BusyLamp()->SetBrushColor(LampBusy);
    Stk->SetCaption("");
    std::string name;
    if (!SelectedSound(name)) return;
    PreviewSound(name);
}

bool TForm1::SelectedSound(std::string& Name)
{
    if (Nomes->ItemIndex() < 0) return false;
    std::string row = Nomes->Items()[Nomes->ItemIndex()];
    std::size_t colon = row.find(':');
    if (colon == std::string::npos) return false;
    Name = SoundName(row, colon);
    const char* refusal = Login->Text().empty()   ? "Falta login do Club!"
                          : Senha->Text().empty() ? "Falta senha do Club!"
                          : !SafeName(Name) || Name.size() > SoundNameLimit ? InvalidSoundNameText
                                                  : nullptr;
    if (refusal) Stk->SetCaption(refusal);
    return refusal == nullptr;
}

std::string TForm1::SoundName(const std::string& Row, std::size_t Colon)
{
    return Colon < 1 ? std::string() : Row.substr(0, Colon - 1);
}

bool TForm1::PlaySound(const std::string& Path)
{
    if (Mp->CurrentMode() == 2) Mp->CloseDevice();
    Mp->SetFileName(Path);
    try {
        Mp->OpenDevice();
    } catch (const EMCIDeviceError&) {
        // Not playable (an error page, other sound formats, a damaged file): the copy goes.
        DeleteFile(Path);
        Stk->SetCaption(UnplayableSoundText);
        return false;
    }
    Mp->WaitNextCommand(true);
    // The play returns when the sound has ended; the window repaints and takes input meanwhile,
    // and Stop, a double click on another sound or closing the window end it early.
    TLiveness guard = Liveness();
    bool started = false;
    try {
        Mp->StartPlay();
        started = true;
    } catch (const std::exception&) {
    }
    DeleteFile(Path);
    if (!guard) return true;
    // A sound the user cannot hear says why: no output, or one that another program holds.
    if (started && Mp->LastError() != 0) Stk->SetCaption(Mp->LastErrorText());
    return true;
}

// ---- fetching and transfer status ----------------------------------------------------

std::string TForm1::FetchFile(const std::string& LocalFolder, const std::string& BaseAddress,
                              const std::string& FileName, const std::string& Login, const std::string& Password)
{
    return FetchInto(LocalFolder + FileName, BaseAddress + FileName, Login, Password);
}

std::string TForm1::FetchInto(const std::string& LocalPath, const std::string& Address, const std::string& Login,
                              const std::string& Password, bool* Superseded, mode_t Rights,
                              std::function<void(std::int64_t)> Progress, TStream* Into)
{
    std::string result;
    if (!Into && FileExists(LocalPath)) DeleteFile(LocalPath);
    // Closing does not wait for a fetch, nor starts one.
    if (Application && Application->Terminated()) {
        FLastOutcome = TFetchOutcome{};
        FLastOutcome.Error = httperrAborted;
        FLastFetchFailed = true;
        return "Não encontrei arquivo!";
    }
    // A fetch started from a handler while another runs (inside that one's Get) cancels it; the
    // first call then ends with its own file and its own result.
    if (FRunningFetch) FRunningFetch->Superseded = true;
    HttpCli1->Abort();
    HttpCli1->SetURL(Address);
    // The client keeps a received Content-Range in its range fields, which the next request
    // would send: only a transfer taken up again asks for a range, and it sets its own.
    if (!Into) {
        HttpCli1->SetContentRangeBegin("");
        HttpCli1->SetContentRangeEnd("");
    }
    // "socks5://", "socks4a://" or "socks4://" + host names a SOCKS server, any other text an
    // HTTP proxy; "user:password@" gives either credentials, and a port written there wins.
    HttpCli1->SetProxyAddress(Proxy->Text(), PrPort->Text());
    HttpCli1->SetUsername(Login);
    HttpCli1->SetPassword(Password);
    // Only the sounds are the club's, and they always go with a login; the public catalogue
    // files never do. A stream given by the caller (a transfer taken up again) is its own.
    const TFetchKind kind = Login.empty() ? fkCatalogue : fkSound;
    std::unique_ptr<TFetchFileStream> file;
    if (!Into) file = std::make_unique<TFetchFileStream>(LocalPath, Rights, kind);
    TStream* const stream = Into ? Into : file.get();
    TFetch fetch;
    fetch.Progress = std::move(Progress);
    // A transfer's own file is capped and watched as well.
    fetch.Stream = file ? file.get() : dynamic_cast<TFetchFileStream*>(Into);
    TFetch* outer = FRunningFetch;
    FRunningFetch = &fetch;
    HttpCli1->SetRcvdStream(stream);
    bool failed = false;
    try {
        HttpCli1->Get();
        result = "Ok!";
    } catch (const std::exception&) {
        result = "Erro no download!";
        failed = true;
    }
    FRunningFetch = outer;
    if (!fetch.Superseded) {
        FLastFetchFailed = failed;
        FLastOutcome = TFetchOutcome{};
        if (failed) {
            FLastOutcome.Status = HttpCli1->StatusCode();
            FLastOutcome.Error = HttpCli1->RequestDoneError();
            FLastOutcome.Reason = HttpCli1->ReasonPhrase();
            const TStrings& head = HttpCli1->RcvdHeader();
            if (head.Count() > 0 && head[0].rfind("HTTP/", 0) == 0 && head[0].size() >= 12)
                FLastOutcome.ResponseStatus = std::atoi(head[0].c_str() + 9);
            FLastOutcome.ViaProxy = !Trim(Proxy->Text()).empty();
            if (fetch.Stream) {
                FLastOutcome.WriteErrno = fetch.Stream->WriteErrno();
                FLastOutcome.OverLimit = fetch.Stream->OverLimit();
            }
        }
    }
    if (HttpCli1->RcvdStream() == stream) HttpCli1->SetRcvdStream(nullptr);
    std::int64_t size = stream->Size();
    file.reset();
    // A cancelled request may have seen the later request's success as its own.
    if (fetch.Superseded && result == "Ok!") result = "Erro no download!";
    if (size == 0) result = "Não encontrei arquivo!";
    if (Superseded) *Superseded = fetch.Superseded;
    return result;
}


void TForm1::HttpCli1DocBegin(TObject*)
{
    if (GaugeShare.Active()) ShowGaugeShare();
    else G1->SetProgress(0);
    Stk->SetCaption("Baixando arquivo...");
    BusyLamp()->SetBrushColor(LampBusy);
    // A document that says at once that it is beyond its cap is not fetched at all.
    if (FRunningFetch && FRunningFetch->Stream && !FRunningFetch->Stream->Accept(HttpCli1->ContentLength()))
        HttpCli1->Abort();
}

void TForm1::ApplicationTerminate(TObject*) { HttpCli1->Abort(); }

void TForm1::ShowFetchFailure(TFetchKind Kind, const std::string& Result)
{
    std::string text = FLastFetchFailed ? FailureText(FLastOutcome, Kind) : std::string();
    const bool stopped = FLastFetchFailed && FLastOutcome.Error == httperrAborted && !FLastOutcome.OverLimit;
    if (text.empty() && Kind == fkSound) text = "Falha no acesso ao club KORA!";
    else if (text.empty() && !stopped) text = Result;
    Stk->SetCaption(text);
}

void TForm1::HttpCli1DocData(TObject*, const void*, int)
{
    if (FRunningFetch && FRunningFetch->Progress) FRunningFetch->Progress(HttpCli1->RcvdCount());
    // Without a declared length the gauge refuses the maximum; the error goes back to the
    // client's read loop, which drops it, and the transfer goes on.
    if (GaugeShare.Active()) {
        ShowGaugeShare();
        BusyLamp()->SetBrushColor(LampReceiving);
        return;
    }
    G1->SetMaxValue(HttpCli1->ContentLength());
    G1->SetProgress(HttpCli1->RcvdCount());
    BusyLamp()->SetBrushColor(LampReceiving);
}

void TForm1::HttpCli1DocEnd(TObject*)
{
    if (GaugeShare.Count > 1) ShowGaugeShare();
    else G1->SetProgress(0);
    Stk->SetCaption(IdleStatusText);
}

}  // namespace kapo
