// Transfers of every selected sound, one after another, into the folder of the folder list.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "app/Unit1.h"
#include "core/SysUtils.h"

namespace kapo {

namespace {

std::string Counted(int n, const char* one, const char* many) { return std::to_string(n) + " " + (n == 1 ? one : many); }

}  // namespace

std::string BatchSummary(int Transferred, int Existing, int Failed, bool Stopped)
{
    std::string text = Counted(Transferred, "som transferido", "sons transferidos");
    if (Existing) text += ", " + Counted(Existing, "já existia", "já existiam");
    if (Failed) text += ", " + Counted(Failed, "falhou", "falharam");
    return Stopped ? "Interrompido: " + text : text;
}

bool TForm1::TransferSelection()
{
    // One selected row is the highlighted one: the single transfer handles it as always.
    const int selected = Nomes->SelCount();
    if (selected == 0 || (selected == 1 && Nomes->Selected(Nomes->ItemIndex()))) return false;
    if (FBatchRunning) return true;  // the running batch goes on; the press is not a second one
    std::vector<std::string> names;
    int failed = 0;
    for (int i = 0; i < Nomes->Items().Count(); ++i) {
        if (!Nomes->Selected(i)) continue;
        const std::string row = Nomes->Items()[i];
        const std::size_t colon = row.find(':');
        if (colon == std::string::npos) continue;  // not a sound
        names.push_back(SoundName(row, colon));
    }
    if (names.empty()) return true;
    if (Login->Text().empty() || Senha->Text().empty()) {
        Stk->SetCaption(Login->Text().empty() ? "Falta login do Club!" : "Falta senha do Club!");
        return true;
    }
    const std::string folder = Dir->Directory() + "/";
    int done = 0, existing = 0;
    bool stopped = false;
    const int stops = FStopPresses;
    TLiveness guard = Liveness();
    // However the batch ends (an error shown by the display included), the window is freed of it.
    struct TBatchScope {
        TForm1& Form;
        TLiveness& Guard;
        ~TBatchScope()
        {
            if (!Guard) return;
            Form.FBatchRunning = false;
            Form.GaugeShare = TGaugeShare();
            Form.G1->SetProgress(0);
        }
    } scope{*this, guard};
    FBatchRunning = true;
    GaugeShare.Count = static_cast<int>(names.size());
    for (std::size_t i = 0; i < names.size() && !stopped; ++i) {
        GaugeShare.Index = static_cast<int>(i);
        ShowGaugeShare();
        const std::string& name = names[i];
        struct stat st;
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
            ++failed;
            continue;
        }
        if (::lstat((folder + name).c_str(), &st) == 0) {
            ++existing;
            continue;
        }
        std::string result;
        try {
            result = TransferSound(folder, name);
        } catch (const EStreamError&) {
            // A folder that takes no file fails each sound alike; the sum says so.
            result = "Erro no download!";
        }
        if (!guard) return true;
        stopped = FStopPresses != stops;
        if (result == "Ok!") ++done;
        else if (result == "Som já existe!!!") ++existing;
        else if (!stopped) ++failed;
    }
    Stk->SetCaption(BatchSummary(done, existing, failed, stopped));
    return true;
}

}  // namespace kapo
