#include "core/Classes.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kapo {

// ---- TStream -------------------------------------------------------------------------

std::int64_t TStream::Size()
{
    std::int64_t pos = Seek(0, soCurrent);
    std::int64_t end = Seek(0, soEnd);
    Seek(pos, soBeginning);
    return end;
}

void TStream::SetSize(std::int64_t) { throw EStreamError("Stream size cannot be changed"); }

void TStream::ReadBuffer(void* buffer, std::int64_t count)
{
    if (count != 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, std::int64_t count)
{
    if (count != 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count)
{
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    std::int64_t done = 0;
    std::vector<char> buf(61440);
    while (done < count) {
        auto n = std::min<std::int64_t>(count - done, static_cast<std::int64_t>(buf.size()));
        source.ReadBuffer(buf.data(), n);
        WriteBuffer(buf.data(), n);
        done += n;
    }
    return done;
}

// ---- TFileStream ---------------------------------------------------------------------

TFileStream::TFileStream(const std::string& fileName, unsigned mode, mode_t rights) : FFileName(fileName)
{
    int flags;
    bool exclusive;
    if (mode == fmCreate) {
        // Truncated only once the lock is held, so a refused second writer empties nothing.
        flags = O_RDWR | O_CREAT;
        exclusive = true;
    } else {
        switch (mode & 3) {
        case fmOpenWrite: flags = O_WRONLY; break;
        case fmOpenReadWrite: flags = O_RDWR; break;
        default: flags = O_RDONLY; break;
        }
        exclusive = (mode & 0xF0) == fmShareExclusive;
    }
    FHandle = ::open(fileName.c_str(), flags | O_CLOEXEC, rights);
    if (FHandle >= 0) {
        struct stat st;
        // Only regular files (and devices such as /dev/null) are streams; a folder is not.
        if (::fstat(FHandle, &st) != 0 || S_ISDIR(st.st_mode) ||
            (exclusive && ::flock(FHandle, LOCK_EX | LOCK_NB) != 0)) {
            ::close(FHandle);
            FHandle = -1;
        }
    }
    if (FHandle >= 0 && mode == fmCreate && ::ftruncate(FHandle, 0) != 0) {
        ::close(FHandle);
        FHandle = -1;
    }
    if (FHandle < 0) {
        if (mode == fmCreate) throw EFCreateError(Format("Cannot create file %s", fileName));
        throw EFOpenError(Format("Cannot open file %s", fileName));
    }
}

TFileStream::~TFileStream()
{
    if (FHandle >= 0) ::close(FHandle);
}

std::int64_t TFileStream::Read(void* buffer, std::int64_t count)
{
    std::int64_t done = 0;
    while (done < count) {
        ssize_t n = ::read(FHandle, static_cast<char*>(buffer) + done, static_cast<std::size_t>(count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    return done;
}

std::int64_t TFileStream::Write(const void* buffer, std::int64_t count)
{
    std::int64_t done = 0;
    while (done < count) {
        ssize_t n = ::write(FHandle, static_cast<const char*>(buffer) + done, static_cast<std::size_t>(count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    return done;
}

std::int64_t TFileStream::Seek(std::int64_t offset, TSeekOrigin origin)
{
    int whence = origin == soBeginning ? SEEK_SET : (origin == soCurrent ? SEEK_CUR : SEEK_END);
    return ::lseek(FHandle, offset, whence);
}

void TFileStream::SetSize(std::int64_t size)
{
    if (::ftruncate(FHandle, size) != 0) throw EStreamError("Stream write error");
    if (Position() > size) Seek(size, soBeginning);
}

// ---- TMemoryStream -------------------------------------------------------------------

std::int64_t TMemoryStream::Read(void* buffer, std::int64_t count)
{
    std::int64_t avail = static_cast<std::int64_t>(FData.size()) - FPosition;
    std::int64_t n = std::max<std::int64_t>(0, std::min(count, avail));
    if (n > 0) std::memcpy(buffer, FData.data() + FPosition, static_cast<std::size_t>(n));
    FPosition += n;
    return n;
}

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count)
{
    if (count <= 0) return 0;
    auto end = static_cast<std::size_t>(FPosition + count);
    if (end > FData.size()) FData.resize(end);
    std::memcpy(FData.data() + FPosition, buffer, static_cast<std::size_t>(count));
    FPosition += count;
    return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin)
{
    std::int64_t base = origin == soBeginning ? 0 : (origin == soCurrent ? FPosition : Size());
    std::int64_t p = base + offset;
    if (p >= 0) FPosition = p;
    return FPosition;
}

void TMemoryStream::SetSize(std::int64_t size)
{
    FData.resize(static_cast<std::size_t>(std::max<std::int64_t>(0, size)));
    if (FPosition > size) FPosition = size;
}

void TMemoryStream::LoadFromFile(const std::string& fileName)
{
    TFileStream f(fileName, fmOpenRead | fmShareDenyWrite);
    std::int64_t n = f.Size();
    std::vector<char> data(static_cast<std::size_t>(std::max<std::int64_t>(0, n)));
    f.ReadBuffer(data.data(), n);
    FData.swap(data);
    FPosition = 0;
}

void TMemoryStream::SaveToFile(const std::string& fileName)
{
    TFileStream f(fileName, fmCreate);
    f.WriteBuffer(FData.data(), static_cast<std::int64_t>(FData.size()));
}

// ---- TStrings ------------------------------------------------------------------------

void TStrings::Put(int index, const std::string& s)
{
    void* obj = GetObject(index);
    Delete(index);
    InsertObject(index, s, obj);
}

void* TStrings::GetObject(int) const { return nullptr; }
void TStrings::PutObject(int, void*) {}

void TStrings::InsertObject(int index, const std::string& s, void* obj)
{
    Insert(index, s);
    PutObject(index, obj);
}

int TStrings::Add(const std::string& s)
{
    int i = Count();
    Insert(i, s);
    return i;
}

int TStrings::AddObject(const std::string& s, void* obj)
{
    int i = Add(s);
    PutObject(i, obj);
    return i;
}

int TStrings::IndexOf(const std::string& s) const
{
    for (int i = 0, n = Count(); i < n; ++i)
        if (CompareText(Get(i), s) == 0) return i;
    return -1;
}

void TStrings::BeginUpdate()
{
    if (FUpdateCount++ == 0) SetUpdateState(true);
}

void TStrings::EndUpdate()
{
    if (FUpdateCount > 0 && --FUpdateCount == 0) SetUpdateState(false);
}

void TStrings::AddStrings(const TStrings& other)
{
    TUpdateLock lock(*this);
    for (int i = 0, n = other.Count(); i < n; ++i) AddObject(other.Get(i), other.GetObject(i));
}

void TStrings::Assign(const TStrings& other)
{
    if (&other == this) return;
    TUpdateLock lock(*this);
    Clear();
    AddStrings(other);
}

std::string TStrings::Text() const
{
    std::string r;
    for (int i = 0, n = Count(); i < n; ++i) {
        r += Get(i);
        r += "\r\n";
    }
    return r;
}

std::vector<std::string> TStrings::SplitLines(const char* data, std::size_t size)
{
    std::vector<std::string> lines;
    std::size_t i = 0;
    while (i < size && data[i] != '\0') {
        std::size_t start = i;
        while (i < size && data[i] != '\0' && data[i] != '\r' && data[i] != '\n') ++i;
        lines.emplace_back(data + start, i - start);
        if (i < size && data[i] == '\r') ++i;
        if (i < size && data[i] == '\n') ++i;
    }
    return lines;
}

void TStrings::SetText(const std::string& text)
{
    std::vector<std::string> lines = SplitLines(text.data(), text.size());
    TUpdateLock lock(*this);
    Clear();
    for (auto& l : lines) Add(l);
}

void TStrings::LoadFromStream(TStream& stream)
{
    std::int64_t size = stream.Size() - stream.Position();
    std::string data(static_cast<std::size_t>(std::max<std::int64_t>(0, size)), '\0');
    data.resize(static_cast<std::size_t>(stream.Read(data.data(), static_cast<std::int64_t>(data.size()))));
    SetText(data);
}

void TStrings::SaveToStream(TStream& stream) const
{
    std::string t = Text();
    stream.WriteBuffer(t.data(), static_cast<std::int64_t>(t.size()));
}

void TStrings::LoadFromFile(const std::string& fileName)
{
    // The whole file is read before the list is touched, so a failed read leaves it as it was.
    TMemoryStream m;
    m.LoadFromFile(fileName);
    SetText(m.DataString());
}

void TStrings::SaveToFile(const std::string& fileName, mode_t rights)
{
    TFileStream f(fileName, fmCreate, rights);
    // An existing file keeps the mode it was created with unless the caller asks for less.
    if (rights != 0666) ::fchmod(f.Handle(), rights);
    SaveToStream(f);
}

void TStrings::SaveToFileReplacing(const std::string& fileName, mode_t rights) const
{
    // Replacing a link would cut it; the file it names is the one to replace.
    std::string target = fileName;
    struct stat st;
    if (::lstat(fileName.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = ::realpath(fileName.c_str(), nullptr)) {
            target = real;
            std::free(real);
        }
    }
    // Only a file is replaced: a folder, a FIFO or a device in its place stays as it is.
    if (::stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        throw EFCreateError(Format("Cannot create file %s", fileName));
    std::string folder = ExtractFilePath(target);
    if (folder.empty()) folder = "./";
    const std::string base = target.substr(target.find_last_of('/') + 1);
    // A hidden name of this process in the same folder, so that the rename stays on one file
    // system and never meets another writer's file.
    static std::atomic<unsigned> serial{0};
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = folder + "." + base + "." + std::to_string(::getpid()) + "-" + std::to_string(serial++) + ".new";
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, rights);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) throw EFCreateError(Format("Cannot create file %s", fileName));
    const std::string text = Text();
    std::size_t done = 0;
    bool ok = rights == 0666 || ::fchmod(fd, rights) == 0;
    while (ok && done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        ::unlink(temporary.c_str());
        throw EWriteError("Stream write error");
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        throw EFCreateError(Format("Cannot create file %s", fileName));
    }
    // The new name itself reaches the disk with the folder.
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

void TStrings::Error(const char* fmt, int index) const { throw EStringListError(Format(fmt, index)); }

// ---- TStringList ---------------------------------------------------------------------

std::string TStringList::Get(int index) const
{
    if (index < 0 || index >= Count()) Error("List index out of bounds (%d)", index);
    return FItems[static_cast<std::size_t>(index)].Text;
}

void TStringList::Put(int index, const std::string& s)
{
    if (index < 0 || index >= Count()) Error("List index out of bounds (%d)", index);
    Changing();
    FItems[static_cast<std::size_t>(index)].Text = s;
    Changed();
}

void* TStringList::GetObject(int index) const
{
    if (index < 0 || index >= Count()) Error("List index out of bounds (%d)", index);
    return FItems[static_cast<std::size_t>(index)].Object;
}

void TStringList::PutObject(int index, void* obj)
{
    if (index < 0 || index >= Count()) Error("List index out of bounds (%d)", index);
    Changing();
    FItems[static_cast<std::size_t>(index)].Object = obj;
    Changed();
}

void TStringList::Insert(int index, const std::string& s) { InsertObject(index, s, nullptr); }

void TStringList::InsertObject(int index, const std::string& s, void* obj)
{
    if (index < 0 || index > Count()) Error("List index out of bounds (%d)", index);
    Changing();
    FItems.insert(FItems.begin() + index, Item{s, obj});
    Changed();
}

void TStringList::Delete(int index)
{
    if (index < 0 || index >= Count()) Error("List index out of bounds (%d)", index);
    Changing();
    FItems.erase(FItems.begin() + index);
    Changed();
}

void TStringList::Clear()
{
    if (FItems.empty()) return;
    Changing();
    FItems.clear();
    Changed();
}

void TStringList::SetText(const std::string& text)
{
    std::vector<std::string> lines = SplitLines(text.data(), text.size());
    BeginUpdate();
    FItems.clear();
    FItems.reserve(lines.size());
    for (auto& l : lines) FItems.push_back(Item{std::move(l), nullptr});
    FChangedWhileUpdating = true;
    EndUpdate();
}

void TStringList::Changing()
{
    if (UpdateCount() == 0)
        if (auto handler = OnChanging) handler(this);
}

void TStringList::Changed()
{
    if (UpdateCount() == 0) {
        if (auto handler = OnChange) handler(this);
    } else {
        FChangedWhileUpdating = true;
    }
}

void TStringList::SetUpdateState(bool updating)
{
    if (updating) {
        if (auto handler = OnChanging) handler(this);
        FChangedWhileUpdating = false;
    } else if (FChangedWhileUpdating) {
        FChangedWhileUpdating = false;
        if (auto handler = OnChange) handler(this);
    }
}

// ---- TComponent ----------------------------------------------------------------------

TComponent::TComponent(TComponent* owner)
{
    if (owner) owner->InsertComponent(this);
}

void TComponent::Destroying() { FComponentState |= csDestroying; }

TComponent::~TComponent()
{
    FLife.reset();  // every guard taken from this component says it is gone from here on
    Destroying();
    // Tell everyone who asked, then forget them, so nobody keeps a dangling link.
    auto notifies = std::move(FFreeNotifies);
    FFreeNotifies.clear();
    for (TComponent* c : notifies) {
        c->RemoveFreeNotification(this);
        c->Notification(this, opRemove);
    }
    DestroyComponents();
    if (FOwner) FOwner->RemoveComponent(this);
}

void TComponent::DestroyComponents()
{
    while (!FComponents.empty()) {
        TComponent* c = FComponents.back();
        FComponents.pop_back();
        c->FOwner = nullptr;
        Notification(c, opRemove);
        delete c;
    }
}

void TComponent::InsertComponent(TComponent* c)
{
    if (c->FOwner) c->FOwner->RemoveComponent(c);
    FComponents.push_back(c);
    c->FOwner = this;
    Notification(c, opInsert);
}

void TComponent::RemoveComponent(TComponent* c)
{
    auto it = std::find(FComponents.begin(), FComponents.end(), c);
    if (it == FComponents.end()) return;
    FComponents.erase(it);
    c->FOwner = nullptr;
    if (!(FComponentState & csDestroying)) Notification(c, opRemove);
}

void TComponent::FreeNotification(TComponent* c)
{
    if (!c || c == this) return;
    if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), c) == FFreeNotifies.end())
        FFreeNotifies.push_back(c);
    if (std::find(c->FFreeNotifies.begin(), c->FFreeNotifies.end(), this) == c->FFreeNotifies.end())
        c->FFreeNotifies.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* c)
{
    FFreeNotifies.erase(std::remove(FFreeNotifies.begin(), FFreeNotifies.end(), c), FFreeNotifies.end());
}

void TComponent::SetLoading(bool on)
{
    if (on) FComponentState |= csLoading;
    else FComponentState &= ~static_cast<unsigned>(csLoading);
}

}  // namespace kapo
