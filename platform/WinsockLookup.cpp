// Name services of the sockets library: host, service and protocol databases, and the
// asynchronous host lookups that run on worker threads and answer through the message queue.
#include "platform/WinsockPrivate.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace kapo {

namespace {

struct Resolvers {
    std::mutex Lock;
    TNameResolver Name;
    TAddressResolver Address;
};

Resolvers& resolvers()
{
    static Resolvers* r = new Resolvers;
    return *r;
}

TNameResolver nameResolver()
{
    Resolvers& r = resolvers();
    std::lock_guard<std::mutex> g(r.Lock);
    return r.Name ? r.Name : TNameResolver(SystemNameResolver);
}

TAddressResolver addressResolver()
{
    Resolvers& r = resolvers();
    std::lock_guard<std::mutex> g(r.Lock);
    return r.Address ? r.Address : TAddressResolver(SystemAddressResolver);
}

int lookupErrorFromGai(int rc)
{
    switch (rc) {
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_NODATA:
    case EAI_ADDRFAMILY: return WSANO_DATA;
    case EAI_MEMORY: return WSAENOBUFS;
    case EAI_SYSTEM: return WinsockErrorFromErrno(errno);
    default: return WSANO_RECOVERY;
    }
}

// Lays a host entry out in the caller's buffer: the record, its (empty) alias list, its
// address list, the addresses and the name. Addresses that do not fit are left out; when not
// even one fits the answer is WSAENOBUFS. Returns the error and sets used to the bytes needed.
int fillHostEntry(char* buf, int buflen, const std::string& name, const std::vector<std::uint32_t>& addrs, int& used)
{
    const std::size_t head = sizeof(hostent) + sizeof(char*);  // record + alias list terminator
    const std::size_t nameLen = name.size() + 1;
    auto need = [&](std::size_t n) { return head + (n + 1) * sizeof(char*) + n * 4 + nameLen; };
    std::size_t n = addrs.size();
    while (n > 1 && need(n) > static_cast<std::size_t>(buflen)) --n;
    used = static_cast<int>(std::min<std::size_t>(need(addrs.size()), 0xFFFF));
    if (n == 0 || need(n) > static_cast<std::size_t>(buflen)) return WSAENOBUFS;

    char* aliases = buf + sizeof(hostent);
    char* list = aliases + sizeof(char*);
    char* data = list + (n + 1) * sizeof(char*);
    char* nameAt = data + n * 4;
    char* const none = nullptr;
    std::memcpy(aliases, &none, sizeof none);
    for (std::size_t i = 0; i < n; ++i) {
        char* p = data + i * 4;
        std::memcpy(p, &addrs[i], 4);
        std::memcpy(list + i * sizeof(char*), &p, sizeof p);
    }
    std::memcpy(list + n * sizeof(char*), &none, sizeof none);
    std::memcpy(nameAt, name.c_str(), nameLen);
    hostent h{};
    h.h_name = nameAt;
    h.h_aliases = reinterpret_cast<char**>(aliases);
    h.h_addrtype = AF_INET;
    h.h_length = 4;
    h.h_addr_list = reinterpret_cast<char**>(list);
    std::memcpy(buf, &h, sizeof h);
    used = static_cast<int>(need(n));
    return 0;
}

// One asynchronous lookup. Its answer is posted to a relay target on the caller's thread, and
// only handed to the caller's target when the relay message is dispatched, so that a cancel
// up to that moment withdraws it for good.
struct Task {
    HANDLE Id = 0;
    HWND Wnd = 0;
    UINT Msg = 0;
    char* Buf = nullptr;
    int BufLen = 0;
    bool Reverse = false;
    std::string Name;
    std::uint32_t Address = 0;
    HWND Relay = 0;
    bool Cancelled = false;
    LPARAM Result = 0;
};

struct Tasks {
    std::mutex Lock;
    std::unordered_map<HANDLE, std::shared_ptr<Task>> Pending;
    HANDLE Next = 1;
};

Tasks& tasks()
{
    static Tasks* t = new Tasks;
    return *t;
}

constexpr UINT WM_LOOKUP_RELAY = WM_USER + 0x7F00;

void deliver(HANDLE id)
{
    std::shared_ptr<Task> t;
    {
        Tasks& all = tasks();
        std::lock_guard<std::mutex> g(all.Lock);
        auto it = all.Pending.find(id);
        if (it == all.Pending.end()) return;
        t = it->second;
        all.Pending.erase(it);
    }
    DeallocateHWnd(t->Relay);
    SendMessage(t->Wnd, t->Msg, static_cast<WPARAM>(id), t->Result);
}

void work(std::shared_ptr<Task> t)
{
    int err;
    std::string name;
    std::vector<std::uint32_t> addrs;
    if (t->Reverse) {
        err = addressResolver()(t->Address, name);
        addrs.push_back(t->Address);
    } else {
        err = nameResolver()(t->Name, name, addrs);
        if (err == 0 && addrs.empty()) err = WSANO_DATA;
    }
    Tasks& all = tasks();
    std::lock_guard<std::mutex> g(all.Lock);
    // Once cancelled, the caller's buffer may be gone: it is not touched.
    if (t->Cancelled) return;
    int used = 0;
    if (err == 0) err = fillHostEntry(t->Buf, t->BufLen, name, addrs, used);
    t->Result = MakeLong(static_cast<std::uint16_t>(err == WSAENOBUFS ? used : 0), static_cast<std::uint16_t>(err));
    PostMessage(t->Relay, WM_LOOKUP_RELAY, 0, 0);
}

HANDLE startTask(std::shared_ptr<Task> t)
{
    Tasks& all = tasks();
    HANDLE id;
    {
        std::lock_guard<std::mutex> g(all.Lock);
        id = all.Next++;
        t->Id = id;
        all.Pending.emplace(id, t);
    }
    t->Relay = AllocateHWnd([id](TMessage&) { deliver(id); });
    try {
        std::thread(work, t).detach();
    } catch (const std::exception&) {
        std::lock_guard<std::mutex> g(all.Lock);
        all.Pending.erase(id);
        DeallocateHWnd(t->Relay);
        WsSetLastError(WSAENOBUFS);
        return 0;
    }
    return id;
}

struct HostStorage {
    hostent Entry{};
    char* Aliases[1] = {nullptr};
    std::vector<char*> List;
    std::vector<std::uint32_t> Addresses;
    std::string Name;
};

}  // namespace

