// The category tree loaded from index text: never crashes, gives one item per line it took,
// and its lines read back load into the same tree.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <QWidget>

#include "ui/Forms.h"
#include "widgets/Outline.h"

using namespace kapo;

namespace {

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

std::string linesText(TCustomOutline& tree)
{
    std::string out;
    for (int i = 1; i <= tree.ItemCount(); ++i) out += tree.LineOf(i) + "\r\n";
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    auto* app = new TApplication;  // lives for the whole run
    app->Initialize(*argc, *argv);
    // A refused line is shown to the user; here nobody reads it.
    app->SetErrorDisplay([](const std::string&, const std::string&) {});
    // Fill the font and style caches now, so that the leak check of each input sees only
    // what that input allocated.
    TOutline warm(nullptr);
    warm.Lines().SetText("a\r\n\tb\r\n");
    warm.Widget()->grab();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    TOutline tree(nullptr);
    try {
        tree.Lines().SetText(text);
    } catch (const Exception&) {
        return 0;
    }
    if (tree.Lines().Count() != tree.ItemCount()) fail("the lines and the items disagree");
    const std::string once = linesText(tree);
    TOutline again(nullptr);
    again.Lines().SetText(once);
    if (linesText(again) != once) fail("the tree's own lines load into a different tree");
    tree.Widget()->grab();
    return 0;
}
