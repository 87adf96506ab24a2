// Test support: certificates made in memory (a CA and server certificates with the names a
// test asks for) and a TLS server that answers one handshake on a descriptor of its own.
//
//   qv::test::TestCa ca;                                   // writes ca.pem into a temp folder
//   qv::test::ServerCertificate leaf = ca.Issue("mail.example", {"DNS:mail.example"});
//   qv::test::TlsScriptedPeer peer(leaf, {}, {"* OK ready\r\n"});  // TLS from the first byte
//   SetConnectHook([&](const std::string&, int) { return peer.TakeClientEnd(); });
//
// Nothing touches the network: the server runs on a socketpair, which the socket layer's
// connect hook hands to the connection under test.
#pragma once

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace qv::test {

struct ServerCertificate {
  std::shared_ptr<X509> certificate;
  std::shared_ptr<EVP_PKEY> key;
};

class TestCa {
 public:
  TestCa() {
    key_.reset(EVP_EC_gen("P-256"), EVP_PKEY_free);
    certificate_.reset(Make("Quorvex Test CA", {}, true, nullptr, nullptr), X509_free);
    char folder[] = "/tmp/qv-tls-XXXXXX";
    if (mkdtemp(folder)) folder_ = folder;
    caFile_ = folder_ + "/ca.pem";
    if (FILE* file = std::fopen(caFile_.c_str(), "w")) {
      PEM_write_X509(file, certificate_.get());
      std::fclose(file);
    }
  }
  ~TestCa() {
    std::remove(caFile_.c_str());
    rmdir(folder_.c_str());
  }
  TestCa(const TestCa&) = delete;
  TestCa& operator=(const TestCa&) = delete;

  // The PEM file of the CA, for StartTls's caFile.
  const std::string& caFile() const { return caFile_; }

  // A server certificate with the common name `commonName` and the subjectAltName entries
  // `altNames` ("DNS:mail.example", "IP:127.0.0.1"; none: no subjectAltName at all).
  ServerCertificate Issue(const std::string& commonName, const std::vector<std::string>& altNames) const {
    ServerCertificate leaf;
    leaf.key.reset(EVP_EC_gen("P-256"), EVP_PKEY_free);
    leaf.certificate.reset(Make(commonName, altNames, false, leaf.key.get(), certificate_.get()), X509_free);
    return leaf;
  }

 private:
  // A certificate for `subjectKey` (null: the CA's own key), signed by the CA.
  X509* Make(const std::string& commonName, const std::vector<std::string>& altNames, bool ca, EVP_PKEY* subjectKey,
             X509* issuer) const {
    static long serial = 1;
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial++);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 24 * 3600);
    X509_set_pubkey(certificate, subjectKey ? subjectKey : key_.get());
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(certificate, issuer ? X509_get_subject_name(issuer) : name);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer ? issuer : certificate, certificate, nullptr, nullptr, 0);
    auto add = [&](int nid, const std::string& value) {
      X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
      if (extension) {
        X509_add_ext(certificate, extension, -1);
        X509_EXTENSION_free(extension);
      }
    };
    add(NID_basic_constraints, ca ? "critical,CA:TRUE" : "critical,CA:FALSE");
    add(NID_key_usage, ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature");
    if (!ca) add(NID_ext_key_usage, "serverAuth");
    std::string names;
    for (const std::string& altName : altNames) names += (names.empty() ? "" : ",") + altName;
    if (!names.empty()) add(NID_subject_alt_name, names);
    X509_sign(certificate, key_.get(), EVP_sha256());
    return certificate;
  }

  std::shared_ptr<EVP_PKEY> key_;
  std::shared_ptr<X509> certificate_;
  std::string folder_;
  std::string caFile_;
};

// A server that talks plain text, turns to TLS (with `leaf`) and talks on: a STARTTLS
// exchange seen from the server. `plainReplies[0]` is sent at once (the greeting); every
// further reply answers one line the client sent. After the plain replies the handshake runs;
// then each of `tlsReplies` answers one line (without plain replies, TLS from the first byte,
// the first is sent at once: the greeting), and lines are read until the client closes.
// Every line the client sent (without CR LF), plain or protected, is in received() once the
// peer is destroyed or finished() is true.
class TlsScriptedPeer {
 public:
  TlsScriptedPeer(const ServerCertificate& leaf, std::vector<std::string> plainReplies,
                  std::vector<std::string> tlsReplies) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return;
    clientEnd_ = ends[0];
    thread_ = std::thread([this, leaf, fd = ends[1], plain = std::move(plainReplies), tls = std::move(tlsReplies)] {
      Serve(leaf, fd, plain, tls);
      close(fd);
      finished_ = true;
    });
  }
  ~TlsScriptedPeer() {
    if (!taken_ && clientEnd_ >= 0) close(clientEnd_);
    if (thread_.joinable()) thread_.join();
  }
  TlsScriptedPeer(const TlsScriptedPeer&) = delete;
  TlsScriptedPeer& operator=(const TlsScriptedPeer&) = delete;

  // The client's end, now owned by the caller (for the connect hook).
  int TakeClientEnd() {
    taken_ = true;
    return clientEnd_;
  }
  bool finished() const { return finished_; }
  // Waits for the peer's end (the client closed); the lines it received.
  std::vector<std::string> received() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }
  bool handshakeDone() const { return handshakeDone_; }

 private:
  // One line from the plain socket or the TLS session; false at the end.
  bool ReadLine(int fd, SSL* ssl, std::string* line) {
    line->clear();
    char c;
    for (;;) {
      int n = ssl ? SSL_read(ssl, &c, 1) : static_cast<int>(::recv(fd, &c, 1, 0));
      if (n <= 0) return false;
      if (c == '\n') break;
      line->push_back(c);
    }
    if (!line->empty() && line->back() == '\r') line->pop_back();
    received_.push_back(*line);
    return true;
  }
  void Serve(const ServerCertificate& leaf, int fd, const std::vector<std::string>& plain,
             const std::vector<std::string>& tls) {
    std::string line;
    for (size_t i = 0; i < plain.size(); ++i) {
      if (i > 0 && !ReadLine(fd, nullptr, &line)) return;
      if (::send(fd, plain[i].data(), plain[i].size(), MSG_NOSIGNAL) < 0) return;
    }
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(context, leaf.certificate.get());
    SSL_CTX_use_PrivateKey(context, leaf.key.get());
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
      handshakeDone_ = true;
      for (size_t i = 0; i < tls.size(); ++i) {
        // TLS from the first byte: the first reply is the greeting.
        if ((i > 0 || !plain.empty()) && !ReadLine(fd, ssl, &line)) break;
        (void)SSL_write(ssl, tls[i].data(), static_cast<int>(tls[i].size()));
      }
      while (ReadLine(fd, ssl, &line)) {
      }
    } else {
      // What came instead of a handshake is kept as text, to see what the client said.
      while (ReadLine(fd, nullptr, &line)) {
      }
    }
    SSL_free(ssl);
    SSL_CTX_free(context);
    ERR_clear_error();
  }

  int clientEnd_ = -1;
  bool taken_ = false;
  std::thread thread_;
  std::atomic<bool> finished_{false};
  std::atomic<bool> handshakeDone_{false};
  std::vector<std::string> received_;
};

}  // namespace qv::test
