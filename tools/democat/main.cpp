// Writes the demo catalogue into a folder in the service's remote layout:
//   waves/indice.txt       the index: headings, and "label:list" lines indented by tabs
//   waves/<list>           one per category: "sound.wav :description" lines
//   club/waves/<sound>     every sound, synthesised, in a mix of wave formats
// Texts end their lines with CR LF. The same program always writes the same bytes.
//
//   democat FOLDER

#include <sndfile.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "Catalogue.h"

namespace democat {
namespace {

struct WaveFormat {
    int format;  // libsndfile subtype
    int channels;
    int rate;
};

// Every sample format the player takes, mono and stereo, 11025 to 48000 Hz. The wide formats
// come with the lower rates so that the catalogue stays small.
const WaveFormat Formats[] = {
    {SF_FORMAT_PCM_16, 1, 22050}, {SF_FORMAT_PCM_U8, 1, 11025},  {SF_FORMAT_PCM_16, 2, 44100},
    {SF_FORMAT_ULAW, 1, 22050},   {SF_FORMAT_PCM_24, 1, 48000},  {SF_FORMAT_PCM_16, 1, 16000},
    {SF_FORMAT_FLOAT, 1, 22050},  {SF_FORMAT_PCM_U8, 2, 22050},  {SF_FORMAT_PCM_16, 2, 32000},
    {SF_FORMAT_ULAW, 2, 11025},   {SF_FORMAT_PCM_24, 2, 24000},  {SF_FORMAT_PCM_16, 1, 44100},
    {SF_FORMAT_FLOAT, 2, 16000},  {SF_FORMAT_PCM_U8, 1, 16000},
};
constexpr int FormatCount = sizeof(Formats) / sizeof(Formats[0]);

// Long sounds cost the most: one that would pass this many bytes takes the next format of
// the rotation that fits, leaving out 8-bit, which only short sounds get.
constexpr double MaxBytesPerSound = 140000;

double BytesPerSecond(const WaveFormat& f)
{
    int bytes = f.format == SF_FORMAT_PCM_16 ? 2 : f.format == SF_FORMAT_PCM_24 ? 3 : f.format == SF_FORMAT_FLOAT ? 4 : 1;
    return static_cast<double>(bytes) * f.channels * f.rate;
}

void MakeFolder(const std::string& path)
{
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
}

void WriteText(const std::string& path, const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& l : lines) text += l + "\r\n";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok) throw std::runtime_error("cannot write " + path);
}

void WriteWave(const std::string& path, const SoundEntry& s, const WaveFormat& wf)
{
    Rng rng(SeedOf(s.file.c_str()));
    Buffer buf(wf.rate, s.seconds);
    s.draw(buf, rng);
    std::vector<double> samples = buf.Finish(wf.channels, 0.85);

    SF_INFO info{};
    info.samplerate = wf.rate;
    info.channels = wf.channels;
    info.format = SF_FORMAT_WAV | wf.format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) throw std::runtime_error("cannot create " + path + ": " + sf_strerror(nullptr));
    // The peak chunk carries the time of writing; without it the bytes depend on nothing else.
    sf_command(f, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    sf_count_t frames = static_cast<sf_count_t>(buf.Frames());
    bool ok = sf_writef_double(f, samples.data(), frames) == frames;
    ok = sf_close(f) == 0 && ok;
    if (!ok) throw std::runtime_error("cannot write " + path);
}

struct Writer {
    std::string root;
    std::vector<std::string> index;
    std::set<std::string> files, lists;
    int sounds = 0;
    double bytes = 0;

    void Category(const democat::Category& c, int depth)
    {
        std::string line(static_cast<std::size_t>(depth), '\t');
        line += c.label;
        if (!c.list.empty()) {
            if (!lists.insert(c.list).second) throw std::runtime_error("list named twice: " + c.list);
            line += ":" + c.list;
            std::vector<std::string> rows;
            for (const SoundEntry& s : c.sounds) {
                if (!files.insert(s.file).second) throw std::runtime_error("sound named twice: " + s.file);
                const WaveFormat* wf = &Formats[sounds % FormatCount];
                for (int k = 1; BytesPerSecond(*wf) * s.seconds > MaxBytesPerSound; ++k) {
                    if (k == FormatCount) throw std::runtime_error("no format small enough for " + s.file);
                    const WaveFormat* next = &Formats[(sounds + k) % FormatCount];
                    if (next->format != SF_FORMAT_PCM_U8) wf = next;
                }
                WriteWave(root + "/club/waves/" + s.file, s, *wf);
                bytes += BytesPerSecond(*wf) * s.seconds;
                ++sounds;
                rows.push_back(s.file + " :" + s.description);
            }
            WriteText(root + "/waves/" + c.list, rows);
        }
        index.push_back(line);
        for (const democat::Category& child : c.children) Category(child, depth + 1);
    }
};

}  // namespace
}  // namespace democat

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    try {
        democat::Writer w;
        w.root = argv[1];
        democat::MakeFolder(w.root);
        democat::MakeFolder(w.root + "/waves");
        democat::MakeFolder(w.root + "/club");
        democat::MakeFolder(w.root + "/club/waves");
        for (const democat::Category& c : democat::BuildCatalogue()) w.Category(c, 0);
        democat::WriteText(w.root + "/waves/indice.txt", w.index);
        std::printf("democat: %d sounds in %zu lists, %.1f MB, in %s\n", w.sounds, w.lists.size(), w.bytes / 1e6, argv[1]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "democat: %s\n", e.what());
        return 1;
    }
    return 0;
}
