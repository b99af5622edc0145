// A sound dragged out of the window onto another program's window. The drag needs a real X
// server: the test starts Xvfb and runs itself again there, where xdotool moves the pointer.
#include <gtest/gtest.h>

#include "ServiceThread.h"
#include "support/SoundTestSupport.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QTest>
#include <QWidget>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/SoundCacheFolder.h"
#include "WindowFixture.h"

using namespace kapo;
namespace fs = std::filesystem;

namespace {

const char* const ChildFlag = "KAPO_DRAG_ON_X";

TEST(SoundCache, TheOldestGoFirstUntilTheBoundHoldsAndTheNewOneStays)
{
    const fs::path home = fs::temp_directory_path() / ("kapo-cache-" + std::to_string(::getpid()));
    fs::remove_all(home);
    ::setenv("XDG_CACHE_HOME", home.c_str(), 1);
    const std::string folder = SoundCacheFolder();
    ::unsetenv("XDG_CACHE_HOME");
    ASSERT_EQ(folder, (home / "kapo" / "sounds").string() + "/");
    EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
    struct Row {
        const char* Name;
        int Size, Age;  // bytes, hours ago
    } files[] = {{"velho.wav", 40, 5}, {"meio.wav", 30, 3}, {"novo.wav", 30, 1}, {"agora.wav", 50, 0}};
    for (const Row& f : files) {
        std::ofstream(folder + f.Name) << std::string(static_cast<std::size_t>(f.Size), 'x');
        fs::last_write_time(folder + f.Name, fs::file_time_type::clock::now() - std::chrono::hours(f.Age));
    }
    fs::create_directory(folder + "pasta");  // not a cached sound: never counted or removed
    struct Trim {
        std::uint64_t Limit;
        const char* Keep;
        std::vector<std::string> Left;
    } trims[] = {
        {150, "agora.wav", {"agora.wav", "meio.wav", "novo.wav", "pasta", "velho.wav"}},
        {120, "agora.wav", {"agora.wav", "meio.wav", "novo.wav", "pasta"}},
        {60, "agora.wav", {"agora.wav", "pasta"}},
        {10, "agora.wav", {"agora.wav", "pasta"}},  // the one kept may pass the bound alone
        {10, "", {"pasta"}},
    };
    for (const Trim& t : trims) {
        TrimSoundCache(folder, t.Limit, t.Keep);
        std::vector<std::string> left;
        for (const auto& e : fs::directory_iterator(folder)) left.push_back(e.path().filename().string());
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, t.Left) << t.Limit;
    }
    fs::remove_all(home);
}

