#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <memory>

#include "net/WSocket.h"
#include "tests/net/SocketTestSupport.h"

using namespace kapo;

namespace {

// Host names resolved locally, so that no test needs the network's name service.
int testResolver(const std::string& name, std::string& official, std::vector<std::uint32_t>& addrs)
{
    if (name == "peer.test") {
        official = "peer.test";
        addrs = {inet_addr("127.0.0.1"), inet_addr("127.0.0.2")};
        return 0;
    }
    return WSAHOST_NOT_FOUND;
}

class Binding : public ::testing::Test {
protected:
    void SetUp() override { SetNameResolver(testResolver); }
    void TearDown() override
    {
        SetNameResolver(nullptr);
        if (WSocketLiveCount() == 0) UnloadWinsock();  // conversions load the library without a socket
    }
};

std::string messageOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const Exception& e) {
        return e.Message();
    }
    return "(no exception)";
}

struct DottedCase {
    const char* Text;
    bool Dotted;
};

void PrintTo(const DottedCase& c, std::ostream* os)
{
    *os << "'" << c.Text << "'";
}

class DottedQuad : public ::testing::TestWithParam<DottedCase> {};

}  // namespace

TEST_P(DottedQuad, RecognisesDottedAddresses)
{
    EXPECT_EQ(IsDottedQuad(GetParam().Text), GetParam().Dotted) << "'" << GetParam().Text << "'";
}

INSTANTIATE_TEST_SUITE_P(Texts, DottedQuad,
                         ::testing::Values(DottedCase{"127.0.0.1", true}, DottedCase{"  10.1.2.3  ", true},
                                           DottedCase{"255.255.255.255", true}, DottedCase{"0.0.0.0", true},
                                           DottedCase{"1.2.3", false}, DottedCase{"1.2.3.4.5", false},
                                           DottedCase{".1.2.3", false}, DottedCase{"1.2.3.", false},
                                           DottedCase{"1..2.3", false}, DottedCase{"1.2.3.256", false},
                                           DottedCase{"300.1.1.1", false}, DottedCase{"1.2.3.4x", false},
                                           DottedCase{"1.2.3.4 x", false}, DottedCase{"", false},
                                           DottedCase{"   ", false}, DottedCase{"host.name", false}));

TEST_F(Binding, ParseDecimalReadsLeadingDigitsOnly)
{
    EXPECT_EQ(ParseDecimal("  8080abc"), 8080);
    EXPECT_EQ(ParseDecimal("x12"), 0);
    EXPECT_EQ(ParseDecimal(""), 0);
    EXPECT_EQ(ParseDecimal("99999999999999999999"), 2147483647);  // saturates instead of wrapping
}

