// Streams, string lists with their text-file format, owned components and event types.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/SysUtils.h"

namespace kapo {

using TNotifyEvent = std::function<void(TObject* Sender)>;

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream : public TObject {
public:
    virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
    virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
    virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;

    std::int64_t Position() { return Seek(0, soCurrent); }
    void SetPosition(std::int64_t p) { Seek(p, soBeginning); }
    virtual std::int64_t Size();
    virtual void SetSize(std::int64_t size);

    void ReadBuffer(void* buffer, std::int64_t count);         // EReadError when short
    void WriteBuffer(const void* buffer, std::int64_t count);  // EWriteError when short
    std::int64_t CopyFrom(TStream& source, std::int64_t count);  // count 0: the whole source
};

// File open modes; a mode is one access value or fmCreate, combined with one share value.
enum : unsigned {
    fmOpenRead = 0x0000,
    fmOpenWrite = 0x0001,
    fmOpenReadWrite = 0x0002,
    fmShareExclusive = 0x0010,
    fmShareDenyWrite = 0x0020,
    fmShareDenyNone = 0x0040,
    fmCreate = 0xFFFF,
};

// A stream on a file. fmCreate creates or truncates; fmShareExclusive (or fmCreate) takes an
// advisory exclusive lock so that two writers of this program never share a file.
class TFileStream : public TStream {
public:
    // rights: permission bits for a new file; a file that exists keeps its own.
    TFileStream(const std::string& fileName, unsigned mode, mode_t rights = 0666);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    void SetSize(std::int64_t size) override;

    const std::string& FileName() const { return FFileName; }
    int Handle() const { return FHandle; }

private:
    std::string FFileName;
    int FHandle = -1;
};

class TMemoryStream : public TStream {
public:
    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    std::int64_t Size() override { return static_cast<std::int64_t>(FData.size()); }
    void SetSize(std::int64_t size) override;
    void Clear() { FData.clear(); FPosition = 0; }
    const char* Memory() const { return FData.data(); }
    std::string DataString() const { return std::string(FData.begin(), FData.end()); }
    void LoadFromFile(const std::string& fileName);
    void SaveToFile(const std::string& fileName);

private:
    std::vector<char> FData;
    std::int64_t FPosition = 0;
};

// Ordered list of texts, each with an optional object pointer. The text-file form:
// reading splits at CR, LF, CR LF (LF CR gives an extra empty line), stops at NUL, keeps a
// last line without a break; writing ends every line with CR LF.
class TStrings : public TObject {
public:
    virtual int Count() const = 0;
    virtual std::string Get(int index) const = 0;
    virtual void Put(int index, const std::string& s);
    virtual void* GetObject(int index) const;
    virtual void PutObject(int index, void* obj);
    virtual void Insert(int index, const std::string& s) = 0;
    virtual void InsertObject(int index, const std::string& s, void* obj);
    virtual void Delete(int index) = 0;
    virtual void Clear() = 0;
    virtual int Add(const std::string& s);
    virtual int AddObject(const std::string& s, void* obj);
    virtual int IndexOf(const std::string& s) const;  // case-insensitive, -1 when absent
    virtual void BeginUpdate();
    virtual void EndUpdate();
    virtual void SetUpdateState(bool updating) {}
    void AddStrings(const TStrings& other);
    void Assign(const TStrings& other);

    std::string operator[](int index) const { return Get(index); }
    std::string Strings(int index) const { return Get(index); }
    void* Objects(int index) const { return GetObject(index); }

    std::string Text() const;                // every line followed by CR LF
    virtual void SetText(const std::string& text);  // split by the reading rules

    virtual void LoadFromFile(const std::string& fileName);
    virtual void SaveToFile(const std::string& fileName, mode_t rights = 0666);
    // Writes the text-file form into a new file in fileName's folder, flushes it to the disk
    // and renames it over fileName (a link is followed), so that a crash or a full disk leaves
    // either the old file or the new one, whole; anything but a file in its place is refused.
    // The new file gets the rights asked for (the
    // default less the umask). Raises EFCreateError or EWriteError, with nothing left behind.
    void SaveToFileReplacing(const std::string& fileName, mode_t rights = 0666) const;
    virtual void LoadFromStream(TStream& stream);
    virtual void SaveToStream(TStream& stream) const;

