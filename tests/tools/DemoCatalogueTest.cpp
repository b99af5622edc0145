// The demo catalogue as the program will read it: the index and lists through the project's
// own string-list reader, the sounds through libsndfile as the wave device opens them.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/Classes.h"

namespace fs = std::filesystem;

namespace {

const std::string Root = DEMO_CATALOGUE_DIR;
const std::string Waves = Root + "/waves/";
const std::string Sounds = Root + "/club/waves/";

std::string ReadBytes(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> Lines(const std::string& path)
{
    kapo::TStringList list;
    list.LoadFromFile(path);
    std::vector<std::string> out;
    for (int i = 0; i < list.Count(); ++i) out.push_back(list[i]);
    return out;
}

// Every line ends in CR LF, the last one too, and no CR or LF stands alone.
void ExpectCrLfText(const std::string& path)
{
    std::string text = ReadBytes(path);
    ASSERT_FALSE(text.empty()) << path;
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << path;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            EXPECT_TRUE(i + 1 < text.size() && text[i + 1] == '\n') << path << " byte " << i;
        }
        if (text[i] == '\n') {
            EXPECT_TRUE(i > 0 && text[i - 1] == '\r') << path << " byte " << i;
        }
        EXPECT_NE(text[i], '\0') << path;
    }
}

// A name from the service becomes a local path only when it is a plain file name.
bool SafeName(const std::string& n)
{
    return !n.empty() && n != "." && n != ".." && n.find('/') == std::string::npos && n.find('\0') == std::string::npos;
}

struct IndexEntry {
    int depth;
    std::string label, list;
};

std::vector<IndexEntry> ReadIndex()
{
    std::vector<IndexEntry> out;
    for (const std::string& line : Lines(Waves + "indice.txt")) {
        std::size_t tabs = line.find_first_not_of('\t');
        IndexEntry e{static_cast<int>(tabs), line.substr(tabs), ""};
        std::size_t colon = e.label.find(':');
        if (colon != std::string::npos) {
            e.list = e.label.substr(colon + 1);
            e.label.resize(colon);
        }
        out.push_back(e);
    }
    return out;
}

std::set<std::string> FilesIn(const std::string& folder)
{
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(folder)) out.insert(e.path().filename().string());
    return out;
}

TEST(DemoCatalogue, IndexIsATreeOfHeadingsAndCategoriesWhoseListsExist)
{
    ExpectCrLfText(Waves + "indice.txt");
    std::vector<IndexEntry> index = ReadIndex();
    ASSERT_GE(index.size(), 20u);
    std::set<std::string> lists;
    int previous = -1;
    for (const IndexEntry& e : index) {
        SCOPED_TRACE(e.label);
        // The tree takes a line at most one level deeper than the one before.
        EXPECT_LE(e.depth, previous + 1);
        previous = e.depth;
        EXPECT_FALSE(e.label.empty());
        EXPECT_NE(e.label.front(), ' ');
        if (e.depth == 0) {
            EXPECT_TRUE(e.list.empty()) << "top-level lines are headings";
            continue;
        }
        ASSERT_FALSE(e.list.empty()) << "categories name their list";
        EXPECT_TRUE(SafeName(e.list));
        EXPECT_LE(e.list.size(), 100u) << "the window reads at most 100 characters of a list name";
        EXPECT_TRUE(fs::is_regular_file(Waves + e.list));
        EXPECT_TRUE(lists.insert(e.list).second) << "list named twice";
    }
    std::set<std::string> present = FilesIn(Waves);
    present.erase("indice.txt");
    EXPECT_EQ(present, lists) << "every list file is reached from the index";
}

