// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// kxr-cli against an HTTPS server in this process, with certificates made at
// test time: what it trusts, what it signs in with, and how it exits when refused.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "Base64.h"
#include "CliMain.h"
#include "ResultCodes.h"
#include "Soap.h"

namespace KxrCli {
namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;

// A self-signed certificate for the subject-alternative names san, its key, and the file of the certificate.
struct Certificate {
  std::string key, pem, file;
};

std::string Pem(const std::function<int(BIO*)>& write) {
  BIO* bio = BIO_new(BIO_s_mem());
  write(bio);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<std::size_t>(size));
  BIO_free(bio);
  return text;
}

Certificate MakeCertificate(const char* san, const std::string& file) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* x509 = X509_new();
  X509_set_version(x509, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x509), 1);
  X509_gmtime_adj(X509_getm_notBefore(x509), -60);
  X509_gmtime_adj(X509_getm_notAfter(x509), 3600);
  X509_set_pubkey(x509, key);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(x509), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("kxr test"), -1, -1, 0);
  X509_set_issuer_name(x509, X509_get_subject_name(x509));
  X509V3_CTX v3;
  X509V3_set_ctx(&v3, x509, x509, nullptr, nullptr, 0);
  X509_EXTENSION* names = X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name, san);
  X509_add_ext(x509, names, -1);
  X509_sign(x509, key, EVP_sha256());
  Certificate certificate{Pem([&](BIO* b) { return PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr); }),
                          Pem([&](BIO* b) { return PEM_write_bio_X509(b, x509); }), file};
  std::ofstream(file) << certificate.pem;
  X509_EXTENSION_free(names);
  X509_free(x509);
  EVP_PKEY_free(key);
  return certificate;
}

// Answers one connection within 5 s with status and body; authorization gets the request's Authorization header.
void ServeOne(asio::io_context& ioc, asio::ip::tcp::acceptor& acceptor, const Certificate& certificate,
              unsigned status, const std::string& body, std::string& authorization) {
  asio::ssl::context context(asio::ssl::context::tls_server);
  context.use_certificate_chain(asio::buffer(certificate.pem));
  context.use_private_key(asio::buffer(certificate.key), asio::ssl::context::pem);
  acceptor.async_accept([&](boost::system::error_code ec, asio::ip::tcp::socket socket) {
    asio::ssl::stream<asio::ip::tcp::socket> stream(std::move(socket), context);
    boost::beast::flat_buffer buffer;
    http::request<http::string_body> request;
    if (ec || stream.handshake(asio::ssl::stream_base::server, ec) || http::read(stream, buffer, request, ec) == 0) return;
    authorization = std::string(request[http::field::authorization]);
    http::response<http::string_body> response{static_cast<http::status>(status), 11, body};
    response.prepare_payload();
    http::write(stream, response, ec);
    stream.shutdown(ec);
  });
  ioc.restart();
  ioc.run_for(std::chrono::seconds(5));
  acceptor.cancel();
  ioc.restart();
  ioc.poll();
}

TEST(CliTransport, HttpsTrustSignInAndRefusals) {
  asio::io_context ioc;
  asio::ip::tcp::acceptor acceptor(ioc, {asio::ip::make_address("127.0.0.1"), 0});
  const std::string port = std::to_string(acceptor.local_endpoint().port());
  const std::string home = testing::TempDir() + "kxr-cli-https-" + std::to_string(getpid()), empty = home + "/empty";
  ASSERT_EQ(mkdir(home.c_str(), 0700) + mkdir(empty.c_str(), 0700), 0);
  std::ofstream(home + "/.netrc") << "machine other login x password y\nmachine 127.0.0.1 login viewer password Net-Pw9\n";
  const Certificate named = MakeCertificate("DNS:localhost", home + "/named.pem");
  const Certificate address = MakeCertificate("IP:127.0.0.1", home + "/address.pem");
  const std::string ok = CSoap::CreateResponse(Base64::encode(std::string(8, '\0')));
  const std::string denied = CSoap::CreateFaultString(static_cast<int>(KxrResult::AccessDenied));
  const std::vector<std::string> cacertNamed{"--cacert", named.file}, cacertAddress{"--cacert", address.file};
  const struct {
    const char* host; const Certificate& cert; std::vector<std::string> options; const char* password; bool netrc;
    unsigned status; const std::string& body; int exit; const char* sent; const char* message;
  } cases[] = {
      {"localhost", named, cacertNamed, nullptr, false, 200, ok, kExitOk, "", ""},
      {"127.0.0.1", named, cacertNamed, nullptr, false, 200, ok, kExitNoAnswer, nullptr, "refused: the certificate is not for 127.0.0.1"},
      {"127.0.0.1", address, cacertAddress, nullptr, false, 200, ok, kExitOk, "", ""},
      {"127.0.0.1", address, {}, nullptr, false, 200, ok, kExitNoAnswer, nullptr, "certificate refused: "},
      {"127.0.0.1", named, {"--insecure"}, nullptr, false, 200, ok, kExitOk, "", ""},
      {"127.0.0.1", address, {"--insecure", "--user", "operator"}, "Env-Pw7", true, 200, ok, kExitOk, "Basic b3BlcmF0b3I6RW52LVB3Nw==", ""},
      {"127.0.0.1", address, {"--insecure"}, "Env-Pw7", true, 401, ok, kExitSignIn, "Basic dmlld2VyOk5ldC1Qdzk=", "sign-in refused by 127.0.0.1:"},
      {"127.0.0.1", address, {"--insecure"}, nullptr, false, 401, ok, kExitSignIn, "", "asks for a sign-in"},
      {"127.0.0.1", address, {"--insecure", "--user", "viewer"}, "Env-Pw7", false, 200, denied, kExitDenied, nullptr, "access denied: the user viewer may not"},
      {"127.0.0.1", address, {"--insecure"}, nullptr, false, 429, ok, kExitNoAnswer, nullptr, "HTTP status 429 Too Many Requests"},
  };
  for (const auto& c : cases) {
    setenv("HOME", c.netrc ? home.c_str() : empty.c_str(), 1);
    c.password ? setenv("KXR_PASSWORD", c.password, 1) : unsetenv("KXR_PASSWORD");
    std::string sent = "(none)";
    std::thread server([&] { ServeOne(ioc, acceptor, c.cert, c.status, c.body, sent); });
    std::vector<std::string> args{"-u", std::string("https://") + c.host + ":" + port + "/"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.insert(args.end(), {"read", "0x1018:1"});
    std::ostringstream out, err;
    EXPECT_EQ(KxrCli::Run("kxr-cli", args, "/nonexistent", out, err), c.exit) << c.host << " " << err.str();
    server.join();
    EXPECT_EQ(c.sent ? sent : "", c.sent ? c.sent : "") << c.host;
    EXPECT_NE(err.str().find(c.message), std::string::npos) << err.str();
    EXPECT_EQ(err.str().find("-Pw"), std::string::npos) << err.str();
  }
}

}  // namespace
}  // namespace KxrCli
