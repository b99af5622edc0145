#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "core/Classes.h"

using namespace kapo;

namespace {

std::string tempFile(const std::string& name)
{
    std::string dir = ::testing::TempDir();
    return IncludeTrailingPathDelimiter(dir) + name + "." + std::to_string(::getpid());
}

void writeBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string readBytes(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

std::vector<std::string> linesOf(const std::string& bytes)
{
    TStringList l;
    l.SetText(bytes);
    std::vector<std::string> r;
    for (int i = 0; i < l.Count(); ++i) r.push_back(l[i]);
    return r;
}

using V = std::vector<std::string>;

}  // namespace

TEST(StringListTextFormat, EveryLineBreakEndsOneLine)
{
    EXPECT_EQ(linesOf("a\r\nb\r\n"), (V{"a", "b"}));
    EXPECT_EQ(linesOf("a\nb\n"), (V{"a", "b"}));
    EXPECT_EQ(linesOf("a\rb\r"), (V{"a", "b"}));
    EXPECT_EQ(linesOf("a\r\nb"), (V{"a", "b"}));           // last line without a break
    EXPECT_EQ(linesOf("a\n\rb"), (V{"a", "", "b"}));        // LF CR gives an extra empty line
    EXPECT_EQ(linesOf("a\r\n\r\nb"), (V{"a", "", "b"}));
    EXPECT_EQ(linesOf(""), V{});
    EXPECT_EQ(linesOf("\r\n"), (V{""}));
    EXPECT_EQ(linesOf(std::string("a\nb\0c\nd", 7)), (V{"a", "b"}));  // NUL ends the text
}

TEST(StringListTextFormat, WritingEndsEveryLineWithCrLf)
{
    TStringList l;
    EXPECT_EQ(l.Text(), "");
    l.Add("x");
    l.Add("");
    l.Add("yz");
    EXPECT_EQ(l.Text(), "x\r\n\r\nyz\r\n");
    std::string path = tempFile("write.txt");
    l.SaveToFile(path);
    EXPECT_EQ(readBytes(path), "x\r\n\r\nyz\r\n");
    TStringList empty;
    empty.SaveToFile(path);
    EXPECT_EQ(readBytes(path), "");
    std::remove(path.c_str());
}

TEST(StringListTextFormat, LoadReplacesTheListAndFailureLeavesItUntouched)
{
    std::string path = tempFile("load.txt");
    writeBytes(path, "one\ntwo\r\nthree");
    TStringList l;
    l.Add("old");
    l.LoadFromFile(path);
    EXPECT_EQ(l.Count(), 3);
    EXPECT_EQ(l[2], "three");

    try {
        l.LoadFromFile(path + ".missing");
        FAIL() << "no error";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file " + path + ".missing");
    }
    EXPECT_EQ(l.Count(), 3);

    try {
        l.SaveToFile("/nonexistent-folder/x.txt");
        FAIL() << "no error";
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message(), "Cannot create file /nonexistent-folder/x.txt");
    }
    // A folder is not a file to read.
    EXPECT_THROW(l.LoadFromFile(::testing::TempDir()), EFOpenError);
    EXPECT_EQ(l.Count(), 3);
    std::remove(path.c_str());
}

TEST(StringListTextFormat, SaveWithOwnerOnlyRightsKeepsThemWhenRewriting)
{
    std::string path = tempFile("rights.txt");
    std::remove(path.c_str());
    TStringList l;
    l.Add("secret");
    l.SaveToFile(path, 0600);
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ::chmod(path.c_str(), 0644);
    l.SaveToFile(path, 0600);
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::remove(path.c_str());
}

