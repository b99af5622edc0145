// Where the settings file lives: beside a program run from its build folder, in the user's
// configuration folder for an installed one.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/Unit1.h"
#include "support/GuiTestMain.h"

using namespace kapo;
namespace fs = std::filesystem;

namespace {

// Sets an environment variable for the scope of a test.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : FName(name)
    {
        const char* old = std::getenv(name);
        FHad = old != nullptr;
        if (FHad) FOld = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv()
    {
        if (FHad) ::setenv(FName, FOld.c_str(), 1);
        else ::unsetenv(FName);
    }

private:
    const char* FName;
    bool FHad = false;
    std::string FOld;
};

}  // namespace

TEST(SettingsPlace, BesideAWritableProgramElseInTheConfigFolder)
{
    fs::path base = fs::temp_directory_path() / ("kapo-place-" + std::to_string(::getpid()));
    fs::remove_all(base);
    fs::create_directories(base / "build");
    ScopedEnv home("HOME", (base / "home").string());
    {
        ScopedEnv config("XDG_CONFIG_HOME", (base / "cfg").string());
        struct Row {
            std::string program, expected;
        } rows[] = {
            {(base / "build").string() + "/", (base / "build").string() + "/"},
            {(base / "missing").string() + "/", (base / "cfg" / "kapo").string() + "/"},
            {"/usr/bin/", (base / "cfg" / "kapo").string() + "/"},
            {"/opt/kapo/bin/", (base / "cfg" / "kapo").string() + "/"},
        };
        for (const Row& r : rows) EXPECT_EQ(SettingsFolderOf(r.program), r.expected) << r.program;
    }
    ScopedEnv relative("XDG_CONFIG_HOME", "relative");  // not absolute: ignored
    EXPECT_EQ(SettingsFolderOf("/usr/bin/"), (base / "home" / ".config" / "kapo").string() + "/");

    // An installed program keeps its settings in the configuration folder, made owner-only, and
    // finds them there at the next start.
    ScopedEnv config("XDG_CONFIG_HOME", (base / "cfg").string());
    SetProgramFolderForTesting((base / "missing").string());
    test::ShownErrors().clear();
    auto* f = new TForm1(nullptr);
    f->DoCreate();
    f->Login->SetText("ana");
    delete f;
    const fs::path ini = base / "cfg" / "kapo" / "kapo.ini";
    ASSERT_TRUE(fs::exists(ini));
    EXPECT_EQ(fs::status(ini).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(ini.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_FALSE(fs::exists(base / "missing"));
    f = new TForm1(nullptr);
    f->DoCreate();
    EXPECT_EQ(f->Login->Text(), "ana");
    delete f;
    SetProgramFolderForTesting("");
    EXPECT_TRUE(test::ShownErrors().empty());
    fs::remove_all(base);
}
