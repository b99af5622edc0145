// One running copy per user: the lock and the request to come forward.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <memory>

#include "platform/MessageQueue.h"
#include "platform/SingleInstance.h"
#include "support/SoundTestSupport.h"

using namespace kapo;
using soundtest::TempDir;

namespace {

// A later start asks from a thread of its own while this thread's queue serves the running
// copy, as two processes would.
bool AskWhilePumping(const std::string& folder, const std::string& token)
{
    auto asked = std::async(std::launch::async, [folder, token] {
        TSingleInstance later("kapo", folder);
        return !later.Acquire() && later.AskToRaise(token);
    });
    // The asker's end is no message of this queue: the wait is cut short to see it.
    MessageQueue& q = MessageQueue::Current();
    while (asked.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        q.WaitNext(20);
        q.ProcessPending();
    }
    return asked.get();
}

}  // namespace

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
        for (const char* token : {"", "activation-1\nrest"}) EXPECT_TRUE(AskWhilePumping(folder, token));
        EXPECT_EQ(tokens, (std::vector<std::string>{"", "activation-1"}));
    }
    // The socket of a copy that crashed is left behind; the next start takes the lock over.
    std::ofstream(dir.File("kapo.socket")) << "stale";
    TSingleInstance next("kapo", folder);
    EXPECT_TRUE(next.Acquire());
    next.OnRaise = [&](const std::string& token) { tokens.push_back(token); };
    EXPECT_TRUE(AskWhilePumping(folder, "x"));
    EXPECT_EQ(tokens.size(), 3u);
}

// A copy that holds the lock but never answers (its loop is stuck, or it lives on without its
// window) costs a later start two seconds, after which that start runs and answers the next.
TEST(SingleInstance, ACopyThatDoesNotAnswerIsTakenOverWithinTheLimit)
{
    soundtest::Watchdog dog;
    TempDir dir;
    const std::string folder = dir.File("");
    auto stuck = std::make_unique<TSingleInstance>("kapo", folder);
    ASSERT_TRUE(stuck->Acquire());

    auto refused = std::async(std::launch::async, [folder] {
        TSingleInstance later("kapo", folder);
        const auto start = std::chrono::steady_clock::now();
        bool answered = !later.Acquire() && later.AskToRaise("t");
        return std::make_pair(answered, std::chrono::steady_clock::now() - start);
    });
    auto [answered, waited] = refused.get();  // this thread does not serve the stuck copy
    EXPECT_FALSE(answered);
    EXPECT_GE(waited, std::chrono::milliseconds(TSingleInstance::AnswerLimitMs - 100));
    EXPECT_LT(waited, std::chrono::milliseconds(TSingleInstance::AnswerLimitMs + 1500));

    {
        TSingleInstance taker("kapo", folder);
        EXPECT_FALSE(taker.Acquire());
        taker.TakeOver();
        std::vector<std::string> tokens;
        taker.OnRaise = [&](const std::string& token) { tokens.push_back(token); };
        // The stuck copy ending at last leaves the taker's socket in place.
        stuck.reset();
        EXPECT_TRUE(AskWhilePumping(folder, "third"));
        EXPECT_EQ(tokens, std::vector<std::string>{"third"});
    }
    EXPECT_FALSE(std::ifstream(dir.File("kapo.socket")).good());
}
