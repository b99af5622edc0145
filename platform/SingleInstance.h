// One running copy of the program per user. The first start holds a lock in the user's
// runtime folder and listens on a local socket beside it; a later start finds the lock taken
// and asks the running copy, through the socket, to bring its window forward.
#pragma once

#include <functional>
#include <string>

namespace kapo {

class TSingleInstance {
public:
    // folder: where the lock and the socket live; empty means $XDG_RUNTIME_DIR, or when that
    // is unset a folder of this user's own under the temporary folder.
    explicit TSingleInstance(std::string name, std::string folder = {});
    ~TSingleInstance();
    TSingleInstance(const TSingleInstance&) = delete;
    TSingleInstance& operator=(const TSingleInstance&) = delete;

    // True when no other copy holds the lock or serves the socket; this one then holds the lock
    // and listens on the calling thread's message queue. Also true when no safe folder can be
    // had: the program then runs as if alone.
    bool Acquire();
    // Asks the copy that holds the lock to come forward, handing it the start's activation
    // token (may be empty). True once it answers that it did; false when it does not answer
    // within AnswerLimitMs (a copy whose loop is stuck, or one left without its window).
    bool AskToRaise(const std::string& token);
    // After a refused ask: this copy runs as if alone and answers later starts in place of the
    // one holding the lock, whose name for the socket it takes over.
    void TakeOver();

    static constexpr int AnswerLimitMs = 2000;

    const std::string& SocketPath() const { return FSocketPath; }

    // Raised on the owner's thread for each request, with the requester's token.
    std::function<void(const std::string& token)> OnRaise;

private:
    bool Listen();
    void TakeRequest();

    std::string FLockPath;
    std::string FSocketPath;
    int FLock = -1;
    int FListener = -1;
    // The socket file this copy made, so that it removes its own name only.
    unsigned long long FSocketDevice = 0, FSocketInode = 0;
};

}  // namespace kapo
