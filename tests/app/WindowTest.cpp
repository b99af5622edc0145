#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QClipboard>
#include <QMouseEvent>
#include <QTest>
#include <QLineEdit>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "app/Unit1.h"
#include "support/GuiTestMain.h"

using namespace kapo;
namespace fs = std::filesystem;

namespace {

std::string readBytes(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

void writeBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// A program folder of its own for each test, and the current directory put back afterwards.
class Window : public ::testing::Test {
protected:
    void SetUp() override
    {
        FSavedCwd = fs::current_path();
        FFolder = fs::temp_directory_path() / ("kapo-window-" + std::to_string(::getpid()) + "-" +
                                               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(FFolder);
        fs::create_directories(FFolder / "sounds" / "drums");
        SetProgramFolderForTesting(FFolder.string());
        test::ShownErrors().clear();
    }
    void TearDown() override
    {
        delete FForm;
        FForm = nullptr;
        SetProgramFolderForTesting("");
        fs::current_path(FSavedCwd);
        std::error_code ec;
        fs::permissions(FFolder, fs::perms::owner_all, ec);
        fs::remove_all(FFolder, ec);
    }
    std::string Ini() const { return (FFolder / "kapo.ini").string(); }
    TForm1* Open()
    {
        FForm = new TForm1(nullptr);
        FForm->DoCreate();
        return FForm;
    }
    void Close()
    {
        delete FForm;
        FForm = nullptr;
    }
    // Shows the window and makes it active, as the desktop would.
    void ShowActive()
    {
        FForm->Widget()->show();
        FForm->Activate();
    }
    static void Press(TControl* c, Qt::MouseButton b, QPoint p)
    {
        QTest::mousePress(c->Widget(), b, {}, p);
    }
    static void Release(TControl* c, Qt::MouseButton b, QPoint p)
    {
        QTest::mouseRelease(c->Widget(), b, {}, p);
    }
    static void Move(TControl* c, Qt::MouseButtons held, QPoint p)
    {
        QMouseEvent ev(QEvent::MouseMove, QPointF(p), c->Widget()->mapToGlobal(QPointF(p)), Qt::NoButton, held,
                       Qt::NoModifier);
        QApplication::sendEvent(c->Widget(), &ev);
    }
    // A mouse event with a screen position of its own, as a window system sends it.
    static void SendAt(TControl* c, QEvent::Type type, Qt::MouseButton b, Qt::MouseButtons held, QPoint local, QPoint screen)
    {
        QMouseEvent ev(type, QPointF(local), QPointF(screen), b, held, Qt::NoModifier);
        QApplication::sendEvent(c->Widget(), &ev);
    }
    static void Paste(TEdit* e, const char* text)
    {
        QApplication::clipboard()->setText(QString::fromUtf8(text));
        e->LineEdit()->setFocus();
        QTest::keyClick(e->LineEdit(), Qt::Key_V, Qt::ControlModifier);
    }

    fs::path FFolder;
    fs::path FSavedCwd;
    TForm1* FForm = nullptr;
};

}  // namespace

TEST_F(Window, LayoutAfterCreation)
{
    TForm1* f = Open();
    EXPECT_EQ(f->ProgramFolder, FFolder.string() + "/");
    EXPECT_EQ(f->Left(), 196);
    EXPECT_EQ(f->Top(), 110);
    EXPECT_EQ(f->ClientWidth(), 600);
    EXPECT_EQ(f->ClientHeight(), 358);
    EXPECT_EQ(f->Abook->Left(), 83);
    EXPECT_EQ(f->Abook->Top(), 33);
    EXPECT_TRUE(f->Abook->Visible());
    EXPECT_EQ(f->Abook->ActivePage(), "Default");
    EXPECT_EQ(f->Abook->Color(), 0x0B0B0A);
    EXPECT_EQ(f->Lista->Color(), 0xA5BBC5);
    EXPECT_EQ(f->Dir->Color(), 0xA5BBC5);
    EXPECT_EQ(f->Nomes->Color(), 0xA5BBC5);
    EXPECT_EQ(f->Imp->Width(), 600);
    EXPECT_EQ(f->Imp->Height(), 358);
    EXPECT_EQ(f->Stk->Caption(), "Status da conexão...");
    EXPECT_EQ(f->Shp1->Brush().Color, clMaroon);
    EXPECT_EQ(f->Fim->Hint(), "Encerrar (Ctrl+Q)");
    EXPECT_EQ(f->Config->Hint(), "Configurações (Ctrl+,)");
    EXPECT_EQ(f->Fim->Cursor(), crDrag);
    EXPECT_EQ(f->Senha->PasswordChar(), '*');
    EXPECT_EQ(f->Stop->BoundsRect(), Bounds(73, 10, 22, 9));
    EXPECT_EQ(f->Sons->BoundsRect(), Bounds(39, 223, 22, 9));
    EXPECT_EQ(f->Transf->BoundsRect(), Bounds(43, 70, 22, 9));
    EXPECT_EQ(f->Nomes->BoundsRect(), Bounds(296, 41, 285, 301));
    EXPECT_EQ(f->Lista->BoundsRect(), Bounds(110, 158, 146, 180));
    EXPECT_EQ(f->G1->BoundsRect(), Bounds(118, 11, 60, 4));
    EXPECT_FALSE(f->Dir->Ctl3D());
    EXPECT_FALSE(f->Drv->Ctl3D());
    EXPECT_EQ(f->HttpCli1->Timeout(), 60);  // a silent service cannot hold a fetch for ever
}

TEST_F(Window, NoSettingsFileGivesDefaultsAndASixLineOwnerOnlyFile)
{
    TForm1* f = Open();
    EXPECT_EQ(f->Serv->Text(), DefaultBaseAddress);
    EXPECT_EQ(f->Proxy->Text(), "");
    EXPECT_EQ(f->PrPort->Text(), "");
    EXPECT_EQ(f->Login->Text(), "");
    EXPECT_EQ(f->Senha->Text(), "");
    std::string dir = f->Dir->Directory();
    Close();
    EXPECT_EQ(readBytes(Ini()), std::string(DefaultBaseAddress) + "\r\n\r\n\r\n\r\n\r\n" + dir + "\r\n");
    struct stat st;
    ASSERT_EQ(::stat(Ini().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(test::ShownErrors().empty());
}

TEST_F(Window, SettingsRoundTripAcrossTwoRuns)
{
    std::string drums = (FFolder / "sounds" / "drums").string();
    writeBytes(Ini(), "other.example/\r\nproxy.local\r\n3128\r\nana\r\nsegredo\r\n" + drums + "\r\nsix\r\nseven\r\n");
    ::chmod(Ini().c_str(), 0644);
    TForm1* f = Open();
    EXPECT_EQ(f->Serv->Text(), DefaultBaseAddress);  // line 0 is not read back
    EXPECT_EQ(f->Proxy->Text(), "proxy.local");
    EXPECT_EQ(f->PrPort->Text(), "3128");
    EXPECT_EQ(f->Login->Text(), "ana");
    EXPECT_EQ(f->Senha->Text(), "segredo");
    EXPECT_EQ(f->Dir->Directory(), drums);
    EXPECT_EQ(fs::current_path().string(), drums);
    EXPECT_EQ(f->PrPort->LineEdit()->cursorPosition(), 0);  // "3128" shown from its start
    f->Serv->SetText("changed.example/");
    Close();
    EXPECT_EQ(readBytes(Ini()), "changed.example/\r\nproxy.local\r\n3128\r\nana\r\nsegredo\r\n" + drums + "\r\n");
    struct stat st;
    ASSERT_EQ(::stat(Ini().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // tightened when rewritten
    f = Open();
    EXPECT_EQ(f->Serv->Text(), DefaultBaseAddress);
    EXPECT_EQ(f->Login->Text(), "ana");
}

TEST_F(Window, SettingsInAnotherEncodingAreWrittenBackUnchanged)
{
    std::string drums = (FFolder / "sounds" / "drums").string();
    const std::string file = "s/\r\npr\xF3xi\r\n80\r\nJo\xE3o\r\nsenha\xE7\xE3o\r\n" + drums + "\r\n";
    writeBytes(Ini(), file);
    TForm1* f = Open();
    EXPECT_EQ(f->Login->LineEdit()->text(), QString::fromUtf8("João"));
    Close();
    EXPECT_EQ(readBytes(Ini()), DefaultBaseAddress + file.substr(2));
}

TEST_F(Window, LfOnlyAndCrOnlyFilesReadLikeCrLf)
{
    std::string drums = (FFolder / "sounds" / "drums").string();
    writeBytes(Ini(), "s/\nproxy\n8080\nlu\npw\n" + drums + "\n");
    TForm1* f = Open();
    EXPECT_EQ(f->Proxy->Text(), "proxy");
    EXPECT_EQ(f->Senha->Text(), "pw");
    EXPECT_EQ(f->Dir->Directory(), drums);
    Close();
    writeBytes(Ini(), "s/\rproxy2\r81\rlu\rpw\r" + drums);
    f = Open();
    EXPECT_EQ(f->Proxy->Text(), "proxy2");
    EXPECT_EQ(f->PrPort->Text(), "81");
}

TEST_F(Window, ShortFileLeavesTheRestEmptyWithoutFallback)
{
    writeBytes(Ini(), "only.example/\r\nproxy\r\n");
    TForm1* f = Open();
    std::string before = f->Dir->Directory();
    EXPECT_EQ(f->Proxy->Text(), "proxy");
    EXPECT_EQ(f->PrPort->Text(), "");
    EXPECT_EQ(f->Login->Text(), "");
    EXPECT_EQ(f->Dir->Directory(), before);
}

TEST_F(Window, SavedFolderThatCannotBeEnteredKeepsTheOtherSettings)
{
    writeBytes(Ini(), "s/\r\nproxy\r\n3128\r\nana\r\nsegredo\r\n" + (FFolder / "gone").string() + "\r\n");
    std::string cwd = fs::current_path().string();
    TForm1* f = Open();
    EXPECT_EQ(f->Serv->Text(), DefaultBaseAddress);
    EXPECT_EQ(f->Proxy->Text(), "proxy");
    EXPECT_EQ(f->PrPort->Text(), "3128");
    EXPECT_EQ(f->Login->Text(), "ana");
    EXPECT_EQ(f->Senha->Text(), "segredo");
    EXPECT_EQ(f->Dir->Directory(), cwd);
    EXPECT_EQ(fs::current_path().string(), cwd);
    EXPECT_TRUE(test::ShownErrors().empty());  // nothing is shown
    Close();
    EXPECT_EQ(readBytes(Ini()), std::string(DefaultBaseAddress) + "\r\nproxy\r\n3128\r\nana\r\nsegredo\r\n" + cwd + "\r\n");
}

TEST_F(Window, PastedLineBreaksNeitherReachTheFileNorCostTheSettings)
{
    std::string drums = (FFolder / "sounds" / "drums").string();
    writeBytes(Ini(), "s/\r\n\r\n80\r\n\r\n\r\n" + drums + "\r\n");
    TForm1* f = Open();
    ShowActive();
    Paste(f->Login, "ana\r\nsegunda linha");
    Paste(f->Senha, "segredo\nmais");
    Paste(f->Proxy, "proxy.local\r");
    EXPECT_EQ(f->Login->Text(), "ana");
    EXPECT_EQ(f->Senha->Text(), "segredo");
    Close();
    EXPECT_EQ(readBytes(Ini()), std::string(DefaultBaseAddress) + "\r\nproxy.local\r\n80\r\nana\r\nsegredo\r\n" + drums + "\r\n");
    f = Open();
    EXPECT_EQ(f->Login->Text(), "ana");
    EXPECT_EQ(f->Senha->Text(), "segredo");
    EXPECT_EQ(f->Dir->Directory(), drums);
}

TEST_F(Window, AFolderWhoseNameHoldsALineBreakIsSavedAsTheStartFolder)
{
    fs::path odd = FFolder / "duas\nlinhas";
    fs::create_directories(odd);
    TForm1* f = Open();
    std::string start = f->StartFolder;
    EXPECT_EQ(start, f->Dir->Directory());
    f->Login->SetText("ana");
    f->Dir->SetDirectory(odd.string());
    ASSERT_EQ(f->Dir->Directory(), odd.string());
    Close();
    EXPECT_EQ(readBytes(Ini()), std::string(DefaultBaseAddress) + "\r\n\r\n\r\nana\r\n\r\n" + start + "\r\n");
}

TEST_F(Window, ASettingsFileThatNeverEndsOrIsHugeDoesNotHoldTheStart)
{
    // A FIFO: opening it to read would wait for a writer for ever. The watchdog plays the writer
    // if the start waits, so that the test ends and fails.
    ASSERT_EQ(::mkfifo(Ini().c_str(), 0600), 0);
    std::mutex m;
    std::condition_variable cv;
    bool started = false, waited = false;
    std::string fifo = Ini();
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(m);
        if (!cv.wait_for(lock, std::chrono::seconds(20), [&] { return started; })) {
            waited = true;
            int fd = ::open(fifo.c_str(), O_WRONLY);
            if (fd >= 0) ::close(fd);
        }
    });
    TForm1* f = Open();
    {
        std::lock_guard<std::mutex> lock(m);
        started = true;
    }
    cv.notify_one();
    watchdog.join();
    EXPECT_FALSE(waited) << "the start waited on a FIFO";
    EXPECT_EQ(f->Serv->Text(), DefaultBaseAddress);
    EXPECT_EQ(f->Proxy->Text(), "");
    EXPECT_EQ(f->PrPort->Text(), "");
    // Nor is anything written into it; one line on the error output says so, no box.
    ::testing::internal::CaptureStderr();
    Close();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Kapo: não consegui gravar as configurações em " + Ini() + ".\n");
    EXPECT_TRUE(test::ShownErrors().empty());
    fs::remove(Ini());

    // Six lines, then a gigabyte (sparse, so it costs no disk) that nothing uses.
    std::string drums = (FFolder / "sounds" / "drums").string();
    writeBytes(Ini(), "s/\r\nproxy\r\n3128\r\nana\r\nsegredo\r\n" + drums + "\r\n");
    ASSERT_EQ(::truncate(Ini().c_str(), 1LL << 30), 0);
    auto begun = std::chrono::steady_clock::now();
    f = Open();
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(5));
    EXPECT_EQ(f->Proxy->Text(), "proxy");
    EXPECT_EQ(f->Senha->Text(), "segredo");
    EXPECT_EQ(f->Dir->Directory(), drums);
}

TEST_F(Window, JunkAndLongLinesNeitherCrashNorShow)
{
    std::string junk;
    for (int i = 1; i < 3000; ++i) junk += static_cast<char>((i * 37) % 256);  // NUL near the end
    writeBytes(Ini(), junk);
    EXPECT_NO_THROW(Open());
    Close();
    writeBytes(Ini(), "s/\r\n" + std::string(10000, 'p') + "\r\n80\r\n");
    TForm1* f = Open();
    EXPECT_EQ(f->Proxy->Text(), std::string(4096, 'p'));
    Close();
    // An unreadable file: the fallback, silently. A folder in its place cannot be read even
    // with every right.
    fs::remove(Ini());
    fs::create_directory(Ini());
    f = Open();
    EXPECT_EQ(f->Serv->Text(), DefaultBaseAddress);
    EXPECT_EQ(f->Proxy->Text(), "");
    EXPECT_EQ(f->PrPort->Text(), "");
    FForm->OnDestroy = nullptr;  // nothing to save into a folder
    Close();
    fs::remove(Ini());
    EXPECT_TRUE(test::ShownErrors().empty());
}

TEST_F(Window, SettingsFileThatCannotBeWrittenIsToldAndShutdownGoesOn)
{
    Open();
    // A folder where the file should be: creating it fails even for root.
    fs::remove(Ini());
    fs::create_directory(Ini());
    const std::string said = "Kapo: não consegui gravar as configurações em " + Ini() + ".\n";
    ::testing::internal::CaptureStderr();
    Close();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), said);
    EXPECT_TRUE(test::ShownErrors().empty());

    // A full disk (here the process's file size limit) keeps the old settings whole.
    fs::remove(Ini());
    const std::string old = "old.example/\r\nproxy\r\n3128\r\nana\r\nsegredo\r\n\r\n";
    writeBytes(Ini(), old);
    Open();
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit full = saved;
    full.rlim_cur = 8;
    auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &full);
    Close();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldSignal);
    EXPECT_TRUE(test::ShownErrors().empty());
    EXPECT_EQ(readBytes(Ini()), old);
    EXPECT_EQ(std::distance(fs::directory_iterator(FFolder), fs::directory_iterator()), 2) << "kapo.ini and sounds/ only";
}

