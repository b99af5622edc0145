// A row of the sound list dragged out of the window: the sound goes as a file, the one in the
// folder of the folder list when it was transferred, else a copy fetched into the cache.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDrag>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>

#include <cstdlib>

#include "app/SoundCacheFolder.h"
#include "app/Unit1.h"
#include "core/SysUtils.h"

namespace kapo {

namespace {

bool RegularFile(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Watches the sound list's mouse: a press on a row followed by a move of the drag distance
// with the button held starts a drag of that row. The list itself sees every event as before.
class TDragStarter : public QObject {
public:
    TDragStarter(TForm1& Form) : QObject(Form.Nomes->Widget()), FForm(Form) {}

protected:
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::MouseButtonPress) {
            auto* m = static_cast<QMouseEvent*>(e);
            const QPoint p = m->position().toPoint();
            FRow = m->button() == Qt::LeftButton ? FForm.Nomes->ItemAtPos(p.x(), p.y()) : -1;
            FAt = p;
        } else if (e->type() == QEvent::MouseButtonRelease || e->type() == QEvent::MouseButtonDblClick) {
            FRow = -1;
        } else if (e->type() == QEvent::MouseMove && FRow >= 0) {
            auto* m = static_cast<QMouseEvent*>(e);
            if (!(m->buttons() & Qt::LeftButton)) {
                FRow = -1;
            } else if ((m->position().toPoint() - FAt).manhattanLength() >= QApplication::startDragDistance()) {
                const int row = FRow;
                FRow = -1;
                TForm1& form = FForm;
                GuardCall([&] { form.NomesStartDrag(form.Nomes, row); });
            }
        }
        return false;
    }

private:
    TForm1& FForm;
    int FRow = -1;
    QPoint FAt;
};

}  // namespace

void TForm1::InstallDragOut() { Nomes->Widget()->installEventFilter(new TDragStarter(*this)); }

std::string TForm1::DragFile(int Index, std::string& Why)
{
    if (Index < 0 || Index >= Nomes->Items().Count()) return {};
    const std::string row = Nomes->Items()[Index];
    const std::size_t colon = row.find(':');
    if (colon == std::string::npos) return {};  // not a sound
    const std::string name = SoundName(row, colon);
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        Why = "Nome de som inválido!";
        return {};
    }
    const std::string transferred = Dir->Directory() + "/" + name;
    if (RegularFile(transferred)) return transferred;
    const std::string cache = SoundCacheFolder();
    if (cache.empty()) {
        Why = "Falha no arraste: não há pasta de cache";
        return {};
    }
    const std::string cached = cache + name;
    if (RegularFile(cached)) {
        // A use makes it the newest, the last the bound removes.
        ::utimensat(AT_FDCWD, cached.c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
        return cached;
    }
    if (Login->Text().empty()) Why = "Falta login do Club!";
    else if (Senha->Text().empty()) Why = "Falta senha do Club!";
    if (!Why.empty()) return {};
    // Fetched whole under a hidden name, so a drop never receives part of a sound.
    const std::string partial = cache + "." + name + ".part";
    TLiveness guard = Liveness();
    BusyLamp()->SetBrushColor(LampBusy);
    bool superseded = false;
    std::string result = FetchInto(partial, Serv->Text() + "club/waves/" + name, Login->Text(), Senha->Text(),
                                   &superseded, 0600);
    if (!guard) return {};
    BusyLamp()->SetBrushColor(LampIdle);
    if (result == "Ok!" && !superseded && ::rename(partial.c_str(), cached.c_str()) == 0) {
        TrimSoundCache(cache, SoundCacheLimit, name);
        return cached;
    }
    DeleteFile(partial);
    if (superseded) return {};
    const std::string reason = HttpCli1->ReasonPhrase();
    Why = "Falha no arraste: " + (reason.empty() || result == "Não encontrei arquivo!" ? result : reason);
    return {};
}

void TForm1::NomesStartDrag(TObject*, int Index)
{
    std::string why;
    TLiveness guard = Liveness();
    const std::string path = DragFile(Index, why);
    if (!guard) return;
    if (path.empty()) {
        if (!why.empty()) Stk->SetCaption(why);
        return;
    }
    auto* data = new QMimeData;
    data->setUrls({QUrl::fromLocalFile(QString::fromStdString(path))});
    auto* drag = new QDrag(Nomes->Widget());
    drag->setMimeData(data);
    drag->exec(Qt::CopyAction);
}

}  // namespace kapo