void SetNameResolver(TNameResolver resolver)
{
    Resolvers& r = resolvers();
    std::lock_guard<std::mutex> g(r.Lock);
    r.Name = std::move(resolver);
}

void SetAddressResolver(TAddressResolver resolver)
{
    Resolvers& r = resolvers();
    std::lock_guard<std::mutex> g(r.Lock);
    r.Address = std::move(resolver);
}

int SystemNameResolver(const std::string& name, std::string& officialName, std::vector<std::uint32_t>& addresses)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* res = nullptr;
    int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &res);
    if (rc != 0) return lookupErrorFromGai(rc);
    officialName = res->ai_canonname ? res->ai_canonname : name;
    for (addrinfo* p = res; p; p = p->ai_next) {
        if (p->ai_family != AF_INET) continue;
        std::uint32_t a = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
        if (std::find(addresses.begin(), addresses.end(), a) == addresses.end()) addresses.push_back(a);
    }
    ::freeaddrinfo(res);
    return addresses.empty() ? WSANO_DATA : 0;
}

int SystemAddressResolver(std::uint32_t address, std::string& name)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    char host[NI_MAXHOST];
    int rc = ::getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0, NI_NAMEREQD);
    if (rc != 0) return lookupErrorFromGai(rc);
    name = host;
    return 0;
}

// A lookup task for the caller's buffer, after the checks both lookups make; null with the
// error set when they fail.
static std::shared_ptr<Task> newTask(HWND wnd, UINT msg, char* buf, int buflen, bool argumentOk)
{
    if (!WsStarted()) {
        WsSetLastError(WSANOTINITIALISED);
        return nullptr;
    }
    if (!argumentOk || !buf || buflen <= 0) {
        WsSetLastError(WSAEFAULT);
        return nullptr;
    }
    auto t = std::make_shared<Task>();
    t->Wnd = wnd;
    t->Msg = msg;
    t->Buf = buf;
    t->BufLen = buflen;
    return t;
}

