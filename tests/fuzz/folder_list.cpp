// The folder list given arbitrary path texts on a temporary tree: it either enters a folder
// or raises EInOutError, and afterwards its rows are "/", each component of Directory and then
// the subfolders, Directory is the process's current directory, and every row paints.
#include <unistd.h>

#include <QWidget>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/SysUtils.h"
#include "ui/Forms.h"
#include "widgets/FileCtrl.h"

namespace fs = std::filesystem;
using namespace kapo;

namespace {

std::string gRoot;
TForm* gForm = nullptr;
TDirectoryListBox* gList = nullptr;

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

std::string currentDir()
{
    char buf[4096];
    return ::getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}

int componentsOf(const std::string& dir)
{
    if (dir == "/") return 0;
    int n = 0;
    for (char c : dir) n += c == '/';
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    auto* app = new TApplication;  // lives for the whole run, with the form it owns
    app->Initialize(*argc, *argv);
    app->SetErrorDisplay([](const std::string&, const std::string&) {});
    char tmpl[] = "/tmp/kapo-fuzz-folders-XXXXXX";
    if (!::mkdtemp(tmpl)) fail("cannot make a temporary folder");
    gRoot = fs::canonical(tmpl).string();
    for (const char* d : {"Sounds/Drums/loops", "Sounds/Drums/Kicks", "Sounds/.hidden", "Sons Diversos/ação",
                          "a/b/c/d/e/f", "*", "[x]"})
        fs::create_directories(gRoot + "/" + d);
    std::ofstream(gRoot + "/Sounds/kick.wav") << "RIFF";
    fs::create_directory_symlink(gRoot + "/Sounds", gRoot + "/a/link");
    fs::create_directory_symlink("loop", gRoot + "/loop");
    fs::create_directory(gRoot + "/closed");
    fs::permissions(gRoot + "/closed", fs::perms::none);
    if (::chdir(gRoot.c_str()) != 0) fail("cannot enter the temporary folder");
    gForm = app->CreateForm<TForm>();
    gForm->SetBounds(0, 0, 300, 200);
    gList = new TDirectoryListBox(gForm);
    gList->SetBounds(10, 10, 180, 111);
    gList->SetItemHeight(16);
    gList->SetParent(gForm);
    // Fill the font and style caches now, so that the leak check of each input sees only
    // what that input allocated.
    gList->ApplyPath(gRoot);
    gList->Widget()->grab();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    // Paths are taken within the temporary tree unless the text climbs out of it.
    if (!text.empty() && text[0] == '/') text = gRoot + text;
    gList->ApplyPath(gRoot);
    try {
        gList->ApplyPath(text);
    } catch (const EInOutError&) {
    }
    const std::string dir = gList->Directory();
    if (dir != currentDir()) fail("Directory is not the current directory: " + dir);
    const int current = componentsOf(dir);
    if (gList->Items().Count() <= current) fail("fewer rows than the components of " + dir);
    if (gList->Items()[0] != "/") fail("the first row is not the root");
    if (gList->ItemPath(current) != dir) fail("the current row's path is not Directory: " + gList->ItemPath(current));
    for (int i = current + 1; i < gList->Items().Count(); ++i) {
        const std::string name = gList->Items()[i];
        if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos) fail("a bad subfolder row: " + name);
        // Only the temporary tree holds still; elsewhere a folder may go between two looks.
        if (dir.rfind(gRoot, 0) == 0 && !DirectoryExists(gList->ItemPath(i))) fail("a subfolder row names no folder: " + gList->ItemPath(i));
    }
    gList->Widget()->grab();
    return 0;
}
