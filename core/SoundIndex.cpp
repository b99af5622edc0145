#include "core/SoundIndex.h"

#include <algorithm>
#include <functional>

namespace kapo {

namespace {

// Base letters of U+00C0 to U+00FF; the two signs (× and ÷) and the Icelandic thorn keep no
// letter and are left as they are (empty entry).
const char* const LatinFold[64] = {
    "a", "a", "a", "a", "a", "a", "ae", "c", "e", "e", "e", "e", "i", "i", "i", "i",
    "d", "n", "o", "o", "o", "o", "o", "",  "o", "u", "u", "u", "u", "y", "",  "ss",
    "a", "a", "a", "a", "a", "a", "ae", "c", "e", "e", "e", "e", "i", "i", "i", "i",
    "d", "n", "o", "o", "o", "o", "o", "",  "o", "u", "u", "u", "u", "y", "",  "y"};

bool Continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

std::string FoldForSearch(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
            continue;
        }
        // A two-byte sequence for U+00C0 to U+00FF starts with C3.
        unsigned code = 0;
        std::size_t used = 1;
        if (c == 0xC3 && i + 1 < text.size() && Continuation(static_cast<unsigned char>(text[i + 1]))) {
            code = 0xC0 + (static_cast<unsigned char>(text[i + 1]) & 0x3F);
            used = 2;
        } else if (c >= 0xC0 && (i + 1 >= text.size() || !Continuation(static_cast<unsigned char>(text[i + 1])))) {
            // Not the start of a UTF-8 sequence: a Latin-1 letter.
            code = c;
        }
        const char* base = code ? LatinFold[code - 0xC0] : "";
        if (*base) out += base;
        else out.append(text.substr(i, used));
        i += used - 1;
    }
    return out;
}

std::vector<std::string> SearchWords(std::string_view query)
{
    std::vector<std::string> words;
    std::size_t i = 0;
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; };
    while (i < query.size()) {
        while (i < query.size() && blank(query[i])) ++i;
        std::size_t start = i;
        while (i < query.size() && !blank(query[i])) ++i;
        if (i > start) words.push_back(FoldForSearch(query.substr(start, i - start)));
    }
    return words;
}

std::vector<std::string> WordForms(const std::string& word)
{
    std::vector<std::string> forms{word};
    if (word.find("ao") == std::string::npos) return forms;
    for (const char* plural : {"ae", "oe"}) {
        std::string form = word;
        for (std::size_t at = form.find("ao"); at != std::string::npos; at = form.find("ao", at + 2))
            form.replace(at, 2, plural);
        forms.push_back(form);
    }
    return forms;
}

std::uint32_t TSoundIndex::AddList(const std::string& Label, const std::string& ListName,
                                   std::vector<std::string> Rows, std::uint32_t Position)
{
    if (!FLists.empty() && Position < FLists.back().Position) FInOrder = false;
    for (TList& l : FLists)
        if (!l.Dropped && l.ListName == ListName) {
            l.Dropped = true;
            l.Rows = {};
        }
    FLists.push_back(TList{Label, ListName, std::move(Rows), Position, false});
    const auto list = static_cast<std::uint32_t>(FLists.size() - 1);
    Fold(list);
    return list;
}

void TSoundIndex::Fold(std::uint32_t List)
{
    const std::vector<std::string>& rows = FLists[List].Rows;
    for (std::uint32_t r = 0; r < rows.size(); ++r) {
        FRowStart.push_back(static_cast<std::uint32_t>(FFolded.size()));
        FRowRef.push_back(TSoundRef{List, r});
        FFolded += FoldForSearch(rows[r]);
        FFolded += '\n';
    }
}

bool TSoundIndex::HasList(const std::string& ListName) const
{
    return std::any_of(FLists.begin(), FLists.end(),
                       [&](const TList& l) { return !l.Dropped && l.ListName == ListName; });
}

void TSoundIndex::Clear()
{
    FLists.clear();
    FFolded.clear();
    FFolded.shrink_to_fit();
    FRowStart.clear();
    FRowRef.clear();
    FInOrder = true;
}

void TSoundIndex::Search(std::string_view Query, std::vector<TSoundRef>& Found) const
{
    Found.clear();
    std::vector<std::string> words = SearchWords(Query);
    if (words.empty() || FRowStart.empty()) return;
    // The longest word is found with one scan of the whole buffer per form; the others are
    // then looked for only inside the rows it is in.
    std::sort(words.begin(), words.end(), [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    std::vector<std::vector<std::string>> others;
    for (std::size_t w = 1; w < words.size(); ++w) others.push_back(WordForms(words[w]));
    const char* const begin = FFolded.data();
    const char* const end = begin + FFolded.size();
    std::vector<std::size_t> rows;
    for (const std::string& form : WordForms(words.front())) {
        const std::boyer_moore_horspool_searcher seek(form.begin(), form.end());
        const std::size_t before = rows.size();
        for (const char* at = begin; at < end;) {
            const char* hit = std::search(at, end, seek);
            if (hit == end) break;
            const auto pos = static_cast<std::uint32_t>(hit - begin);
            const std::size_t row = static_cast<std::size_t>(
                std::upper_bound(FRowStart.begin(), FRowStart.end(), pos) - FRowStart.begin()) - 1;
            rows.push_back(row);
            at = begin + RowEnd(row) + 1;
        }
        if (before > 0) std::inplace_merge(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(before), rows.end());
    }
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    for (std::size_t row : rows) {
        const TSoundRef ref = FRowRef[row];
        if (FLists[ref.List].Dropped) continue;
        const std::string_view text(begin + FRowStart[row], RowEnd(row) - FRowStart[row]);
        bool all = true;
        for (std::size_t w = 0; w < others.size() && all; ++w) {
            all = false;
            for (const std::string& form : others[w]) all = all || text.find(form) != std::string_view::npos;
        }
        if (all) Found.push_back(ref);
    }
    if (!FInOrder)
        std::stable_sort(Found.begin(), Found.end(), [this](TSoundRef a, TSoundRef b) {
            return FLists[a.List].Position < FLists[b.List].Position;
        });
}

std::uint32_t TSoundIndex::RowEnd(std::size_t Row) const
{
    return Row + 1 < FRowStart.size() ? FRowStart[Row + 1] - 1 : static_cast<std::uint32_t>(FFolded.size() - 1);
}

}  // namespace kapo
