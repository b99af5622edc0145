#include "app/CatalogueSearch.h"

#include <algorithm>

#include "app/Unit1.h"
#include "core/SysUtils.h"

namespace kapo {

namespace {

constexpr TColor PanelColour = 0x7E7164;

// The category of an index line: its label without the indentation, and its list's name.
bool CategoryOf(const std::string& Line, std::string& Label, std::string& ListName)
{
    std::size_t colon = Line.find(':');
    if (colon == std::string::npos) return false;
    std::size_t start = Line.find_first_not_of('\t');
    Label = Line.substr(start, colon - start);
    ListName = Line.substr(colon + 1, 100);
    return true;
}

}  // namespace

// The results as the sound list's rows: read from the index as they are drawn, never copied.
class TCatalogueSearch::TResultRows : public TStrings {
public:
    explicit TResultRows(const TCatalogueSearch& Search) : FSearch(Search) {}
    int Count() const override { return static_cast<int>(FSearch.FShown.size()); }
    std::string Get(int index) const override
    {
        if (index < 0 || index >= Count()) Error("List index out of bounds (%d)", index);
        return FSearch.FIndex.RowText(FSearch.FShown[static_cast<std::size_t>(index)]);
    }
    void Insert(int, const std::string&) override { ReadOnly(); }
    void Delete(int) override { ReadOnly(); }
    void Clear() override { ReadOnly(); }

private:
    [[noreturn]] static void ReadOnly() { throw EStringListError("The search results cannot be changed"); }
    const TCatalogueSearch& FSearch;
};

// One background fetch: a client of its own and the body it receives.
struct TCatalogueSearch::TSlot {
    std::unique_ptr<THttpCli> Cli;
    TMemoryStream Body;
    TPendingList List;
};

TCatalogueSearch::TCatalogueSearch(TForm1& Form) : FForm(Form), FResults(std::make_unique<TResultRows>(*this))
{
    FField = new TEdit(&Form);
    FField->SetParent(&Form);
    FField->SetBorderStyle(bsNone);
    FField->SetBounds(296, 24, 285, 14);
    FField->SetColor(PanelColour);
    FField->Font().SetName("Arial");
    FField->Font().SetHeight(-11);
    FField->Font().SetStyle(fsBold);
    FField->Font().SetColor(clYellow);
    FField->SetAccessibleName("Procurar sons");
    FField->SetTabStop(false);
    FField->Hide();
    FField->OnChange = [this](TObject*) { QueryChanged(); };
}

TCatalogueSearch::~TCatalogueSearch()
{
    FField->OnChange = nullptr;
    if (FOpen) FForm.Nomes->SetRowSource(nullptr);
}

void TCatalogueSearch::Open()
{
    FForm.Abook->Hide();
    if (!FOpen) {
        FOpen = true;
        FSavedIndex = FForm.Nomes->ItemIndex();
        FSavedTop = FForm.Nomes->TopIndex();
        FField->SetTabStop(true);
        FField->Show();
    }
    FField->SetFocus();
    if (FRunning > 0) return;
    // Every category of the tree whose list is not held yet, each list once.
    DropSlots();
    FPending.clear();
    FNext = 0;
    FArrived = 0;
    FFailed.clear();
    std::vector<std::string> seen;
    TStrings& lines = FForm.Lista->Lines();
    for (int i = 0; i < lines.Count(); ++i) {
        TPendingList list;
        if (!CategoryOf(lines[i], list.Label, list.ListName)) continue;
        if (std::find(seen.begin(), seen.end(), list.ListName) != seen.end()) continue;
        list.Position = static_cast<std::uint32_t>(seen.size());
        seen.push_back(list.ListName);
        if (FIndex.HasList(list.ListName)) ++FArrived;
        else FPending.push_back(std::move(list));
    }
    FTotal = static_cast<int>(seen.size());
    if (FPending.empty()) return;
    FForm.G1->SetMaxValue(std::max(1, FTotal));
    FForm.G1->SetProgress(FArrived);
    for (int i = 0; i < SearchFetchSlots && FNext < FPending.size(); ++i) {
        auto slot = std::make_unique<TSlot>();
        slot->Cli = std::make_unique<THttpCli>();
        THttpCli& cli = *slot->Cli;
        cli.SetAgent(FForm.HttpCli1->Agent());
        cli.SetAccept(FForm.HttpCli1->Accept());
        cli.SetTimeout(FForm.HttpCli1->Timeout());
        TSlot* raw = slot.get();
        cli.OnRequestDone = [this, raw](TObject*, THttpRequest, std::uint16_t Error) { ListDone(*raw, Error); };
        FSlots.push_back(std::move(slot));
        StartNext(*raw);
    }
}

void TCatalogueSearch::StartNext(TSlot& Slot)
{
    if (FNext >= FPending.size()) return;
    Slot.List = FPending[FNext++];
    Slot.Body.Clear();
    THttpCli& cli = *Slot.Cli;
    cli.SetProxyAddress(FForm.Proxy->Text(), FForm.PrPort->Text());
    cli.SetUsername("");
    cli.SetPassword("");
    cli.SetURL(FForm.Serv->Text() + "waves/" + Slot.List.ListName);
    cli.SetRcvdStream(&Slot.Body);
    try {
        cli.StartRequest(rqGet);
        ++FRunning;
    } catch (const std::exception&) {
        // An address that cannot be used fails every list alike; each is named as failed.
        FFailed.push_back(Slot.List.ListName);
        ShowFailures();
        StartNext(Slot);
    }
}

void TCatalogueSearch::ListDone(TSlot& Slot, std::uint16_t Error)
{
    if (FRunning == 0) return;
    --FRunning;
    if (Error == 0 && Slot.Cli->StatusCode() < 400) {
        TStringList rows;
        rows.SetText(Slot.Body.DataString());
        std::vector<std::string> texts;
        texts.reserve(static_cast<std::size_t>(rows.Count()));
        for (int i = 0; i < rows.Count(); ++i) texts.push_back(rows[i]);
        FIndex.AddList(Slot.List.Label, Slot.List.ListName, std::move(texts), Slot.List.Position);
        ++FArrived;
        FForm.G1->SetProgress(FArrived);
        if (FOpen && !SearchWords(FField->Text()).empty()) ShowResults();
    } else {
        FFailed.push_back(Slot.List.ListName);
    }
    ShowFailures();
    Slot.Body.Clear();
    StartNext(Slot);
    if (FRunning == 0) FForm.G1->SetProgress(0);
}

void TCatalogueSearch::ShowFailures()
{
    if (FFailed.empty()) return;
    std::string names;
    for (const std::string& n : FFailed) names += (names.empty() ? "" : ", ") + n;
    FForm.Stk->SetCaption((FFailed.size() == 1 ? "Falha na lista " : "Falha nas listas ") + names + "!");
}

void TCatalogueSearch::DropSlots()
{
    // Deleted clients take their pending notifications with them.
    FSlots.clear();
    FRunning = 0;
}

void TCatalogueSearch::StopFetching()
{
    if (FSlots.empty()) return;
    DropSlots();
    FPending.clear();
    FNext = 0;
    FForm.G1->SetProgress(0);
}

void TCatalogueSearch::CatalogueChanged()
{
    StopFetching();
    FIndex.Clear();
    Dismiss();
}

void TCatalogueSearch::Dismiss()
{
    if (!FOpen) return;
    FOpen = false;
    StopFetching();
    FShown.clear();
    FForm.Nomes->SetRowSource(nullptr);
    FField->SetText("");
    FField->Hide();
    FField->SetTabStop(false);
}

void TCatalogueSearch::Close()
{
    if (!FOpen) return;
    FOpen = false;
    StopFetching();
    FField->SetText("");
    FField->Hide();
    FField->SetTabStop(false);
    ShowCategory();
    FForm.Nomes->SetFocus();
}

void TCatalogueSearch::ShowCategory()
{
    FShown.clear();
    FForm.Nomes->SetRowSource(nullptr);
    FForm.Nomes->SetTopIndex(FSavedTop);
    FForm.Nomes->SetItemIndex(FSavedIndex);
    FForm.Stk->SetCaption(IdleStatusText);
}

void TCatalogueSearch::QueryChanged()
{
    if (!FOpen) return;
    if (FField->Text().empty()) {
        Close();
        return;
    }
    ShowResults();
}

void TCatalogueSearch::ShowResults()
{
    // The selected result stays selected while lists arrive and the rows move.
    const int selected = FForm.Nomes->ItemIndex();
    const bool keep = selected >= 0 && static_cast<std::size_t>(selected) < FShown.size();
    const TSoundRef was = keep ? FShown[static_cast<std::size_t>(selected)] : TSoundRef{};
    FIndex.Search(FField->Text(), FShown);
    FForm.Nomes->SetRowSource(FResults.get());
    int index = FShown.empty() ? -1 : 0;
    if (keep)
        for (std::size_t i = 0; i < FShown.size(); ++i)
            if (FShown[i].List == was.List && FShown[i].Row == was.Row) index = static_cast<int>(i);
    FForm.Nomes->SetItemIndex(index);
    if (index < 0) FForm.Nomes->SetTopIndex(0);
    SelectionChanged();
    FForm.Nomes->Repaint();
}

void TCatalogueSearch::SelectionChanged()
{
    if (!FOpen) return;
    const int i = FForm.Nomes->ItemIndex();
    if (i < 0 || static_cast<std::size_t>(i) >= FShown.size()) {
        FForm.Stk->SetCaption(FShown.empty() ? "Nenhum som encontrado" : "");
        return;
    }
    FForm.Stk->SetCaption("Categoria: " + FIndex.Label(FShown[static_cast<std::size_t>(i)]));
}

bool TCatalogueSearch::FormKeyDown(unsigned short Key, TShiftState Shift)
{
    const TShiftState mods = Shift & (ssShift | ssAlt | ssCtrl);
    if (mods == ssCtrl && Key == 'F') {
        Open();
        return true;
    }
    if (!FOpen) return false;
    if (mods == 0 && Key == VK_ESCAPE) {
        Close();
        return true;
    }
    if (!FField->Focused() || mods != 0) return false;
    if (Key == VK_RETURN) {
        FForm.Nomes->DblClick();
        return true;
    }
    if (Key == VK_UP || Key == VK_DOWN || Key == VK_PRIOR || Key == VK_NEXT) {
        unsigned short k = Key;
        FForm.Nomes->KeyDown(k, Shift);
        return true;
    }
    return false;
}

}  // namespace kapo
