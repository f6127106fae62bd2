// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// kxr-cli against a fake daemon in this process, over HTTPS (certificates made
// at test time by the openssl command), HTTP and a socket: what it trusts,
// how it signs in and out, and how it exits when refused.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "Base64.h"
#include "CliMain.h"
#include "CliTransport.h"
#include "Protocol.h"
#include "ResultCodes.h"
#include "Soap.h"

namespace KxrCli {
namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;

// A throwaway self-signed certificate for the names san, its common name localhost: base.pem and its key base.key.
struct Certificate { std::string file, key; };
Certificate MakeCertificate(const std::string& base, const std::string& san) {
  const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=localhost "
                              "-addext subjectAltName=" + san + " -keyout " + base + ".key -out " + base + ".pem 2>/dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  return {base + ".pem", base + ".key"};
}

const std::string kSession(64, 'e');

// The daemon as kxr-cli sees it: the password Env-Pw7 signs in to kSession; status 401 sends callers without it to
// sign in; stop gets SIGTERM at the call, held until dropped. seen: over TLS the server name and "|", then each
// request's target (the service as CALL), +C with the session, +A with an Authorization, a sign-in's form.
struct FakeDaemon {
  asio::io_context ioc;
  std::optional<asio::ssl::context> tls;
  unsigned status = 200;
  std::string body, seen;
  pid_t stop = 0;

