// The real program, run as a child in a folder of its own: the signals that end a session end
// it through its loop, so the window is destroyed and writes the settings file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/Unit1.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

// Starts the program in folder with the environment less the variables named in drop, plus
// those in add; sigmask blocks signals in the child from its start; stderr goes to errFile
// when given.
pid_t Spawn(const fs::path& folder, const std::vector<std::string>& drop, const std::vector<std::string>& add,
            const sigset_t* sigmask = nullptr, const fs::path& errFile = {})
{
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    if (sigmask) {
        posix_spawnattr_setsigmask(&attr, sigmask);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    if (!errFile.empty()) posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        bool dropped = false;
        for (const std::string& d : drop) dropped = dropped || std::strncmp(*e, (d + "=").c_str(), d.size() + 1) == 0;
        if (!dropped) env.emplace_back(*e);
    }
    env.insert(env.end(), add.begin(), add.end());
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = (folder / "kapo").string();
    char* argv[] = {program.data(), nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    EXPECT_EQ(rc, 0) << std::strerror(rc);
    return rc == 0 ? pid : -1;
}

// The child's exit status, or -1 when it did not exit by itself in time (it is then killed)
// or was ended by a signal.
int WaitExit(pid_t pid, int seconds = 60)
{
    std::mutex m;
    std::condition_variable cv;
    bool ended = false, killed = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(m);
        if (!cv.wait_for(lock, std::chrono::seconds(seconds), [&] { return ended; })) {
            killed = true;
            ::kill(pid, SIGKILL);
        }
    });
    int status = 0;
    pid_t waited = ::waitpid(pid, &status, 0);
    {
        std::lock_guard<std::mutex> lock(m);
        ended = true;
    }
    cv.notify_one();
    watchdog.join();
    EXPECT_FALSE(killed) << "the program did not end";
    if (waited != pid || killed || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

class ProgramRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '-');
        FFolder = fs::temp_directory_path() / ("kapo-end-" + std::to_string(::getpid()) + "-" + name);
        fs::remove_all(FFolder);
        fs::create_directories(FFolder / "sounds");
        // The settings file lives beside the program: the program is copied into the folder.
        fs::copy_file(KAPO_PROGRAM, FFolder / "kapo");
        // A runtime folder of the test's own, so that copies of other tests run beside it.
        fs::create_directories(FFolder / "run");
        fs::permissions(FFolder / "run", fs::perms::owner_all);
    }
    std::string Runtime() const { return "XDG_RUNTIME_DIR=" + (FFolder / "run").string(); }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(FFolder, ec);
    }
    fs::path FFolder;
};

class ProgramEnd : public ProgramRun, public ::testing::WithParamInterface<int> {};

std::string ReadText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

// Waits until a name appears in a folder; false after the time given.
bool AwaitName(const fs::path& folder, const std::string& name, int seconds)
{
    int fd = ::inotify_init1(IN_CLOEXEC);
    if (fd < 0) return false;
    ::inotify_add_watch(fd, folder.c_str(), IN_CREATE | IN_MOVED_TO);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    bool found = fs::exists(folder / name);
    while (!found && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 200) > 0) {
            char buf[4096];
            (void)!::read(fd, buf, sizeof buf);
        }
        found = fs::exists(folder / name);
    }
    ::close(fd);
    return found;
}

// Waits until the copy listening on the socket answers a request to come forward, as it does
// once its loop runs; false after the time given.
bool AwaitAnswer(const fs::path& socket, int seconds)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket.c_str(), sizeof addr.sun_path - 1);
    int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool answered = s >= 0 && ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                    ::send(s, "\n", 1, MSG_NOSIGNAL) == 1;
    pollfd p{s, POLLIN, 0};
    char reply = 0;
    answered = answered && ::poll(&p, 1, seconds * 1000) == 1 && ::recv(s, &reply, 1, 0) == 1 && reply == '\n';
    if (s >= 0) ::close(s);
    return answered;
}

}  // namespace

