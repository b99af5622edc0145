// The sounds heard last, kept in memory so that hearing one again needs no request. Bounded by
// the bytes it holds; the sound heard least recently goes first.
#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

namespace kapo {

class TSoundCache {
public:
    explicit TSoundCache(std::size_t capacity = 64u << 20) : FCapacity(capacity) {}

    // The sound's bytes, now the most recently heard; none when it is not kept.
    const std::string* Find(const std::string& name);
    // Keeps the sound (replacing an older copy) and drops the least recently heard ones until
    // the whole fits; a sound larger than the whole is not kept.
    void Put(const std::string& name, std::string bytes);
    void Clear();

    std::size_t Bytes() const { return FBytes; }
    std::size_t Count() const { return FOrder.size(); }
    std::size_t Capacity() const { return FCapacity; }
    // The names kept, most recently heard first.
    std::vector<std::string> Names() const;

private:
    struct TEntry {
        std::string Name;
        std::string Bytes;
    };
    void Drop(std::list<TEntry>::iterator it);

    std::size_t FCapacity;
    std::size_t FBytes = 0;
    std::list<TEntry> FOrder;  // most recently heard first
    std::unordered_map<std::string, std::list<TEntry>::iterator> FIndex;
};

}  // namespace kapo
