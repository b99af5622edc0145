#include "ui/RowStrings.h"

#include <algorithm>

namespace kapo {

void TRowStrings::CheckIndex(int index, int count) const
{
    if (index < 0 || index >= count) Error("List index out of bounds (%d)", index);
}

void TRowStrings::Changed()
{
    if (UpdateCount() == 0) FOwner.RowsChanged();
}

std::string TRowStrings::Get(int index) const
{
    CheckIndex(index, Count());
    return FRows[static_cast<std::size_t>(index)].Text;
}

void TRowStrings::Put(int index, const std::string& s)
{
    CheckIndex(index, Count());
    FRows[static_cast<std::size_t>(index)].Text = s;
    Changed();
}

void* TRowStrings::GetObject(int index) const
{
    CheckIndex(index, Count());
    return FRows[static_cast<std::size_t>(index)].Object;
}

void TRowStrings::PutObject(int index, void* obj)
{
    CheckIndex(index, Count());
    FRows[static_cast<std::size_t>(index)].Object = obj;
    Changed();
}

void TRowStrings::Insert(int index, const std::string& s)
{
    CheckIndex(index, Count() + 1);
    if (FOwner.RowsSorted()) {
        auto it = std::upper_bound(FRows.begin(), FRows.end(), s,
                                   [](const std::string& a, const TRow& r) { return AnsiCompareText(a, r.Text) < 0; });
        index = static_cast<int>(it - FRows.begin());
    }
    FRows.insert(FRows.begin() + index, TRow{s, nullptr});
    if (FItemIndex >= index) ++FItemIndex;
    Changed();
}

void TRowStrings::Delete(int index)
{
    CheckIndex(index, Count());
    FRows.erase(FRows.begin() + index);
    if (FItemIndex == index) FItemIndex = -1;
    else if (FItemIndex > index) --FItemIndex;
    Changed();
}

void TRowStrings::Clear()
{
    FRows.clear();
    FItemIndex = -1;
    FOwner.RowsCleared();
    Changed();
}

void TRowStrings::SetUpdateState(bool updating)
{
    if (!updating) FOwner.RowsChanged();
}

}  // namespace kapo
