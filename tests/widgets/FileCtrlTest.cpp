// The folder list and the drive chooser on a real temporary tree, with real mouse and key
// events offscreen, and a mount table of the test's own whose volumes are temporary folders.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "core/SysUtils.h"
#include "platform/Volumes.h"
#include "support/GuiTestMain.h"
#include "support/TestLoop.h"
#include "ui/Forms.h"
#include "widgets/FileCtrl.h"

namespace fs = std::filesystem;
using namespace kapo;

namespace {

struct RowView {
    std::string Text;
    char Kind;  // 'O' open (root, ancestors), 'K' current, 'C' closed (subfolder)
    bool operator==(const RowView&) const = default;
};

std::ostream& operator<<(std::ostream& os, const RowView& r) { return os << r.Kind << ":" << r.Text; }

std::vector<RowView> rowsOf(TDirectoryListBox& list)
{
    std::vector<RowView> out;
    for (int i = 0; i < list.Items().Count(); ++i) {
        void* o = list.Items().Objects(i);
        char k = o == &list.OpenedPicture() ? 'O' : o == &list.CurrentPicture() ? 'K' : o == &list.ClosedPicture() ? 'C' : '?';
        out.push_back({list.Items()[i], k});
    }
    return out;
}

// Rows "/" and each component of a path, the last one current.
std::vector<RowView> pathRows(const std::string& dir)
{
    std::vector<RowView> out{{"/", dir == "/" ? 'K' : 'O'}};
    if (dir == "/") return out;
    std::vector<std::string> parts;
    std::size_t start = 1;
    while (start <= dir.size()) {
        std::size_t s = dir.find('/', start);
        if (s == std::string::npos) s = dir.size();
        parts.push_back(dir.substr(start, s - start));
        start = s + 1;
    }
    for (std::size_t i = 0; i < parts.size(); ++i) out.push_back({parts[i], i + 1 == parts.size() ? 'K' : 'O'});
    return out;
}

void doubleClick(QWidget* w, QPoint p)
{
    QTest::mousePress(w, Qt::LeftButton, {}, p);
    QTest::mouseRelease(w, Qt::LeftButton, {}, p);
    QTest::mouseDClick(w, Qt::LeftButton, {}, p);
    QTest::mouseRelease(w, Qt::LeftButton, {}, p);
}

QPoint centre(const TRect& r) { return QPoint((r.Left + r.Right) / 2, (r.Top + r.Bottom) / 2); }

class FolderChooserTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FOldCwd = CurrentDir();
        FOldSources = VolumeSources();
        char tmpl[] = "/tmp/kapo-folders-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        FRoot = fs::canonical(tmpl).string();
        for (const char* d : {"Sounds/Drums/loops", "Sounds/Drums/Kicks", "Sounds/Drums/alpha", "Sounds/Drums/.git",
                              "Sounds/Drums/Beta", "Sounds/Drums/beta", "Sounds/Piano"})
            fs::create_directories(FRoot + "/" + d);
        std::ofstream(FRoot + "/Sounds/kick.wav") << "RIFF";
        std::ofstream(FRoot + "/Sounds/Drums/notes.txt") << "x";
        ForgetVisitedFolders();
        ChangeDir(FRoot + "/Sounds/Drums");
        test::ShownErrors().clear();
        FForm = std::make_unique<TForm>(nullptr);
        FForm->SetBounds(0, 0, 400, 300);
    }
    void TearDown() override
    {
        FForm.reset();
        (void)::chdir(FOldCwd.c_str());
        SetVolumeSources(FOldSources);
        ForgetVisitedFolders();
        std::error_code ec;
        fs::remove_all(FRoot, ec);
    }

    // A folder list on the form, laid out as the window lays it out.
    TDirectoryListBox* MakeList()
    {
        auto* list = new TDirectoryListBox(FForm.get());
        list->SetBounds(100, 40, 180, 111);
        list->SetColor(0xA6BCC6);
        list->SetItemHeight(16);
        list->SetParent(FForm.get());
        return list;
    }

    // Volumes: the temporary folder's own volume plus four mounted below it.
    void UseFakeVolumes()
    {
        const std::string& r = FRoot;
        for (const char* d : {"vol/usb/songs", "vol/disk/work", "vol/share", "vol/ram", "vol/late"}) fs::create_directories(r + "/" + d);
        std::ofstream(r + "/vol/disk.dev") << "";
        fs::create_directories(r + "/labels");
        fs::create_symlink(r + "/vol/disk.dev", r + "/labels/Sons\\x20Diversos");
        std::string t = "1 0 254:0 / / rw - ext4 /dev/vda rw\n"
                        "2 1 0:21 / /proc rw - proc proc rw\n"
                        "3 1 8:1 / " + r + "/vol/disk rw - ext4 " + r + "/vol/disk.dev rw\n"
                        "4 1 8:17 / " + r + "/vol/usb rw - vfat /dev/sdb1 rw\n"
                        "5 1 0:40 / " + r + "/vol/share rw - nfs4 server:/export/Sounds rw\n"
                        "6 1 0:41 / " + r + "/vol/ram rw - tmpfs tmpfs rw\n"
                        "7 1 8:33 / " + r + "/vol/late rw - ext4 /dev/sdc1 rw\n";
        std::ofstream(r + "/mountinfo") << t;
        fs::create_directories(r + "/devices/sdb/sdb1");
        std::ofstream(r + "/devices/sdb/removable") << "1\n";
        std::ofstream(r + "/devices/sdb/sdb1/partition") << "1\n";
        fs::create_directories(r + "/block");
        fs::create_directory_symlink(r + "/devices/sdb/sdb1", r + "/block/8:17");
        TVolumeSources s;
        s.MountTable = r + "/mountinfo";
        s.SysBlock = r + "/block";
        s.LabelDir = r + "/labels";
        SetVolumeSources(s);
    }

    // Replaces the mount table, as the system's is replaced: a new file renamed over the old.
    void RewriteTable(const std::function<std::string(const std::string&)>& edit)
    {
        std::ifstream in(FRoot + "/mountinfo");
        std::string table((std::istreambuf_iterator<char>(in)), {});
        std::ofstream(FRoot + "/mountinfo.new") << edit(table);
        fs::rename(FRoot + "/mountinfo.new", FRoot + "/mountinfo");
    }

    // Pumps the loop until the condition holds; fails after ten seconds.
    static bool PumpUntil(const std::function<bool()>& done) { return testsupport::PumpUntil(done, 10000); }

    int RowOf(TDriveComboBox& combo, const std::string& mountPoint)
    {
        for (int i = 0; i < combo.Items().Count(); ++i)
            if (combo.VolumeAt(i)->MountPoint == mountPoint) return i;
        return -1;
    }

    std::string FOldCwd;
    TVolumeSources FOldSources;
    std::string FRoot;
    std::unique_ptr<TForm> FForm;
};

}  // namespace

