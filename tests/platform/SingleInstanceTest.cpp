// One running copy per user: the lock, the request to come forward, and where they live.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/SingleInstance.h"
#include "support/SoundTestSupport.h"

using namespace kapo;
using soundtest::TempDir;

TEST(SingleInstance, ALaterStartAsksTheRunningOneToComeForwardAndTakesOverWhenItIsGone)
{
    soundtest::Watchdog dog;
    TempDir dir;
    const std::string folder = dir.File("");
    std::vector<std::string> tokens;
    {
        TSingleInstance first("kapo", folder);
        ASSERT_TRUE(first.Acquire());
        first.OnRaise = [&](const std::string& token) { tokens.push_back(token); };
        for (const char* token : {"", "activation-1\nrest"}) {
            TSingleInstance later("kapo", folder);
            EXPECT_FALSE(later.Acquire());
            EXPECT_TRUE(later.AskToRaise(token));
            const std::size_t want = tokens.size() + 1;
            ASSERT_TRUE(soundtest::PumpUntil([&] { return tokens.size() == want; }));
        }
        EXPECT_EQ(tokens, (std::vector<std::string>{"", "activation-1"}));
    }
    // The socket of a copy that crashed is left behind; the next start takes the lock over.
    std::ofstream(dir.File("kapo.socket")) << "stale";
    TSingleInstance next("kapo", folder);
    EXPECT_TRUE(next.Acquire());
    next.OnRaise = [&](const std::string& token) { tokens.push_back(token); };
    TSingleInstance later("kapo", folder);
    EXPECT_FALSE(later.Acquire());
    EXPECT_TRUE(later.AskToRaise("x"));
    ASSERT_TRUE(soundtest::PumpUntil([&] { return tokens.size() == 3; }));
}

TEST(SingleInstance, LivesInTheRuntimeFolderOrInAPrivateOneOfTheTemporaryFolder)
{
    TempDir runtime, shared, tmp;
    auto pathOf = [](const TempDir& d) {
        std::string p = d.File("");
        return p.substr(0, p.size() - 1);
    };
    ::chmod(pathOf(shared).c_str(), 0777);
    auto saved = [](const char* name) {
        const char* v = std::getenv(name);
        return std::pair<bool, std::string>(v != nullptr, v ? v : "");
    };
    const auto savedRuntime = saved("XDG_RUNTIME_DIR"), savedTmp = saved("TMPDIR");
    ::setenv("TMPDIR", pathOf(tmp).c_str(), 1);
    const std::string fallback = pathOf(tmp) + "/kapo-" + std::to_string(::geteuid());
    const std::string ours = pathOf(runtime), others = pathOf(shared);
    const struct Row {
        const char* name;
        const char* runtime;  // nullptr: unset
        std::string socket;
    } rows[] = {
        {"the runtime folder", ours.c_str(), ours + "/kapo.socket"},
        {"a runtime folder others may enter", others.c_str(), fallback + "/kapo.socket"},
        {"no runtime folder", nullptr, fallback + "/kapo.socket"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        if (r.runtime) ::setenv("XDG_RUNTIME_DIR", r.runtime, 1);
        else ::unsetenv("XDG_RUNTIME_DIR");
        TSingleInstance instance("kapo");
        EXPECT_EQ(instance.SocketPath(), r.socket);
    }
    struct stat st;
    ASSERT_EQ(::stat(fallback.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    for (const auto& [name, value] : {std::pair{"XDG_RUNTIME_DIR", savedRuntime}, std::pair{"TMPDIR", savedTmp}}) {
        if (value.first) ::setenv(name, value.second.c_str(), 1);
        else ::unsetenv(name);
    }
    std::filesystem::remove_all(fallback);
}