TEST_F(Window, ShapeCutsTheKeyColourOut)
{
    TForm1* f = Open();
    ShowActive();
    QRegion mask = f->Widget()->mask();
    ASSERT_FALSE(mask.isEmpty());
    const QImage& bg = f->Imp->Picture().Image();
    int outside = 0;
    for (int y = 0; y < 358; ++y)
        for (int x = 0; x < 600; ++x) {
            bool key = (bg.pixel(x, y) & 0xFFFFFF) == 0xFF00FF;
            outside += key;
            ASSERT_EQ(mask.contains(QPoint(x, y)), !key) << x << "," << y;
        }
    EXPECT_GT(outside, 0);
    for (QPoint corner : {QPoint(0, 0), QPoint(599, 0), QPoint(0, 357), QPoint(599, 357)})
        EXPECT_FALSE(mask.contains(corner));
    EXPECT_EQ(f->Width(), 600);
    EXPECT_EQ(f->Height(), 358);
}

TEST_F(Window, DraggingWithAnyButtonMovesTheWindow)
{
    TForm1* f = Open();
    ShowActive();
    for (Qt::MouseButton b : {Qt::LeftButton, Qt::RightButton, Qt::MiddleButton}) {
        int left = f->Left(), top = f->Top();
        Press(f->Imp, b, QPoint(300, 200));
        Move(f->Imp, b, QPoint(310, 195));
        EXPECT_EQ(f->Left(), left + 10);
        EXPECT_EQ(f->Top(), top - 5);
        Release(f->Imp, b, QPoint(310, 195));
        EXPECT_FALSE(f->Dragging);
        // Moving without a press does nothing.
        Move(f->Imp, Qt::NoButton, QPoint(350, 250));
        EXPECT_EQ(f->Left(), left + 10);
    }
}

