#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "KoraService.h"
#include "net/HttpProt.h"

using namespace kora;
namespace fs = std::filesystem;

namespace {

class Service : public ::testing::Test {
protected:
    void SetUp() override
    {
        Base = fs::temp_directory_path() / ("kora-service-" + std::to_string(::getpid()));
        fs::remove_all(Base);
        fs::create_directories(Base / "root" / "waves");
        fs::create_directories(Base / "root" / "club" / "waves");
        std::ofstream(Base / "root" / "waves" / "indice.txt") << "Animais:animais.txt\r\n";
        std::ofstream(Base / "root" / "waves" / "com espaço.txt") << "x";
        std::ofstream(Base / "root" / "club" / "waves" / "latido.wav") << "RIFF....";
        std::ofstream(Base / "secret.txt") << "fora";
        fs::create_symlink(Base / "secret.txt", Base / "root" / "waves" / "fuga.txt");
        fs::create_symlink("indice.txt", Base / "root" / "waves" / "atalho.txt");
        Svc = std::make_unique<TKoraService>((Base / "root").string(), std::vector<TAccount>{{"ana", "segredo"}});
    }
    void TearDown() override { fs::remove_all(Base); }

    TReply Ask(const std::string& requestLine, const std::string& auth = {})
    {
        TRequestHead h;
        if (!ParseRequestLine(requestLine, h)) return TKoraService::Error(400);
        if (!auth.empty()) ParseHeaderField("authorization:  " + auth, h);
        return Svc->Answer(h);
    }

    fs::path Base;
    std::unique_ptr<TKoraService> Svc;
};

}  // namespace

TEST_F(Service, AnswersFilesAndRefusesEverythingElse)
{
    const std::string good = "Basic " + kapo::EncodeBase64("ana:segredo");
    struct Row {
        std::string line, auth;
        int status;
        std::string type;
    } rows[] = {
        {"GET /waves/indice.txt HTTP/1.0", "", 200, "text/plain"},
        {"HEAD /waves/indice.txt HTTP/1.1", "", 200, "text/plain"},
        {"GET http://localhost:8642/waves/indice.txt HTTP/1.0", "", 200, "text/plain"},
        {"GET /waves/com%20espa%C3%A7o.txt HTTP/1.0", "", 200, "text/plain"},
        {"GET /waves/atalho.txt HTTP/1.0", "", 200, "text/plain"},  // a link inside the folder
        {"GET /club/waves/latido.wav HTTP/1.0", good, 200, "audio/wav"},
        {"GET /club/waves/latido.wav HTTP/1.0", "", 401, "text/plain"},
        {"GET /club/waves/latido.wav HTTP/1.0", "Basic " + kapo::EncodeBase64("ana:errada"), 401, "text/plain"},
        {"GET /club/waves/nada.wav HTTP/1.0", good, 404, "text/plain"},
        {"GET /waves/nada.txt HTTP/1.0", "", 404, "text/plain"},
        {"GET /waves HTTP/1.0", "", 404, "text/plain"},  // a folder is not a file
        {"GET / HTTP/1.0", "", 404, "text/plain"},
        {"GET /waves/../../secret.txt HTTP/1.0", "", 400, "text/plain"},
        {"GET /waves/%2e%2e/%2E%2E/secret.txt HTTP/1.0", "", 400, "text/plain"},
        {"GET /waves/%2fetc/passwd HTTP/1.0", "", 400, "text/plain"},  // decoded "/" makes an empty name
        {"GET //etc/passwd HTTP/1.0", "", 400, "text/plain"},
        {"GET /waves/fuga.txt HTTP/1.0", "", 403, "text/plain"},  // a link that leaves the folder
        {"GET /waves/indice.txt%00.wav HTTP/1.0", "", 400, "text/plain"},
        {"GET /waves/%zz HTTP/1.0", "", 400, "text/plain"},
        {"GET waves/indice.txt HTTP/1.0", "", 400, "text/plain"},
        {"GET /waves/indice.txt", "", 400, "text/plain"},
        {"GET /waves/com espaço.txt HTTP/1.0", "", 200, "text/plain"},  // as the window sends it
        {"GET /waves/indice.txt FTP/1.0", "", 400, "text/plain"},
        {"POST /waves/indice.txt HTTP/1.0", "", 405, "text/plain"},
        {"DELETE /club/waves/latido.wav HTTP/1.0", good, 405, "text/plain"},
    };
    for (const Row& r : rows) {
        TReply reply = Ask(r.line, r.auth);
        EXPECT_EQ(reply.Status, r.status) << r.line;
        EXPECT_EQ(reply.ContentType, r.type) << r.line;
        EXPECT_EQ(reply.Challenge, r.status == 401) << r.line;
        if (r.status == 200) {
            EXPECT_EQ(reply.Length, fs::file_size(reply.Path)) << r.line;
        }
    }
}

