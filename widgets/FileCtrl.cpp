#include "widgets/FileCtrl.h"


#include <algorithm>

#include <sys/epoll.h>

#include "core/SysUtils.h"
#include "platform/MessageQueue.h"

namespace kapo {

namespace {

int countSlashes(const std::string& s) { return static_cast<int>(std::count(s.begin(), s.end(), '/')); }

std::string joinPath(const std::string& dir, const std::string& name)
{
    return !dir.empty() && dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::unique_ptr<TBitmap> loadPicture(const char* name)
{
    auto bmp = std::make_unique<TBitmap>();
    bmp->LoadFromResourceName(name);
    return bmp;
}

// A row picture with its bottom-left colour showing the row's background.
void drawRowPicture(TCanvas& c, const TBitmap& bmp, int x, const TRect& row)
{
    if (bmp.Empty()) return;
    int w = bmp.Width(), h = bmp.Height();
    c.BrushCopy(Bounds(x, row.Top + (row.Height() - h) / 2, w, h), bmp, Rect(0, 0, w, h), bmp.TransparentColor());
}

}  // namespace

// ---- TDirectoryListBox ---------------------------------------------------------------

TDirectoryListBox::TDirectoryListBox(TComponent* owner) : TCustomListBox(owner)
{
    SetWidth(145);
    SetStyle(lbOwnerDrawFixed);
    SetSorted(false);
    LoadPictures();
    FDirectory = CurrentDir();
    ResetItemHeight();
}

TDirectoryListBox::~TDirectoryListBox()
{
    if (FDriveCombo) {
        FDriveCombo->FDirList = nullptr;
        FDriveCombo->RemoveFreeNotification(this);
        RemoveFreeNotification(FDriveCombo);
        FDriveCombo = nullptr;
    }
}

void TDirectoryListBox::LoadPictures()
{
    FOpenedBmp = loadPicture("OPENFOLDER");
    FClosedBmp = loadPicture("CLOSEDFOLDER");
    FCurrentBmp = loadPicture("CURRENTFOLDER");
}

void TDirectoryListBox::ResetItemHeight()
{
    SetItemHeight(std::max(Font().TextHeight(), FOpenedBmp->Height() + 1));
}

void TDirectoryListBox::FontChanged()
{
    ResetItemHeight();
    TCustomListBox::FontChanged();
}

void TDirectoryListBox::CreateWnd()
{
    TCustomListBox::CreateWnd();
    FillList();
    SetItemIndex(countSlashes(FDirectory));
}

void TDirectoryListBox::Notification(TComponent* component, TOperation operation)
{
    TCustomListBox::Notification(component, operation);
    if (operation == opRemove && component == FDriveCombo) FDriveCombo = nullptr;
}

std::string TDirectoryListBox::Drive() const { return VolumeOf(FDirectory); }

void TDirectoryListBox::FillList()
{
    TStrings& rows = Items();
    int current = -1;
    {
        TUpdateLock lock(rows);
        rows.Clear();
        if (FDirectory == "/") {
            current = rows.AddObject("/", FCurrentBmp.get());
        } else if (!FDirectory.empty()) {
            rows.AddObject("/", FOpenedBmp.get());
            std::vector<std::string> parts;
            std::size_t start = 1;
            while (start <= FDirectory.size()) {
                std::size_t slash = FDirectory.find('/', start);
                if (slash == std::string::npos) slash = FDirectory.size();
                if (slash > start) parts.push_back(FDirectory.substr(start, slash - start));
                start = slash + 1;
            }
            for (std::size_t i = 0; i < parts.size(); ++i)
                current = rows.AddObject(parts[i], i + 1 == parts.size() ? FCurrentBmp.get() : FOpenedBmp.get());
        }
        if (!FDirectory.empty())
            for (const std::string& name : ListSubfolders(FDirectory)) rows.AddObject(name, FClosedBmp.get());
    }
    if (HandleAllocated()) SetItemIndex(current);
}

bool TDirectoryListBox::IsSubfolderRow(int index) const
{
    return const_cast<TDirectoryListBox*>(this)->Items().Objects(index) == FClosedBmp.get();
}

std::string TDirectoryListBox::ItemPath(int index) const
{
    auto& rows = const_cast<TDirectoryListBox*>(this)->Items();
    if (index < 0 || index >= rows.Count()) return {};
    if (index == 0) return "/";
    void* pic = rows.Objects(index);
    if (pic == FClosedBmp.get()) return joinPath(FDirectory, rows[index]);
    if (pic == FCurrentBmp.get()) return FDirectory;
    // An ancestor: Directory up to its (index + 1)-th slash, the root's slash being the first.
    std::size_t pos = 0;
    for (int n = 0; n <= index; ++n) {
        pos = FDirectory.find('/', n == 0 ? 0 : pos + 1);
        if (pos == std::string::npos) return FDirectory;
    }
    return FDirectory.substr(0, pos);
}

void TDirectoryListBox::SetDirectory(const std::string& value)
{
    // A relative value resolves against the folder shown, whatever else moved the process.
    if (!FDirectory.empty() && DirectoryExists(FDirectory)) ChangeDir(FDirectory);
    ChangeDir(value);
    FDirectory = CurrentDir();
    FillList();
    Change();
}

void TDirectoryListBox::SetDrive(const std::string& mountPoint)
{
    if (mountPoint == Drive()) return;
    if (!mountPoint.empty()) {
        ChangeToVolume(mountPoint);
        FDirectory = CurrentDir();
    }
    if (!FInSetDir) {
        FillList();
        Change();
    }
}

void TDirectoryListBox::ApplyPath(const std::string& text)
{
    if (text.empty() || text == FDirectory) return;
    TProcessedPath p = ProcessPath(text);
    std::string before = FDirectory;
    if (p.Volume != Drive()) {
        FInSetDir = true;
        try {
            if (FDriveCombo)
                FDriveCombo->SetDrive(p.Volume);
            else
                SetDrive(p.Volume);
        } catch (...) {
            FInSetDir = false;
            throw;
        }
        FInSetDir = false;
    }
    try {
        SetDirectory(p.Folder);
    } catch (...) {
        // The folder vanished after the volume was entered: show where we are.
        if (FDirectory != before) {
            FillList();
            Change();
        }
        throw;
    }
}

void TDirectoryListBox::Change()
{
    if (auto handler = OnChange) handler(this);
}

void TDirectoryListBox::OpenCurrent() { ApplyPath(ItemPath(ItemIndex())); }

void TDirectoryListBox::DblClick()
{
    TLiveness alive = Liveness();
    TCustomListBox::DblClick();
    if (alive) OpenCurrent();
}

void TDirectoryListBox::KeyPress(char& key)
{
    TLiveness alive = Liveness();
    TCustomListBox::KeyPress(key);
    if (alive && key == '\r') OpenCurrent();
}

int TDirectoryListBox::RowIndent(int index) const
{
    return IsSubfolderRow(index) ? 4 * countSlashes(FDirectory) + 6 : 4 * index + 2;
}

void TDirectoryListBox::DrawItem(int index, const TRect& rect, TOwnerDrawState state)
{
    TCanvas& c = Canvas();
    c.FillRect(rect);
    auto* bmp = static_cast<const TBitmap*>(Items().Objects(index));
    int x = RowIndent(index);
    if (bmp) drawRowPicture(c, *bmp, rect.Left + x, rect);
    int picWidth = bmp && !bmp->Empty() ? bmp->Width() : 16;
    c.TextOut(rect.Left + picWidth + x + 4, rect.Top, Items()[index]);
}

// ---- TDriveComboBox ------------------------------------------------------------------

TDriveComboBox::TDriveComboBox(TComponent* owner) : TCustomComboBox(owner)
{
    SetStyle(csOwnerDrawFixed);
    FFloppyBmp = loadPicture("FLOPPY");
    FFixedBmp = loadPicture("HARD");
    FNetworkBmp = loadPicture("NETWORK");
    FCDROMBmp = loadPicture("CDROM");
    FRAMBmp = loadPicture("RAM");
    FDrive = VolumeOf(CurrentDir());
    ResetItemHeight();
    FMountWatch = std::make_unique<TMountWatch>();
    if (FMountWatch->Fd() >= 0)
        MessageQueue::Current().Watch(FMountWatch->Fd(), EPOLLIN, [this, guard = Liveness()](std::uint32_t) {
            if (guard) MountsChanged();
        });
}

TDriveComboBox::~TDriveComboBox()
{
    if (FMountWatch->Fd() >= 0) MessageQueue::Current().Unwatch(FMountWatch->Fd());
    SetDirList(nullptr);
}

namespace {

// The listed volume whose mount point is the longest prefix of a path.
std::string holderOf(const std::vector<TVolume>& volumes, const std::string& path)
{
    std::string best;
    for (const TVolume& v : volumes) {
        const std::string& mp = v.MountPoint;
        bool holds = mp == "/" ? !path.empty() && path[0] == '/'
                               : path.compare(0, mp.size(), mp) == 0 && (path.size() == mp.size() || path[mp.size()] == '/');
        if (holds && mp.size() > best.size()) best = mp;
    }
    return best;
}

std::string nearestExistingFolder(std::string path)
{
    while (path.size() > 1 && !DirectoryExists(path)) {
        std::size_t slash = path.rfind('/');
        path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
    }
    return path;
}

}  // namespace

void TDriveComboBox::MountsChanged()
{
    if (!FMountWatch->Changed()) return;
    std::string heldBy = FDirList ? holderOf(FVolumes, FDirList->Directory()) : std::string();
    FillList();
    if (FDirList) {
        const std::string dir = FDirList->Directory();
        if (!DirectoryExists(dir) || VolumeOf(dir) != heldBy) {
            // The folder's volume went away (or another now covers it): the folder list and the
            // process step out to what still exists. Nothing is shown; the user sees the list.
            try {
                FDirList->SetDirectory(nearestExistingFolder(dir));
            } catch (const std::exception&) {
                // Not even that can be entered; the list stays as it was.
            }
        }
        FDrive.clear();
        SetDrive(FDirList->Drive());
    } else {
        std::string drive = FDrive;
        FDrive.clear();
        SetDrive(drive);
    }
}

void TDriveComboBox::ResetItemHeight()
{
    SetItemHeight(std::max(Font().TextHeight(), FFloppyBmp->Height()));
}

void TDriveComboBox::FontChanged()
{
    ResetItemHeight();
    TCustomComboBox::FontChanged();
    // The box is made anew for the new font: rows and selection again.
    if (HandleAllocated()) {
        FillList();
        SetDrive(FDrive);
    }
}

void TDriveComboBox::CreateWnd()
{
    TCustomComboBox::CreateWnd();
    FillList();
    SetDrive(FDrive);
}

void TDriveComboBox::Notification(TComponent* component, TOperation operation)
{
    TCustomComboBox::Notification(component, operation);
    if (operation == opRemove && component == FDirList) FDirList = nullptr;
}

void TDriveComboBox::SetDirList(TDirectoryListBox* list)
{
    if (FDirList) {
        FDirList->FDriveCombo = nullptr;
        FDirList->RemoveFreeNotification(this);
        RemoveFreeNotification(FDirList);
    }
    FDirList = list;
    if (FDirList) {
        FDirList->FDriveCombo = this;
        FDirList->FreeNotification(this);
    }
}

const TBitmap* TDriveComboBox::PictureOf(TDriveType type) const
{
    switch (type) {
    case dtRemovable: return FFloppyBmp.get();
    case dtFixed: return FFixedBmp.get();
    case dtRemote: return FNetworkBmp.get();
    case dtCDROM: return FCDROMBmp.get();
    case dtRamDisk: return FRAMBmp.get();
    default: return nullptr;
    }
}

std::string TDriveComboBox::RowText(const TVolume& volume, const std::string& label, TTextCase textCase)
{
    if (volume.Type == dtRemovable) return volume.MountPoint;
    // Network names are paths on the server: shown as they are.
    if (volume.Type == dtRemote && !NetworkName(volume).empty()) return volume.MountPoint + " " + NetworkName(volume);
    return volume.MountPoint + " [" + (textCase == tcUpperCase ? AnsiUpperCase(label) : AnsiLowerCase(label)) + "]";
}

void TDriveComboBox::FillList()
{
    std::vector<TVolume> volumes = ListVolumes();
    TStrings& rows = Items();
    rows.BeginUpdate();
    rows.Clear();
    FVolumes.clear();
    for (const TVolume& v : volumes) {
        const TBitmap* pic = PictureOf(v.Type);
        if (!pic) continue;
        bool needsLabel = v.Type != dtRemovable && !(v.Type == dtRemote && !NetworkName(v).empty());
        FVolumes.push_back(v);
        rows.AddObject(RowText(v, needsLabel ? VolumeLabel(v) : std::string(), FTextCase), const_cast<TBitmap*>(pic));
    }
    rows.EndUpdate();
}

const TVolume* TDriveComboBox::VolumeAt(int index) const
{
    return index >= 0 && index < static_cast<int>(FVolumes.size()) ? &FVolumes[static_cast<std::size_t>(index)] : nullptr;
}

void TDriveComboBox::SetDrive(const std::string& mountPoint)
{
    if (ItemIndex() >= 0 && mountPoint == FDrive) return;
    if (!mountPoint.empty()) {
        FDrive = mountPoint;
        for (std::size_t i = 0; i < FVolumes.size(); ++i)
            if (FVolumes[i].MountPoint == mountPoint) {
                SetItemIndex(static_cast<int>(i));
                break;
            }
    } else {
        FDrive.clear();
        SetItemIndex(-1);
    }
    if (FDirList) FDirList->SetDrive(mountPoint);
    Change();
}

void TDriveComboBox::SetTextCase(TTextCase tc)
{
    FTextCase = tc;
    std::string old = FDrive;
    FillList();
    SetDrive(old);
}

void TDriveComboBox::Click()
{
    TLiveness alive = Liveness();
    TCustomComboBox::Click();
    if (alive && ItemIndex() >= 0) SetDrive(FVolumes[static_cast<std::size_t>(ItemIndex())].MountPoint);
}

int TDriveComboBox::ItemWidth(int index)
{
    auto* bmp = static_cast<const TBitmap*>(Items().Objects(index));
    int picWidth = bmp && !bmp->Empty() ? bmp->Width() : 16;
    Canvas().Font().Assign(Font());
    return picWidth + 6 + Canvas().TextWidth(Items()[index]) + 4;
}

void TDriveComboBox::DrawItem(int index, const TRect& rect, TOwnerDrawState state)
{
    TCanvas& c = Canvas();
    c.FillRect(rect);
    auto* bmp = static_cast<const TBitmap*>(Items().Objects(index));
    if (bmp) drawRowPicture(c, *bmp, rect.Left + 2, rect);
    int picWidth = bmp && !bmp->Empty() ? bmp->Width() : 16;
    std::string text = Items()[index];
    // Clipped to the row; the part left of the text keeps the picture.
    int textX = rect.Left + picWidth + 6;
    c.TextRect(Rect(textX, rect.Top, std::max(textX, rect.Right), rect.Bottom), textX,
               rect.Top + (rect.Height() - c.TextHeight(text)) / 2, text);
}

}  // namespace kapo
