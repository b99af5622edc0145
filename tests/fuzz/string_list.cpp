// The string-list text format read from a file and from a stream: both give the lines that
// the reading rules give (checked against a plain model of them here), and writing the list
// and reading it back gives the same list.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "core/Classes.h"

using namespace kapo;

namespace {

std::string gFile;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

// A line ends at CR, LF or NUL; after it one CR and then one LF are skipped; NUL ends the text.
std::vector<std::string> modelLines(const std::string& s)
{
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < s.size() && s[i] != '\0') {
        std::size_t b = i;
        while (i < s.size() && s[i] != '\r' && s[i] != '\n' && s[i] != '\0') ++i;
        out.push_back(s.substr(b, i - b));
        if (i < s.size() && s[i] == '\r') ++i;
        if (i < s.size() && s[i] == '\n') ++i;
    }
    return out;
}

std::vector<std::string> linesOf(const TStrings& list)
{
    std::vector<std::string> out;
    for (int i = 0; i < list.Count(); ++i) out.push_back(list[i]);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char tmpl[] = "/tmp/kapo-fuzz-strings-XXXXXX";
    if (!::mkdtemp(tmpl)) fail("cannot make a temporary folder");
    gFile = std::string(tmpl) + "/list.txt";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> expected = modelLines(text);

    std::ofstream(gFile, std::ios::binary | std::ios::trunc).write(text.data(), static_cast<std::streamsize>(text.size()));
    TStringList fromFile;
    fromFile.Add("stale");  // the list is cleared before the lines are added
    fromFile.LoadFromFile(gFile);
    if (linesOf(fromFile) != expected) fail("lines read from a file differ from the reading rules");

    TMemoryStream stream;
    stream.Write(text.data(), static_cast<std::int64_t>(text.size()));
    stream.Seek(0, soBeginning);
    TStringList fromStream;
    fromStream.LoadFromStream(stream);
    if (linesOf(fromStream) != expected) fail("lines read from a stream differ from the reading rules");

    TMemoryStream written;
    fromFile.SaveToStream(written);
    std::string crlf;
    for (const auto& l : expected) crlf += l + "\r\n";
    if (written.DataString() != crlf) fail("written lines do not each end with CR LF");
    written.Seek(0, soBeginning);
    TStringList back;
    back.LoadFromStream(written);
    if (linesOf(back) != expected) fail("the written list reads back differently");
    return 0;
}