TEST_F(Window, DragFollowsThePointerWhenTheWindowSystemMovesTheWindowLate)
{
    TForm1* f = Open();
    ShowActive();
    int left = f->Left(), top = f->Top();
    const QPoint start(300, 200);
    const QPoint screen = f->Imp->Widget()->mapToGlobal(start);
    SendAt(f->Imp, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, start, screen);
    // The window system has applied none of the moves yet: every motion is still relative to
    // the window's first place, while the pointer moved 10 right and 5 up each time.
    for (int k = 1; k <= 3; ++k) {
        QPoint step(10 * k, -5 * k);
        SendAt(f->Imp, QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, start + step, screen + step);
        EXPECT_EQ(f->Left(), left + 10 * k);
        EXPECT_EQ(f->Top(), top - 5 * k);
    }
    // Now it has caught up: the motion is relative to the new place. Same rule, same answer.
    QPoint step(40, -20);
    SendAt(f->Imp, QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, start + step - QPoint(30, -15), screen + step);
    EXPECT_EQ(f->Left(), left + 40);
    EXPECT_EQ(f->Top(), top - 20);
    SendAt(f->Imp, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, start, screen + step);
    EXPECT_FALSE(f->Dragging);
}

TEST_F(Window, DoubleClickIntoAFolderHighlightsThatFolder)
{
    // Three subfolders here, two in "sounds": after the double click on "sounds", the row under
    // the mouse is "x", a subfolder of the new folder.
    fs::create_directories(FFolder / "a");
    fs::create_directories(FFolder / "b");
    fs::create_directories(FFolder / "sounds" / "x");
    writeBytes(Ini(), "s/\r\n\r\n\r\n\r\n\r\n" + FFolder.string() + "\r\n");
    TForm1* f = Open();
    ShowActive();
    ASSERT_EQ(f->Dir->Directory(), FFolder.string());
    const std::string here = FFolder.string();
    int current = static_cast<int>(std::count(here.begin(), here.end(), '/'));
    ASSERT_EQ(f->Dir->Items()[current + 3], "sounds");
    TRect r = f->Dir->ItemRect(current + 3);
    ASSERT_LE(r.Bottom, f->Dir->Height()) << "the row must be in view";
    QPoint p((r.Left + r.Right) / 2, (r.Top + r.Bottom) / 2);
    QTest::mousePress(f->Dir->Widget(), Qt::LeftButton, {}, p);
    QTest::mouseRelease(f->Dir->Widget(), Qt::LeftButton, {}, p);
    QTest::mouseDClick(f->Dir->Widget(), Qt::LeftButton, {}, p);
    QTest::mouseRelease(f->Dir->Widget(), Qt::LeftButton, {}, p);
    const std::string sounds = (FFolder / "sounds").string();
    EXPECT_EQ(f->Dir->Directory(), sounds);
    EXPECT_EQ(f->Dir->ItemIndex(), current + 1);
    EXPECT_EQ(f->Dir->ItemPath(f->Dir->ItemIndex()), sounds);
    // Enter opens the highlighted row: the folder itself, so nothing moves.
    QTest::keyClick(f->Dir->Widget(), Qt::Key_Return);
    EXPECT_EQ(f->Dir->Directory(), sounds);
    EXPECT_EQ(fs::current_path().string(), sounds);
}

