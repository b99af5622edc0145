#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>

#include "core/Classes.h"

using namespace kapo;

namespace {
std::string tempFile(const std::string& name)
{
    return IncludeTrailingPathDelimiter(::testing::TempDir()) + name + "." + std::to_string(::getpid());
}
}  // namespace

TEST(FileStream, CreateTruncatesAndIsExclusive)
{
    std::string path = tempFile("stream.bin");
    {
        TFileStream f(path, fmCreate);
        f.WriteBuffer("hello world", 11);
        EXPECT_EQ(f.Size(), 11);
        // A second writer of the same file is refused while the first holds it.
        EXPECT_THROW(TFileStream(path, fmCreate), EFCreateError);
        EXPECT_THROW(TFileStream(path, fmOpenWrite | fmShareExclusive), EFOpenError);
        // The refused writer emptied nothing.
        EXPECT_EQ(f.Size(), 11);
    }
    {
        TFileStream f(path, fmCreate);
        EXPECT_EQ(f.Size(), 0);
        f.WriteBuffer("ab", 2);
    }
    TFileStream r(path, fmOpenRead);
    char buf[8] = {};
    EXPECT_EQ(r.Read(buf, 8), 2);
    EXPECT_EQ(std::string(buf), "ab");
    EXPECT_THROW(r.ReadBuffer(buf, 1), EReadError);
    std::remove(path.c_str());
}

TEST(FileStream, FoldersAndMissingFilesAreErrors)
{
    EXPECT_THROW(TFileStream(::testing::TempDir(), fmCreate), EFCreateError);
    EXPECT_THROW(TFileStream(::testing::TempDir(), fmOpenRead), EFOpenError);
    EXPECT_THROW(TFileStream(tempFile("missing"), fmOpenRead), EFOpenError);
}

TEST(MemoryStream, ReadWriteSeekCopy)
{
    TMemoryStream m;
    m.WriteBuffer("abcdef", 6);
    m.SetPosition(2);
    char b[3] = {};
    m.ReadBuffer(b, 2);
    EXPECT_EQ(std::string(b), "cd");
    TMemoryStream copy;
    EXPECT_EQ(copy.CopyFrom(m, 0), 6);
    EXPECT_EQ(copy.DataString(), "abcdef");
    m.SetSize(3);
    EXPECT_EQ(m.DataString(), "abc");
}

namespace {
struct Probe : TComponent {
    Probe(TComponent* owner, std::vector<std::string>& log, std::string name) : TComponent(owner), Log(log)
    {
        SetName(std::move(name));
    }
    ~Probe() override { Log.push_back("~" + Name()); }
    void Notification(TComponent* c, TOperation op) override
    {
        if (op == opRemove) Log.push_back(Name() + " heard " + c->Name());
    }
    std::vector<std::string>& Log;
};
}  // namespace

TEST(Component, OwnerDestroysNewestFirstAndNotifiesFreeListeners)
{
    std::vector<std::string> log;
    auto* outsider = new Probe(nullptr, log, "outsider");
    {
        Probe owner(nullptr, log, "owner");
        new Probe(&owner, log, "a");
        auto* b = new Probe(&owner, log, "b");
        b->FreeNotification(outsider);
        EXPECT_EQ(owner.ComponentCount(), 2);
    }
    // b tells the outsider as it goes; b then a, in reverse order of creation.
    auto pos = [&](const std::string& s) { return std::find(log.begin(), log.end(), s) - log.begin(); };
    EXPECT_LT(pos("~owner"), pos("~b"));
    EXPECT_LT(pos("~b"), pos("~a"));
    EXPECT_LT(pos("outsider heard b"), static_cast<long>(log.size()));
    log.clear();
    delete outsider;  // no dangling link back to b
    EXPECT_EQ(log, std::vector<std::string>{"~outsider"});
}

TEST(Component, DeletingAnOwnedComponentRemovesItFromItsOwner)
{
    std::vector<std::string> log;
    Probe owner(nullptr, log, "owner");
    auto* a = new Probe(&owner, log, "a");
    delete a;
    EXPECT_EQ(owner.ComponentCount(), 0);
}

namespace {

// The guard a component hands out says whether it still exists: in every copy, after any way
// of destruction (directly or by its owner), and still "alive" inside its own destructor,
// where code that cleans up may raise events of its own.
TEST(Component, LivenessGuardTellsWhetherTheComponentStillExists)
{
    EXPECT_FALSE(kapo::TLiveness());

    struct Watched : kapo::TComponent {
        using TComponent::TComponent;
        bool* SeenAliveInDestructor = nullptr;
        ~Watched() override
        {
            if (SeenAliveInDestructor) *SeenAliveInDestructor = static_cast<bool>(Liveness());
        }
    };
    auto* alone = new Watched;
    kapo::TLiveness guard = alone->Liveness();
    kapo::TLiveness copy = guard;
    bool aliveInside = false;
    alone->SeenAliveInDestructor = &aliveInside;
    EXPECT_TRUE(guard);
    delete alone;
    EXPECT_TRUE(aliveInside);
    EXPECT_FALSE(guard);
    EXPECT_FALSE(copy.Alive());

    auto* owner = new kapo::TComponent;
    auto* owned = new Watched(owner);
    kapo::TLiveness ownedGuard = owned->Liveness();
    kapo::TLiveness ownerGuard = owner->Liveness();
    delete owner;
    EXPECT_FALSE(ownedGuard);
    EXPECT_FALSE(ownerGuard);
}

}  // namespace
