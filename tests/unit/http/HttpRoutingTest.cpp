// Routing by method and target, file names below the document root, content types.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "HttpRouting.h"

using namespace KXRWebservice;
using boost::beast::http::verb;

namespace {

const std::string kRoot = "/srv/www";

struct RouteCase {
  verb method;
  const char* target;
  Route route;
  const char* path;
};

struct FileCase {
  const char* path;
  bool found;
  const char* fileName;  // below kRoot
};

}  // namespace

TEST(Routing, DecidesByMethodAndRewrittenTarget) {
  const RouteCase cases[] = {
      {verb::get, "/", Route::File, "/index.htm"},
      {verb::get, "/config", Route::File, "/index.htm"},
      {verb::get, "/config/", Route::File, "/index.htm"},
      {verb::get, "/config/index.htm", Route::File, "/index.htm"},
      {verb::get, "/configx.htm", Route::File, "x.htm"},
      {verb::get, "/?x", Route::File, "/?x"},
      {verb::get, "/config?x", Route::File, "?x"},
      {verb::post, "/page.htm", Route::File, "/page.htm"},
      {verb::post, "/config/KxrWebService/KxrWebService.dll", Route::Endpoint,
       "/KxrWebService/KxrWebService.dll"},
      {verb::get, "/any/prefix/KxrWebService/KxrWebService.dll?x", Route::Endpoint,
       "/any/prefix/KxrWebService/KxrWebService.dll?x"},
      {verb::post, "/kxrwebservice/kxrwebservice.dll", Route::File, "/kxrwebservice/kxrwebservice.dll"},
      {verb::head, "/index.htm", Route::BadMethod, "/index.htm"},
      {verb::put, "/KxrWebService/KxrWebService.dll", Route::BadMethod, "/KxrWebService/KxrWebService.dll"},
      {verb::unknown, "/", Route::BadMethod, "/index.htm"},
  };
  for (const RouteCase& c : cases) {
    const RouteDecision decision = decide_route(c.method, c.target);
    EXPECT_EQ(decision.route, c.route) << c.target;
    EXPECT_EQ(decision.path, c.path) << c.target;
  }
  EXPECT_EQ(bad_method_body("HEAD"), "Invalid request-method 'HEAD'\r\n");
}

TEST(Routing, MapsPathsToFileNamesOrRefusesThem) {
  const FileCase cases[] = {
      {"/index.htm", true, "/index.htm"},
      {"/index.htm?v=2", true, "/index.htm"},
      {"/a.htm?x?y", true, "/a.htm?x"},
      {"/sub/page.htm", true, "/sub/page.htm"},
      {"/?x", false, ""},
      {"/", false, ""},
      {"x.htm", false, ""},
      {"", false, ""},
      {"/../etc/passwd", false, ""},
      {"/a/..b", false, ""},
      {"/a.htm?..", false, ""},
  };
  for (const FileCase& c : cases) {
    std::string fileName;
    EXPECT_EQ(file_name_for(kRoot, c.path, fileName), c.found) << c.path;
    if (c.found) {
      EXPECT_EQ(fileName, kRoot + c.fileName) << c.path;
    }
  }
}

TEST(Routing, ContentTypeByExtension) {
  const std::pair<const char*, const char*> cases[] = {
      {"/a.htm", "text/html"}, {"/a.css", "text/css"}, {"/a.js", "application/javascript"},
      {"/LOGO.PNG", "image/png"}, {"/archive.tar.gz", "application/text"}, {"/readme", "application/text"}};
  for (const auto& [path, type] : cases) EXPECT_EQ(mime_type(path), type) << path;
}

// Only regular files open; a directory or a FIFO is refused without blocking.
TEST(Routing, OpensRegularFilesOnly) {
  char dirTemplate[] = "/tmp/kxr_routing_XXXXXX";
  const std::string dir = ::mkdtemp(dirTemplate);
  std::ofstream(dir + "/page.htm") << "hello";
  ASSERT_EQ(::mkdir((dir + "/sub").c_str(), 0755) | ::mkfifo((dir + "/fifo").c_str(), 0644), 0);
  for (const auto& [name, opens] : {std::pair{"/page.htm", true}, {"/sub", false}, {"/fifo", false}, {"/none", false}}) {
    boost::beast::error_code ec;
    int fd = -1;
    std::uint64_t size = 0;
    open_regular_fd(dir, dir + name, fd, size, ec);
    EXPECT_EQ(!ec && fd >= 0 && size == 5, opens) << name << ": " << ec.message();
    if (fd >= 0) ::close(fd);
  }
  for (const char* name : {"/page.htm", "/fifo", "/sub", ""}) ::remove((dir + name).c_str());
}
