#include "app/FailureText.h"

#include <algorithm>
#include <cerrno>

#include "net/CustomSocksWSocket.h"
#include "net/HttpProt.h"
#include "platform/Winsock.h"

namespace kapo {

const char* const UnplayableSoundText = "O arquivo não é um som wave que se possa tocar!";
const char* const FolderNotWritableText = "Não consigo gravar na pasta escolhida!";
const char* const InvalidSoundNameText = "Nome de som inválido!";

namespace {

std::int64_t gCatalogueLimit = CatalogueFileLimit;
std::int64_t gUndeclaredSoundLimit = UndeclaredSoundLimit;

bool CannotConnect(std::uint32_t e)
{
    return e == WSAECONNREFUSED || e == WSAEHOSTUNREACH || e == WSAENETUNREACH || e == WSAENETDOWN ||
           e == WSAEHOSTDOWN || e == WSAHOST_NOT_FOUND || e == WSATRY_AGAIN || e == WSANO_RECOVERY ||
           e == WSANO_DATA;
}

}  // namespace

std::string FailureText(const TFetchOutcome& o, TFetchKind Kind)
{
    if (o.OverLimit)
        return Kind == fkCatalogue ? "Catálogo grande demais (mais de 64 MiB): não foi lido!"
                                   : "Som grande demais: o download foi interrompido!";
    if (o.WriteErrno == ENOSPC || o.WriteErrno == EDQUOT) return "Disco cheio: o arquivo não foi gravado!";
    if (o.WriteErrno != 0) return "Erro ao gravar o arquivo no disco!";
    if (o.Error == httperrAborted) return "";
    // What a proxy says of itself: credentials asked, access refused, the service out of its
    // reach. A 403 through a proxy is the proxy's refusal far more often than the service's.
    if (o.Status == 407 || o.Error == socksMethodNotAcceptable || o.Error == socksAuthenticationFailed)
        return "O proxy pede usuário e senha!";
    if (o.ViaProxy && (o.Status == 403 || (o.Error >= 20001 && o.Error <= 20019) ||
                       o.Reason.rfind("The proxy", 0) == 0))
        return "O proxy recusou o pedido!";
    if (o.ViaProxy && (o.Status == 502 || o.Status == 504)) return "O proxy não alcança o serviço KORA!";
    if (CannotConnect(o.Error)) return o.ViaProxy ? "Não consigo conectar ao proxy!" : "Serviço KORA inacessível!";
    if (o.Error == WSAETIMEDOUT) return "O serviço KORA não respondeu a tempo!";
    if (o.Error == WSAECONNRESET || o.Error == WSAECONNABORTED) return "A conexão com o serviço KORA caiu!";
    // A status of the service's own (a refused login, a missing file): the caller's text.
    if (o.Error == 0 && o.ResponseStatus >= 400 && o.Status == o.ResponseStatus) return "";
    return Kind == fkCatalogue ? "Resposta inválida do serviço KORA!" : "";
}

std::string MalformedIndexText(int Line) { return "Índice malformado na linha " + std::to_string(Line) + "!"; }

TFetchFileStream::TFetchFileStream(const std::string& FileName, mode_t Rights, TFetchKind Kind, unsigned Mode)
    : TFileStream(FileName, Mode, Rights), FKind(Kind),
      FLimit(Kind == fkCatalogue ? gCatalogueLimit : gUndeclaredSoundLimit)
{
}

std::int64_t TFetchFileStream::Write(const void* Buffer, std::int64_t Count)
{
    const std::int64_t room = FLimit - FWritten;
    if (Count > room) {
        FOverLimit = true;
        return 0;
    }
    errno = 0;
    const std::int64_t done = TFileStream::Write(Buffer, Count);
    if (done < Count) FWriteErrno = errno != 0 ? errno : EIO;
    FWritten += done;
    return done;
}

bool TFetchFileStream::Accept(std::int64_t DeclaredLength)
{
    if (DeclaredLength < 0) return true;
    // The client stops at a declared length: a sound is bound by it instead of the cap.
    if (FKind == fkSound) FLimit = std::max(FLimit, DeclaredLength);
    FOverLimit = DeclaredLength > FLimit;
    return !FOverLimit;
}

void TFetchFileStream::SetLimitsForTesting(std::int64_t Catalogue, std::int64_t UndeclaredSound)
{
    gCatalogueLimit = Catalogue;
    gUndeclaredSoundLimit = UndeclaredSound;
}

}  // namespace kapo
