// The demo server over real connections: its answers and refusals, many clients at once, the
// head caps, idle clients, clients that leave mid-body, and the program itself.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "net/HttpProt.h"
#include "tests/server/ServerTestSupport.h"

using namespace kora;
using namespace testsupport;
namespace fs = std::filesystem;

namespace {

class Server : public ::testing::Test {
protected:
    void SetUp() override
    {
        Base = fs::temp_directory_path() / ("kora-server-" + std::to_string(::getpid()));
        fs::remove_all(Base);
        fs::create_directories(Base / "waves");
        fs::create_directories(Base / "club" / "waves");
        Write("waves/indice.txt", "Animais:animais.txt\r\n");
        Write("waves/animais.txt", "latido.wav :um cão\r\n");
        Write("club/waves/latido.wav", Pattern(0, 300000));
    }
    void TearDown() override { fs::remove_all(Base); }
    void Write(const std::string& name, const std::string& data)
    {
        std::ofstream(Base / name, std::ios::binary) << data;
    }
    std::string Root() const { return Base.string(); }

    Watchdog FWatchdog{120000};
    fs::path Base;
};

const std::string Member = "Authorization: Basic " + kapo::EncodeBase64("ana:segredo") + "\r\n";

}  // namespace

TEST_F(Server, AnswersAndRefusalsOverRealConnections)
{
    ServerThread server(Root(), {{"ana", "segredo"}});
    struct Row {
        std::string Request;
        int Status;
        std::string Body;  // "*" for the sound
        bool Challenge;
    } rows[] = {
        {"GET /waves/indice.txt HTTP/1.0\r\n\r\n", 200, "Animais:animais.txt\r\n", false},
        {"GET /waves/animais.txt HTTP/1.0\nHost: x\n\n", 200, "latido.wav :um cão\r\n", false},  // bare LF
        {"GET http://localhost:8642/waves/indice.txt HTTP/1.0\r\n\r\n", 200, "Animais:animais.txt\r\n", false},
        {"HEAD /waves/indice.txt HTTP/1.0\r\n\r\n", 200, "", false},
        {"GET /club/waves/latido.wav HTTP/1.0\r\n" + Member + "\r\n", 200, "*", false},
        {"GET /club/waves/latido.wav HTTP/1.0\r\n\r\n", 401, "401 Unauthorized\n", true},
        {"GET /club/waves/latido.wav HTTP/1.0\r\nAuthorization: Basic " + kapo::EncodeBase64("ana:x") + "\r\n\r\n", 401,
         "401 Unauthorized\n", true},
        {"GET /waves/nada.txt HTTP/1.0\r\n\r\n", 404, "404 Not Found\n", false},
        {"GET /waves/../../etc/passwd HTTP/1.0\r\n\r\n", 400, "400 Bad Request\n", false},
        {"POST /waves/indice.txt HTTP/1.0\r\n\r\n", 405, "405 Method Not Allowed\n", false},
        {"nonsense\r\n\r\n", 400, "400 Bad Request\n", false},
    };
    for (const Row& row : rows) {
        Response r = Ask(server.Port(), row.Request);
        EXPECT_EQ(r.Status, row.Status) << row.Request;
        EXPECT_TRUE(r.Ended) << row.Request;
        const std::string body = row.Body == "*" ? Pattern(0, 300000) : row.Body;
        EXPECT_TRUE(r.Body == body) << row.Request << " gave " << r.Body.size() << " bytes";
        EXPECT_EQ(r.Fields.count("www-authenticate") == 1, row.Challenge) << row.Request;
        if (row.Challenge) {
            EXPECT_EQ(r.Fields["www-authenticate"], "Basic realm=\"KORA club\"");
        }
        const std::size_t length = row.Request.compare(0, 4, "HEAD") == 0 ? 21 : body.size();
        EXPECT_EQ(r.Fields["content-length"], std::to_string(length)) << row.Request;
    }
    EXPECT_NE(server.WaitForLog("127.0.0.1:"), "");
    EXPECT_NE(server.WaitForLog(" HEAD /waves/indice.txt 200 "), "");
}

TEST_F(Server, TwoHundredClientsAtOnceGetTheirOwnBytes)
{
    for (int i = 0; i < 4; ++i) Write("waves/f" + std::to_string(i), Pattern(static_cast<std::size_t>(i) * 7, 200000 + i));
    ServerThread server(Root(), {});
    std::vector<std::thread> clients;
    std::atomic<int> right{0};
    for (int c = 0; c < 200; ++c)
        clients.emplace_back([&, c] {
            int i = c % 4;
            Response r = Ask(server.Port(), "GET /waves/f" + std::to_string(i) + " HTTP/1.0\r\n\r\n");
            if (r.Status == 200 && r.Body == Pattern(static_cast<std::size_t>(i) * 7, 200000 + static_cast<std::size_t>(i)))
                ++right;
        });
    for (auto& t : clients) t.join();
    EXPECT_EQ(right.load(), 200);
}

