// Transfers of sounds into the user's folder: a cut transfer is taken up where it stopped, and
// the gauge counts the whole file (and the whole batch) rather than one request.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "app/PartialTransfer.h"
#include "app/Unit1.h"
#include "core/Classes.h"
#include "core/SysUtils.h"

namespace kapo {

namespace {

// Gives the file its final name unless that name is taken; false when it is.
bool RenameNoReplace(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno == EEXIST) return false;
    // File systems that cannot refuse the replacement themselves.
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0) return false;
    return ::rename(from.c_str(), to.c_str()) == 0;
}

// The size of a regular file of that name (links are not followed); -1 for anything else.
std::int64_t RegularFileSize(const std::string& path)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return -1;
    return S_ISREG(st.st_mode) ? static_cast<std::int64_t>(st.st_size) : -1;
}

// The value of a field of the last response in a received header (relocations keep the
// earlier responses' lines before it); empty when it has none.
std::string LastResponseField(TStrings& header, const std::string& name)
{
    std::string value;
    for (int i = 0; i < header.Count(); ++i) {
        const std::string line = header[i];
        if (line.rfind("HTTP/", 0) == 0) value.clear();
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos || LowerCase(line.substr(0, colon)) != name) continue;
        value = Trim(line.substr(colon + 1));
    }
    return value;
}

std::int64_t DigitsValue(const std::string& text)
{
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::stoll(text);
}

}  // namespace

void TForm1::ShowGaugeShare()
{
    // The share of this sound that is here, then of the batch it belongs to.
    double sound = 0;
    const std::int64_t rcvd = HttpCli1->RcvdCount();
    if (GaugeShare.Whole > 0) sound = static_cast<double>(GaugeShare.Before + rcvd) / static_cast<double>(GaugeShare.Whole);
    else if (HttpCli1->ContentLength() > 0) sound = static_cast<double>(rcvd) / HttpCli1->ContentLength();
    sound = std::min(1.0, std::max(0.0, sound));
    const int count = std::max(1, GaugeShare.Count);
    G1->SetMaxValue(10000);
    G1->SetProgress(static_cast<int>((GaugeShare.Index + sound) / count * 10000));
}

