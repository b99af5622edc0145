// Volumes from a mount table of the test's own (mount points, sysfs entries and label links in
// a temporary folder), folder search, path resolution and current-directory changes.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "core/SysUtils.h"
#include "platform/Volumes.h"

namespace fs = std::filesystem;
using namespace kapo;

namespace {

void writeFile(const fs::path& p, const std::string& text)
{
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
}

// A temporary folder that is the current directory for the test; the volume sources, the
// remembered folders and the current directory are put back afterwards.
class VolumesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FOldCwd = CurrentDir();
        FOldSources = VolumeSources();
        char tmpl[] = "/tmp/kapo-volumes-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        FRoot = fs::canonical(tmpl).string();
        ForgetVisitedFolders();
    }
    void TearDown() override
    {
        (void)::chdir(FOldCwd.c_str());
        SetVolumeSources(FOldSources);
        ForgetVisitedFolders();
        std::error_code ec;
        fs::remove_all(FRoot, ec);
    }

    // A mount table in mountinfo form with volumes of every kind below the temporary folder.
    void UseFakeSystem()
    {
        const std::string& r = FRoot;
        for (const char* d : {"sys/fs/cgroup", "ram", "usb", "cd", "dvd", "disk", "dup", "my disk", "share"})
            fs::create_directories(r + "/" + d);
        writeFile(r + "/dev/sdb1", "");
        writeFile(r + "/dev/sda2", "");
        // sysfs: the usb stick's partition 8:17 on a removable disk, the fixed disk's 8:2.
        writeFile(r + "/devices/sdb/removable", "1\n");
        writeFile(r + "/devices/sdb/sdb1/partition", "1\n");
        writeFile(r + "/devices/sda/removable", "0\n");
        writeFile(r + "/devices/sda/sda2/partition", "2\n");
        fs::create_directories(r + "/block");
        fs::create_directory_symlink(r + "/devices/sdb/sdb1", r + "/block/8:17");
        fs::create_directory_symlink(r + "/devices/sda/sda2", r + "/block/8:2");
        fs::create_directories(r + "/labels");
        fs::create_symlink(r + "/dev/sdb1", r + "/labels/MUSIC\\x20Box");
        fs::create_symlink(r + "/dev/sda2", r + "/labels/Data");

        std::string t =
            "1 0 254:0 / / rw - ext4 /dev/vda rw\n"
            "2 1 0:21 / /proc rw - proc proc rw\n"
            "3 1 0:22 / " + r + "/sys rw - sysfs sysfs rw\n"
            "4 3 0:30 / " + r + "/sys/fs/cgroup rw - tmpfs tmpfs rw\n"
            "5 1 0:31 / " + r + "/ram rw - tmpfs tmpfs rw\n"
            "6 1 8:17 / " + r + "/usb rw - vfat " + r + "/dev/sdb1 rw\n"
            "7 1 11:0 / " + r + "/cd ro - iso9660 /dev/sr0 ro\n"
            "8 1 11:1 / " + r + "/dvd ro - udf /dev/sr1 ro\n"
            "9 1 8:2 / " + r + "/disk rw - ext4 " + r + "/dev/sda2 rw\n"
            "10 1 8:3 / " + r + "/dup rw - ext4 /dev/sda3 rw\n"
            "11 10 8:4 / " + r + "/dup rw - xfs /dev/sda4 rw\n"
            "12 1 8:5 / " + r + "/my\\040disk rw - ext4 /dev/sda5 rw\n"
            "13 1 0:40 / " + r + "/share rw - nfs4 server:/export/sounds rw\n"
            "14 1 8:6 / " + r + "/gone rw - ext4 /dev/sda6 rw\n";
        writeFile(r + "/mountinfo", t);
        TVolumeSources s;
        s.MountTable = r + "/mountinfo";
        s.SysBlock = r + "/block";
        s.LabelDir = r + "/labels";
        SetVolumeSources(s);
    }

    const TVolume* find(const std::vector<TVolume>& vols, const std::string& mp)
    {
        for (const TVolume& v : vols)
            if (v.MountPoint == mp) return &v;
        return nullptr;
    }

    std::string FOldCwd;
    TVolumeSources FOldSources;
    std::string FRoot;
};

int codeOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Message(), EInOutError::TextOf(e.ErrorCode()));
        return e.ErrorCode();
    }
    return 0;
}

}  // namespace

TEST_F(VolumesTest, MountTableGivesVolumesByKindWithoutPseudoFileSystems)
{
    UseFakeSystem();
    const std::string& r = FRoot;
    std::vector<TVolume> vols = ListVolumes();
    std::vector<std::string> points;
    for (const TVolume& v : vols) points.push_back(v.MountPoint);
    // Sorted; proc, sysfs and the tmpfs inside sysfs left out; the doubly mounted point once.
    std::vector<std::string> want = {"/", r + "/cd", r + "/disk", r + "/dup", r + "/dvd", r + "/gone",
                                     r + "/my disk", r + "/ram", r + "/share", r + "/usb"};
    EXPECT_EQ(points, want);

    EXPECT_EQ(find(vols, "/")->Type, dtFixed);
    EXPECT_EQ(find(vols, r + "/ram")->Type, dtRamDisk);
    EXPECT_EQ(find(vols, r + "/usb")->Type, dtRemovable);
    EXPECT_EQ(find(vols, r + "/cd")->Type, dtCDROM);
    EXPECT_EQ(find(vols, r + "/dvd")->Type, dtCDROM);
    EXPECT_EQ(find(vols, r + "/disk")->Type, dtFixed);
    EXPECT_EQ(find(vols, r + "/share")->Type, dtRemote);
    EXPECT_EQ(find(vols, r + "/gone")->Type, dtNoRootDir);
    // The later mount hides the earlier one.
    EXPECT_EQ(find(vols, r + "/dup")->FsType, "xfs");

    EXPECT_EQ(VolumeLabel(*find(vols, r + "/usb")), "MUSIC Box");
    EXPECT_EQ(VolumeLabel(*find(vols, r + "/disk")), "Data");
    EXPECT_EQ(VolumeLabel(*find(vols, r + "/ram")), "");
    EXPECT_EQ(NetworkName(*find(vols, r + "/share")), "server:/export/sounds");
}

TEST_F(VolumesTest, UnreadableOrMalformedMountTable)
{
    TVolumeSources s;
    s.MountTable = FRoot + "/missing";
    SetVolumeSources(s);
    EXPECT_TRUE(ListVolumes().empty());
    EXPECT_EQ(VolumeOf("/"), "");

    std::string junk = "\x01\x02 garbage\n1 0 8:1 / / rw - ext4 /dev/x rw\n";
    junk += "\xff\xfe\n";
    writeFile(FRoot + "/junk", junk);
    s.MountTable = FRoot + "/junk";
    SetVolumeSources(s);
    std::vector<TVolume> vols = ListVolumes();
    EXPECT_LE(vols.size(), 1u);
}

TEST_F(VolumesTest, VolumeOfIsTheLongestMountPointOnAComponentBoundary)
{
    UseFakeSystem();
    const std::string& r = FRoot;
    EXPECT_EQ(VolumeOf("/"), "/");
    EXPECT_EQ(VolumeOf(r + "/usb"), r + "/usb");
    EXPECT_EQ(VolumeOf(r + "/usb/a/b"), r + "/usb");
    EXPECT_EQ(VolumeOf(r + "/usbx"), "/");
    EXPECT_EQ(VolumeOf(r + "/my disk/x"), r + "/my disk");
    EXPECT_EQ(VolumeOf(r + "/sys/fs/cgroup/x"), "/");
    EXPECT_EQ(VolumeOf("relative/path"), "");
}

TEST_F(VolumesTest, LiveSystemHasARootVolume)
{
    std::vector<TVolume> vols = ListVolumes();
    ASSERT_FALSE(vols.empty());
    EXPECT_EQ(vols.front().MountPoint, "/");
    for (const TVolume& v : vols) {
        EXPECT_NE(v.FsType, "proc");
        EXPECT_NE(v.FsType, "sysfs");
        EXPECT_NE(v.FsType, "devpts");
        EXPECT_NE(v.FsType, "cgroup");
    }
    EXPECT_EQ(VolumeOf(FRoot).empty(), false);
}