TEST_F(Server, HeadCapsEndTheRequest)
{
    ServerThread server(Root(), {});
    std::string manyLines = "GET /waves/indice.txt HTTP/1.0\r\n";
    for (int i = 0; i < 120; ++i) manyLines += "X-A: b\r\n";
    struct Row {
        std::string Request;
        int Status;
    } rows[] = {
        {"GET /waves/indice.txt HTTP/1.0\r\nX-Long: " + std::string(9000, 'a') + "\r\n\r\n", 431},
        {manyLines + "\r\n", 431},
        {"GET /waves/indice.txt HTTP/1.0\r\nX-Endless: " + std::string(20000, 'a'), 431},  // no line end at all
    };
    for (const Row& row : rows) {
        Response r = Ask(server.Port(), row.Request);
        EXPECT_EQ(r.Status, row.Status) << row.Request.substr(0, 60);
        EXPECT_TRUE(r.Ended);
    }
}

TEST_F(Server, IdleClientsAreDropped)
{
    TServerOptions options;
    options.IdleMs = 300;
    ServerThread server(Root(), {}, options);
    for (const std::string& said : {std::string(), std::string("GET /waves/indice.txt HTTP/1.0\r\n")}) {
        int fd = ConnectTo(server.Port());
        ASSERT_GE(fd, 0);
        SendAll(fd, said);
        const auto start = std::chrono::steady_clock::now();
        bool ended = false;
        RecvToEnd(fd, &ended);
        const auto waited = std::chrono::steady_clock::now() - start;
        ::close(fd);
        EXPECT_GE(waited, std::chrono::milliseconds(250)) << "'" << said << "'";
        EXPECT_LT(waited, std::chrono::seconds(10)) << "'" << said << "'";
    }
    EXPECT_NE(server.WaitForLog(" - - 408 0"), "");  // nothing asked, nothing sent
}

// A client that stops in the middle of its request line is cut at the idle limit, alone or
// with many like it, and the cut costs the others nothing: the service keeps answering.
TEST_F(Server, PartialRequestLinesCutAtTheIdleLimitLeaveTheServiceRunning)
{
    struct Row {
        std::string Partial;
        int Holders;
    } rows[] = {
        {"GET /waves/indi", 1},
        {"GET /waves/indi", 51},
        {"GET /waves/indice.txt HTTP/1.0", 1},  // a whole request line without its end
        {"GET /waves/indice.txt HTTP/1.0", 51},
    };
    for (const Row& row : rows) {
        const std::string what = "'" + row.Partial + "' x" + std::to_string(row.Holders);
        TServerOptions options;
        options.IdleMs = 300;
        ServerThread server(Root(), {}, options);
        std::vector<int> holders;
        for (int i = 0; i < row.Holders; ++i) {
            int fd = ConnectTo(server.Port());
            ASSERT_GE(fd, 0) << what;
            SendAll(fd, row.Partial);
            holders.push_back(fd);
        }
        // Well-behaved requests before, across and after the cut are all answered.
        const auto start = std::chrono::steady_clock::now();
        int asked = 0, answered = 0;
        while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(3 * options.IdleMs)) {
            ++asked;
            Response r = Ask(server.Port(), "GET /waves/indice.txt HTTP/1.0\r\n\r\n");
            if (r.Status == 200 && r.Body == "Animais:animais.txt\r\n") ++answered;
        }
        EXPECT_EQ(answered, asked) << what;
        for (int fd : holders) {
            const std::string got = RecvToEnd(fd);  // ends: the server let the holder go
            EXPECT_EQ(got.find("200 OK"), std::string::npos) << what;
            ::close(fd);
        }
        EXPECT_EQ(Ask(server.Port(), "GET /waves/indice.txt HTTP/1.0\r\n\r\n").Status, 200) << what;
        EXPECT_NE(server.WaitForLog(" 408 0"), "") << what;
    }
}