TEST_F(ProgramRun, WithoutADisplayItSaysSoInOneLineAndFails)
{
    ASSERT_FALSE(fs::exists("/tmp/.X11-unix/X87"));
    const struct Row {
        const char* name;
        std::vector<std::string> add;
    } rows[] = {
        {"no display named", {Runtime()}},
        {"a display nobody serves", {Runtime(), "DISPLAY=:87"}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const fs::path err = FFolder / "stderr.txt";
        pid_t pid = Spawn(FFolder, {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR"}, r.add, nullptr, err);
        ASSERT_GT(pid, 0);
        EXPECT_EQ(WaitExit(pid), 1);
        const std::string text = ReadText(err);
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
        EXPECT_EQ(text.rfind("Kapo: não há tela para abrir a janela (", 0), 0u) << text;
        EXPECT_FALSE(fs::exists(FFolder / "kapo.ini"));
    }
}

TEST_F(ProgramRun, ASecondStartBringsTheRunningWindowForwardAndEnds)
{
    // SIGTERM waits in the first copy until it can end through its loop.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    const std::vector<std::string> drop{"QT_QPA_PLATFORM", "XDG_RUNTIME_DIR"}, add{"QT_QPA_PLATFORM=offscreen", Runtime()};
    pid_t first = Spawn(FFolder, drop, add, &mask);
    ASSERT_GT(first, 0);
    ASSERT_TRUE(AwaitName(FFolder / "run", "kapo.socket", 60)) << "the first copy does not listen";
    // A start waits 2 s for an answer; the first copy's loop may take longer to begin here.
    ASSERT_TRUE(AwaitAnswer(FFolder / "run" / "kapo.socket", 60)) << "the first copy does not answer";

    const fs::path err = FFolder / "stderr.txt";
    pid_t second = Spawn(FFolder, drop, add, nullptr, err);
    ASSERT_GT(second, 0);
    EXPECT_EQ(WaitExit(second, 30), 0);
    EXPECT_EQ(ReadText(err), "") << "the running copy did not answer";
    EXPECT_FALSE(fs::exists(FFolder / "kapo.ini")) << "the second start wrote settings";
    int status = 0;
    EXPECT_EQ(::waitpid(first, &status, WNOHANG), 0) << "the first copy ended";

    ASSERT_EQ(::kill(first, SIGTERM), 0);
    EXPECT_EQ(WaitExit(first), 0);
    EXPECT_TRUE(fs::exists(FFolder / "kapo.ini"));
    EXPECT_FALSE(fs::exists(FFolder / "run" / "kapo.socket"));
}

TEST_P(ProgramEnd, SavesTheSettingsOnTheSignal)
{
    const int sig = GetParam();
    const std::string sounds = (FFolder / "sounds").string();
    std::ofstream(FFolder / "kapo.ini", std::ios::binary) << "old.example/\r\nproxy.local\r\n3128\r\nana\r\nsegredo\r\n" << sounds << "\r\n";

    // The signal is blocked in the child from the start, so it is sent at once and arrives
    // when the program is ready for it, whenever that is.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, sig);
    pid_t pid = Spawn(FFolder, {"QT_QPA_PLATFORM", "XDG_RUNTIME_DIR"}, {"QT_QPA_PLATFORM=offscreen", Runtime()}, &mask);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(::kill(pid, sig), 0);
    EXPECT_EQ(WaitExit(pid), 0);
    std::ifstream in(FFolder / "kapo.ini", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    // Written anew: line 0 is the base address of this run, not the one in the file.
    EXPECT_EQ(text, std::string(KAPO_DEFAULT_SERVICE) + "\r\nproxy.local\r\n3128\r\nana\r\nsegredo\r\n" + sounds + "\r\n");
}

INSTANTIATE_TEST_SUITE_P(Signals, ProgramEnd, ::testing::Values(SIGTERM, SIGHUP, SIGINT),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(info.param == SIGTERM ? "SIGTERM" : info.param == SIGHUP ? "SIGHUP" : "SIGINT");
                         });