TEST_F(Window, SettingsPanelShownAndHiddenByTheRightActions)
{
    TForm1* f = Open();
    ShowActive();
    EXPECT_TRUE(f->Abook->Visible());
    // Mouse-up on the panel's own background hides it.
    Press(f->Image1, Qt::LeftButton, QPoint(20, 20));
    Release(f->Image1, Qt::LeftButton, QPoint(20, 20));
    EXPECT_FALSE(f->Abook->Visible());
    Press(f->Config, Qt::LeftButton, QPoint(3, 3));
    EXPECT_TRUE(f->Abook->Visible());
    Press(f->Config, Qt::RightButton, QPoint(3, 3));  // pressed again while shown: stays
    EXPECT_TRUE(f->Abook->Visible());
    Release(f->Config, Qt::RightButton, QPoint(3, 3));
    for (TImage* b : {f->Stop, f->Sons, f->Transf}) {
        f->Abook->Show();
        Press(b, Qt::MiddleButton, QPoint(3, 3));
        EXPECT_FALSE(f->Abook->Visible());
        Release(b, Qt::MiddleButton, QPoint(3, 3));
    }
    f->Abook->Show();
    f->DrvClick(f->Drv);
    EXPECT_FALSE(f->Abook->Visible());
    f->Abook->Show();
    Press(f->Imp, Qt::LeftButton, QPoint(300, 200));
    EXPECT_TRUE(f->Abook->Visible());  // only the release hides it
    Release(f->Imp, Qt::LeftButton, QPoint(300, 200));
    EXPECT_FALSE(f->Abook->Visible());
}