TEST_F(VolumesTest, FailedDirectoryChangesRaiseTheMappedIOError)
{
    EXPECT_EQ(InOutErrorCode(ENOENT), 2);
    EXPECT_EQ(InOutErrorCode(ENOTDIR), 3);
    EXPECT_EQ(InOutErrorCode(ENAMETOOLONG), 3);
    EXPECT_EQ(InOutErrorCode(ELOOP), 3);
    EXPECT_EQ(InOutErrorCode(EMFILE), 4);
    EXPECT_EQ(InOutErrorCode(ENFILE), 4);
    EXPECT_EQ(InOutErrorCode(EACCES), 5);
    EXPECT_EQ(InOutErrorCode(EPERM), 5);
    EXPECT_EQ(InOutErrorCode(ENOMEDIUM), 21);
    EXPECT_EQ(InOutErrorCode(ENXIO), 15);
    EXPECT_EQ(InOutErrorCode(ENODEV), 15);
    EXPECT_EQ(InOutErrorCode(EIO), EIO);
    try {
        RaiseInOutError(ENOMEDIUM);
        FAIL();
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Message(), "I/O error 21");
    }

    writeFile(FRoot + "/file.txt", "x");
    fs::create_directory_symlink(FRoot + "/loop", FRoot + "/loop");
    ChangeDir(FRoot);
    EXPECT_EQ(codeOf([] { ChangeDir("missing"); }), 2);
    EXPECT_EQ(codeOf([] { ChangeDir("file.txt"); }), 3);
    EXPECT_EQ(codeOf([] { ChangeDir("loop"); }), 3);
    EXPECT_EQ(codeOf([] { ChangeDir(std::string(5000, 'a')); }), 3);
    EXPECT_EQ(codeOf([] { ChangeDir(""); }), 2);
    EXPECT_EQ(CurrentDir(), FRoot);
}

TEST_F(VolumesTest, SwitchingVolumesEntersTheFolderLastVisitedOnIt)
{
    UseFakeSystem();
    const std::string& r = FRoot;
    fs::create_directories(r + "/usb/songs/old");
    fs::create_directories(r + "/disk/work");
    ChangeDir(r + "/disk/work");
    // Never visited: the volume's mount point.
    ChangeToVolume(r + "/usb");
    EXPECT_EQ(CurrentDir(), r + "/usb");
    ChangeDir("songs/old");
    ChangeToVolume(r + "/disk");
    EXPECT_EQ(CurrentDir(), r + "/disk/work");
    ChangeToVolume(r + "/usb");
    EXPECT_EQ(CurrentDir(), r + "/usb/songs/old");
    EXPECT_EQ(LastVisitedOn(r + "/disk"), r + "/disk/work");

    // The remembered folder is gone: the mount point instead.
    ChangeToVolume(r + "/disk");
    fs::remove_all(r + "/usb/songs");
    ChangeToVolume(r + "/usb");
    EXPECT_EQ(CurrentDir(), r + "/usb");

    // A volume that cannot be entered raises and leaves the current directory alone.
    EXPECT_EQ(codeOf([&] { ChangeToVolume(r + "/gone"); }), 2);
    EXPECT_EQ(CurrentDir(), r + "/usb");
}

TEST_F(VolumesTest, SubfoldersAreSortedIgnoringCaseWithoutHiddenOnes)
{
    const std::string& r = FRoot;
    for (const char* d : {"beta", "Alpha", "gamma", "Beta", ".hidden", "delta"}) fs::create_directories(r + "/" + d);
    writeFile(r + "/afile", "x");
    fs::create_directory_symlink(r + "/gamma", r + "/Linked");
    fs::create_symlink(r + "/nowhere", r + "/dangling");
    std::vector<std::string> want = {"Alpha", "Beta", "beta", "delta", "gamma", "Linked"};
    EXPECT_EQ(ListSubfolders(r), want);
    EXPECT_EQ(ListSubfolders(r + "/"), want);
    EXPECT_TRUE(ListSubfolders(r + "/missing").empty());

    // Case folding follows the locale for letters beyond ASCII.
    std::string old = std::setlocale(LC_ALL, nullptr);
    if (std::setlocale(LC_ALL, "C.UTF-8")) {
        fs::create_directories(r + "/acc/\xC3\x89zz");   // Ézz
        fs::create_directories(r + "/acc/\xC3\xA9" "aa");  // éaa
        std::vector<std::string> acc = {"\xC3\xA9" "aa", "\xC3\x89zz"};
        EXPECT_EQ(ListSubfolders(r + "/acc"), acc);
    }
    std::setlocale(LC_ALL, old.c_str());
}