HANDLE ws_WSAAsyncGetHostByName(HWND wnd, UINT msg, const char* name, char* buf, int buflen)
{
    auto t = newTask(wnd, msg, buf, buflen, name != nullptr);
    if (!t) return 0;
    t->Name = name;
    return startTask(t);
}

HANDLE ws_WSAAsyncGetHostByAddr(HWND wnd, UINT msg, const char* addr, int len, int type, char* buf, int buflen)
{
    auto t = newTask(wnd, msg, buf, buflen, addr != nullptr && len == 4);
    if (!t) return 0;
    if (type != AF_INET) {
        WsSetLastError(WSAEAFNOSUPPORT);
        return 0;
    }
    t->Reverse = true;
    std::memcpy(&t->Address, addr, 4);
    return startTask(t);
}

int ws_WSACancelAsyncRequest(HANDLE task)
{
    if (!WsStarted()) {
        WsSetLastError(WSANOTINITIALISED);
        return SOCKET_ERROR;
    }
    std::shared_ptr<Task> t;
    {
        Tasks& all = tasks();
        std::lock_guard<std::mutex> g(all.Lock);
        auto it = all.Pending.find(task);
        if (it == all.Pending.end()) {
            WsSetLastError(WSAEINVAL);  // unknown, or already answered
            return SOCKET_ERROR;
        }
        t = it->second;
        t->Cancelled = true;
        all.Pending.erase(it);
    }
    DeallocateHWnd(t->Relay);
    return 0;
}

void CancelAllLookups()
{
    std::unordered_map<HANDLE, std::shared_ptr<Task>> pending;
    {
        Tasks& all = tasks();
        std::lock_guard<std::mutex> g(all.Lock);
        for (auto& kv : all.Pending) kv.second->Cancelled = true;
        pending.swap(all.Pending);
    }
    for (auto& kv : pending) DeallocateHWnd(kv.second->Relay);
}

namespace {

// The checks every database call makes first; false with the error set when they fail.
bool readyFor(const void* argument)
{
    if (!WsStarted()) {
        WsSetLastError(WSANOTINITIALISED);
        return false;
    }
    if (!argument) {
        WsSetLastError(WSAEFAULT);
        return false;
    }
    return true;
}

}  // namespace

hostent* ws_gethostbyname(const char* name)
{
    if (!readyFor(name)) return nullptr;
    thread_local HostStorage st;
    std::string official;
    std::vector<std::uint32_t> addrs;
    int err = nameResolver()(name, official, addrs);
    if (err == 0 && addrs.empty()) err = WSANO_DATA;
    if (err != 0) {
        WsSetLastError(err);
        return nullptr;
    }
    st.Name = official;
    st.Addresses = addrs;
    st.List.clear();
    for (auto& a : st.Addresses) st.List.push_back(reinterpret_cast<char*>(&a));
    st.List.push_back(nullptr);
    st.Entry.h_name = st.Name.data();
    st.Entry.h_aliases = st.Aliases;
    st.Entry.h_addrtype = AF_INET;
    st.Entry.h_length = 4;
    st.Entry.h_addr_list = st.List.data();
    return &st.Entry;
}

servent* ws_getservbyname(const char* name, const char* proto)
{
    if (!readyFor(name)) return nullptr;
    thread_local servent entry;
    thread_local char data[4096];
    servent* res = nullptr;
    if (::getservbyname_r(name, proto, &entry, data, sizeof data, &res) != 0 || !res) {
        WsSetLastError(WSANO_DATA);
        return nullptr;
    }
    return res;
}

protoent* ws_getprotobyname(const char* name)
{
    if (!readyFor(name)) return nullptr;
    thread_local protoent entry;
    thread_local char data[4096];
    protoent* res = nullptr;
    if (::getprotobyname_r(name, &entry, data, sizeof data, &res) != 0 || !res) {
        WsSetLastError(WSANO_DATA);
        return nullptr;
    }
    return res;
}

}  // namespace kapo