TEST_F(Window, ButtonsShowPressedAndReleasedPictures)
{
    TForm1* f = Open();
    ShowActive();
    const QImage up = f->Fim1->Picture().Image();
    const QImage down = f->Fim2->Picture().Image();
    ASSERT_NE(up, down);
    for (TImage* b : {f->Stop, f->Sons, f->Transf, f->Config}) {
        Press(b, Qt::RightButton, QPoint(2, 2));
        EXPECT_EQ(b->Picture().Image(), down);
        EXPECT_EQ(b->PaintTo().pixel(5, 4), down.pixel(5, 4));
        Release(b, Qt::RightButton, QPoint(2, 2));
        EXPECT_EQ(b->Picture().Image(), up);
    }
    // Stop sets the lamp to idle.
    f->Shp1->SetBrushColor(clRed);
    Press(f->Stop, Qt::LeftButton, QPoint(2, 2));
    EXPECT_EQ(f->Shp1->Brush().Color, clMaroon);
    Release(f->Stop, Qt::LeftButton, QPoint(2, 2));
}

TEST_F(Window, TreeClickAndNameDoubleClickSetTheLampBusy)
{
    TForm1* f = Open();
    f->Stk->SetCaption("x");
    f->ListaClick(f->Lista);
    EXPECT_EQ(f->Shp1->Brush().Color, clRed);
    EXPECT_EQ(f->Stk->Caption(), "");
    f->Shp1->SetBrushColor(clMaroon);
    f->NomesDblClick(f->Nomes);
    EXPECT_EQ(f->Shp1->Brush().Color, clRed);
    EXPECT_EQ(f->Abook->Visible(), true);  // neither touches the settings panel
}

