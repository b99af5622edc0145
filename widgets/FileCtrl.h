// The folder chooser: a folder list that owns the process's current directory, and a drive
// chooser listing the mounted volumes. A "drive" is a volume, named by its mount point.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/Volumes.h"
#include "ui/ComboBox.h"
#include "ui/StdCtrls.h"

namespace kapo {

enum TTextCase { tcLowerCase, tcUpperCase };

class TDriveComboBox;

// Rows: "/" (the root), then each component of Directory (ancestors, then the current folder),
// then the subfolders of Directory. Directory and the process's current directory change
// together, and only through ApplyPath, SetDirectory and SetDrive: moving the highlight with a
// click or the arrow keys changes nothing; a double click or Enter opens the highlighted row.
class TDirectoryListBox : public TCustomListBox {
public:
    explicit TDirectoryListBox(TComponent* owner);
    ~TDirectoryListBox() override;

    // Full path of the current folder as the system reports it ("/" or "/a/b").
    const std::string& Directory() const { return FDirectory; }
    // Enters a folder (relative to Directory); raises EInOutError and changes nothing on failure.
    void SetDirectory(const std::string& value);
    // Mount point of the volume holding Directory; empty when none is known.
    std::string Drive() const;
    // Enters the folder last visited on the volume in this run, else its mount point.
    void SetDrive(const std::string& mountPoint);
    TDriveComboBox* DriveCombo() const { return FDriveCombo; }

    // Full path of a row; empty past the last row.
    std::string ItemPath(int index) const;

    // Makes the folder a text names current: empty text or Directory itself changes nothing;
    // a relative text resolves against Directory; a file or a pattern names its folder.
    virtual void ApplyPath(const std::string& text);
    // Raises OnChange.
    virtual void Change();
    virtual void LoadPictures();
    // Rebuilds the rows.
    virtual void FillList();

    TNotifyEvent OnChange;

    const TBitmap& OpenedPicture() const { return *FOpenedBmp; }
    const TBitmap& ClosedPicture() const { return *FClosedBmp; }
    const TBitmap& CurrentPicture() const { return *FCurrentBmp; }
    // The left edge of a row's picture relative to the row, by the indentation rule.
    int RowIndent(int index) const;

    void DrawItem(int index, const TRect& rect, TOwnerDrawState state) override;
    void DblClick() override;
    void KeyPress(char& key) override;
    void FontChanged() override;

protected:
    void CreateWnd() override;
    void Notification(TComponent* component, TOperation operation) override;

private:
    friend class TDriveComboBox;
    void ResetItemHeight();
    void OpenCurrent();
    bool IsSubfolderRow(int index) const;

    std::string FDirectory;
    bool FInSetDir = false;  // a drive change made by ApplyPath: no refill, no notification
    TDriveComboBox* FDriveCombo = nullptr;
    std::unique_ptr<TBitmap> FOpenedBmp, FClosedBmp, FCurrentBmp;
};

// One row per mounted volume: its mount point, then " [label]" (fixed, CD-ROM, RAM), or " " and
// the network name (remote), or nothing more (removable). The rows follow the mount table while
// the program runs; when the volume holding the linked list's folder goes, the list moves to the
// nearest folder above it that still exists, silently.
class TDriveComboBox : public TCustomComboBox {
public:
    explicit TDriveComboBox(TComponent* owner);
    ~TDriveComboBox() override;

    // Mount point of the selected volume; empty for none.
    const std::string& Drive() const { return FDrive; }
    // Selects a volume's row and passes the volume to the linked folder list.
    virtual void SetDrive(const std::string& mountPoint);
    TTextCase TextCase() const { return FTextCase; }
    void SetTextCase(TTextCase tc);
    TDirectoryListBox* DirList() const { return FDirList; }
    void SetDirList(TDirectoryListBox* list);

    virtual void FillList();
    // The volume behind a row (null past the last row).
    const TVolume* VolumeAt(int index) const;

    // The text of a volume's row; labels follow the text case.
    static std::string RowText(const TVolume& volume, const std::string& label, TTextCase textCase);

    void Click() override;
    void DrawItem(int index, const TRect& rect, TOwnerDrawState state) override;
    int ItemWidth(int index) override;
    void FontChanged() override;

protected:
    void CreateWnd() override;
    void Notification(TComponent* component, TOperation operation) override;

private:
    friend class TDirectoryListBox;
    void ResetItemHeight();
    void MountsChanged();
    const TBitmap* PictureOf(TDriveType type) const;

    std::string FDrive;
    TTextCase FTextCase = tcLowerCase;
    TDirectoryListBox* FDirList = nullptr;
    std::vector<TVolume> FVolumes;  // parallel to the rows
    std::unique_ptr<TMountWatch> FMountWatch;
    std::unique_ptr<TBitmap> FFloppyBmp, FFixedBmp, FNetworkBmp, FCDROMBmp, FRAMBmp;
};

}  // namespace kapo