std::string TForm1::TransferSound(const std::string& Folder, const std::string& Name)
{
    // The sound is written under a hidden name in the same folder and takes its own name only
    // once it came whole, so nothing partial ever bears the sound's name. What a stopped or
    // failed transfer wrote stays there, with a note of the file it came from, and the next
    // transfer of the sound asks only for the rest.
    const std::string target = Folder + Name;
    if (Name.empty()) throw EFCreateError("Cannot create file " + target);
    const std::string partial = PartialPath(Folder, Name), note = PartialNotePath(Folder, Name);
    const std::string address = Serv->Text() + "club/waves/" + Name;

    // Shared with a deferred abort, which may run after this call is over.
    struct TJudged {
        bool Restart = false, Running = true;
    };
    std::string result;
    bool superseded = false;
    std::int64_t whole = -1;
    const int stops = FStopPresses;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string stored = attempt == 0 ? ReadPartialNote(note) : std::string();
        std::int64_t have = RegularFileSize(partial);
        // Anything else under the partial name (a link, a folder) is never written through.
        if (have < 0 && ::access(partial.c_str(), F_OK) == 0 && !DeleteFile(partial)) ::rmdir(partial.c_str());
        if (stored.empty() || have <= 0) have = 0;
        std::unique_ptr<TFetchFileStream> file;
        try {
            file = std::make_unique<TFetchFileStream>(partial, 0666, fkSound,
                                                      have > 0 ? fmOpenReadWrite | fmShareExclusive : fmCreate);
        } catch (const EStreamError&) {
            throw EFCreateError("Cannot create file " + target);
        }
        if (have == 0) DeleteFile(note);
        file->Seek(0, soEnd);
        auto judged = std::make_shared<TJudged>();
        whole = -1;
        TStream* const stream = file.get();
        const TNotifyEvent own = HttpCli1->OnHeaderEnd;
        HttpCli1->OnHeaderEnd = [&, judged, stream, have, stored](TObject* Sender) {
            // A fetch started meanwhile (from a handler) gets the window's own handling.
            if (HttpCli1->RcvdStream() != stream) {
                if (own) own(Sender);
                return;
            }
            const int status = HttpCli1->StatusCode();
            if (status >= 300 && status < 400) return;  // the client follows the relocation
            const std::string range = LastResponseField(HttpCli1->RcvdHeader(), "content-range");
            std::int64_t first = 0, last = 0, total = -1;
            if (status == 206) ParseContentRange(range, first, last, total);
            else total = DigitsValue(LastResponseField(HttpCli1->RcvdHeader(), "content-length"));
            const std::string validator =
                TransferValidator(LastResponseField(HttpCli1->RcvdHeader(), "last-modified"), total);
            switch (JudgeResume(status, have, range, validator, stored)) {
            case rvAppend:
                whole = total;
                GaugeShare.Before = have;
                GaugeShare.Whole = total;
                break;
            case rvWhole:
                file->SetSize(0);
                file->Seek(0, soBeginning);
                whole = total;
                GaugeShare.Before = 0;
                GaugeShare.Whole = total;
                if (validator.empty() || !WritePartialNote(note, validator)) DeleteFile(note);
                break;
            case rvRestart:
                judged->Restart = true;
                HttpCli1->SetRcvdStream(nullptr);
                // Ended from the loop rather than inside the client's own event.
                QTimer::singleShot(0, Widget(), [this, judged] {
                    if (!judged->Running || HttpCli1->RcvdStream() != nullptr) return;
                    HttpCli1->Abort();
                });
                break;
            case rvRefused:
                // An error page never joins the sound's bytes.
                HttpCli1->SetRcvdStream(nullptr);
                break;
            }
        };
        // The client keeps a received Content-Range in the same fields; only this range is asked.
        HttpCli1->SetContentRangeBegin(have > 0 ? std::to_string(have) : std::string());
        HttpCli1->SetContentRangeEnd("");
        GaugeShare.Before = have;
        GaugeShare.Whole = -1;
        TLiveness guard = Liveness();
        superseded = false;
        try {
            result = FetchInto(partial, address, Login->Text(), Senha->Text(), &superseded, 0666, {}, stream);
        } catch (...) {
            judged->Running = false;
            if (guard) HttpCli1->OnHeaderEnd = own;
            throw;
        }
        judged->Running = false;
        if (!guard) return "Erro no download!";
        HttpCli1->OnHeaderEnd = own;
        HttpCli1->SetContentRangeBegin("");
        HttpCli1->SetContentRangeEnd("");
        GaugeShare.Before = 0;
        GaugeShare.Whole = -1;
        const std::int64_t size = file->Size();
        file.reset();
        if (judged->Restart && !superseded && FStopPresses == stops) {
            // Another file than the one the partial file came from: it all comes anew.
            DeleteFile(partial);
            DeleteFile(note);
            // A service that answers a whole-file request with a range again gets no third try.
            result = "Erro no download!";
            continue;
        }
        if (superseded && result == "Ok!") result = "Erro no download!";
        // Only a file of the length the service gave takes the sound's name.
        if (result == "Ok!" && whole >= 0 && size != whole) result = "Erro no download!";
        break;
    }
    if (result == "Ok!" && !RenameNoReplace(partial, target)) result = "Som já existe!!!";
    if (result == "Ok!") {
        DeleteFile(note);
    } else if (result != "Erro no download!" || RegularFileSize(partial) <= 0 || ReadPartialNote(note).empty()) {
        // Nothing worth taking up again: no bytes, or no note of the file they came from.
        DeleteFile(partial);
        DeleteFile(note);
    }
    return result;
}

}  // namespace kapo
