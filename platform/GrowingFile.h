// Files that the program is still writing while another part reads them: a sound played while
// it downloads. The writer announces the file by its path and says how far it has got and when
// it is done; a reader that opens the same path (the wave device) waits for bytes instead of
// taking a short file for its end. Safe to use from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kapo {

// Where the frames of a RIFF/WAVE file lie, from its first bytes.
struct TWaveLayout {
    bool Complete = false;        // the header up to the data chunk's start is there
    bool Streamable = false;      // integer or float PCM with a declared data size
    std::uint64_t DataOffset = 0; // first byte of the frames
    std::uint64_t DataSize = 0;   // as the data chunk declares it
    unsigned Channels = 0;
    unsigned SampleRate = 0;
    unsigned BlockAlign = 0;      // bytes of one frame
};

// Reads the chunks before the frames. Not complete while more bytes are needed; complete and
// not streamable for anything that is no plain PCM wave (the whole file is then needed).
TWaveLayout ReadWaveLayout(const void* bytes, std::size_t size);

class TGrowingFile {
public:
    // Announces the file at path as being written, replacing an earlier announcement.
    static std::shared_ptr<TGrowingFile> Begin(const std::string& path);
    // The file being written at path, or none.
    static std::shared_ptr<TGrowingFile> Find(const std::string& path);

    ~TGrowingFile();
    TGrowingFile(const TGrowingFile&) = delete;
    TGrowingFile& operator=(const TGrowingFile&) = delete;

    // The file now holds size bytes.
    void Grew(std::uint64_t size);
    // No more bytes will come; whole tells a complete file from a cut one. Withdraws the
    // announcement. Also done by the destructor, as a cut file.
    void End(bool whole);

    // Waits until the file holds at least size bytes, it ends, stop() holds (asked every few
    // milliseconds) or nothing has been added for stallMs. Answers the bytes there are.
    std::uint64_t WaitFor(std::uint64_t size, const std::function<bool()>& stop, int stallMs) const;
    std::uint64_t Size() const;
    bool Ended() const;
    bool Whole() const;

    struct TState;

private:
    explicit TGrowingFile(std::string path);
    std::string FPath;
    std::unique_ptr<TState> FState;
};

}  // namespace kapo
