// The window's proxy field naming a SOCKS5 proxy: the fetch goes through it to the service.
#include <gtest/gtest.h>

// Before Qt, whose "signals" keyword would clash with the server's parameter names.
#include "net/HttpScriptedServer.h"
#include "net/SocksRelay.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/Unit1.h"
#include "support/GuiTestMain.h"

using namespace kapo;
using namespace httptest;
namespace fs = std::filesystem;

TEST(SocksWindow, FetchFileGoesThroughTheSocks5ProxyInTheProxyField)
{
    testsupport::Watchdog dog;
    const fs::path folder = fs::temp_directory_path() / ("kapo-socks-window-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    SetProgramFolderForTesting(folder.string());

    HttpScriptedServer server;
    server.Connection().Send("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nRIFF!").Close();
    testsupport::Socks5Relay proxy(1);
    {
        TForm1 form(nullptr);
        form.DoCreate();
        form.Proxy->SetText("SOCKS5://127.0.0.1");
        form.PrPort->SetText(proxy.PortText());
        // The service's name is known to the proxy only.
        const std::string base = "kora.test:" + server.PortText() + "/";
        const std::string local = form.PrivateFolder().Path();
        EXPECT_EQ(form.FetchFile(local, base, "som.wav", "ana", "pw"), "Ok!");
        std::ifstream in(local + "som.wav", std::ios::binary);
        std::stringstream got;
        got << in.rdbuf();
        EXPECT_EQ(got.str(), "RIFF!");
        EXPECT_EQ(form.HttpCli1->Proxy(), "");
    }
    ASSERT_TRUE(server.WaitDone());
    EXPECT_EQ(server.Request(0), "GET /som.wav HTTP/1.0\r\n" + HttpDefaultLines() + "Host: kora.test:" +
                                     server.PortText() + "\r\nAuthorization: Basic YW5hOnB3\r\n\r\n");
    proxy.Join();
    ASSERT_EQ(proxy.Seen.size(), 1u);
    EXPECT_EQ(proxy.Seen[0], testsupport::Socks5Seen("kora.test", server.Port()));

    SetProgramFolderForTesting("");
    std::error_code ec;
    fs::remove_all(folder, ec);
}