TEST_F(Server, ClientLeavingMidBodyCostsNothing)
{
    Write("waves/big", Pattern(0, 32 * 1024 * 1024));
    ServerThread server(Root(), {});
    kapo::MessageQueue::Current();  // this thread's queue, which the count below must not see opening
    const int descriptors = OpenDescriptors();
    int fd = ConnectTo(server.Port());
    ASSERT_GE(fd, 0);
    SendAll(fd, "GET /waves/big HTTP/1.0\r\n\r\n");
    std::string first = RecvExactly(fd, 200000);
    ASSERT_EQ(first.size(), 200000u);
    CloseWithReset(fd);
    std::string line = server.WaitForLog("GET /waves/big 200");
    ASSERT_NE(line, "");
    EXPECT_LT(std::stoull(line.substr(line.rfind(' ') + 1)), 32ull * 1024 * 1024);
    // The client's socket, file and timer are gone once it is reaped; the next request is served.
    Response r = Ask(server.Port(), "GET /waves/indice.txt HTTP/1.0\r\n\r\n");
    EXPECT_EQ(r.Status, 200);
    ASSERT_TRUE(PumpUntil([&] { return OpenDescriptors() <= descriptors; }, 5000))
        << OpenDescriptors() << " descriptors open, " << descriptors << " before";
}

namespace {

long StatusField(pid_t pid, const std::string& name)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, name.size() + 1, name + ":") == 0) return std::stol(line.substr(name.size() + 1));
    return -1;
}

}  // namespace

TEST_F(Server, ProgramStreamsALargeFileInFlatMemoryAndStopsOnSigterm)
{
    constexpr std::size_t Size = 64 * 1024 * 1024;
    Write("waves/big", Pattern(0, Size));
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        // A small quarantine: freed pieces must not count as memory the server keeps.
        ::setenv("ASAN_OPTIONS", "quarantine_size_mb=4:detect_leaks=1", 1);
        ::execl(KORA_SERVER_PROGRAM, "kora-server", "--root", Root().c_str(), "--listen", "127.0.0.1:0", "--account",
                "ana:segredo", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    FILE* from = ::fdopen(out[0], "r");
    char text[512] = "";
    ASSERT_NE(std::fgets(text, sizeof text, from), nullptr);
    std::string first = text;
    std::size_t at = first.find("http://127.0.0.1:");
    ASSERT_NE(at, std::string::npos) << first;
    const auto port = static_cast<std::uint16_t>(std::stoi(first.substr(at + 17)));

    const long before = StatusField(pid, "VmRSS");
    int fd = ConnectTo(port);
    ASSERT_GE(fd, 0);
    SendAll(fd, "GET /waves/big HTTP/1.0\r\n\r\n");
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos && ::recv(fd, &c, 1, 0) == 1) head += c;
    std::size_t got = 0;
    bool same = true;
    std::vector<char> buf(1 << 16);
    for (;;) {
        ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0) break;
        for (ssize_t i = 0; i < n && same; i += 4093) same = static_cast<unsigned char>(buf[i]) == PatternByte(got + i);
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    const long peak = StatusField(pid, "VmHWM");
    EXPECT_EQ(got, Size);
    EXPECT_TRUE(same);
    EXPECT_LT(peak - before, 24 * 1024) << "kB: the file was held in memory";

    ::kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::string rest;
    while (std::fgets(text, sizeof text, from)) rest += text;
    ::fclose(from);
    EXPECT_NE(rest.find("GET /waves/big 200"), std::string::npos) << rest;
    EXPECT_NE(rest.find("kora-server: stopped"), std::string::npos) << rest;
}

TEST_F(Server, ClientsBeyondTheCapAreRefusedPolitely)
{
    TServerOptions options;
    options.MaxClients = 2;
    ServerThread server(Root(), {}, options);
    int a = ConnectTo(server.Port()), b = ConnectTo(server.Port());
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    // Both are taken in before the third knocks: each is asked for a line first.
    SendAll(a, "GET /waves/indice.txt HTTP/1.0\r\n");
    SendAll(b, "GET /waves/indice.txt HTTP/1.0\r\n");
    Response third;
    for (int i = 0; i < 50 && third.Status != 503; ++i) third = Ask(server.Port(), "GET /waves/indice.txt HTTP/1.0\r\n\r\n");
    EXPECT_EQ(third.Status, 503);
    EXPECT_TRUE(third.Ended);
    SendAll(a, "\r\n");
    EXPECT_EQ(ParseResponse(RecvToEnd(a)).Status, 200);
    ::close(a);
    ::close(b);
}

TEST_F(Server, RateLimitPacesTheBody)
{
    TServerOptions options;
    options.Rate = 1000000;
    ServerThread server(Root(), {{"ana", "segredo"}}, options);
    const auto start = std::chrono::steady_clock::now();
    Response r = Ask(server.Port(), "GET /club/waves/latido.wav HTTP/1.0\r\n" + Member + "\r\n");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.Status, 200);
    EXPECT_TRUE(r.Body == Pattern(0, 300000));
    // 300 kB at 1 MB/s, a tenth with the head and one more each tenth of a second: two tenths
    // at least.
    EXPECT_GE(took, std::chrono::milliseconds(180));
}