TEST(DemoCatalogue, EveryListLineNamesOneSoundOfTheCatalogueWithADescription)
{
    std::set<std::string> named;
    for (const IndexEntry& e : ReadIndex()) {
        if (e.list.empty()) continue;
        SCOPED_TRACE(e.list);
        ExpectCrLfText(Waves + e.list);
        std::vector<std::string> rows = Lines(Waves + e.list);
        EXPECT_FALSE(rows.empty());
        for (const std::string& row : rows) {
            SCOPED_TRACE(row);
            // The window cuts the name at the character before the first colon.
            std::size_t colon = row.find(':');
            ASSERT_NE(colon, std::string::npos);
            ASSERT_GE(colon, 2u);
            EXPECT_EQ(row[colon - 1], ' ');
            std::string name = row.substr(0, colon - 1);
            EXPECT_TRUE(SafeName(name));
            EXPECT_EQ(name.find(' '), std::string::npos);
            EXPECT_EQ(name.substr(name.size() - 4), ".wav");
            EXPECT_GT(row.size(), colon + 3) << "a description follows";
            EXPECT_TRUE(fs::is_regular_file(Sounds + name));
            EXPECT_TRUE(named.insert(name).second) << "sound listed twice";
        }
    }
    EXPECT_GE(named.size(), 200u);
    EXPECT_EQ(FilesIn(Sounds), named) << "every sound is listed";
}

TEST(DemoCatalogue, EverySoundIsAnAudibleWaveOfAFormatThePlayerTakes)
{
    std::set<int> subtypes, channels, rates;
    std::uintmax_t total = 0;
    for (const std::string& name : FilesIn(Sounds)) {
        SCOPED_TRACE(name);
        total += fs::file_size(Sounds + name);
        SF_INFO info{};
        SNDFILE* f = sf_open((Sounds + name).c_str(), SFM_READ, &info);
        ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
        EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_WAV);
        subtypes.insert(info.format & SF_FORMAT_SUBMASK);
        channels.insert(info.channels);
        rates.insert(info.samplerate);
        double seconds = static_cast<double>(info.frames) / info.samplerate;
        EXPECT_GE(seconds, 0.3);
        EXPECT_LE(seconds, 4.0);
        std::vector<double> samples(static_cast<std::size_t>(info.frames * info.channels));
        EXPECT_EQ(sf_readf_double(f, samples.data(), info.frames), info.frames);
        sf_close(f);
        double peak = 0, energy = 0;
        for (double v : samples) {
            peak = std::max(peak, std::fabs(v));
            energy += v * v;
        }
        double rms = std::sqrt(energy / static_cast<double>(samples.size()));
        EXPECT_GT(peak, 0.5) << "loud enough to hear";
        EXPECT_LT(peak, 1.0) << "not clipped";
        EXPECT_GT(rms, 0.005) << "more than a click in silence";
    }
    EXPECT_EQ(subtypes, (std::set<int>{SF_FORMAT_PCM_U8, SF_FORMAT_PCM_16, SF_FORMAT_PCM_24, SF_FORMAT_FLOAT, SF_FORMAT_ULAW}));
    EXPECT_EQ(channels, (std::set<int>{1, 2}));
    EXPECT_EQ(*rates.begin(), 11025);
    EXPECT_EQ(*rates.rbegin(), 48000);
    EXPECT_LT(total, 30u * 1000 * 1000);
}

TEST(DemoCatalogue, ASecondRunWritesTheSameBytes)
{
    char tmpl[] = "/tmp/democat-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    fs::path again = fs::path(tmpl) / "catalogue";
    std::string command = std::string("'") + DEMOCAT_PROGRAM + "' '" + again.string() + "' > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);

    std::map<std::string, fs::path> first, second;
    for (const auto& e : fs::recursive_directory_iterator(Root))
        if (e.is_regular_file()) first[fs::relative(e.path(), Root).string()] = e.path();
    for (const auto& e : fs::recursive_directory_iterator(again))
        if (e.is_regular_file()) second[fs::relative(e.path(), again).string()] = e.path();
    ASSERT_EQ(first.size(), second.size());
    for (const auto& [name, path] : first) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(second.count(name));
        EXPECT_TRUE(ReadBytes(path) == ReadBytes(second[name]));
    }
    fs::remove_all(tmpl);
}

}  // namespace
