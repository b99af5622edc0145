// One folder of the program's own per run, for the files it fetches for itself (the catalogue
// index, category lists, preview copies): nobody else can read it, and it goes away at exit.
#pragma once

#include <string>

namespace kapo {

class TPrivateFolder {
public:
    // parent: where to create the folder; empty means $XDG_RUNTIME_DIR when it is set and
    // usable, else $TMPDIR, else /tmp.
    explicit TPrivateFolder(std::string parent = {});
    ~TPrivateFolder();  // removes the folder and everything in it
    TPrivateFolder(const TPrivateFolder&) = delete;
    TPrivateFolder& operator=(const TPrivateFolder&) = delete;

    // The folder with its trailing "/", created (mode 0700) on first use. Raises EFCreateError
    // when it cannot be created.
    const std::string& Path();
    // A name never handed out before in this folder: stem + "-" + a serial + suffix.
    std::string NewName(const std::string& stem, const std::string& suffix = {});
    // Removes the folder and its files now; a later Path() makes a new one.
    void Remove();
    bool Exists() const { return !FPath.empty(); }

private:
    std::string FParent;
    std::string FPath;
    unsigned long FSerial = 0;
};

}  // namespace kapo
