// Volumes from the mount table through libmount; types from the file system and the block
// device's sysfs entry; labels from the udev label links.
#include "platform/Volumes.h"

#include <libmount/libmount.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "core/SysUtils.h"

namespace kapo {

namespace {

std::mutex& stateMutex()
{
    static std::mutex m;
    return m;
}

TVolumeSources& sources()
{
    static TVolumeSources s;
    return s;
}

std::map<std::string, std::string>& visited()
{
    static std::map<std::string, std::string> v;
    return v;
}

bool isOneOf(const std::string& s, std::initializer_list<const char*> names)
{
    return std::any_of(names.begin(), names.end(), [&s](const char* n) { return s == n; });
}

bool isRamFs(const std::string& type) { return isOneOf(type, {"tmpfs", "ramfs"}); }

// Host shares of virtual machines count as remote although libmount calls them pseudo.
bool isHostShare(const std::string& type) { return isOneOf(type, {"virtiofs", "vboxsf"}); }

// True when child lies strictly below dir.
bool isBelow(const std::string& child, const std::string& dir)
{
    if (dir == "/") return child.size() > 1 && child[0] == '/';
    return child.size() > dir.size() && child.compare(0, dir.size(), dir) == 0 && child[dir.size()] == '/';
}

std::string realPath(const std::string& p)
{
    char buf[PATH_MAX];
    return ::realpath(p.c_str(), buf) ? std::string(buf) : std::string();
}

bool readFlag(const std::string& file)
{
    std::ifstream in(file);
    char c = 0;
    return in.get(c) && c == '1';
}

// A partition takes the removable flag of its whole disk.
bool isRemovableDevice(unsigned long long dev, const std::string& sysBlock)
{
    if (dev == 0) return false;
    std::string entry = realPath(sysBlock + "/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev)));
    if (entry.empty()) return false;
    struct stat st {};
    if (::stat((entry + "/partition").c_str(), &st) == 0) entry = entry.substr(0, entry.rfind('/'));
    return readFlag(entry + "/removable");
}

unsigned long long deviceOf(struct libmnt_fs* fs, const std::string& source)
{
    struct stat st {};
    if (!source.empty() && source[0] == '/' && ::stat(source.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
        return st.st_rdev;
    return mnt_fs_get_devno(fs);
}

TDriveType typeOf(const TVolume& v, bool net, const std::string& sysBlock)
{
    if (net || isHostShare(v.FsType)) return dtRemote;
    struct stat st {};
    if (::stat(v.MountPoint.c_str(), &st) != 0 ? (errno == ENOENT || errno == ENOTDIR) : !S_ISDIR(st.st_mode))
        return dtNoRootDir;
    if (isRamFs(v.FsType)) return dtRamDisk;
    if (isOneOf(v.FsType, {"iso9660", "udf"}) || v.Source.rfind("/dev/sr", 0) == 0) return dtCDROM;
    if (isRemovableDevice(v.Device, sysBlock)) return dtRemovable;
    return dtFixed;
}

// udev writes unsafe label characters as \xHH.
std::string decodeLabel(const std::string& name)
{
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x' && std::isxdigit(static_cast<unsigned char>(name[i + 2])) &&
            std::isxdigit(static_cast<unsigned char>(name[i + 3]))) {
            out += static_cast<char>(std::stoi(name.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += name[i];
        }
    }
    return out;
}

void remember(const std::string& dir)
{
    if (dir.empty()) return;
    std::string mp = VolumeOf(dir);
    if (mp.empty()) return;
    std::lock_guard<std::mutex> lock(stateMutex());
    visited()[mp] = dir;
}

}  // namespace

TVolumeSources VolumeSources()
{
    std::lock_guard<std::mutex> lock(stateMutex());
    return sources();
}

void SetVolumeSources(const TVolumeSources& s)
{
    std::lock_guard<std::mutex> lock(stateMutex());
    sources() = s;
}

namespace {

// The mount table's volumes; classifying (device, type) touches sysfs and every mount point,
// which finding the volume of a path does not need.
std::vector<TVolume> collectVolumes(bool classify)
{
    TVolumeSources src;
    {
        std::lock_guard<std::mutex> lock(stateMutex());
        src = sources();
    }
    std::unique_ptr<libmnt_table, void (*)(libmnt_table*)> table(mnt_new_table(), mnt_unref_table);
    if (!table) return {};
    // A malformed line is skipped, not fatal.
    mnt_table_set_parser_errcb(table.get(), [](libmnt_table*, const char*, int) { return 1; });
    if (mnt_table_parse_file(table.get(), src.MountTable.c_str()) != 0) return {};
    std::unique_ptr<libmnt_iter, void (*)(libmnt_iter*)> iter(mnt_new_iter(MNT_ITER_FORWARD), mnt_free_iter);
    if (!iter) return {};

    struct Entry {
        TVolume Volume;
        bool Net = false;
    };
    std::vector<Entry> entries;  // in mount order
    std::vector<std::string> pseudo;
    libmnt_fs* fs = nullptr;
    while (mnt_table_next_fs(table.get(), iter.get(), &fs) == 0) {
        const char* target = mnt_fs_get_target(fs);
        if (!target || !*target) continue;
        std::string mp = target;
        std::string type = mnt_fs_get_fstype(fs) ? mnt_fs_get_fstype(fs) : "";
        // A later mount at the same point hides the earlier one.
        std::erase_if(entries, [&mp](const Entry& e) { return e.Volume.MountPoint == mp; });
        bool keep = mp == "/" || isRamFs(type) || isHostShare(type) || type == "overlay" || !mnt_fstype_is_pseudofs(type.c_str());
        if (!keep) {
            pseudo.push_back(mp);
            continue;
        }
        Entry e;
        e.Volume.MountPoint = mp;
        e.Volume.Source = mnt_fs_get_source(fs) ? mnt_fs_get_source(fs) : "";
        e.Volume.FsType = type;
        if (classify) e.Volume.Device = deviceOf(fs, e.Volume.Source);
        e.Net = mnt_fstype_is_netfs(type.c_str()) != 0;
        entries.push_back(std::move(e));
    }

    std::vector<TVolume> out;
    for (auto& e : entries) {
        bool inPseudo = std::any_of(pseudo.begin(), pseudo.end(),
                                    [&e](const std::string& p) { return isBelow(e.Volume.MountPoint, p); });
        if (inPseudo) continue;
        if (classify) e.Volume.Type = typeOf(e.Volume, e.Net, src.SysBlock);
        out.push_back(std::move(e.Volume));
    }
    std::sort(out.begin(), out.end(), [](const TVolume& a, const TVolume& b) { return a.MountPoint < b.MountPoint; });
    return out;
}

}  // namespace

std::vector<TVolume> ListVolumes() { return collectVolumes(true); }

TMountWatch::TMountWatch()
{
    std::string table = VolumeSources().MountTable;
    if (table.rfind("/proc/", 0) == 0) {
        FMonitor = mnt_new_monitor();
        if (!FMonitor) return;
        if (mnt_monitor_enable_kernel(FMonitor, 1) != 0) return;
        FFd = mnt_monitor_get_fd(FMonitor);
        if (FFd < 0) FFd = -1;
        return;
    }
    std::size_t slash = table.rfind('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : table.substr(0, slash));
    FFileName = slash == std::string::npos ? table : table.substr(slash + 1);
    FFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (FFd < 0) return;
    FInotify = true;
    if (::inotify_add_watch(FFd, dir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_MOVED_FROM) < 0) {
        ::close(FFd);
        FFd = -1;
    }
}

TMountWatch::~TMountWatch()
{
    if (FInotify && FFd >= 0) ::close(FFd);
    // The monitor closes its own descriptor.
    if (FMonitor) mnt_unref_monitor(FMonitor);
}

bool TMountWatch::Changed()
{
    if (FFd < 0) return false;
    if (FMonitor) {
        // Once the descriptor was ready the table is read anew whatever the monitor says: the
        // wait that saw it ready may already have taken the kernel's news.
        mnt_monitor_event_cleanup(FMonitor);
        return true;
    }
    bool changed = false;
    alignas(inotify_event) char buf[4096];
    for (;;) {
        ssize_t n = ::read(FFd, buf, sizeof buf);
        if (n <= 0) break;
        for (ssize_t off = 0; off < n;) {
            auto* ev = reinterpret_cast<inotify_event*>(buf + off);
            if (ev->len > 0 && FFileName == ev->name) changed = true;
            if (ev->mask & IN_Q_OVERFLOW) changed = true;
            off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        }
    }
    return changed;
}

std::string VolumeLabel(const TVolume& volume)
{
    std::string labelDir;
    {
        std::lock_guard<std::mutex> lock(stateMutex());
        labelDir = sources().LabelDir;
    }
    if (volume.Source.empty() && volume.Device == 0) return {};
    std::string source = volume.Source.empty() || volume.Source[0] != '/' ? std::string() : realPath(volume.Source);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(labelDir.c_str()), ::closedir);
    if (!dir) return {};
    while (dirent* d = ::readdir(dir.get())) {
        std::string name = d->d_name;
        if (name.empty() || name[0] == '.') continue;
        std::string full = labelDir + "/" + name;
        struct stat st {};
        bool same = false;
        if (volume.Device != 0 && ::stat(full.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
            same = st.st_rdev == volume.Device;
        else if (!source.empty())
            same = realPath(full) == source;
        if (same) return decodeLabel(name);
    }
    return {};
}

std::string NetworkName(const TVolume& volume) { return volume.Source; }

std::string VolumeOf(const std::string& path)
{
    std::string best;
    if (path.empty() || path[0] != '/') return best;
    for (const TVolume& v : collectVolumes(false)) {
        const std::string& mp = v.MountPoint;
        if ((mp == path || isBelow(path, mp)) && mp.size() > best.size()) best = mp;
    }
    return best;
}

int InOutErrorCode(int errnum)
{
    switch (errnum) {
    case ENOENT: return 2;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP: return 3;
    case EMFILE:
    case ENFILE: return 4;
    case EACCES:
    case EPERM: return 5;
    case ENOMEDIUM: return 21;
    case ENXIO:
    case ENODEV: return 15;
    default: return errnum;
    }
}

void RaiseInOutError(int errnum) { throw EInOutError(InOutErrorCode(errnum)); }

std::string CurrentDir() { return GetCurrentDir(); }

void ChangeDir(const std::string& path)
{
    std::string left = CurrentDir();
    if (::chdir(path.c_str()) != 0) RaiseInOutError(errno);
    remember(left);
    remember(CurrentDir());
}

void ChangeToVolume(const std::string& mountPoint)
{
    std::string last = LastVisitedOn(mountPoint);
    if (!last.empty()) {
        try {
            ChangeDir(last);
            return;
        } catch (const EInOutError&) {
            // The folder is gone; the volume's root is still worth trying.
        }
    }
    ChangeDir(mountPoint);
}

std::string LastVisitedOn(const std::string& mountPoint)
{
    std::lock_guard<std::mutex> lock(stateMutex());
    auto it = visited().find(mountPoint);
    return it == visited().end() ? std::string() : it->second;
}

void ForgetVisitedFolders()
{
    std::lock_guard<std::mutex> lock(stateMutex());
    visited().clear();
}

std::vector<std::string> ListSubfolders(const std::string& dir)
{
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
    if (!d) return names;
    std::string base = dir.empty() || dir.back() == '/' ? dir : dir + "/";
    while (dirent* e = ::readdir(d.get())) {
        std::string name = e->d_name;
        if (name.empty() || name[0] == '.') continue;
        bool isDir = e->d_type == DT_DIR;
        if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
            struct stat st {};
            isDir = ::stat((base + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        if (isDir) names.push_back(std::move(name));
    }
    // Names differing only in case are different folders here: keep both, in a fixed order.
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        int c = AnsiCompareText(a, b);
        return c != 0 ? c < 0 : a < b;
    });
    return names;
}

namespace {

void enter(const std::string& path)
{
    if (::chdir(path.c_str()) != 0) RaiseInOutError(errno);
}

// Puts the current directory back, if it still exists, however the scope is left.
class CurrentDirKeeper {
public:
    explicit CurrentDirKeeper(std::string dir) : FDir(std::move(dir)) {}
    ~CurrentDirKeeper()
    {
        // A destructor has no one to tell when the folder went away just now.
        if (!FDir.empty() && DirectoryExists(FDir)) {
            [[maybe_unused]] int rc = ::chdir(FDir.c_str());
        }
    }
    CurrentDirKeeper(const CurrentDirKeeper&) = delete;
    CurrentDirKeeper& operator=(const CurrentDirKeeper&) = delete;

private:
    std::string FDir;
};

}  // namespace

TProcessedPath ProcessPath(const std::string& text)
{
    std::string start = CurrentDir();
    CurrentDirKeeper keeper(start);
    TProcessedPath r;
    std::string dir = text;
    std::size_t slash = dir.rfind('/');
    r.FileName = slash == std::string::npos ? dir : dir.substr(slash + 1);
    if (dir == "/" + r.FileName)
        dir = "/";
    else if (r.FileName.size() < dir.size())
        dir.resize(dir.size() - r.FileName.size() - 1);
    else
        dir = start;
    if (!dir.empty()) enter(dir);
    if (!r.FileName.empty() && r.FileName.find_first_of("*?") == std::string::npos && !FileExists(r.FileName)) {
        enter(r.FileName);
        r.FileName.clear();
    }
    r.Folder = CurrentDir();
    r.Volume = VolumeOf(r.Folder);
    return r;
}

}  // namespace kapo