TEST_F(FolderChooserTest, RowsAreTheRootTheComponentsAndTheSortedVisibleSubfolders)
{
    TDirectoryListBox* list = MakeList();
    std::string drums = FRoot + "/Sounds/Drums";
    EXPECT_EQ(list->Directory(), drums);
    std::vector<RowView> want = pathRows(drums);
    std::size_t current = want.size() - 1;
    for (const char* s : {"alpha", "Beta", "beta", "Kicks", "loops"}) want.push_back({s, 'C'});
    EXPECT_EQ(rowsOf(*list), want);
    // Created: the row numbered by the slashes of Directory, here the current folder.
    EXPECT_EQ(list->ItemIndex(), static_cast<int>(current));

    EXPECT_EQ(list->ItemPath(0), "/");
    EXPECT_EQ(list->ItemPath(static_cast<int>(current) - 1), FRoot + "/Sounds");
    EXPECT_EQ(list->ItemPath(1), "/" + want[1].Text);
    EXPECT_EQ(list->ItemPath(static_cast<int>(current)), drums);
    EXPECT_EQ(list->ItemPath(static_cast<int>(current) + 1), drums + "/alpha");
    EXPECT_EQ(list->ItemPath(list->Items().Count()), "");
    EXPECT_EQ(list->ItemPath(-1), "");

    // The root: one current row, then its subfolders, none starting with a dot.
    list->SetDirectory("/");
    std::vector<RowView> root = rowsOf(*list);
    ASSERT_GE(root.size(), 2u);
    EXPECT_EQ(root[0], (RowView{"/", 'K'}));
    EXPECT_EQ(list->ItemIndex(), 0);
    EXPECT_EQ(list->ItemPath(0), "/");
    for (std::size_t i = 1; i < root.size(); ++i) {
        EXPECT_EQ(root[i].Kind, 'C');
        EXPECT_NE(root[i].Text[0], '.');
        EXPECT_EQ(list->ItemPath(static_cast<int>(i)), "/" + root[i].Text);
        if (i > 1) {
            EXPECT_LE(AnsiCompareText(root[i - 1].Text, root[i].Text), 0);
        }
    }
    // A list made in the root highlights row 1, the first subfolder.
    TDirectoryListBox* second = MakeList();
    EXPECT_EQ(second->Directory(), "/");
    EXPECT_EQ(second->ItemIndex(), 1);
}

