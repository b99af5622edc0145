// One running copy per user: the lock and the request to come forward.
#include <gtest/gtest.h>

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