TEST_F(VolumesTest, ProcessPathResolvesFoldersFilesAndPatternsAndKeepsTheCurrentDirectory)
{
    const std::string& r = FRoot;
    fs::create_directories(r + "/Sounds/Drums/Loops");
    writeFile(r + "/Sounds/kick.wav", "RIFF");
    ChangeDir(r + "/Sounds");

    auto check = [&](const std::string& text, const std::string& folder, const std::string& file) {
        SCOPED_TRACE(text);
        TProcessedPath p = ProcessPath(text);
        EXPECT_EQ(p.Folder, folder);
        EXPECT_EQ(p.FileName, file);
        EXPECT_EQ(p.Volume, VolumeOf(folder));
        EXPECT_EQ(CurrentDir(), r + "/Sounds");
    };
    check("Drums", r + "/Sounds/Drums", "");
    check("Drums/Loops", r + "/Sounds/Drums/Loops", "");
    check("Drums/", r + "/Sounds/Drums", "");
    check("..", r, "");
    check("/", "/", "");
    check(r + "/Sounds/Drums", r + "/Sounds/Drums", "");
    check(r + "/Sounds/*.wav", r + "/Sounds", "*.wav");
    check("*.wav", r + "/Sounds", "*.wav");
    check(r + "/Sounds/kick.wav", r + "/Sounds", "kick.wav");
    check("kick.wav", r + "/Sounds", "kick.wav");
    check("/tmp", "/tmp", "");

    // A folder that does not exist, or a file taken as a folder, fails and changes nothing.
    EXPECT_EQ(codeOf([&] { ProcessPath(r + "/Sounds/Missing"); }), 2);
    EXPECT_EQ(codeOf([&] { ProcessPath(r + "/Nope/Drums"); }), 2);
    EXPECT_EQ(codeOf([&] { ProcessPath("kick.wav/x"); }), 3);
    EXPECT_EQ(CurrentDir(), r + "/Sounds");
}

namespace {

bool readable(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN);
}

}  // namespace

TEST_F(VolumesTest, MountWatchSeesItsTableReplacedAndNothingElse)
{
    const std::string table = FRoot + "/mountinfo";
    writeFile(table, "1 0 254:0 / / rw - ext4 /dev/vda rw\n");
    TVolumeSources s;
    s.MountTable = table;
    SetVolumeSources(s);
    TMountWatch watch;
    ASSERT_GE(watch.Fd(), 0);
    EXPECT_FALSE(readable(watch.Fd(), 0));
    EXPECT_FALSE(watch.Changed());
    // Another file in the table's folder is no news.
    writeFile(FRoot + "/other", "x");
    EXPECT_FALSE(watch.Changed());
    // The table replaced by a rename, as tables are, and rewritten in place.
    writeFile(table + ".new", "1 0 254:0 / / rw - ext4 /dev/vda rw\n2 1 8:1 / /mnt rw - ext4 /dev/sdb1 rw\n");
    std::filesystem::rename(table + ".new", table);
    EXPECT_TRUE(readable(watch.Fd(), 5000));
    EXPECT_TRUE(watch.Changed());
    EXPECT_FALSE(watch.Changed());
    writeFile(table, "1 0 254:0 / / rw - ext4 /dev/vda rw\n");
    EXPECT_TRUE(readable(watch.Fd(), 5000));
    EXPECT_TRUE(watch.Changed());
    EXPECT_FALSE(readable(watch.Fd(), 0));
}

TEST_F(VolumesTest, MountWatchOfTheLiveTableIsQuietWhileNothingIsMounted)
{
    TMountWatch watch;  // the default sources: the system's own table, through libmount
    ASSERT_GE(watch.Fd(), 0);
    // Draining never waits; with no mount in between, the descriptor settles.
    (void)watch.Changed();
    EXPECT_FALSE(readable(watch.Fd(), 50));
}