TEST_F(Service, ResponseHeadAndAccounts)
{
    TReply r = TKoraService::Error(401);
    r.Challenge = true;
    EXPECT_EQ(TKoraService::ResponseHead(r),
              "HTTP/1.0 401 Unauthorized\r\nServer: kora-server\r\nContent-Type: text/plain\r\nContent-Length: 17\r\n"
              "WWW-Authenticate: Basic realm=\"KORA club\"\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(r.Body, "401 Unauthorized\n");

    std::ofstream(Base / "accounts") << "# contas\r\nana:segredo\r\n\r\nbia:com:dois\n";
    auto accounts = LoadAccounts((Base / "accounts").string());
    ASSERT_EQ(accounts.size(), 2u);
    EXPECT_EQ(accounts[1].Name, "bia");
    EXPECT_EQ(accounts[1].Password, "com:dois");
    std::ofstream(Base / "bad") << "ana:segredo\nsem senha\n";
    EXPECT_THROW(LoadAccounts((Base / "bad").string()), std::runtime_error);
    EXPECT_THROW(LoadAccounts((Base / "none").string()), std::runtime_error);
    TAccount a;
    EXPECT_FALSE(ParseAccount(":x", a));
    EXPECT_FALSE(ParseAccount("x", a));
}

TEST_F(Service, ServesSingleByteRangesOfAPlainGet)
{
    std::ofstream(Base / "root" / "waves" / "dez.txt") << "0123456789";
    fs::last_write_time(Base / "root" / "waves" / "dez.txt",
                        fs::file_time_type::clock::now() - std::chrono::hours(24 * 365 * 30));
    struct Row {
        const char* Method;
        const char* Range;
        int Status;
        std::uint64_t Offset, Length;
        const char* ContentRange;  // the field's line, empty for none
    } rows[] = {
        {"GET", "bytes=4-", 206, 4, 6, "Content-Range: bytes 4-9/10"},
        {"GET", "bytes=2-4", 206, 2, 3, "Content-Range: bytes 2-4/10"},
        {"GET", "BYTES=8-100", 206, 8, 2, "Content-Range: bytes 8-9/10"},
        {"GET", "bytes=-3", 206, 7, 3, "Content-Range: bytes 7-9/10"},
        {"GET", "bytes=-30", 206, 0, 10, "Content-Range: bytes 0-9/10"},
        {"GET", "bytes=0-", 206, 0, 10, "Content-Range: bytes 0-9/10"},
        {"GET", "bytes=10-", 416, 0, 26, "Content-Range: bytes */10"},
        {"GET", "bytes=-0", 416, 0, 26, "Content-Range: bytes */10"},
        {"GET", "bytes=5-2", 200, 0, 10, ""},      // not a range: the whole file
        {"GET", "bytes=1-2,4-5", 200, 0, 10, ""},  // several ranges: the whole file
        {"GET", "items=1-2", 200, 0, 10, ""},
        {"GET", "bytes=x-", 200, 0, 10, ""},
        {"HEAD", "bytes=4-", 200, 0, 10, ""},      // a HEAD describes the whole file
    };
    for (const Row& r : rows) {
        TRequestHead h;
        ASSERT_TRUE(ParseRequestLine(std::string(r.Method) + " /waves/dez.txt HTTP/1.0", h));
        ParseHeaderField(std::string("range: ") + r.Range, h);
        TReply reply = Svc->Answer(h);
        EXPECT_EQ(reply.Status, r.Status) << r.Method << " " << r.Range;
        EXPECT_EQ(reply.Offset, r.Offset) << r.Range;
        EXPECT_EQ(reply.Length, r.Length) << r.Range;
        const std::string head = TKoraService::ResponseHead(reply);
        const std::size_t at = head.find("Content-Range: ");
        const std::string line = at == std::string::npos ? "" : head.substr(at, head.find("\r\n", at) - at);
        EXPECT_EQ(line, r.ContentRange) << r.Range;
        EXPECT_EQ(head.find("Last-Modified: ") != std::string::npos, r.Status != 416) << r.Range;
    }
    // A file's reply says when it was last changed, as an HTTP date.
    TRequestHead h;
    ASSERT_TRUE(ParseRequestLine("GET /waves/dez.txt HTTP/1.0", h));
    const std::string head = TKoraService::ResponseHead(Svc->Answer(h));
    EXPECT_NE(head.find("Accept-Ranges: bytes\r\n"), std::string::npos);
    const std::size_t at = head.find("Last-Modified: ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(head.substr(head.find("\r\n", at) - 4, 4), " GMT");
}
