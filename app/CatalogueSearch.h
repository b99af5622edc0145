// The window's search over the whole catalogue: a find field over the sound list, the lists of
// every category fetched in the background and kept for the run, and the matching rows shown
// in the sound list in place of one category's.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/SoundIndex.h"
#include "net/HttpProt.h"
#include "ui/StdCtrls.h"

namespace kapo {

class TForm1;

// Lists fetched at the same time.
constexpr int SearchFetchSlots = 4;

class TCatalogueSearch {
public:
    explicit TCatalogueSearch(TForm1& Form);
    ~TCatalogueSearch();
    TCatalogueSearch(const TCatalogueSearch&) = delete;
    TCatalogueSearch& operator=(const TCatalogueSearch&) = delete;

    // Shows the field and focuses it; fetches the lists the index does not hold yet.
    void Open();
    // Hides the field and gives the sound list its category's rows back.
    void Close();
    bool IsOpen() const { return FOpen; }
    // The search's keys, seen before the focused control: Ctrl+F opens; while open, Esc closes,
    // and in the field Enter previews the selected result and the arrows move through them.
    // True when the key was taken.
    bool FormKeyDown(unsigned short Key, TShiftState Shift);
    // Closes without giving back rows: the caller fills the sound list itself (a category
    // was chosen).
    void Dismiss();
    // A new catalogue: the lists held so far belong to the old one; an open search is dismissed.
    void CatalogueChanged();
    // Stop: ends the fetching; what has arrived stays.
    void StopFetching();
    bool Fetching() const { return FRunning > 0; }
    int ListsInFlight() const { return FRunning; }
    // The sound list's selection moved: the status line names the result's category.
    void SelectionChanged();

    TEdit* Field() const { return FField; }
    const TSoundIndex& Index() const { return FIndex; }

private:
    struct TSlot;
    class TResultRows;
    void QueryChanged();
    void ShowResults();
    void ShowCategory();
    void StartNext(TSlot& Slot);
    void ListDone(TSlot& Slot, std::uint16_t Error);
    void DropSlots();
    void ShowFailures();

    TForm1& FForm;
    TEdit* FField;
    TSoundIndex FIndex;
    bool FOpen = false;
    std::vector<TSoundRef> FShown;
    std::unique_ptr<TResultRows> FResults;  // FShown as the sound list's rows
    // Where the category's rows stood while the search holds the list.
    int FSavedIndex = -1, FSavedTop = 0;

    struct TPendingList {
        std::string Label, ListName;
        std::uint32_t Position = 0;
    };
    std::vector<TPendingList> FPending;
    std::vector<std::string> FFailed;
    std::size_t FNext = 0;
    int FArrived = 0, FTotal = 0, FRunning = 0;
    std::vector<std::unique_ptr<TSlot>> FSlots;
};

}  // namespace kapo
