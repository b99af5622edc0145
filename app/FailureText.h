// What the status line says when a fetch, a load or a play fails, and the caps on what the
// service may send. Plain data, tested without the window.
#pragma once

#include <cstdint>
#include <string>

#include "core/Classes.h"

namespace kapo {

// An index or a category list is refused past this size, declared or not.
constexpr std::int64_t CatalogueFileLimit = std::int64_t{64} << 20;
// A sound without a declared length is cut here; with one, the declared length bounds it.
constexpr std::int64_t UndeclaredSoundLimit = std::int64_t{256} << 20;
// The longest sound name a list row may give (the longest file name of the file systems).
constexpr std::size_t SoundNameLimit = 255;

enum TFetchKind { fkCatalogue, fkSound };

// How a failed fetch ended, as far as the window can tell.
struct TFetchOutcome {
    int Status = 0;           // the client's status: the response's, or 404 for a local failure
    int ResponseStatus = 0;   // the status line that came, 0 when none did
    std::uint32_t Error = 0;  // the request's end code: a sockets or SOCKS error, httperr..., 0
    std::string Reason;       // the client's reason text
    bool ViaProxy = false;    // an HTTP or SOCKS proxy was set
    int WriteErrno = 0;       // errno of a write of the local file that failed
    bool OverLimit = false;   // the document passed its cap
};

// The status line's text for a failed fetch, or "" when the result text of the fetch stands
// (the service itself refused, or the user stopped it).
std::string FailureText(const TFetchOutcome& Outcome, TFetchKind Kind);

// The status line's text for an index whose line (from 1) the tree refused.
std::string MalformedIndexText(int Line);

extern const char* const UnplayableSoundText;
extern const char* const FolderNotWritableText;
extern const char* const InvalidSoundNameText;

// The local file of a fetch: what the client writes goes through here, so a full disk is told
// apart from other failures and the document cannot grow past its cap.
class TFetchFileStream : public TFileStream {
public:
    // Mode: how the file is opened (a new file, or one to go on with).
    TFetchFileStream(const std::string& FileName, mode_t Rights, TFetchKind Kind, unsigned Mode = fmCreate);

    std::int64_t Write(const void* Buffer, std::int64_t Count) override;
    // Called when the document begins, with its declared length (-1 for none); false when the
    // length alone is beyond the cap, which then counts as passed.
    bool Accept(std::int64_t DeclaredLength);

    int WriteErrno() const { return FWriteErrno; }
    bool OverLimit() const { return FOverLimit; }
    // Tests lower the caps rather than send hundreds of megabytes.
    static void SetLimitsForTesting(std::int64_t Catalogue, std::int64_t UndeclaredSound);

private:
    TFetchKind FKind;
    std::int64_t FLimit;
    std::int64_t FWritten = 0;
    int FWriteErrno = 0;
    bool FOverLimit = false;
};

}  // namespace kapo