// Starts Xvfb on a free display; 0 when it cannot be started.
pid_t StartXvfb(int& display)
{
    int fds[2];
    if (::pipe(fds) != 0) return 0;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        const std::string fd = std::to_string(fds[1]);
        ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0", "1024x768x24",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    std::string text;
    pollfd p{fds[0], POLLIN, 0};
    char buf[32];
    while (text.find('\n') == std::string::npos && ::poll(&p, 1, 10000) > 0) {
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    if (pid < 0 || text.find('\n') == std::string::npos) {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        return 0;
    }
    display = std::stoi(text);
    return pid;
}

bool OnPath(const char* program)
{
    const std::string cmd = std::string("command -v ") + program + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

TEST(DragOut, RunsTheDragUnderXvfb)
{
    if (std::getenv(ChildFlag)) GTEST_SKIP() << "this is the run under Xvfb";
    if (!OnPath("Xvfb") || !OnPath("xdotool"))
        GTEST_SKIP() << "Xvfb or xdotool is not installed (Debian packages xvfb, xdotool): the drag is not tried";
    int display = 0;
    const pid_t xvfb = StartXvfb(display);
    if (!xvfb) GTEST_SKIP() << "no X server could be started: the drag is not tried";
    // Qt on X talks to the session bus through libdbus, which keeps a buffer for the process's
    // life; the leak check of the run under Xvfb is told so.
    const std::string suppressions = (fs::temp_directory_path() / ("kapo-drag-lsan-" + std::to_string(::getpid()))).string();
    std::ofstream(suppressions) << "leak:libdbus-1.so\n";
    const pid_t child = ::fork();
    if (child == 0) {
        ::setenv("LSAN_OPTIONS", ("suppressions=" + suppressions + ":print_suppressions=0").c_str(), 1);
        const std::string d = ":" + std::to_string(display);
        ::setenv("DISPLAY", d.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        ::setenv(ChildFlag, "1", 1);
        ::execl("/proc/self/exe", "test_app", "--gtest_filter=DragOnX.*", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    ::kill(xvfb, SIGTERM);
    ::waitpid(xvfb, nullptr, 0);
    fs::remove(suppressions);
    ASSERT_TRUE(WIFEXITED(status)) << "the run under Xvfb ended by a signal";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the run under Xvfb failed";
}

// A window of another program as far as the drag is concerned: it takes text/uri-list.
class DropTarget : public QWidget {
public:
    std::string UriList;
    int Drops = 0;

protected:
    void dragEnterEvent(QDragEnterEvent* e) override
    {
        if (e->mimeData()->hasFormat("text/uri-list")) e->acceptProposedAction();
    }
    void dragMoveEvent(QDragMoveEvent* e) override { e->acceptProposedAction(); }
    void dropEvent(QDropEvent* e) override
    {
        UriList = e->mimeData()->data("text/uri-list").toStdString();
        ++Drops;
        e->acceptProposedAction();
    }
};

class DragOnX : public test::WindowFixture {
protected:
    void SetUp() override
    {
        if (!std::getenv(ChildFlag)) GTEST_SKIP() << "run by DragOut.RunsTheDragUnderXvfb under Xvfb";
        fs::create_directories(Root / "club" / "waves");
        Sound.resize(700000);
        for (std::size_t i = 0; i < Sound.size(); ++i) Sound[i] = static_cast<char>(i * 31 + (i >> 9));
        std::ofstream(Root / "club" / "waves" / "eco.wav", std::ios::binary) << Sound;
        ::setenv("XDG_CACHE_HOME", (Root / "cache").c_str(), 1);
        Service = std::make_unique<test::ServiceThread>(Root.string());
        OpenWindow(Service->Base());
        F->Login->SetText("demo");
        F->Senha->SetText("demo");
        F->Abook->Hide();
        for (const char* row : {"eco.wav :Eco", "falta.wav :Não há"}) F->Nomes->Items().Add(row);
        Target.setGeometry(840, 520, 160, 160);
        Target.setAcceptDrops(true);
        Target.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(F->Widget()));
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&Target));
    }
    void TearDown() override
    {
        if (!F) return;
        WindowFixture::TearDown();
        Service.reset();
        fs::remove_all(Root);
    }
    // Presses on a row, moves out and drops on the target, as a hand on the mouse would.
    void DragRow(int row)
    {
        const QPoint from = F->Nomes->Widget()->mapToGlobal(QPoint(40, row * 15 + 7));
        const QPoint to = Target.mapToGlobal(QPoint(80, 80));
        char cmd[512];
        std::snprintf(cmd, sizeof cmd,
                      "xdotool mousemove %d %d sleep 0.3 mousedown 1 sleep 0.3 mousemove %d %d sleep 0.3 "
                      "mousemove %d %d sleep 2 mousemove %d %d sleep 0.5 mousemove %d %d sleep 0.5 mouseup 1",
                      from.x(), from.y(), from.x() + 8, from.y() + 8, from.x() + 30, from.y() + 20, to.x() - 5,
                      to.y() - 5, to.x(), to.y());
        std::atomic<bool> done{false};
        std::thread hand([&] {
            std::system(cmd);
            done = true;
        });
        while (!done) QTest::qWait(20);
        hand.join();
        QTest::qWait(300);
    }

    soundtest::Watchdog Guard{60000};
    fs::path Root = fs::temp_directory_path() / ("kapo-drag-" + std::to_string(::getpid()));
    std::string Sound;
    std::unique_ptr<test::ServiceThread> Service;
    DropTarget Target;
};

TEST_F(DragOnX, ADroppedRowIsTheWholeSoundAsAFileAndAFailedFetchSaysWhy)
{
    DragRow(0);
    const std::string cached = (Root / "cache" / "kapo" / "sounds" / "eco.wav").string();
    ASSERT_EQ(Target.Drops, 1) << F->Stk->Caption();
    EXPECT_EQ(Target.UriList, "file://" + cached + "\r\n");
    EXPECT_TRUE(test::ReadFile(cached) == Sound);
    EXPECT_EQ(fs::status(Root / "cache" / "kapo" / "sounds").permissions() & fs::perms::all, fs::perms::owner_all);

    // A sound the service does not have: no drop, the reason in the status line.
    DragRow(1);
    EXPECT_EQ(Target.Drops, 1);
    EXPECT_EQ(F->Stk->Caption(), "Falha no arraste: Not Found");
    EXPECT_FALSE(fs::exists(Root / "cache" / "kapo" / "sounds" / "falta.wav"));
    EXPECT_TRUE(test::ShownErrors().empty());
}

}  // namespace