TEST_F(FolderChooserTest, ApplyPathResolvesTextsAndTheCurrentDirectoryFollowsDirectory)
{
    TDirectoryListBox* list = MakeList();
    int changes = 0;
    list->OnChange = [&](TObject* s) {
        EXPECT_EQ(s, list);
        ++changes;
    };
    const std::string sounds = FRoot + "/Sounds", drums = sounds + "/Drums";
    struct Case {
        std::string Text, Want;
    };
    std::vector<Case> cases = {
        {"loops", drums + "/loops"},        // relative to Directory
        {"..", drums},
        {"/", "/"},
        {sounds + "/*.wav", sounds},         // a pattern: its folder
        {drums, drums},
        {sounds + "/kick.wav", sounds},      // a file: its folder
        {"Drums/Kicks/", drums + "/Kicks"},
        {FRoot + "/Sounds/Piano", sounds + "/Piano"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        int before = changes;
        list->ApplyPath(c.Text);
        EXPECT_EQ(list->Directory(), c.Want);
        EXPECT_EQ(CurrentDir(), c.Want);
        EXPECT_EQ(changes, before + 1);
        EXPECT_EQ(list->ItemPath(list->ItemIndex()), c.Want);
    }

    // Empty text or the current folder: nothing at all, not even a refill.
    list->Items().Add("marker");
    int count = list->Items().Count();
    list->ApplyPath("");
    list->ApplyPath(sounds + "/Piano");
    EXPECT_EQ(list->Items().Count(), count);
    EXPECT_EQ(changes, static_cast<int>(cases.size()));

    // Failures raise the I/O error and change neither Directory nor the current directory.
    auto failsWith = [&](const std::string& text, const std::string& msg) {
        SCOPED_TRACE(text);
        try {
            list->ApplyPath(text);
            ADD_FAILURE() << "no error";
        } catch (const EInOutError& e) {
            EXPECT_EQ(e.Message(), msg);
        }
        EXPECT_EQ(list->Directory(), sounds + "/Piano");
        EXPECT_EQ(CurrentDir(), sounds + "/Piano");
    };
    failsWith(sounds + "/Missing", "File not found");
    failsWith(FRoot + "/Nowhere/Drums", "File not found");
    failsWith(sounds + "/kick.wav/x", "Invalid filename");
    failsWith("Missing", "File not found");
    EXPECT_EQ(changes, static_cast<int>(cases.size()));

    // Whatever else moved the process, a relative folder is taken from Directory.
    ChangeDir("/");
    list->SetDirectory("..");
    EXPECT_EQ(list->Directory(), sounds);
    EXPECT_EQ(CurrentDir(), sounds);
    EXPECT_THROW(list->SetDirectory("Nope"), EInOutError);
    EXPECT_EQ(CurrentDir(), sounds);
    // Writing the same folder refills.
    int before = changes;
    list->SetDirectory(sounds);
    EXPECT_EQ(changes, before + 1);
}

TEST_F(FolderChooserTest, ClicksAndArrowsOnlyHighlightWhileDoubleClickAndEnterOpen)
{
    TDirectoryListBox* list = MakeList();
    FForm->Widget()->show();
    const std::string drums = FRoot + "/Sounds/Drums";
    int current = list->ItemIndex();
    int clicks = 0;
    list->OnClick = [&](TObject*) { ++clicks; };
    int dbl = 0;
    std::string seenByDblClick;
    list->OnDblClick = [&](TObject*) {
        ++dbl;
        seenByDblClick = list->Directory();  // the event comes before the folder is opened
    };

    int kicks = current + 4;
    ASSERT_EQ(list->Items()[kicks], "Kicks");
    list->SetTopIndex(current);
    QTest::mouseClick(list->Widget(), Qt::LeftButton, {}, centre(list->ItemRect(kicks)));
    EXPECT_EQ(list->ItemIndex(), kicks);
    EXPECT_EQ(clicks, 1);
    QTest::keyClick(list->Widget(), Qt::Key_Down);
    QTest::keyClick(list->Widget(), Qt::Key_Up);
    QTest::keyClick(list->Widget(), Qt::Key_Up);
    EXPECT_EQ(list->ItemIndex(), kicks - 1);
    EXPECT_EQ(list->Directory(), drums);
    EXPECT_EQ(CurrentDir(), drums);

    // Enter opens the highlighted row (beta).
    QTest::keyClick(list->Widget(), Qt::Key_Return);
    EXPECT_EQ(list->Directory(), drums + "/beta");
    EXPECT_EQ(CurrentDir(), drums + "/beta");

    // A double click on an ancestor row goes up to it.
    int sounds = list->ItemIndex() - 2;
    ASSERT_EQ(list->Items()[sounds], "Sounds");
    list->SetTopIndex(sounds);
    doubleClick(list->Widget(), centre(list->ItemRect(sounds)));
    EXPECT_EQ(dbl, 1);
    EXPECT_EQ(seenByDblClick, drums + "/beta");
    EXPECT_EQ(list->Directory(), FRoot + "/Sounds");
    EXPECT_EQ(CurrentDir(), FRoot + "/Sounds");
    EXPECT_TRUE(test::ShownErrors().empty());

    // A folder removed behind the list's back: the error display shows why, nothing moves.
    int piano = list->ItemIndex() + 2;
    ASSERT_EQ(list->Items()[piano], "Piano");
    fs::remove(FRoot + "/Sounds/Piano");
    list->SetTopIndex(piano);
    doubleClick(list->Widget(), centre(list->ItemRect(piano)));
    ASSERT_EQ(test::ShownErrors().size(), 1u);
    EXPECT_EQ(test::ShownErrors()[0], "File not found.");
    EXPECT_EQ(list->Directory(), FRoot + "/Sounds");
    EXPECT_EQ(CurrentDir(), FRoot + "/Sounds");
}

TEST_F(FolderChooserTest, RowsDrawTheirPicturesByTheIndentationRule)
{
    TDirectoryListBox* list = MakeList();
    list->SetTopIndex(0);
    QImage img = list->PaintTo();
    int slashes = static_cast<int>(std::count(list->Directory().begin(), list->Directory().end(), '/'));
    int rows = std::min(list->Items().Count(), list->Height() / list->ItemHeight());
    ASSERT_GE(rows, 5);
    for (int i = 0; i < rows; ++i) {
        SCOPED_TRACE(i);
        bool sub = list->Items().Objects(i) == &list->ClosedPicture();
        int x = sub ? 4 * slashes + 6 : 4 * i + 2;
        EXPECT_EQ(list->RowIndent(i), x);
        const TBitmap& pic = *static_cast<const TBitmap*>(list->Items().Objects(i));
        TRect r = list->ItemRect(i);
        int top = r.Top + (r.Height() - pic.Height()) / 2;
        TColor back = i == list->ItemIndex() ? clHighlight : 0xA6BCC6;
        TColor key = pic.TransparentColor();
        int ink = 0;
        for (int py = 0; py < pic.Height(); ++py)
            for (int px = 0; px < pic.Width(); ++px) {
                TColor want = FromQRgb(pic.Image().pixel(px, py));
                if (want == key) want = back;
                else ++ink;
                ASSERT_EQ(FromQRgb(img.pixel(x + px, top + py)), want) << px << "," << py;
            }
        EXPECT_GT(ink, 0);
        // Left of the picture: the row's background only.
        for (int px = 0; px < x; ++px) EXPECT_EQ(FromQRgb(img.pixel(px, r.Top + 8)), back);
        // The name starts right of the picture: some ink within the text's first few pixels.
        int textX = x + pic.Width() + 4;
        bool text = false;
        for (int py = r.Top; py < r.Bottom && !text; ++py)
            for (int px = textX; px < textX + 12 && !text; ++px) text = FromQRgb(img.pixel(px, py)) != back;
        EXPECT_TRUE(text);
        for (int py = r.Top; py < r.Bottom; ++py) EXPECT_EQ(FromQRgb(img.pixel(textX - 1, py)), back);
    }
}

TEST_F(FolderChooserTest, RowHeightFollowsTheFontAndThePicture)
{
    TDirectoryListBox list(nullptr);
    TDriveComboBox combo(nullptr);
    EXPECT_EQ(list.ItemHeight(), std::max(list.Font().TextHeight(), list.OpenedPicture().Height() + 1));
    EXPECT_EQ(list.ItemHeight(), 16);
    list.Font().SetHeight(-30);
    EXPECT_EQ(list.ItemHeight(), list.Font().TextHeight());
    EXPECT_GT(list.ItemHeight(), 16);
    EXPECT_EQ(combo.ItemHeight(), std::max(combo.Font().TextHeight(), 11));
    combo.Font().SetHeight(-30);
    EXPECT_EQ(combo.ItemHeight(), combo.Font().TextHeight());
    EXPECT_EQ(combo.Height(), combo.ItemHeight() + 6);
}

TEST_F(FolderChooserTest, DriveRowsNameVolumesByMountPointWithLabelsInTheTextCase)
{
    UseFakeVolumes();
    const std::string v = FRoot + "/vol";
    auto* combo = new TDriveComboBox(FForm.get());
    combo->SetParent(FForm.get());
    std::vector<std::string> texts;
    for (int i = 0; i < combo->Items().Count(); ++i) texts.push_back(combo->Items()[i]);
    std::vector<std::string> want = {"/ []", v + "/disk [sons diversos]", v + "/late []", v + "/ram []",
                                     v + "/share server:/export/Sounds", v + "/usb"};
    EXPECT_EQ(texts, want);
    EXPECT_EQ(combo->Drive(), "/");
    EXPECT_EQ(combo->ItemIndex(), 0);

    TBitmap hard, floppy, network, ram;
    hard.LoadFromResourceName("HARD");
    floppy.LoadFromResourceName("FLOPPY");
    network.LoadFromResourceName("NETWORK");
    ram.LoadFromResourceName("RAM");
    auto picOf = [&](int row) { return static_cast<const TBitmap*>(combo->Items().Objects(row))->Image(); };
    EXPECT_EQ(picOf(1), hard.Image());
    EXPECT_EQ(picOf(3), ram.Image());
    EXPECT_EQ(picOf(4), network.Image());
    EXPECT_EQ(picOf(5), floppy.Image());

    combo->SetTextCase(tcUpperCase);
    EXPECT_EQ(combo->Items()[1], v + "/disk [SONS DIVERSOS]");
    EXPECT_EQ(combo->Items()[4], v + "/share server:/export/Sounds");
    EXPECT_EQ(combo->Items()[5], v + "/usb");
    EXPECT_EQ(combo->ItemIndex(), 0);
    EXPECT_EQ(combo->Drive(), "/");
}

TEST_F(FolderChooserTest, PickingAVolumeEntersTheFolderLastVisitedOnIt)
{
    UseFakeVolumes();
    const std::string v = FRoot + "/vol", drums = FRoot + "/Sounds/Drums";
    TDirectoryListBox* list = MakeList();
    auto* combo = new TDriveComboBox(FForm.get());
    combo->SetBounds(10, 85, 56, 19);
    combo->SetDirList(list);
    combo->SetParent(FForm.get());
    FForm->Widget()->show();
    EXPECT_EQ(combo->DirList(), list);
    EXPECT_EQ(list->DriveCombo(), combo);
    EXPECT_EQ(combo->Drive(), "/");
    EXPECT_EQ(list->Directory(), drums);

    std::vector<std::string> log;
    combo->OnClick = [&](TObject*) { log.push_back("click in " + list->Directory()); };
    combo->OnChange = [&](TObject*) { log.push_back("change " + combo->Drive()); };
    list->OnChange = [&](TObject*) { log.push_back("list " + list->Directory()); };

    // The arrow keys in the closed box pick a volume: the click comes before the change.
    combo->SetFocus();
    QTest::keyClick(combo->Widget(), Qt::Key_Down);
    std::vector<std::string> want = {"click in " + drums, "list " + v + "/disk", "change " + v + "/disk", "change " + v + "/disk"};
    EXPECT_EQ(log, want);
    EXPECT_EQ(list->Directory(), v + "/disk");
    EXPECT_EQ(CurrentDir(), v + "/disk");
    EXPECT_EQ(list->Drive(), v + "/disk");

    list->ApplyPath("work");
    EXPECT_EQ(CurrentDir(), v + "/disk/work");

    // Back to the first volume: the folder it was left in.
    QTest::keyClick(combo->Widget(), Qt::Key_Up);
    EXPECT_EQ(list->Directory(), drums);
    EXPECT_EQ(CurrentDir(), drums);

    // ApplyPath onto another volume moves the chooser along, without a click.
    log.clear();
    list->ApplyPath(v + "/usb/songs");
    EXPECT_EQ(combo->Drive(), v + "/usb");
    EXPECT_EQ(combo->ItemIndex(), RowOf(*combo, v + "/usb"));
    EXPECT_EQ(list->Directory(), v + "/usb/songs");
    EXPECT_EQ(CurrentDir(), v + "/usb/songs");
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "list " + v + "/usb/songs");
    EXPECT_EQ(std::count(log.begin(), log.end(), "click in " + drums), 0);

    // Picking the disk again: its remembered folder.
    combo->SetDrive(v + "/disk");
    EXPECT_EQ(list->Directory(), v + "/disk/work");
    combo->SetDrive(v + "/usb");
    EXPECT_EQ(list->Directory(), v + "/usb/songs");

    // A volume that cannot be entered: the chooser shows it, the list stays, the user is told.
    fs::remove_all(v + "/late");
    int late = RowOf(*combo, v + "/late");
    ASSERT_GE(late, 0);
    QTest::mouseClick(combo->Widget(), Qt::LeftButton, {}, QPoint(5, 5));
    ASSERT_NE(combo->DropDownWidget(), nullptr);
    QTest::mouseClick(combo->DropDownWidget(), Qt::LeftButton, {}, centre(combo->DropDownItemRect(late)));
    EXPECT_EQ(combo->DropDownWidget(), nullptr);
    ASSERT_EQ(test::ShownErrors().size(), 1u);
    EXPECT_EQ(test::ShownErrors()[0], "File not found.");
    EXPECT_EQ(combo->Drive(), v + "/late");
    EXPECT_EQ(combo->ItemIndex(), late);
    EXPECT_EQ(list->Directory(), v + "/usb/songs");
    EXPECT_EQ(CurrentDir(), v + "/usb/songs");
}

