// The TLS layer of the socket chain: it sits above the SOCKS layer, so that a tunnel is
// negotiated in clear first and the secure session runs inside it, and below line mode, so
// that lines are cut from the clear text.
#pragma once

#include <cstdint>
#include <string>

#include "net/CustomSocksWSocket.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct bio_st BIO;

namespace kapo {

// Errors the layer reports as OnSessionConnected's (handshake) or Receive's (a session cut
// without its closing message) error code; TlsErrorText says what happened.
constexpr std::uint16_t tlserrHandshake = 12100;
constexpr std::uint16_t tlserrTruncated = 12101;

enum TTlsState { tlsOff, tlsHandshake, tlsOpen, tlsFailed };

// Secure sessions on OpenSSL, driven by the socket's own events: what the socket receives is
// fed to the session through a memory buffer, and what the session writes goes to the send
// queue, so no call ever blocks the thread. The server's certificate is checked against the
// system's store (and an extra CA file when given) and must name the host; TLS 1.2 at least.
// With Tls off (the default) every operation and event goes through unchanged.
class TCustomTlsWSocket : public TCustomSocksWSocket {
public:
    using TLower = TCustomSocksWSocket;

    explicit TCustomTlsWSocket(TComponent* AOwner = nullptr);
    ~TCustomTlsWSocket() override;

    // -- properties
    // When set, Connect's connection runs the handshake before OnSessionConnected is raised.
    bool Tls() const { return FTls; }
    void SetTls(bool Value) { FTls = Value; }
    // The name the certificate must carry, also sent as the server name; a dotted address is
    // checked against the certificate's addresses.
    const std::string& TlsHost() const { return FTlsHost; }
    void SetTlsHost(const std::string& Value) { FTlsHost = Value; }
    // A file of PEM certificates trusted besides the system's store; empty for none.
    const std::string& TlsCaFile() const { return FTlsCaFile; }
    void SetTlsCaFile(const std::string& Value);
    TTlsState TlsState() const { return FTlsState; }
    // Why the last session failed, in words; empty when none did.
    const std::string& TlsErrorText() const { return FTlsErrorText; }

    // Starts the handshake on a connection that is already open (a proxy's tunnel). Bytes
    // already read from the connection that belong to the session go in Received. Completion
    // is reported as OnSessionConnected, with tlserrHandshake when it failed.
    void StartTls(const std::string& Host, const std::string& Received = std::string());

    // -- overridden operations
    int Send(const void* Data, int Len) override;
    // A secure session must encrypt what it sends, so a file cannot go straight from the
    // system: refused (WSAEOPNOTSUPP) unless TLS is off.
    int SendFile(int Fd, std::int64_t Offset, std::int64_t Len) override;
    void Close() override;
    int RcvdCount() override;

protected:
    bool InterceptSessionConnected(std::uint16_t Error) override;
    bool FireDataAvailable(std::uint16_t Error) override;
    void FireDataSent(std::uint16_t Error) override;
    int DoRecv(void* Buffer, int Len, int Flags) override;
    void RestoreDefaults() override;

private:
    bool BeginSession(const std::string& Received);
    void EndSession();
    void Handshake();
    void HandshakeFailed(const std::string& Text);
    int PullCipher();
    bool FlushCipher();
    bool PlainReady() const;
    std::string VerifyFailureText(long Result) const;

    bool FTls = false;
    std::string FTlsHost;
    std::string FTlsCaFile;
    std::string FTlsErrorText;
    TTlsState FTlsState = tlsOff;
    SSL_CTX* FCtx = nullptr;  // made with the first session, kept while the CA file stays
    SSL* FSsl = nullptr;
    BIO* FIn = nullptr;   // owned by FSsl: what came from the network
    BIO* FOut = nullptr;  // owned by FSsl: what goes to the network
    std::string FPendingOut;  // clear text sent before the handshake ended
    bool FPeerEnded = false;  // the connection below reported its end
    bool FCleanEnd = false;   // the server ended its session properly
    std::uint64_t FPlainTaken = 0;  // successful reads of clear text
};

}  // namespace kapo
