// The SOCKS layer of the socket chain: a stream connection through a SOCKS 4, 4A or 5 proxy.
// The application sets Addr and Port to the real destination, adds SocksServer and SocksPort,
// and hears OnSessionConnected only once the proxy has opened the path.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "net/CustomWSocket.h"

namespace kapo {

enum TSocksAuthentication { socksNoAuthentication, socksAuthenticateUsercode };
enum TSocksAuthState { socksAuthBegin, socksAuthSucceeded, socksAuthFailed, socksAuthSkipped };

using TSocksErrorEvent = std::function<void(TObject* Sender, int Error, const std::string& Msg)>;
using TSocksAuthStateEvent = std::function<void(TObject* Sender, TSocksAuthState AuthState)>;

// Codes of OnSocksError (and of the OnSessionConnected and OnSessionClosed that follow).
constexpr int socksLogicError = 20001;
constexpr int socksVersionError = 20002;
constexpr int socksMethodNotAcceptable = 20003;
constexpr int socksGeneralFailure = 20004;  // 20004 to 20011: SOCKS5 reply codes 1 to 8
constexpr int socksConnectionRefused = 20008;
constexpr int socksAddressTypeNotSupported = 20011;
constexpr int socksUnassignedError = 20012;
constexpr int socksInternalError = 20013;
constexpr int socksAuthenticationFailed = 20015;
constexpr int socksRequestRejected = 20016;
constexpr int socksResolveError = 20017;
// A user code, password or destination name that the request's one-byte length cannot carry.
constexpr int socksRequestTooLong = 20018;
// The proxy ended the connection before the negotiation was over.
constexpr int socksServerClosed = 20019;

// SOCKS negotiation layer of the chain; with no SOCKS server set it hands everything through.
class TCustomSocksWSocket : public TCustomWSocket {
public:
    // Holds the longest SOCKS5 reply (a 255-byte bound name) and what arrived behind it.
    static constexpr int SocksBufferSize = 512;

    explicit TCustomSocksWSocket(TComponent* AOwner = nullptr);

    // -- properties
    const std::string& SocksLevel() const { return FSocksLevel; }
    void SetSocksLevel(const std::string& Value);  // "4", "4A" or "5"; only while closed
    const std::string& SocksServer() const { return FSocksServer; }
    virtual void SetSocksServer(const std::string& Value);  // not empty: connect through it
    const std::string& SocksPort() const { return FSocksPort; }
    virtual void SetSocksPort(const std::string& Value);
    const std::string& SocksUsercode() const { return FSocksUsercode; }
    void SetSocksUsercode(const std::string& Value) { FSocksUsercode = Value; }
    const std::string& SocksPassword() const { return FSocksPassword; }
    void SetSocksPassword(const std::string& Value) { FSocksPassword = Value; }
    TSocksAuthentication SocksAuthentication() const { return FSocksAuthentication; }
    void SetSocksAuthentication(TSocksAuthentication Value) { FSocksAuthentication = Value; }
    // Where the SOCKS5 proxy bound its side of the connection, from its reply.
    const std::string& SocksBoundAddr() const { return FSocksBoundAddr; }
    const std::string& SocksBoundPort() const { return FSocksBoundPort; }

    // -- operations
    void Connect() override;
    void Listen() override;
    int RcvdCount() override;  // bytes behind the proxy's reply first

    // -- events
    TSessionConnected OnSocksConnected;  // the connection to the proxy itself
    TSocksErrorEvent OnSocksError;
    TSocksAuthStateEvent OnSocksAuthState;

protected:
    void RestoreDefaults() override;
    bool FireDataAvailable(std::uint16_t Error) override;
    void FireSessionConnected(std::uint16_t Error) override;
    void FireSessionClosed(std::uint16_t Error) override;
    void FireDataSent(std::uint16_t Error) override;
    int DoRecv(void* Buffer, int Len, int Flags) override;
    virtual void FireSocksConnected(std::uint16_t Error);
    virtual void FireSocksError(int Error, const std::string& Msg);
    virtual void FireSocksAuthState(TSocksAuthState AuthState);

    // Reports the failure, fails the application's connect and closes.
    void SocksFailure(int Code, const std::string& Msg);
    void SendSocksAuth();
    void SendSocksRequest();

private:
    void ResetSocks();
    void SendSocksBytes(const std::string& Bytes);
    std::string RequestTooLong() const;
    // Reads the proxy's reply bytes behind those already there, at most Room more; false when
    // the attempt has ended.
    bool ReadReply(int Room);
    bool GreetingReply();
    bool AuthReply();
    bool Socks4Reply();
    bool Socks5Reply();
    bool Established(int ReplyLen);
    bool HandOnData(std::uint16_t Error);

    std::string FSocksLevel = "5";
    std::string FSocksServer;
    std::string FSocksPort;
    std::string FSocksUsercode;
    std::string FSocksPassword;
    TSocksAuthentication FSocksAuthentication = socksNoAuthentication;
    std::string FSocksBoundAddr;
    std::string FSocksBoundPort;

    int FSocksPhase = 0;  // 0 idle or done, 1 greeting sent, 2 user/password sent, 3 request sent
    int FSocksMethod = 0;  // authentication method offered: 0 none, 2 user/password
    std::uint16_t FSocksDestPort = 0;
    unsigned char FSocksBuffer[SocksBufferSize]{};
    int FSocksCount = 0;  // reply bytes of the current phase
    int FSocksLeftCount = 0;  // bytes behind the final reply not yet handed out
    int FSocksLeftPos = 0;
    bool FSocksFailed = false;  // the failure of this attempt has been reported
};

}  // namespace kapo
