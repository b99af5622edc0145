// What the status line says of each failure, and the local file of a fetch under its cap; no
// window needed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "app/FailureText.h"
#include "net/CustomSocksWSocket.h"
#include "net/HttpProt.h"

using namespace kapo;
namespace fs = std::filesystem;

TEST(FailureText, EachFailureNamesWhatFailed)
{
    auto outcome = [](int status, int response, std::uint32_t error, bool proxy, int writeErrno = 0,
                      bool over = false) {
        TFetchOutcome o;
        o.Status = status;
        o.ResponseStatus = response;
        o.Error = error;
        o.ViaProxy = proxy;
        o.WriteErrno = writeErrno;
        o.OverLimit = over;
        return o;
    };
    const struct Row {
        const char* what;
        TFetchOutcome o;
        std::string catalogue, sound;  // "" keeps the fetch's own result text
    } rows[] = {
        {"nothing listens", outcome(404, 0, WSAECONNREFUSED, false), "Serviço KORA inacessível!", "Serviço KORA inacessível!"},
        {"no such host", outcome(404, 0, WSAHOST_NOT_FOUND, false), "Serviço KORA inacessível!", "Serviço KORA inacessível!"},
        {"proxy port closed", outcome(404, 0, WSAECONNREFUSED, true), "Não consigo conectar ao proxy!", "Não consigo conectar ao proxy!"},
        {"time-out", outcome(404, 0, WSAETIMEDOUT, false), "O serviço KORA não respondeu a tempo!", "O serviço KORA não respondeu a tempo!"},
        {"reset", outcome(404, 200, WSAECONNRESET, false), "A conexão com o serviço KORA caiu!", "A conexão com o serviço KORA caiu!"},
        {"proxy wants credentials", outcome(407, 407, 0, true), "O proxy pede usuário e senha!", "O proxy pede usuário e senha!"},
        {"SOCKS wants credentials", outcome(404, 0, socksMethodNotAcceptable, true), "O proxy pede usuário e senha!", "O proxy pede usuário e senha!"},
        {"proxy refuses", outcome(403, 403, 0, true), "O proxy recusou o pedido!", "O proxy recusou o pedido!"},
        {"SOCKS refuses", outcome(404, 0, socksConnectionRefused, true), "O proxy recusou o pedido!", "O proxy recusou o pedido!"},
        {"proxy cannot reach the service", outcome(502, 502, 0, true), "O proxy não alcança o serviço KORA!", "O proxy não alcança o serviço KORA!"},
        {"disk full", outcome(404, 200, 0, false, ENOSPC), "Disco cheio: o arquivo não foi gravado!", "Disco cheio: o arquivo não foi gravado!"},
        {"quota", outcome(404, 200, 0, false, EDQUOT), "Disco cheio: o arquivo não foi gravado!", "Disco cheio: o arquivo não foi gravado!"},
        {"other write error", outcome(404, 200, 0, false, EIO), "Erro ao gravar o arquivo no disco!", "Erro ao gravar o arquivo no disco!"},
        {"over the cap", outcome(404, 200, httperrAborted, false, 0, true), "Catálogo grande demais (mais de 64 MiB): não foi lido!", "Som grande demais: o download foi interrompido!"},
        {"stopped", outcome(404, 200, httperrAborted, false), "", ""},
        {"service's 404", outcome(404, 404, 0, false), "", ""},
        {"service's 401", outcome(401, 401, 0, false), "", ""},
        {"service's 403, no proxy", outcome(403, 403, 0, false), "", ""},
        {"not HTTP", outcome(404, 0, 0, false), "Resposta inválida do serviço KORA!", ""},
        {"truncated", outcome(404, 200, 0, false), "Resposta inválida do serviço KORA!", ""},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(FailureText(r.o, fkCatalogue), r.catalogue) << r.what;
        EXPECT_EQ(FailureText(r.o, fkSound), r.sound) << r.what;
    }
    EXPECT_EQ(MalformedIndexText(7), "Índice malformado na linha 7!");
}

TEST(FailureText, TheLocalFileOfAFetchKeepsItsCap)
{
    const fs::path file = fs::temp_directory_path() / ("kapo-fetch-" + std::to_string(::getpid()));
    const std::string block(100, 'x');
    const struct Row {
        const char* what;
        TFetchKind kind;
        std::int64_t declared;  // -1: none
        bool accepted;
        int blocks;          // written one after the other
        std::int64_t kept;   // bytes that reached the file
        bool over;
    } rows[] = {
        {"catalogue under the cap", fkCatalogue, -1, true, 2, 200, false},
        {"catalogue past the cap", fkCatalogue, -1, true, 4, 300, true},
        {"catalogue declared past the cap", fkCatalogue, 400, false, 0, 0, true},
        {"sound without length past the cap", fkSound, -1, true, 6, 500, true},
        {"sound with a longer declared length", fkSound, 800, true, 8, 800, false},
    };
    TFetchFileStream::SetLimitsForTesting(350, 550);
    for (const Row& r : rows) {
        {
            TFetchFileStream s(file.string(), 0600, r.kind);
            EXPECT_EQ(s.Accept(r.declared), r.accepted) << r.what;
            for (int i = 0; i < r.blocks; ++i) s.Write(block.data(), 100);
            EXPECT_EQ(s.OverLimit(), r.over) << r.what;
            EXPECT_EQ(s.WriteErrno(), 0) << r.what;
        }
        EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(file)), r.kept) << r.what;
    }
    TFetchFileStream::SetLimitsForTesting(CatalogueFileLimit, UndeclaredSoundLimit);
    fs::remove(file);
}
