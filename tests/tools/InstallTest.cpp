// The installed tree, as the desktop reads it: the entry's program and icon must be where
// the entry and the metainfo say, and each icon of a size folder must have that size.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string ReadText(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The keys of the [Desktop Entry] group.
std::map<std::string, std::string> DesktopEntry(const fs::path& p)
{
    std::map<std::string, std::string> keys;
    std::ifstream in(p);
    std::string line, group;
    while (std::getline(in, line)) {
        if (!line.empty() && line.front() == '[') {
            group = line;
        } else if (group == "[Desktop Entry]") {
            std::size_t eq = line.find('=');
            if (eq != std::string::npos) keys[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return keys;
}

// Width and height from a PNG's header chunk.
std::pair<std::uint32_t, std::uint32_t> PngSize(const fs::path& p)
{
    std::string b = ReadText(p);
    if (b.size() < 24 || b.compare(1, 3, "PNG") != 0 || b.compare(12, 4, "IHDR") != 0) return {0, 0};
    auto be = [&b](std::size_t at) {
        return (std::uint32_t(std::uint8_t(b[at])) << 24) | (std::uint32_t(std::uint8_t(b[at + 1])) << 16) |
               (std::uint32_t(std::uint8_t(b[at + 2])) << 8) | std::uint32_t(std::uint8_t(b[at + 3]));
    };
    return {be(16), be(20)};
}

// The folder a program's usage text names as the default of --root.
std::string DefaultRootOf(const fs::path& program)
{
    std::string out;
    if (FILE* p = ::popen(("'" + program.string() + "' --help 2>&1").c_str(), "r")) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        ::pclose(p);
    }
    const std::string mark = "(default: ";
    std::size_t at = out.find(mark);
    if (at == std::string::npos) return "";
    at += mark.size();
    return out.substr(at, out.find(")\n", at) - at);
}

TEST(Install, PutsProgramEntryMetainfoAndIconsWhereTheDesktopFindsThem)
{
    char tmpl[] = "/tmp/kapo-install-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    fs::path prefix = fs::path(tmpl) / "usr";
    std::string command = std::string("'") + CMAKE_PROGRAM + "' --install '" + BUILD_DIR + "' --prefix '" + prefix.string() + "' > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);

    fs::path program = prefix / "bin/kapo";
    ASSERT_TRUE(fs::is_regular_file(program));
    EXPECT_NE(fs::status(program).permissions() & fs::perms::others_exec, fs::perms::none);

    fs::path apps = prefix / "share/applications";
    ASSERT_EQ(std::distance(fs::directory_iterator(apps), fs::directory_iterator()), 1);
    fs::path desktop = fs::directory_iterator(apps)->path();
    std::string id = desktop.stem().string();
    std::map<std::string, std::string> entry = DesktopEntry(desktop);
    EXPECT_EQ(entry["Type"], "Application");
    EXPECT_EQ(entry["Exec"], "kapo");
    EXPECT_EQ(entry["Icon"], id);
    EXPECT_EQ(entry["Categories"], "AudioVideo;Audio;");
    EXPECT_FALSE(entry["Name"].empty());
    EXPECT_FALSE(entry["Comment"].empty());
    EXPECT_FALSE(entry["Comment[pt_BR]"].empty());

    std::string metainfo = ReadText(prefix / "share/metainfo" / (id + ".metainfo.xml"));
    EXPECT_NE(metainfo.find("<id>" + id + "</id>"), std::string::npos);
    EXPECT_NE(metainfo.find("<launchable type=\"desktop-id\">" + id + ".desktop</launchable>"), std::string::npos);
    EXPECT_NE(metainfo.find("<binary>kapo</binary>"), std::string::npos);

    int icons = 0;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        SCOPED_TRACE(size);
        std::string dim = std::to_string(size);
        fs::path icon = prefix / "share/icons/hicolor" / (dim + "x" + dim) / "apps" / (id + ".png");
        ASSERT_TRUE(fs::is_regular_file(icon));
        EXPECT_EQ(PngSize(icon), std::make_pair(std::uint32_t(size), std::uint32_t(size)));
        ++icons;
    }
    EXPECT_EQ(icons, 8);

    // Installed, the demo service serves the catalogue installed with it; in the build, the
    // build's own. Neither choice may depend on a path of the build compiled in.
    struct Row {
        fs::path Program, Root;
    } rows[] = {
        {prefix / "bin/kora-server", prefix / "share/kora-server/demo"},
        {KORA_SERVER_PROGRAM, DEMO_CATALOGUE_DIR},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Program);
        EXPECT_EQ(DefaultRootOf(row.Program), fs::canonical(row.Root).string());
        EXPECT_TRUE(fs::is_regular_file(row.Root / "waves/indice.txt"));
    }
    fs::remove_all(tmpl);
}

}  // namespace
