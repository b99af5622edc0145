// The real program, run as a child in a folder of its own: the signals that end a session end
// it through its loop, so the window is destroyed and writes the settings file.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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

class ProgramEnd : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        FFolder = fs::temp_directory_path() / ("kapo-end-" + std::to_string(::getpid()) + "-" + std::to_string(GetParam()));
        fs::remove_all(FFolder);
        fs::create_directories(FFolder / "sounds");
        // The settings file lives beside the program: the program is copied into the folder.
        fs::copy_file(KAPO_PROGRAM, FFolder / "kapo");
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(FFolder, ec);
    }
    fs::path FFolder;
};

}  // namespace

TEST_P(ProgramEnd, SavesTheSettingsOnTheSignal)
{
    const int sig = GetParam();
    const std::string sounds = (FFolder / "sounds").string();
    std::ofstream(FFolder / "kapo.ini", std::ios::binary) << "old.example/\r\nproxy.local\r\n3128\r\nana\r\nsegredo\r\n" << sounds << "\r\n";

    // The signal is blocked in the child from the start, so it is sent at once and arrives
    // when the program is ready for it, whenever that is.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, sig);
    posix_spawnattr_setsigmask(&attr, &mask);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, FFolder.c_str());
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "QT_QPA_PLATFORM=", 16) != 0) env.emplace_back(*e);
    env.emplace_back("QT_QPA_PLATFORM=offscreen");
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = (FFolder / "kapo").string();
    char* argv[] = {program.data(), nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ASSERT_EQ(rc, 0) << std::strerror(rc);
    ASSERT_EQ(::kill(pid, sig), 0);

    std::mutex m;
    std::condition_variable cv;
    bool ended = false, killed = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(m);
        if (!cv.wait_for(lock, std::chrono::seconds(60), [&] { return ended; })) {
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
    ASSERT_EQ(waited, pid);
    EXPECT_FALSE(killed) << "the program did not end";
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::ifstream in(FFolder / "kapo.ini", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    // Written anew: line 0 is the base address of this run, not the one in the file.
    EXPECT_EQ(text, std::string(KAPO_DEFAULT_SERVICE) + "\r\nproxy.local\r\n3128\r\nana\r\nsegredo\r\n" + sounds + "\r\n");
}

INSTANTIATE_TEST_SUITE_P(Signals, ProgramEnd, ::testing::Values(SIGTERM, SIGHUP, SIGINT),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(info.param == SIGTERM ? "SIGTERM" : info.param == SIGHUP ? "SIGHUP" : "SIGINT");
                         });