TEST_F(FolderChooserTest, DriveRowsDrawThePictureAndTheTextInTheBoxAndTheList)
{
    UseFakeVolumes();
    auto* combo = new TDriveComboBox(FForm.get());
    combo->SetBounds(10, 85, 156, 19);
    combo->SetColor(0xBDB49D);
    combo->SetCtl3D(false);
    combo->SetParent(FForm.get());
    ASSERT_EQ(combo->ItemIndex(), 0);

    auto checkRow = [&](const QImage& img, const TRect& r, int row, TColor back) {
        SCOPED_TRACE(row);
        const TBitmap& pic = *static_cast<const TBitmap*>(combo->Items().Objects(row));
        int top = r.Top + (r.Height() - pic.Height()) / 2;
        TColor key = pic.TransparentColor();
        for (int py = 0; py < pic.Height(); ++py)
            for (int px = 0; px < pic.Width(); ++px) {
                TColor want = FromQRgb(pic.Image().pixel(px, py));
                if (want == key) want = back;
                ASSERT_EQ(FromQRgb(img.pixel(r.Left + 2 + px, top + py)), want) << px << "," << py;
            }
        EXPECT_EQ(FromQRgb(img.pixel(r.Left + 1, top)), back);
        // Text starts 6 pixels after the picture, within the row.
        int textX = r.Left + pic.Width() + 6;
        bool ink = false;
        for (int py = r.Top; py < r.Bottom; ++py) {
            EXPECT_EQ(FromQRgb(img.pixel(textX - 1, py)), back);
            for (int px = textX; px < textX + 10; ++px) ink = ink || FromQRgb(img.pixel(px, py)) != back;
        }
        EXPECT_TRUE(ink);
    };

    QImage box = combo->PaintTo();
    checkRow(box, combo->EditRect(), 0, 0xBDB49D);
    // The flat frame of a box without the 3-D look.
    EXPECT_EQ(FromQRgb(box.pixel(0, 0)), clBlack);
    EXPECT_EQ(FromQRgb(box.pixel(combo->Width() - 1, combo->Height() - 1)), clBlack);

    combo->SetDroppedDown(true);
    ASSERT_TRUE(combo->DroppedDown());
    QImage drop = combo->PaintDropDownTo();
    EXPECT_EQ(drop.height(), combo->Items().Count() * combo->ItemHeight() + 2);
    for (int i = 0; i < combo->Items().Count(); ++i)
        checkRow(drop, combo->DropDownItemRect(i), i, i == combo->ItemIndex() ? clHighlight : 0xBDB49D);
    combo->SetDroppedDown(false);
}

