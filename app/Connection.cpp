#include "app/Connection.h"

#include <utility>

#include "core/SysUtils.h"

namespace kapo {

void ApplyConnection(THttpCli& Cli, const std::string& Proxy, const std::string& Port)
{
    const std::string text = Trim(Proxy);
    std::string socksHost, socksLevel;
    for (const auto& [scheme, level] : {std::pair<std::string, std::string>{"socks5://", "5"},
                                        {"socks4a://", "4A"}, {"socks4://", "4"}}) {
        if (LowerCase(text.substr(0, scheme.size())) != scheme) continue;
        socksHost = text.substr(scheme.size());
        if (!socksHost.empty() && socksHost.back() == '/') socksHost.pop_back();
        socksLevel = level;
        break;
    }
    Cli.SetProxy(socksHost.empty() ? Proxy : std::string());
    Cli.SetProxyPort(Port);
    Cli.SetSocksServer(socksHost);
    Cli.SetSocksPort(socksHost.empty() ? std::string() : Port);
    Cli.SetSocksLevel(socksLevel);
}

}  // namespace kapo