TEST_F(Window, DocumentEventsDriveStatusLampAndGauge)
{
    TForm1* f = Open();
    f->HttpCli1DocBegin(f->HttpCli1);
    EXPECT_EQ(f->Stk->Caption(), "Baixando arquivo...");
    EXPECT_EQ(f->Shp1->Brush().Color, clRed);
    EXPECT_EQ(f->G1->Progress(), 0);
    // No declared length: the gauge refuses the maximum before anything else changes.
    EXPECT_EQ(f->HttpCli1->ContentLength(), -1);
    try {
        f->HttpCli1DocData(f->HttpCli1, nullptr, 0);
        FAIL() << "no range error";
    } catch (const EInvalidOperation& e) {
        EXPECT_EQ(e.Message(), "Value must be between 1 and 2147483647");
    }
    EXPECT_EQ(f->Shp1->Brush().Color, clRed);
    f->HttpCli1DocEnd(f->HttpCli1);
    EXPECT_EQ(f->Stk->Caption(), "Status da conexão...");
    EXPECT_EQ(f->Shp1->Brush().Color, clRed);  // the end leaves the lamp alone
}

TEST_F(Window, TabOrderFollowsTheDesign)
{
    TForm1* f = Open();
    // Inside the settings page: Login, Senha, Proxy, PrPort, Serv.
    EXPECT_EQ(f->Login->Widget()->nextInFocusChain(), f->Senha->Widget());
    EXPECT_EQ(f->Senha->Widget()->nextInFocusChain(), f->Proxy->Widget());
    EXPECT_EQ(f->PrPort->Widget()->nextInFocusChain(), f->Serv->Widget());
}