TEST_F(FolderChooserTest, LinksAreClearedWhenEitherSideGoes)
{
    auto* list = new TDirectoryListBox(FForm.get());
    auto* other = new TDirectoryListBox(FForm.get());
    auto* combo = new TDriveComboBox(FForm.get());
    combo->SetDirList(list);
    EXPECT_EQ(list->DriveCombo(), combo);
    combo->SetDirList(other);
    EXPECT_EQ(list->DriveCombo(), nullptr);
    EXPECT_EQ(other->DriveCombo(), combo);
    delete other;
    EXPECT_EQ(combo->DirList(), nullptr);
    combo->SetDirList(list);
    delete combo;
    EXPECT_EQ(list->DriveCombo(), nullptr);
    list->ApplyPath("..");  // no chooser to reach
    EXPECT_EQ(list->Directory(), FRoot + "/Sounds");
}

TEST_F(FolderChooserTest, DriveRowsFollowTheMountTableAndAGoneVolumeMovesTheListUp)
{
    UseFakeVolumes();
    const std::string v = FRoot + "/vol";
    TDirectoryListBox* list = MakeList();
    auto* combo = new TDriveComboBox(FForm.get());
    combo->SetBounds(10, 85, 56, 19);
    combo->SetDirList(list);
    combo->SetParent(FForm.get());
    FForm->Widget()->show();
    list->ApplyPath(v + "/usb/songs");
    ASSERT_EQ(combo->Drive(), v + "/usb");

    // A stick plugged in later gets its row; nothing else moves.
    fs::create_directories(v + "/stick");
    RewriteTable([&](const std::string& t) { return t + "8 1 8:49 / " + v + "/stick rw - vfat /dev/sdd1 rw\n"; });
    ASSERT_TRUE(PumpUntil([&] { return RowOf(*combo, v + "/stick") >= 0; })) << "the new volume never showed";
    EXPECT_EQ(combo->Drive(), v + "/usb");
    EXPECT_EQ(combo->ItemIndex(), RowOf(*combo, v + "/usb"));
    EXPECT_EQ(list->Directory(), v + "/usb/songs");

    // The volume holding the list's folder goes, and its folders with it: the list and the
    // process step out to the nearest folder that still exists, on the volume below.
    fs::remove_all(v + "/usb/songs");
    RewriteTable([&](const std::string& t) {
        std::string out;
        std::size_t start = 0;
        while (start < t.size()) {
            std::size_t end = t.find('\n', start);
            std::string line = t.substr(start, end - start + 1);
            if (line.find(v + "/usb ") == std::string::npos) out += line;
            start = end + 1;
        }
        return out;
    });
    ASSERT_TRUE(PumpUntil([&] { return RowOf(*combo, v + "/usb") < 0; })) << "the gone volume stayed";
    EXPECT_EQ(list->Directory(), v + "/usb");
    EXPECT_EQ(CurrentDir(), v + "/usb");
    EXPECT_EQ(combo->Drive(), "/");
    EXPECT_EQ(combo->ItemIndex(), RowOf(*combo, "/"));
    EXPECT_TRUE(test::ShownErrors().empty());  // said nothing
}

