// The whole catalogue's rows in memory, searched by words regardless of case and accents.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kapo {

// Lower case without accents, for matching: ASCII letters are lowered, the Latin letters with
// diacritics (U+00C0 to U+00FF, as UTF-8 or as single Latin-1 bytes, which older lists use)
// become their base letters ("Ç" -> "c", "ß" -> "ss"); every other byte is kept.
std::string FoldForSearch(std::string_view text);

// The words of a query, folded; blanks separate them.
std::vector<std::string> SearchWords(std::string_view query);

// The forms a folded word of a query is looked for in: itself and, for a word with "ao", the
// plurals of the -ão words with that written "ae" and "oe" ("cao" finds "Cães", "leao" finds
// "Leões").
std::vector<std::string> WordForms(const std::string& word);

// One row of the index: the list it came from and its place there.
struct TSoundRef {
    std::uint32_t List = 0;
    std::uint32_t Row = 0;
};

// Each list's rows are kept once, as received, and once folded, in one buffer per index, so
// a search scans memory without copying any text and answers places, not strings.
class TSoundIndex {
public:
    // Adds (or replaces) a category's list: the label the tree shows, the list's file name, its
    // rows and its place in the catalogue (lists may arrive in any order). Answers the list's
    // number.
    std::uint32_t AddList(const std::string& Label, const std::string& ListName, std::vector<std::string> Rows,
                          std::uint32_t Position = 0);
    bool HasList(const std::string& ListName) const;
    std::uint32_t ListCount() const { return static_cast<std::uint32_t>(FLists.size()); }
    std::size_t RowCount() const { return FRowStart.size(); }
    void Clear();

    // The rows that hold every word of the query, by the lists' places in the catalogue and
    // then in list order; none for a query without words.
    void Search(std::string_view Query, std::vector<TSoundRef>& Found) const;

    const std::string& RowText(TSoundRef Ref) const { return FLists[Ref.List].Rows[Ref.Row]; }
    const std::string& Label(TSoundRef Ref) const { return FLists[Ref.List].Label; }
    const std::string& ListName(TSoundRef Ref) const { return FLists[Ref.List].ListName; }

private:
    struct TList {
        std::string Label, ListName;
        std::vector<std::string> Rows;
        std::uint32_t Position = 0;
        bool Dropped = false;  // replaced by a later copy of the same list
    };
    void Fold(std::uint32_t List);
    // Where a row's folded text ends in the buffer (its line feed).
    std::uint32_t RowEnd(std::size_t Row) const;

    std::vector<TList> FLists;
    // Every row folded, each followed by a line feed (no word holds one, so no match spans
    // two rows), and per row its start in the buffer and its place.
    std::string FFolded;
    std::vector<std::uint32_t> FRowStart;
    std::vector<TSoundRef> FRowRef;
    bool FInOrder = true;  // the lists were added by their places
};

}  // namespace kapo
