// Test peers for secure sessions: certificates made at run time (a test CA and server
// certificates good, expired, for another name and from an unknown CA), a TLS server on
// loopback that plays one script per connection on a thread, and a scripted HTTP proxy that
// answers CONNECT and relays the tunnel.
#pragma once

#include <gtest/gtest.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/net/HttpScriptedServer.h"
#include "tests/net/SocketTestSupport.h"

namespace tlstest {

using namespace std::chrono_literals;

struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree {
    void operator()(X509* c) const { X509_free(c); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

struct Identity {
    Key PrivateKey;
    Cert Certificate;
};

inline void AddExt(X509* cert, X509* issuer, int nid, const char* value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    ASSERT_NE(ext, nullptr) << value;
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

// A certificate for CommonName, valid from NotBefore to NotAfter seconds from now, signed by
// the issuer (self-signed when none).
inline Identity MakeIdentity(const std::string& CommonName, const Identity* Issuer, bool Ca, const std::string& AltNames,
                             long NotBefore = -3600, long NotAfter = 86400)
{
    static long serial = 1;
    Identity id;
    id.PrivateKey.reset(EVP_EC_gen("P-256"));
    id.Certificate.reset(X509_new());
    X509* x = id.Certificate.get();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), ++serial);
    X509_gmtime_adj(X509_getm_notBefore(x), NotBefore);
    X509_gmtime_adj(X509_getm_notAfter(x), NotAfter);
    X509_set_pubkey(x, id.PrivateKey.get());
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(CommonName.c_str()),
                               -1, -1, 0);
    X509* issuer = Issuer ? Issuer->Certificate.get() : x;
    X509_set_issuer_name(x, X509_get_subject_name(issuer));
    AddExt(x, issuer, NID_basic_constraints, Ca ? "critical,CA:TRUE" : "critical,CA:FALSE");
    AddExt(x, issuer, NID_key_usage, Ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature");
    AddExt(x, issuer, NID_subject_key_identifier, "hash");
    if (Issuer) AddExt(x, issuer, NID_authority_key_identifier, "keyid:always");
    if (!AltNames.empty()) AddExt(x, issuer, NID_subject_alt_name, AltNames.c_str());
    X509_sign(x, Issuer ? Issuer->PrivateKey.get() : id.PrivateKey.get(), EVP_sha256());
    return id;
}

// Everything the tests trust or refuse, made once per test program; the CA file lives in a
// temporary folder removed at exit.
struct Pki {
    Identity Ca, StrangerCa, Good, Expired, OtherName, Unknown;
    std::string Folder, CaFile;

    static Pki& Get()
    {
        static Pki pki;
        return pki;
    }

private:
    Pki()
    {
        Ca = MakeIdentity("Kapo Test CA", nullptr, true, "");
        StrangerCa = MakeIdentity("Stranger CA", nullptr, true, "");
        Good = MakeIdentity("localhost", &Ca, false, "DNS:localhost,IP:127.0.0.1");
        Expired = MakeIdentity("localhost", &Ca, false, "DNS:localhost,IP:127.0.0.1", -10 * 86400, -86400);
        OtherName = MakeIdentity("other.test", &Ca, false, "DNS:other.test");
        Unknown = MakeIdentity("localhost", &StrangerCa, false, "DNS:localhost,IP:127.0.0.1");
        char tmpl[] = "/tmp/kapo-tls-XXXXXX";
        Folder = ::mkdtemp(tmpl);
        CaFile = Folder + "/ca.pem";
        FILE* f = std::fopen(CaFile.c_str(), "w");
        PEM_write_X509(f, Ca.Certificate.get());
        std::fclose(f);
    }
    ~Pki()
    {
        std::remove(CaFile.c_str());
        ::rmdir(Folder.c_str());
    }
};

// One accepted connection of the TLS server: a server session on memory buffers over a
// blocking socket, so the script decides how its bytes are cut.
class TlsPeer {
public:
    TlsPeer(int fd) : FFd(fd) { testsupport::SetTimeouts(fd, testsupport::kDeadlineMs); }
    ~TlsPeer()
    {
        SSL_free(FSsl);
        SSL_CTX_free(FCtx);
    }
    int Fd() const { return FFd; }

    // Runs the server's side of the handshake; SplitBytes sends every byte of it on its own.
    // MaxVersion 0 leaves the newest version allowed. A Greeting leaves in the same write as
    // the server's last handshake message.
    bool Accept(const Identity& id, bool SplitBytes = false, int MaxVersion = 0, const std::string& Greeting = "")
    {
        FCtx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(FCtx, id.Certificate.get());
        SSL_CTX_use_PrivateKey(FCtx, id.PrivateKey.get());
        if (MaxVersion) SSL_CTX_set_max_proto_version(FCtx, MaxVersion);
        FSsl = SSL_new(FCtx);
        SSL_set_bio(FSsl, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
        SSL_set_accept_state(FSsl);
        FSplit = SplitBytes;
        for (;;) {
            int r = SSL_do_handshake(FSsl);
            if (r == 1 && !Greeting.empty()) SSL_write(FSsl, Greeting.data(), static_cast<int>(Greeting.size()));
            bool sent = Flush();
            FSplit = false;
            if (r == 1) return sent;
            FSplit = SplitBytes;
            if (!sent || SSL_get_error(FSsl, r) != SSL_ERROR_WANT_READ || !Pull()) {
                ERR_clear_error();
                return false;
            }
        }
    }
    // Reads the clear text of a request header (up to its empty line).
    std::string ReadRequest()
    {
        std::string got;
        char buf[4096];
        while (got.find("\r\n\r\n") == std::string::npos) {
            int n = SSL_read(FSsl, buf, sizeof buf);
            if (n > 0) {
                got.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            if (SSL_get_error(FSsl, n) != SSL_ERROR_WANT_READ || !Pull()) break;
        }
        ERR_clear_error();
        return got;
    }
    // Encrypts Data; it goes out with the next Flush (or at once when Now).
    bool Write(const std::string& Data, bool Now = true)
    {
        if (!Data.empty() && SSL_write(FSsl, Data.data(), static_cast<int>(Data.size())) <= 0) return false;
        return !Now || Flush();
    }
    bool WritePattern(std::uint64_t Count)
    {
        for (std::uint64_t done = 0; done < Count;) {
            std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(1 << 16, Count - done));
            if (!Write(httptest::HttpPattern(done, n))) return false;
            done += n;
        }
        return true;
    }
    // Ends the session with its closing message, or without it (a cut connection).
    void Close(bool CloseNotify = true)
    {
        if (CloseNotify && FSsl) {
            SSL_shutdown(FSsl);
            Flush();
        }
        ::shutdown(FFd, SHUT_WR);
        testsupport::RecvToEnd(FFd);
    }
    // Reads the client's first flight without answering it.
    bool PullOnce()
    {
        char buf[16384];
        return ::recv(FFd, buf, sizeof buf, 0) > 0;
    }
    // The bytes the session has written so far, taken off without sending them.
    std::string TakeOutput()
    {
        std::string s;
        char buf[16384];
        for (int n; (n = BIO_read(SSL_get_wbio(FSsl), buf, sizeof buf)) > 0;) s.append(buf, static_cast<std::size_t>(n));
        return s;
    }
    SSL* Session() { return FSsl; }

private:
    bool Pull()
    {
        char buf[16384];
        ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        BIO_write(SSL_get_rbio(FSsl), buf, static_cast<int>(n));
        return true;
    }
    bool Flush()
    {
        std::string out = TakeOutput();
        if (!FSplit) return testsupport::SendAll(FFd, out);
        for (char c : out) {
            if (!testsupport::SendAll(FFd, std::string(1, c))) return false;
            // Paced, so that the bytes reach the client as separate reads.
            std::this_thread::sleep_for(200us);
        }
        return true;
    }

    int FFd;
    SSL_CTX* FCtx = nullptr;
    SSL* FSsl = nullptr;
    bool FSplit = false;
};

// A loopback server that runs one script per accepted connection, in order, and records
// the clear-text requests the scripts read.
class TlsServer {
public:
    using Script = std::function<void(TlsPeer&)>;

    TlsServer()
    {
        FListen = testsupport::ListenOnLoopback(8);
        FPort = testsupport::PortOf(FListen);
    }
    ~TlsServer()
    {
        Join();
        ::close(FListen);
    }
    // Starts serving; each script gets one connection.
    void Serve(std::vector<Script> scripts)
    {
        FThread = std::thread([this, scripts = std::move(scripts)] {
            for (const Script& s : scripts) {
                pollfd p{FListen, POLLIN, 0};
                if (::poll(&p, 1, testsupport::kDeadlineMs) != 1) return;
                int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) return;
                {
                    TlsPeer peer(fd);
                    s(peer);
                }
                ::close(fd);
            }
        });
    }
    void Join()
    {
        if (FThread.joinable()) FThread.join();
    }
    void Record(const std::string& request)
    {
        std::lock_guard<std::mutex> g(FLock);
        FRequests.push_back(request);
    }
    std::vector<std::string> Requests()
    {
        std::lock_guard<std::mutex> g(FLock);
        return FRequests;
    }
    std::string PortText() const { return std::to_string(FPort); }
    std::string Url(const std::string& path, const std::string& host = "localhost") const
    {
        return "https://" + host + ":" + PortText() + path;
    }

    // The common script: handshake with the identity, read and record the request, answer.
    Script Answer(const std::string& response, const Identity& id = Pki::Get().Good)
    {
        return [this, response, &id](TlsPeer& p) {
            if (!p.Accept(id)) return;
            Record(p.ReadRequest());
            p.Write(response);
            p.Close();
        };
    }

private:
    int FListen = -1;
    std::uint16_t FPort = 0;
    std::thread FThread;
    std::mutex FLock;
    std::vector<std::string> FRequests;
};

// An HTTP proxy for one connection: reads the CONNECT request, answers with Reply and, when
// the reply is a 200, relays the tunnel to the loopback port the request named.
class ConnectProxy {
public:
    explicit ConnectProxy(std::string Reply)
        : FPeer([this, Reply](int fd) { Run(fd, Reply); })
    {
    }
    std::string PortText() const { return FPeer.PortText(); }
    std::string Request()
    {
        FPeer.Join();
        return FRequest;
    }
    // What the client sent behind its CONNECT request when the proxy refused.
    std::string After()
    {
        FPeer.Join();
        return FAfter;
    }

private:
    void Run(int fd, const std::string& reply)
    {
        char buf[65536];
        while (FRequest.find("\r\n\r\n") == std::string::npos) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return;
            FRequest.append(buf, static_cast<std::size_t>(n));
        }
        testsupport::SendAll(fd, reply);
        if (reply.compare(9, 3, "200") != 0 || reply.find("\r\n\r\n") == std::string::npos) {
            ::shutdown(fd, SHUT_WR);
            FAfter = testsupport::RecvToEnd(fd);
            ::close(fd);
            return;
        }
        std::size_t colon = FRequest.find(':');
        int target = testsupport::ConnectTo(static_cast<std::uint16_t>(std::atoi(FRequest.c_str() + colon + 1)));
        Relay(fd, target);
        ::close(target);
        ::close(fd);
    }
    static void Relay(int a, int b)
    {
        char buf[65536];
        bool aOpen = true, bOpen = true;
        while (aOpen || bOpen) {
            pollfd p[2] = {{a, static_cast<short>(aOpen ? POLLIN : 0), 0}, {b, static_cast<short>(bOpen ? POLLIN : 0), 0}};
            if (::poll(p, 2, testsupport::kDeadlineMs) <= 0) return;
            for (int i = 0; i < 2; ++i) {
                if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                int from = i == 0 ? a : b, to = i == 0 ? b : a;
                ssize_t n = ::recv(from, buf, sizeof buf, 0);
                if (n > 0) {
                    if (!testsupport::SendAll(to, std::string(buf, static_cast<std::size_t>(n)))) return;
                } else {
                    ::shutdown(to, SHUT_WR);
                    (i == 0 ? aOpen : bOpen) = false;
                }
            }
        }
    }

    std::string FRequest, FAfter;
    testsupport::ScriptedPeer FPeer;
};

}  // namespace tlstest