TEST_F(Binding, ResolveHostAcceptsDottedNamesAndRejectsBadOnes)
{
    EXPECT_EQ(WSocketResolveHost(" 127.0.0.1 "), inet_addr("127.0.0.1"));
    EXPECT_EQ(WSocketResolveHost("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(WSocketResolveHost("peer.test"), inet_addr("127.0.0.1"));
    EXPECT_EQ(messageOf([] { WSocketResolveHost("1.2.3.09"); }),
              "WSocketResolveHost: '1.2.3.09' Invalid IP address.");  // dotted, but octal 09 is not a number
    EXPECT_EQ(messageOf([] { WSocketResolveHost(""); }), "WSocketResolveHost: '' Invalid Hostname.");
    EXPECT_EQ(messageOf([] { WSocketResolveHost(std::string(257, 'a')); }),
              "WSocketResolveHost: '" + std::string(257, 'a') + "' Invalid Hostname.");
    // Texts that are not dotted go to the name service.
    EXPECT_EQ(messageOf([] { WSocketResolveHost("1.2.3"); }),
              "WSocketResolveHost: Cannot convert host address '1.2.3', Error #11001");
    EXPECT_EQ(messageOf([] { WSocketResolveHost("nowhere.test"); }),
              "WSocketResolveHost: Cannot convert host address 'nowhere.test', Error #11001");
}

TEST_F(Binding, ResolvePortAndProtoUseNumbersOrTheSystemDatabases)
{
    EXPECT_EQ(WSocketResolvePort("8080", "tcp"), 8080);
    EXPECT_EQ(WSocketResolvePort("http", "tcp"), 80);
    EXPECT_EQ(WSocketResolvePort(" http ", " tcp "), 80);
    EXPECT_EQ(messageOf([] { WSocketResolvePort("", "tcp"); }), "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(messageOf([] { WSocketResolvePort(std::string(32, '1'), "tcp"); }), "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(messageOf([] { WSocketResolvePort("65536", "tcp"); }), "Range check error");
    EXPECT_EQ(messageOf([] { WSocketResolvePort("nosuchservice", "tcp"); }),
              "WSocketResolvePort: Cannot convert port 'nosuchservice', Error #11004");
    EXPECT_EQ(WSocketResolveProto("tcp"), 6);
    EXPECT_EQ(WSocketResolveProto(" udp"), 17);
    EXPECT_EQ(WSocketResolveProto("17"), 17);
    EXPECT_EQ(messageOf([] { WSocketResolveProto(""); }), "WSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(messageOf([] { WSocketResolveProto("bogus"); }),
              "WSocketResolveProto: Cannot convert protocol 'bogus', Error #11004");
}

TEST_F(Binding, ErrorTextsCoverTheTable)
{
    EXPECT_EQ(WinsockErrorText(0), "No Error");
    EXPECT_EQ(WinsockErrorText(10035), "Operation would block");
    EXPECT_EQ(WinsockErrorText(10047), "Address family not supported by protocol family");
    EXPECT_EQ(WinsockErrorText(10054), "Connection reset by peer");
    EXPECT_EQ(WinsockErrorText(10058), "Can't send after socket shutdown");
    EXPECT_EQ(WinsockErrorText(10093), "WinSock not initialized");
    EXPECT_EQ(WinsockErrorText(11004), "No Data");
    EXPECT_EQ(WinsockErrorText(10000), "Not a WinSock error");
    EXPECT_EQ(WinsockErrorText(-1), "Not a WinSock error");
    // Every number the library reports has a text of its own.
    for (int code : {10004, 10009, 10013, 10014, 10022, 10024, 10036, 10037, 10038, 10039, 10040, 10041, 10042,
                     10043, 10044, 10045, 10046, 10048, 10049, 10050, 10051, 10052, 10053, 10055, 10056, 10057,
                     10059, 10060, 10061, 10062, 10063, 10064, 10065, 10066, 10067, 10068, 10069, 10070, 10071,
                     10091, 10092, 11001, 11002, 11003})
        EXPECT_NE(WinsockErrorText(code), "Not a WinSock error") << code;
}

TEST_F(Binding, LibraryLoadsOnFirstUseAndUnloadsAfterTheLastSocket)
{
    ASSERT_EQ(WSocketLiveCount(), 0);
    ASSERT_FALSE(WinsockLoaded());
    {
        auto a = std::make_unique<TWSocket>();
        auto b = std::make_unique<TWSocket>();
        EXPECT_EQ(WSocketLiveCount(), 2);
        EXPECT_FALSE(WinsockLoaded());  // creating a socket does not load
        a->SetPort("0");
        a->SetAddr("127.0.0.1");
        a->Listen();
        EXPECT_TRUE(WinsockLoaded());
        EXPECT_EQ(WinsockStartupCount(), 1);
        a.reset();
        EXPECT_TRUE(WinsockLoaded());  // b still lives
        b.reset();
        EXPECT_FALSE(WinsockLoaded());
        EXPECT_EQ(WinsockStartupCount(), 0);
    }
    TWSocket c;
    c.SetPort("0");
    c.SetAddr("127.0.0.1");
    c.Listen();
    EXPECT_TRUE(WinsockLoaded());
    EXPECT_EQ(WinsockStartupCount(), 1);
}

TEST_F(Binding, MissingEntryPointIsReportedWhenFirstNeeded)
{
    ASSERT_FALSE(WinsockLoaded());
    void* old = SetWinsockEntry("listen", nullptr);
    {
        TWSocket s;
        s.SetPort("0");
        s.SetAddr("127.0.0.1");
        EXPECT_EQ(messageOf([&] { s.Listen(); }), "Procedure listen not found in kapo_sockets Error #127");
        EXPECT_EQ(messageOf([] { LoadWinsockEntry("bogus"); }), "Procedure bogus not found in kapo_sockets Error #127");
        EXPECT_EQ(LoadWinsockEntry(""), nullptr);
    }
    SetWinsockEntry("listen", old);
    EXPECT_FALSE(WinsockLoaded());
}
