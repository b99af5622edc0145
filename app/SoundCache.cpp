#include "app/SoundCache.h"

namespace kapo {

const std::string* TSoundCache::Find(const std::string& name)
{
    auto it = FIndex.find(name);
    if (it == FIndex.end()) return nullptr;
    FOrder.splice(FOrder.begin(), FOrder, it->second);
    return &it->second->Bytes;
}

void TSoundCache::Put(const std::string& name, std::string bytes)
{
    if (auto it = FIndex.find(name); it != FIndex.end()) Drop(it->second);
    if (bytes.size() > FCapacity) return;
    while (FBytes + bytes.size() > FCapacity) Drop(std::prev(FOrder.end()));
    FBytes += bytes.size();
    FOrder.push_front(TEntry{name, std::move(bytes)});
    FIndex[name] = FOrder.begin();
}

std::vector<std::string> TSoundCache::Names() const
{
    std::vector<std::string> names;
    for (const TEntry& e : FOrder) names.push_back(e.Name);
    return names;
}

void TSoundCache::Clear()
{
    FIndex.clear();
    FOrder.clear();
    FBytes = 0;
}

void TSoundCache::Drop(std::list<TEntry>::iterator it)
{
    FBytes -= it->Bytes.size();
    FIndex.erase(it->Name);
    FOrder.erase(it);
}

}  // namespace kapo