TEST(StringListTextFormat, ReplacingWriteLeavesTheOldFileOrTheNewOneWhole)
{
    namespace fs = std::filesystem;
    const fs::path dir = tempFile("replace");
    struct Row {
        const char* name;
        bool link;          // the name is a link to the file
        rlim_t sizeLimit;   // largest file the process may write (a full disk)
        bool written;
    } rows[] = {
        {"plain", false, RLIM_INFINITY, true},
        {"through a link", true, RLIM_INFINITY, true},
        {"full disk", false, 10, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        fs::remove_all(dir);
        fs::create_directories(dir);
        const std::string file = (dir / "kapo.ini").string();
        std::string name = file;
        writeBytes(file, "old\r\nsettings\r\n");
        ::chmod(file.c_str(), 0644);
        if (r.link) {
            name = (dir / "link.ini").string();
            fs::create_symlink(file, name);
        }
        TStringList l;
        for (const char* line : {"server/", "proxy", "80", "ana", "segredo", "/home/ana"}) l.Add(line);
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        rlimit limited = saved;
        limited.rlim_cur = r.sizeLimit;
        auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &limited);
        bool raised = false;
        try {
            l.SaveToFileReplacing(name, 0600);
        } catch (const EWriteError& e) {
            raised = true;
            EXPECT_EQ(e.Message(), "Stream write error");
        }
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldSignal);
        EXPECT_EQ(raised, !r.written);
        EXPECT_EQ(readBytes(file), r.written ? l.Text() : "old\r\nsettings\r\n");
        struct stat st;
        ASSERT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, r.written ? 0600u : 0644u);
        EXPECT_EQ(fs::is_symlink(name), r.link);
        // Nothing but the file (and the link) is left in the folder.
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), r.link ? 2 : 1);
    }
    fs::remove_all(dir);
}

TEST(StringList, IndexErrorsAndObjects)
{
    TStringList l;
    int obj = 5;
    l.AddObject("a", &obj);
    l.Insert(0, "b");
    EXPECT_EQ(l.Objects(1), &obj);
    EXPECT_EQ(l.IndexOf("A"), 1);
    EXPECT_EQ(l.IndexOf("zz"), -1);
    try {
        l.Get(2);
        FAIL();
    } catch (const EStringListError& e) {
        EXPECT_EQ(e.Message(), "List index out of bounds (2)");
    }
    EXPECT_THROW(l.Delete(-1), EStringListError);
    l.Delete(0);
    EXPECT_EQ(l[0], "a");
}

TEST(StringList, ChangeEventsAreBatchedDuringUpdates)
{
    TStringList l;
    int changes = 0;
    l.OnChange = [&](TObject*) { ++changes; };
    l.Add("a");
    EXPECT_EQ(changes, 1);
    l.BeginUpdate();
    l.Add("b");
    l.Add("c");
    EXPECT_EQ(changes, 1);
    l.EndUpdate();
    EXPECT_EQ(changes, 2);
    l.SetText("x\ny");
    EXPECT_EQ(changes, 3);
}

TEST(Format, PatternsUsedByTheProgram)
{
    EXPECT_EQ(Format("Value must be between %d and %d", 1, 2147483647), "Value must be between 1 and 2147483647");
    EXPECT_EQ(Format("%d", -2147483647 - 1), "-2147483648");
    EXPECT_EQ(Format("%2.2d:%2.2d", 5, 12), "05:12");
    EXPECT_EQ(Format("[%s]", std::string("")), "[]");
    EXPECT_EQ(Format("%s: %s", "c", "[sys]"), "c: [sys]");
    EXPECT_EQ(Format("%d%%", 50), "50%");
    EXPECT_EQ(Format("%-4d|%4s|%x", 7, "ab", 255), "7   |  ab|ff");
    EXPECT_THROW(Format("%d", "text"), EConvertError);
    EXPECT_THROW(Format("%d %d", 1), EConvertError);
}

TEST(RunTime, InOutErrorTextsFollowTheCode)
{
    EXPECT_EQ(EInOutError(2).Message(), "File not found");
    EXPECT_EQ(EInOutError(3).Message(), "Invalid filename");
    EXPECT_EQ(EInOutError(4).Message(), "Too many open files");
    EXPECT_EQ(EInOutError(5).Message(), "File access denied");
    EXPECT_EQ(EInOutError(21).Message(), "I/O error 21");
    EXPECT_EQ(EInOutError(21).ErrorCode(), 21);
    EXPECT_EQ(ERangeError().Message(), "Range check error");
}

TEST(RunTime, TextHelpers)
{
    EXPECT_EQ(Trim(" \t a b \r\n"), "a b");
    EXPECT_EQ(UpperCase("abcÿ"), "ABCÿ");
    EXPECT_EQ(Pos(":", "abc:d"), 4u);
    EXPECT_EQ(Pos(":", "abc"), 0u);
    EXPECT_EQ(Copy("abcdef", 3, 100), "cdef");
    EXPECT_EQ(Copy("abc", 5, 1), "");
    EXPECT_THROW(StrToInt("12x"), EConvertError);
    EXPECT_EQ(StrToInt(" +42 "), 42);
    EXPECT_EQ(ExtractFilePath("/a/b/c.txt"), "/a/b/");
    EXPECT_EQ(ExtractFilePath("c.txt"), "");
}
