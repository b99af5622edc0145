// The rows of a list control (list box, combo box) seen as a string list.
#pragma once

#include <string>
#include <vector>

#include "core/Classes.h"

namespace kapo {

struct TRow {
    std::string Text;
    void* Object = nullptr;
};

// What a control that keeps rows hears from its string list.
class TRowOwner {
public:
    virtual ~TRowOwner() = default;
    // Rows were added, removed or changed (not called while an update is running).
    virtual void RowsChanged() = 0;
    // Every row is gone: scroll positions and the like start over.
    virtual void RowsCleared() {}
    // Rows go in sorted (locale order, ignoring case) rather than where they are put.
    virtual bool RowsSorted() const { return false; }
};

// Keeps the highlighted row index on its row as rows come and go before it.
class TRowStrings : public TStrings {
public:
    TRowStrings(std::vector<TRow>& rows, int& itemIndex, TRowOwner& owner)
        : FRows(rows), FItemIndex(itemIndex), FOwner(owner)
    {
    }
    int Count() const override { return static_cast<int>(FRows.size()); }
    std::string Get(int index) const override;
    void Put(int index, const std::string& s) override;
    void* GetObject(int index) const override;
    void PutObject(int index, void* obj) override;
    void Insert(int index, const std::string& s) override;
    void Delete(int index) override;
    void Clear() override;
    void SetUpdateState(bool updating) override;

private:
    void CheckIndex(int index, int count) const;
    void Changed();
    std::vector<TRow>& FRows;
    int& FItemIndex;
    TRowOwner& FOwner;
};

}  // namespace kapo