  template <class Acceptor> void Accept(Acceptor& acceptor) {
    acceptor.async_accept([this, &acceptor](boost::system::error_code ec, typename Acceptor::protocol_type::socket socket) {
      if (ec) return;
      if (!tls) {
        Answer(socket);
      } else if (asio::ssl::stream<decltype(socket)&> stream(socket, *tls); !stream.handshake(asio::ssl::stream_base::server, ec)) {
        const char* name = SSL_get_servername(stream.native_handle(), TLSEXT_NAMETYPE_host_name);
        if (seen.empty()) seen = (name ? name : "") + std::string("|");
        Answer(stream);
        stream.shutdown(ec);
      }
      Accept(acceptor);
    });
  }
  template <class Stream> void Answer(Stream& stream) {
    boost::beast::flat_buffer buffer;
    http::request<http::string_body> request;
    boost::system::error_code ec;
    if (http::read(stream, buffer, request, ec), ec) return;
    const std::string target(request.target()), cookie(request[http::field::cookie]);
    const bool session = cookie == kSessionCookie + ("=" + kSession), signIn = target.find("/kxr-signin") != std::string::npos;
    const std::string::size_type call = target.find(KxrProtocol::kServicePath);
    seen += (seen.empty() || seen.back() == '|' ? "" : " ") + (call == std::string::npos ? target : target.substr(0, call) + "/CALL") +
            (session ? "+C" : cookie.empty() ? "" : "+?") + (request.count(http::field::authorization) ? "+A" : "") +
            (signIn ? " " + request.body() : "");
    http::response<http::string_body> response{http::status::ok, 11};
    if (signIn && request.body().find("password=Env-Pw7") != std::string::npos)
      response.set(http::field::set_cookie, kSessionCookie + ("=" + kSession + "; Secure; HttpOnly; SameSite=Strict; Path=/"));
    else if (signIn)
      response.result(403), response.body() = "Sign-in refused\r\n";
    else if (target.find("/kxr-signout") != std::string::npos)
      response.body() = "Signed out\r\n";
    else if (status == 401 && !session)
      response.result(call == std::string::npos ? 303 : 401), response.set(http::field::location, "/signin.htm");
    else if (stop > 0)
      return ::kill(stop, SIGTERM), (void)http::read(stream, buffer, request, ec);
    else
      response.result(status == 401 ? 200 : status), response.body() = body;
    response.prepare_payload();
    http::write(stream, response, ec);
  }
};

// One run of kxr-cli a case: whom it trusts, whether and how it signs in (once, signed out at the end, also after a
// failed call or SIGTERM), and how it exits when refused. No password goes out over plain HTTP, and none is shown.
TEST(CliTransport, TrustSignInAndRefusals) {
  const std::string home = testing::TempDir() + "kxr-cli-https-" + std::to_string(getpid()), empty = home + "/empty",
                    sock = home + "/web0";
  ASSERT_EQ(mkdir(home.c_str(), 0700) + mkdir(empty.c_str(), 0700), 0);
  std::ofstream(home + "/.netrc") << "machine other login x password y\nmachine 127.0.0.1 login viewer password Net-Pw9\n"
                                     "default login operator password Env-Pw7\n";
  const Certificate named = MakeCertificate(home + "/named", "DNS:localhost");
  const Certificate address = MakeCertificate(home + "/address", "IP:127.0.0.1");  // its common name alone names localhost
  const std::string ok = CSoap::CreateResponse(Base64::encode(std::string(8, '\0')));
  const std::string denied = CSoap::CreateFaultString(static_cast<int>(KxrResult::AccessDenied));
  const std::vector<std::string> cacertNamed{"--cacert", named.file}, cacertAddress{"--cacert", address.file};
  static uid_t uid = 0;
  gCallerUid = [] { return uid; };
  const struct {
    const char* url; const Certificate& cert; std::vector<std::string> options; const char* password; bool netrc;
    uid_t uid; unsigned status; const std::string& body; int exit; const char* seen; const char* message;
  } cases[] = {
      {"https://localhost:%/", named, cacertNamed, nullptr, false, 0, 200, ok, kExitOk, "localhost|/CALL", ""},
      {"https://127.0.0.1:%/", named, cacertNamed, nullptr, false, 0, 200, ok, kExitNoAnswer, "", "refused: the certificate is not for 127.0.0.1"},
      {"https://localhost:%/", address, cacertAddress, nullptr, false, 0, 200, ok, kExitNoAnswer, "", "refused: the certificate is not for localhost"},
      {"https://127.0.0.1:%/", address, cacertAddress, nullptr, false, 0, 200, ok, kExitOk, "|/CALL", ""},
      {"https://127.0.0.1:%/", address, {}, nullptr, false, 0, 200, ok, kExitNoAnswer, "", "certificate refused: "},
      {"https://127.0.0.1:%/", named, {"--insecure"}, nullptr, false, 0, 200, ok, kExitOk, "|/CALL", ""},
      {"https://127.0.0.1:%/config/", address, {"--insecure", "--user", "operator"}, "Env-Pw7 &=+%", false, 0, 401, ok, kExitOk,
       "|/config/kxr-signin user=operator&password=Env-Pw7%20%26%3D%2B%25 /config/CALL+C /config/kxr-signout+C", ""},
      {"https://127.0.0.1:%/", address, {"--insecure"}, "Env-Pw7", true, 0, 401, ok, kExitSignIn, "|/kxr-signin user=viewer&password=Net-Pw9",
       "sign-in refused by 127.0.0.1:"},
      {"https://127.0.0.1:%/", address, {"--insecure"}, nullptr, false, 0, 401, ok, kExitSignIn, "|/CALL", "asks for a sign-in: give --user"},
      {"https://127.0.0.1:%/", address, {"--insecure", "--user", "viewer"}, "Env-Pw7", false, 0, 200, denied, kExitDenied,
       "|/kxr-signin user=viewer&password=Env-Pw7 /CALL+C /kxr-signout+C", "access denied: the user viewer may not"},
      {"http://0.0.0.0:%/", named, {}, "Env-Pw7", true, 0, 401, ok, kExitSignIn, "/CALL", "sign-in, which goes over https:// only"},
      {"", named, {"--user", "operator"}, "Env-Pw7", false, 0, 200, ok, kExitOk, "/CALL", ""},
      {"", named, {"--user", "operator"}, "Env-Pw7", false, 1000, 401, ok, kExitOk, "/kxr-signin user=operator&password=Env-Pw7 /CALL+C /kxr-signout+C", ""},
      {"", named, {"save"}, nullptr, false, 1000, 401, ok, kExitSignIn, "/dictionary.json", "serves only root without a sign-in: give --user"},
      {"", named, {"--user", "operator", "save", "--dictionary", KXR_SOURCE_DIR "/contrib/www/dictionary.json", home + "/saved.json"},
       "Env-Pw7", false, 1000, 401, ok, -SIGTERM, "/kxr-signin user=operator&password=Env-Pw7 /CALL+C /kxr-signout+C", ""},
  };
  for (const auto& c : cases) {
    setenv("HOME", c.netrc ? home.c_str() : empty.c_str(), 1);
    c.password ? setenv("KXR_PASSWORD", c.password, 1) : unsetenv("KXR_PASSWORD");
    uid = c.uid;
    FakeDaemon daemon;
    std::tie(daemon.status, daemon.body) = std::tie(c.status, c.body);
    if (std::string(c.url).rfind("https", 0) == 0)
      daemon.tls.emplace(asio::ssl::context::tls_server), daemon.tls->use_certificate_chain_file(c.cert.file),
          daemon.tls->use_private_key_file(c.cert.key, asio::ssl::context::pem);
    asio::ip::tcp::acceptor tcp(daemon.ioc, {asio::ip::make_address("127.0.0.1"), 0});
    ::unlink(sock.c_str());
    asio::local::stream_protocol::acceptor local(daemon.ioc, sock);
    daemon.Accept(tcp), daemon.Accept(local);
    std::string url = c.url;
    if (!url.empty()) url.replace(url.find('%'), 1, std::to_string(tcp.local_endpoint().port()));
    std::vector<std::string> args{url.empty() ? "-s" : "-u", url.empty() ? sock : url};
    args.insert(args.end(), c.options.begin(), c.options.end());
    if (std::find(args.begin(), args.end(), "save") == args.end()) args.insert(args.end(), {"read", "0x1018:1"});
    std::ostringstream out, err;
    int exit = 0;
    if ((daemon.stop = c.exit < 0 ? ::fork() : 0) == 0 && c.exit < 0)  // dies of SIGTERM in a save, after signing out
      ::alarm(10), ::_exit(KxrCli::Run("kxr-cli", args, "/nonexistent", out, err));
    std::thread server([&] { daemon.ioc.run(); });
    if (daemon.stop > 0) ::waitpid(daemon.stop, &exit, 0), exit = WIFSIGNALED(exit) ? -WTERMSIG(exit) : WEXITSTATUS(exit);
    else exit = KxrCli::Run("kxr-cli", args, "/nonexistent", out, err);
    daemon.ioc.stop();
    server.join();
    EXPECT_EQ(exit, c.exit) << url << " " << err.str();
    EXPECT_EQ(daemon.seen, c.seen) << url;
    EXPECT_NE(err.str().find(c.message), std::string::npos) << err.str();
    EXPECT_EQ(err.str().find("-Pw"), std::string::npos) << err.str();
  }
  gCallerUid = ::getuid;
  std::filesystem::remove_all(home);
}

}  // namespace
}  // namespace KxrCli