    // The line splitting of the text-file form, usable without a list.
    static std::vector<std::string> SplitLines(const char* data, std::size_t size);

protected:
    void Error(const char* fmt, int index) const;  // raises EStringListError
    int UpdateCount() const { return FUpdateCount; }

private:
    int FUpdateCount = 0;
};

// Holds a list in its update state for a scope: BeginUpdate at once, EndUpdate however the
// scope is left. When the scope is left by an exception, a failing EndUpdate does not replace it.
class TUpdateLock {
public:
    explicit TUpdateLock(TStrings& strings) : FStrings(strings), FExceptions(std::uncaught_exceptions())
    {
        FStrings.BeginUpdate();
    }
    ~TUpdateLock() noexcept(false)
    {
        if (std::uncaught_exceptions() == FExceptions) {
            FStrings.EndUpdate();
            return;
        }
        try {
            FStrings.EndUpdate();
        } catch (...) {
        }
    }
    TUpdateLock(const TUpdateLock&) = delete;
    TUpdateLock& operator=(const TUpdateLock&) = delete;

private:
    TStrings& FStrings;
    int FExceptions;
};

class TStringList : public TStrings {
public:
    int Count() const override { return static_cast<int>(FItems.size()); }
    std::string Get(int index) const override;
    void Put(int index, const std::string& s) override;
    void* GetObject(int index) const override;
    void PutObject(int index, void* obj) override;
    void Insert(int index, const std::string& s) override;
    void InsertObject(int index, const std::string& s, void* obj) override;
    void Delete(int index) override;
    void Clear() override;
    void SetText(const std::string& text) override;

    TNotifyEvent OnChange;
    TNotifyEvent OnChanging;

protected:
    virtual void Changed();
    virtual void Changing();
    void SetUpdateState(bool updating) override;

private:
    struct Item {
        std::string Text;
        void* Object = nullptr;
    };
    std::vector<Item> FItems;
    bool FChangedWhileUpdating = false;
};

// Tells whether a component still exists. A handler may destroy the component that raises
// its event (a click handler frees the window's client, an error handler closes and frees its
// socket), so take the guard before raising an event and, after it, return at once when the
// guard says the component is gone:
//
//     TLiveness guard = Liveness();
//     if (auto handler = OnChange) handler(this);
//     if (!guard) return;
//
// A guard is small and copyable; a copy kept in a deferred callback (a posted message, a
// timer) tells that callback whether its component is still there. The guard turns false
// once the component's destruction has run its own destructor, so code inside a destructor
// still sees it alive.
class TLiveness {
public:
    TLiveness() = default;  // never alive
    bool Alive() const { return !FToken.expired(); }
    explicit operator bool() const { return Alive(); }

private:
    friend class TComponent;
    explicit TLiveness(const std::shared_ptr<const char>& token) : FToken(token) {}
    std::weak_ptr<const char> FToken;
};

enum TOperation { opInsert, opRemove };
enum TComponentStateFlag : unsigned { csLoading = 1, csReading = 2, csDestroying = 4, csDesigning = 8 };

// A component owns the components created with it as owner and destroys them, newest first,
// when it is destroyed. Components that asked with FreeNotification hear of its destruction.
class TComponent : public TObject {
public:
    explicit TComponent(TComponent* owner = nullptr);
    ~TComponent() override;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return FOwner; }
    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    TComponent* Components(int i) const { return FComponents.at(static_cast<std::size_t>(i)); }
    const std::string& Name() const { return FName; }
    void SetName(const std::string& n) { FName = n; }
    unsigned ComponentState() const { return FComponentState; }
    bool Loading() const { return FComponentState & csLoading; }
    void SetLoading(bool on);  // a description being read: setters skip checks and repaints
    std::intptr_t Tag() const { return FTag; }
    void SetTag(std::intptr_t t) { FTag = t; }

    void InsertComponent(TComponent* c);
    void RemoveComponent(TComponent* c);
    void FreeNotification(TComponent* c);
    void RemoveFreeNotification(TComponent* c);
    // Destroys the owned components now, newest first.
    void DestroyComponents();
    // A guard that says whether this component still exists (see TLiveness).
    TLiveness Liveness() const { return TLiveness(FLife); }

protected:
    virtual void Notification(TComponent* component, TOperation operation) {}
    // Called at the start of destruction, while derived parts are alive.
    void Destroying();

private:
    std::shared_ptr<const char> FLife = std::make_shared<const char>('\0');
    TComponent* FOwner = nullptr;
    std::vector<TComponent*> FComponents;
    std::vector<TComponent*> FFreeNotifies;
    std::string FName;
    unsigned FComponentState = 0;
    std::intptr_t FTag = 0;
};

}  // namespace kapo