TEST_F(FolderChooserTest, TheOpenDriveListShowsItsLongestRowWhole)
{
    UseFakeVolumes();
    auto* combo = new TDriveComboBox(FForm.get());
    combo->SetBounds(10, 85, 56, 19);
    combo->SetParent(FForm.get());
    FForm->Widget()->show();
    int longest = RowOf(*combo, FRoot + "/vol/share");
    ASSERT_GE(longest, 0);
    // The row's picture, its gap and its text: far more than the box's 56 pixels.
    int need = combo->ItemWidth(longest);
    ASSERT_GT(need, 56);
    QTest::mouseClick(combo->Widget(), Qt::LeftButton, {}, QPoint(5, 5));
    ASSERT_NE(combo->DropDownWidget(), nullptr);
    EXPECT_GE(combo->DropDownItemRect(longest).Width(), need);
    QImage shown = combo->PaintDropDownTo();
    EXPECT_EQ(shown.width(), combo->DropDownWidget()->width());
    QTest::keyClick(combo->DropDownWidget(), Qt::Key_Escape);
}

// A handler may free the list it was called from: the list must not open a folder afterwards
// (its window goes later than the component, so only the component's own guard can tell).
TEST_F(FolderChooserTest, HandlersMayFreeTheListTheyAreCalledFrom)
{
    for (int way = 0; way < 2; ++way) {
        TDirectoryListBox* list = MakeList();
        FForm->Widget()->show();
        const std::string before = CurrentDir();
        auto freeIt = [&list](TObject*) {
            delete list;
            list = nullptr;
        };
        if (way == 0) list->OnDblClick = freeIt;
        else list->OnKeyPress = [&](TObject* s, char&) { freeIt(s); };
        int row = std::min(list->ItemIndex() + 1, list->Items().Count() - 1);
        list->SetItemIndex(row);
        if (way == 0) doubleClick(list->Widget(), centre(list->ItemRect(row)));
        else QTest::keyClick(list->Widget(), Qt::Key_Return);
        EXPECT_EQ(list, nullptr);
        EXPECT_EQ(CurrentDir(), before) << way;
        QApplication::processEvents();
    }
    EXPECT_TRUE(test::ShownErrors().empty());
}
