// Mounted volumes and the process's current directory: what the folder list and the drive
// chooser stand on. A volume is named by its mount point; paths are POSIX paths.
#pragma once

#include <string>
#include <vector>

struct libmnt_monitor;

namespace kapo {

enum TDriveType { dtUnknown, dtNoRootDir, dtRemovable, dtFixed, dtRemote, dtCDROM, dtRamDisk };

struct TVolume {
    std::string MountPoint;
    std::string Source;  // what was mounted: a device, "server:/export", "//server/share", ...
    std::string FsType;
    unsigned long long Device = 0;  // block device number when there is one, else 0
    TDriveType Type = dtUnknown;
};

// Where the volume facts are read from. The defaults are the live system; tests point them at
// files of their own.
struct TVolumeSources {
    std::string MountTable = "/proc/self/mountinfo";  // mountinfo or fstab format
    std::string SysBlock = "/sys/dev/block";          // entries named "major:minor"
    std::string LabelDir = "/dev/disk/by-label";      // links named by label
};
TVolumeSources VolumeSources();
void SetVolumeSources(const TVolumeSources& sources);

// The mounted volumes without pseudo file systems (nor mounts inside them), one per mount point
// (the one mounted last), sorted by mount point. Volumes whose mount point is gone are typed
// dtNoRootDir.
std::vector<TVolume> ListVolumes();

// Tells when the mount table changes: a descriptor that becomes readable (for a loop's wait),
// and Changed to take the news. The live table is watched through libmount's monitor; a table
// file of the sources' own (tests) through inotify on its folder, which sees it rewritten or
// replaced.
class TMountWatch {
public:
    // Watches the table that VolumeSources names now.
    TMountWatch();
    ~TMountWatch();
    TMountWatch(const TMountWatch&) = delete;
    TMountWatch& operator=(const TMountWatch&) = delete;

    // -1 when the table cannot be watched.
    int Fd() const { return FFd; }
    // Takes what is pending on the descriptor without waiting; true when the table may have
    // changed since the last call.
    bool Changed();

private:
    libmnt_monitor* FMonitor = nullptr;
    int FFd = -1;
    bool FInotify = false;
    std::string FFileName;  // the table file's name in its folder (inotify only)
};

// Volume label from the label links, empty when there is none.
std::string VolumeLabel(const TVolume& volume);
// The network name of a remote volume: its mount source.
std::string NetworkName(const TVolume& volume);

// Mount point of the listed volume holding an absolute path (longest mount point prefix);
// empty when none does.
std::string VolumeOf(const std::string& path);

// The run-time I/O error code of a system error number: ENOENT 2; ENOTDIR, ENAMETOOLONG and
// ELOOP 3; EMFILE and ENFILE 4; EACCES and EPERM 5; ENOMEDIUM 21; ENXIO and ENODEV 15; any
// other number is its own code.
int InOutErrorCode(int errnum);
// Raises EInOutError for a system error number.
[[noreturn]] void RaiseInOutError(int errnum);

// The process's current directory as the system reports it.
std::string CurrentDir();
// Makes a path the current directory; raises EInOutError on failure. The folder left and the
// folder entered are remembered as the last visited on their volumes.
void ChangeDir(const std::string& path);
// Enters the folder last visited on a volume in this run, or its mount point when there is
// none or that folder can no longer be entered; raises EInOutError on failure.
void ChangeToVolume(const std::string& mountPoint);
// The folder last visited on a volume in this run, empty when none.
std::string LastVisitedOn(const std::string& mountPoint);
// Forgets every remembered folder.
void ForgetVisitedFolders();

// The subfolders of a folder (links to folders included), names starting with "." left out
// as hidden, sorted case-insensitively in the locale's order; empty when it cannot be read.
std::vector<std::string> ListSubfolders(const std::string& dir);

// A path text taken apart as the folder list takes it: Folder is the full path of the folder it
// names (a file's or a pattern's folder when the text ends in one), FileName that file name or
// pattern, Volume the mount point holding Folder.
struct TProcessedPath {
    std::string Volume;
    std::string Folder;
    std::string FileName;
};
// Relative texts resolve against the current directory, which is left as it was found.
// Raises EInOutError when a folder of the text cannot be entered.
TProcessedPath ProcessPath(const std::string& text);

}  // namespace kapo