TEST_F(Window, CloseButtonEndsTheLoopAndTheSettingsAreSaved)
{
    // As the program runs: the window is the application's main form, the loop runs until
    // the close button's release, then the window is destroyed and writes its settings.
    Application->ClearTerminated();
    TForm1* main = Application->CreateForm<TForm1>();
    ASSERT_EQ(Application->MainForm(), main);
    bool released = false;
    QTimer::singleShot(0, [&] {
        main->Login->SetText("ana");
        Press(main->Fim, Qt::LeftButton, QPoint(2, 2));
        Release(main->Fim, Qt::LeftButton, QPoint(2, 2));
        released = true;
    });
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { ADD_FAILURE() << "loop did not end"; Application->Terminate(); });
    watchdog.start(10000);
    Application->Run();
    EXPECT_TRUE(released);
    delete main;
    EXPECT_EQ(Application->MainForm(), nullptr);
    std::string text = readBytes(Ini());
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 6);
    EXPECT_NE(text.find("\r\nana\r\n"), std::string::npos);
}

TEST_F(Window, CloseButtonEndsTheLoopOnRelease)
{
    TForm1* f = Open();
    ShowActive();
    Application->ClearTerminated();
    Press(f->Fim, Qt::LeftButton, QPoint(2, 2));
    EXPECT_FALSE(Application->Terminated());
    EXPECT_EQ(f->Fim->Picture().Image(), f->Fim2->Picture().Image());
    Release(f->Fim, Qt::LeftButton, QPoint(2, 2));
    EXPECT_TRUE(Application->Terminated());
    EXPECT_EQ(f->Fim->Picture().Image(), f->Fim1->Picture().Image());
    Application->Run();  // returns at once: the loop has been asked to end
    // Activation resets the close button's picture.
    f->Fim->Picture().Assign(&f->Fim2->Picture());
    f->Activate();
    EXPECT_EQ(f->Fim->Picture().Image(), f->Fim1->Picture().Image());
}

TEST_F(Window, PreviewSettingsFollowTheSixLinesAndAnOlderFileStillLoads)
{
    const std::string drums = (FFolder / "sounds" / "drums").string();
    const std::string six = "s/\r\nproxy.local\r\n3128\r\nana\r\nsegredo\r\n" + drums + "\r\n";
    const std::string written = std::string(DefaultBaseAddress) + six.substr(2);
    const struct Row {
        const char* name;
        std::string file;
        bool audition;
        int volume;
        std::string after;  // the file written at the end of the run
    } rows[] = {
        {"six lines, from an older Kapo", six, false, 100, written},
        {"audition on, volume 70", six + "1\r\n70\r\n", true, 70, written + "1\r\n70\r\n"},
        {"audition off, volume 0", six + "0\r\n0\r\n", false, 0, written + "0\r\n0\r\n"},
        {"lines that hold nothing of ours", six + "sim\r\nalto\r\n", false, 100, written},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        writeBytes(Ini(), r.file);
        TForm1* f = Open();
        // The first six lines mean what they always did.
        EXPECT_EQ(f->Proxy->Text(), "proxy.local");
        EXPECT_EQ(f->PrPort->Text(), "3128");
        EXPECT_EQ(f->Login->Text(), "ana");
        EXPECT_EQ(f->Senha->Text(), "segredo");
        EXPECT_EQ(f->Dir->Directory(), drums);
        EXPECT_EQ(f->PreviewSettings().Audition, r.audition);
        EXPECT_EQ(f->PreviewSettings().Volume, r.volume);
        EXPECT_EQ(f->Mp->Volume(), static_cast<DWORD>(r.volume * 10));
        Close();
        EXPECT_EQ(readBytes(Ini()), r.after);
    }
    EXPECT_TRUE(test::ShownErrors().empty());
}
