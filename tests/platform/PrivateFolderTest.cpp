#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "core/SysUtils.h"
#include "platform/PrivateFolder.h"

using namespace kapo;
namespace fs = std::filesystem;

TEST(PrivateFolder, OwnerOnlyUnderTheRuntimeFolderAndGoneWithItsFiles)
{
    fs::path runtime = fs::temp_directory_path() / ("kapo-runtime-" + std::to_string(::getpid()));
    fs::create_directories(runtime);
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    std::string savedValue = saved ? saved : "";
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    std::string path;
    {
        TPrivateFolder folder;
        EXPECT_FALSE(folder.Exists());  // nothing is created before it is needed
        ::umask(0);
        path = folder.Path();
        ::umask(022);
        EXPECT_EQ(path.rfind(runtime.string() + "/kapo-", 0), 0u) << path;
        EXPECT_EQ(path.back(), '/');
        EXPECT_EQ(folder.Path(), path);
        EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_all);
        EXPECT_NE(folder.NewName("lista", ".txt"), folder.NewName("lista", ".txt"));
        fs::create_directory(path + "sub");
        std::ofstream(path + "sub/f") << "x";
    }
    EXPECT_FALSE(fs::exists(path));
    // A runtime folder that cannot be used: the system's temporary folder instead.
    ::setenv("XDG_RUNTIME_DIR", "relative/path", 1);
    {
        TPrivateFolder folder;
        EXPECT_NE(folder.Path().find("/kapo-"), std::string::npos);
    }
    if (saved) ::setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
    else ::unsetenv("XDG_RUNTIME_DIR");
    // A parent given that does not exist: a clear error naming it.
    TPrivateFolder missing((runtime / "gone").string());
    try {
        missing.Path();
        FAIL() << "no error";
    } catch (const EFCreateError& e) {
        EXPECT_NE(e.Message().find(runtime.string() + "/gone/kapo-XXXXXX"), std::string::npos) << e.Message();
    }
    fs::remove_all(runtime);
}
