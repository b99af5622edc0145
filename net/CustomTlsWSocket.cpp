// The TLS layer: a client session on memory buffers, fed from the socket's reads and drained
// into its send queue.
#include "net/CustomTlsWSocket.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>

namespace kapo {

namespace {

// One read from the connection below; a record is at most 16 KiB and a little more.
constexpr int kCipherChunk = 64 * 1024;

std::string LastSslErrorText()
{
    unsigned long e = ERR_peek_last_error();
    ERR_clear_error();
    if (e == 0) return "unexpected answer";
    const char* reason = ERR_reason_error_string(e);
    if (reason) return reason;
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    return buf;
}

bool IsAddressLiteral(const std::string& Host)
{
    ASN1_OCTET_STRING* ip = a2i_IPADDRESS(Host.c_str());
    if (!ip) {
        ERR_clear_error();
        return false;
    }
    ASN1_OCTET_STRING_free(ip);
    return true;
}

}  // namespace

TCustomTlsWSocket::TCustomTlsWSocket(TComponent* AOwner) : TLower(AOwner) {}

TCustomTlsWSocket::~TCustomTlsWSocket()
{
    EndSession();
    SSL_CTX_free(FCtx);
}

void TCustomTlsWSocket::SetTlsCaFile(const std::string& Value)
{
    if (Value == FTlsCaFile) return;
    FTlsCaFile = Value;
    // A live session keeps its own reference to the old context.
    SSL_CTX_free(FCtx);
    FCtx = nullptr;
}

void TCustomTlsWSocket::EndSession()
{
    SSL_free(FSsl);  // frees both buffers too
    FSsl = nullptr;
    FIn = nullptr;
    FOut = nullptr;
}

void TCustomTlsWSocket::RestoreDefaults()
{
    TLower::RestoreDefaults();
    EndSession();
    FTlsState = tlsOff;
    FPendingOut.clear();
    FPeerEnded = false;
    FCleanEnd = false;
}

// ---- starting a session -----------------------------------------------------------------

bool TCustomTlsWSocket::BeginSession(const std::string& Received)
{
    EndSession();
    FTlsErrorText.clear();
    FPendingOut.clear();
    FPeerEnded = false;
    FCleanEnd = false;
    ERR_clear_error();
    if (FTlsHost.empty()) {
        FTlsErrorText = "No host name to check the server's certificate against";
        return false;
    }
    if (!FCtx) {
        FCtx = SSL_CTX_new(TLS_client_method());
        if (!FCtx) {
            FTlsErrorText = "Cannot set up secure sessions: " + LastSslErrorText();
            return false;
        }
        SSL_CTX_set_min_proto_version(FCtx, TLS1_2_VERSION);
        SSL_CTX_set_verify(FCtx, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_default_verify_paths(FCtx);
        ERR_clear_error();  // a system without a store still works with a CA file
        if (!FTlsCaFile.empty() && SSL_CTX_load_verify_locations(FCtx, FTlsCaFile.c_str(), nullptr) != 1) {
            FTlsErrorText = "Cannot read the CA file " + FTlsCaFile + ": " + LastSslErrorText();
            SSL_CTX_free(FCtx);
            FCtx = nullptr;
            return false;
        }
    }
    FSsl = SSL_new(FCtx);
    FIn = BIO_new(BIO_s_mem());
    FOut = BIO_new(BIO_s_mem());
    if (!FSsl || !FIn || !FOut) {
        BIO_free(FIn);
        BIO_free(FOut);
        FIn = FOut = nullptr;
        EndSession();
        FTlsErrorText = "Cannot set up a secure session: " + LastSslErrorText();
        return false;
    }
    SSL_set_bio(FSsl, FIn, FOut);
    SSL_set_connect_state(FSsl);
    bool ok;
    if (IsAddressLiteral(FTlsHost)) {
        // An address is checked against the certificate's addresses and is never sent as a name.
        ok = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(FSsl), FTlsHost.c_str()) == 1;
    } else {
        SSL_set_hostflags(FSsl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        ok = SSL_set_tlsext_host_name(FSsl, FTlsHost.c_str()) == 1 && SSL_set1_host(FSsl, FTlsHost.c_str()) == 1;
    }
    if (!ok) {
        EndSession();
        FTlsErrorText = "Cannot check the server's certificate against " + FTlsHost + ": " + LastSslErrorText();
        return false;
    }
    if (!Received.empty()) BIO_write(FIn, Received.data(), static_cast<int>(Received.size()));
    FTlsState = tlsHandshake;
    return true;
}

void TCustomTlsWSocket::StartTls(const std::string& Host, const std::string& Received)
{
    if (FState != wsConnected) {
        RaiseError("StartTls: not connected");
        return;
    }
    FTlsHost = Host;
    if (!BeginSession(Received)) {
        HandshakeFailed(FTlsErrorText);
        return;
    }
    Handshake();
}

bool TCustomTlsWSocket::InterceptSessionConnected(std::uint16_t Error)
{
    if (FTlsState != tlsOff) return false;  // the layer's own report after its handshake
    if (!FTls || Error != 0 || FType != SOCK_STREAM) return false;
    // The connection below is up: the session is negotiated before anyone hears of it.
    if (!BeginSession(std::string())) {
        HandshakeFailed(FTlsErrorText);
        return true;
    }
    Handshake();
    return true;
}

void TCustomTlsWSocket::Handshake()
{
    ERR_clear_error();
    int r = SSL_do_handshake(FSsl);
    int e = r == 1 ? SSL_ERROR_NONE : SSL_get_error(FSsl, r);
    if (!FlushCipher()) return;  // the connection went away under the handshake
    if (r == 1) {
        FTlsState = tlsOpen;
        TLiveness guard = Liveness();
        if (!FPendingOut.empty()) {
            std::string held;
            held.swap(FPendingOut);
            Send(held.data(), static_cast<int>(held.size()));
            if (!guard || FTlsState != tlsOpen) return;
        }
        FireSessionConnected(0);
        return;
    }
    if (e == SSL_ERROR_WANT_READ && !FPeerEnded) return;
    if (e == SSL_ERROR_WANT_READ) {
        HandshakeFailed("The server closed the connection during the secure handshake");
        return;
    }
    long verify = SSL_get_verify_result(FSsl);
    if (verify != X509_V_OK) HandshakeFailed(VerifyFailureText(verify));
    else HandshakeFailed("The secure handshake with the server failed: " + LastSslErrorText());
}

std::string TCustomTlsWSocket::VerifyFailureText(long Result) const
{
    switch (Result) {
    case X509_V_ERR_CERT_HAS_EXPIRED: return "The server's certificate has expired";
    case X509_V_ERR_CERT_NOT_YET_VALID: return "The server's certificate is not valid yet";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH: return "The server's certificate names another host than " + FTlsHost;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_REJECTED: return "The server's certificate is not trusted";
    default: return std::string("The server's certificate was refused: ") + X509_verify_cert_error_string(Result);
    }
}

void TCustomTlsWSocket::HandshakeFailed(const std::string& Text)
{
    FTlsErrorText = Text;
    FTlsState = tlsFailed;
    ERR_clear_error();
    TLiveness guard = Liveness();
    FireSessionConnected(tlserrHandshake);
    if (!guard) return;
    if (FState != wsClosed) Close();
}

// ---- moving bytes -----------------------------------------------------------------------

// One read from the connection below into the session: above 0 the bytes taken, 0 at its end,
// -1 when nothing waits (or it failed: the error stays set).
int TCustomTlsWSocket::PullCipher()
{
    char buf[kCipherChunk];
    int n = TLower::DoRecv(buf, sizeof buf, 0);
    if (n > 0) {
        BIO_write(FIn, buf, n);
        return n;
    }
    if (n == 0) {
        FPeerEnded = true;
        return 0;
    }
    int err = WSocket_WSAGetLastError();
    if (err != WSAEWOULDBLOCK) {
        FPeerEnded = true;  // a reset ends the session as an end does
        WSocket_WSASetLastError(err);
    }
    return -1;
}

// Hands what the session wrote to the send queue, in one piece. False when the connection is
// gone afterwards.
bool TCustomTlsWSocket::FlushCipher()
{
    if (!FOut || BIO_ctrl_pending(FOut) == 0) return FHSocket != INVALID_SOCKET;
    char* p = nullptr;
    long n = BIO_get_mem_data(FOut, &p);
    // Copied out first: an OnSendData handler may send again while the queue takes it.
    std::string out(p, static_cast<std::size_t>(n));
    (void)BIO_reset(FOut);
    TLiveness guard = Liveness();
    int r = TLower::Send(out.data(), static_cast<int>(out.size()));
    return guard && r >= 0 && FHSocket != INVALID_SOCKET;
}

bool TCustomTlsWSocket::PlainReady() const
{
    return FSsl && (SSL_pending(FSsl) > 0 || BIO_ctrl_pending(FIn) > 0);
}

int TCustomTlsWSocket::DoRecv(void* Buffer, int Len, int Flags)
{
    if (FTlsState == tlsOff || Len <= 0) return TLower::DoRecv(Buffer, Len, Flags);
    if (FTlsState != tlsOpen) {
        WSocket_WSASetLastError(FTlsState == tlsHandshake ? WSAEWOULDBLOCK : WSAENOTCONN);
        return -1;
    }
    for (;;) {
        ERR_clear_error();
        int n = SSL_read(FSsl, Buffer, Len);
        if (n > 0) {
            ++FPlainTaken;
            ++FRecvCalls;
            return n;
        }
        int e = SSL_get_error(FSsl, n);
        if (e == SSL_ERROR_ZERO_RETURN) {
            FCleanEnd = true;
            return 0;
        }
        if (e == SSL_ERROR_WANT_READ) {
            if (FPeerEnded) {
                // The connection ended without the session's closing message: what came may
                // be cut short, and is not to be taken for the whole.
                if (FCleanEnd) return 0;
                FTlsErrorText = "The server ended the secure session without closing it";
                WSocket_WSASetLastError(tlserrTruncated);
                return -1;
            }
            if (PullCipher() < 0) return -1;
            continue;
        }
        if (e == SSL_ERROR_WANT_WRITE) {
            if (!FlushCipher()) return -1;
            continue;
        }
        FTlsErrorText = "The secure session failed: " + LastSslErrorText();
        FPeerEnded = true;
        WSocket_WSASetLastError(tlserrTruncated);
        return -1;
    }
}

bool TCustomTlsWSocket::FireDataAvailable(std::uint16_t Error)
{
    if (FTlsState == tlsOff) return TLower::FireDataAvailable(Error);
    TLiveness guard = Liveness();
    const SOCKET h = FHSocket;
    auto same = [&] { return guard && FHSocket == h; };
    if (FTlsState == tlsHandshake) {
        while (PullCipher() > 0) {
        }
        Handshake();
        if (!same() || FTlsState != tlsOpen) return true;
        // Bytes that came right behind the handshake are delivered now, not left waiting.
        if (!PlainReady() && !FPeerEnded) return true;
    }
    if (FTlsState != tlsOpen) {
        char junk[4096];
        while (TLower::DoRecv(junk, sizeof junk, 0) > 0) {
        }
        return true;
    }
    // The session holds what it has decrypted where the system cannot count it, so this layer
    // keeps calling while the handler takes clear text and more is at hand.
    for (;;) {
        const std::uint64_t taken = FPlainTaken;
        bool had = TLower::FireDataAvailable(Error);
        if (!same() || FTlsState != tlsOpen) return true;
        if (!had) {
            char junk[4096];
            while (TCustomTlsWSocket::DoRecv(junk, sizeof junk, 0) > 0) {
            }
            return true;
        }
        if (FPlainTaken == taken) break;
        if (FComponentOptions.Contains(wsoNoReceiveLoop)) break;
        if (!PlainReady()) break;
    }
    return true;
}

int TCustomTlsWSocket::SendFile(int Fd, std::int64_t Offset, std::int64_t Len)
{
    if (FTlsState == tlsOff) return TLower::SendFile(Fd, Offset, Len);
    WSocket_WSASetLastError(WSAEOPNOTSUPP);
    ReportError("SendFile");
    return -1;
}

int TCustomTlsWSocket::Send(const void* Data, int Len)
{
    if (FTlsState == tlsOff) return TLower::Send(Data, Len);
    if (FTlsState == tlsHandshake) {
        if (Len <= 0) return 0;
        FPendingOut.append(static_cast<const char*>(Data), static_cast<std::size_t>(Len));
        return Len;
    }
    if (FTlsState == tlsFailed) {
        // Never in clear over a connection that was meant to be secure.
        WSocket_WSASetLastError(WSAENOTCONN);
        ReportError("Send");
        return -1;
    }
    if (Len <= 0) return TLower::Send(Data, 0);
    ERR_clear_error();
    if (SSL_write(FSsl, Data, Len) != Len) {
        FTlsErrorText = "The secure session failed: " + LastSslErrorText();
        WSocket_WSASetLastError(WSAECONNABORTED);
        ReportError("Send");
        return -1;
    }
    FlushCipher();
    return Len;
}

void TCustomTlsWSocket::FireDataSent(std::uint16_t Error)
{
    if (FTlsState == tlsHandshake) return;  // the handshake's own bytes
    TLower::FireDataSent(Error);
}

void TCustomTlsWSocket::Close()
{
    if (FTlsState == tlsOpen && FState == wsConnected) {
        // The closing message tells the server the end is meant; a reset would not.
        ERR_clear_error();
        SSL_shutdown(FSsl);
        ERR_clear_error();
        TLiveness guard = Liveness();
        FlushCipher();
        if (!guard) return;
    }
    TLower::Close();
}

int TCustomTlsWSocket::RcvdCount()
{
    if (FTlsState == tlsOff || !FSsl) return TLower::RcvdCount();
    // At most this much clear text can be read now.
    int below = TLower::RcvdCount();
    return SSL_pending(FSsl) + static_cast<int>(BIO_ctrl_pending(FIn)) + std::max(below, 0);
}

}  // namespace kapo
