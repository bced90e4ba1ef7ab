#include "server/HTTPRequest.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "support/Process.h"
#include "support/UpdateServerFixture.h"

namespace {

using Params = std::map<std::string, std::string>;
using namespace std::chrono_literals;

TEST(HTTPRequestURL, ParametersInKeyOrderUnescapedWithTrailingAmpersand) {
  struct {
    Params params;
    const char* url;
  } cases[] = {
      {{}, "http://h/cgi/u"},
      {{{"bird", "1"}, {"a", "2"}}, "http://h/cgi/u?a=2&bird=1&"},
      {{{"op", "hi"}, {"rv", "2"}}, "http://h/cgi/u?op=hi&rv=2&"},
      // byte-wise order: upper case before lower case
      {{{"b", "1"}, {"B", "2"}, {"a", "3"}}, "http://h/cgi/u?B=2&a=3&b=1&"},
      // values go as they are, but for what no request line can carry
      {{{"fw", "2.1&x=%"}, {"fp", "1%202"}}, "http://h/cgi/u?fp=1%202&fw=2.1&x=%&"},
      {{{"fw", "2.1 beta\t\x7F\xC3\xA9"}}, "http://h/cgi/u?fw=2.1%20beta%09%7F%C3%A9&"},
      // "#" would cut the query short: the parameters after it would be lost
      {{{"fw", "2.1#3"}, {"op", "bird"}}, "http://h/cgi/u?fw=2.1%233&op=bird&"},
  };
  for (const auto& c : cases) EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", c.params), c.url);
}

class HTTPRequestLive : public ::testing::Test {
 protected:
  void TearDown() override { HTTPRequest::SetTimeouts(0ms, 0ms); }
  tstest::TempDir repo;
};

TEST_F(HTTPRequestLive, ReturnsStatusBodyAndRequestedURL) {
  tstest::UpdateServer server(repo.path());
  HTTPResponse r = HTTPRequest::GET(server.url(), {{"op", "hi"}, {"rv", "2"}});
  EXPECT_EQ(r.get_status(), 200);
  EXPECT_EQ(r.get_response(), "ok\n");
  EXPECT_EQ(r.get_request(), server.url() + "?op=hi&rv=2&");
  EXPECT_EQ(server.queries(), std::vector<std::string>{"op=hi&rv=2&"});
}

TEST_F(HTTPRequestLive, AnyStatusIsAResponseNotAnError) {
  tstest::UpdateServer server(repo.path());
  HTTPResponse r = HTTPRequest::GET(server.url(), {{"op", "qu"}, {"sn", "00000001"}});
  EXPECT_EQ(r.get_status(), 404);
  tstest::UpdateServer failing(repo.path(), {"--fault", "status500"});
  EXPECT_EQ(HTTPRequest::GET(failing.url(), {{"op", "hi"}}).get_status(), 500);
}

TEST_F(HTTPRequestLive, BodyInManyPiecesIsTheirConcatenation) {
  tstest::BirdSpec spec;
  spec.firmware = std::string(3000, 'x');
  tstest::addBuild(repo.path(), 0x40F5849A, spec);
  tstest::UpdateServer plain(repo.path());
  tstest::UpdateServer slow(repo.path(), {"--fault", "trickle", "--trickle-ms", "1", "--trickle-bytes", "97"});
  Params p{{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "1200"}};
  std::string whole = HTTPRequest::GET(plain.url(), p).get_response();
  ASSERT_GT(whole.size(), 3000u);
  EXPECT_EQ(HTTPRequest::GET(slow.url(), p).get_response(), whole);
}

TEST_F(HTTPRequestLive, ServerThatNeverAnswersEndsWithStallError) {
  tstest::UpdateServer server(repo.path(), {"--fault", "never"});
  HTTPRequest::SetTimeouts(2000ms, 1500ms);
  auto start = std::chrono::steady_clock::now();
  try {
    HTTPRequest::GET(server.url(), {{"op", "hi"}});
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "No data from the server for 1500 ms");
  }
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 1400ms);
  EXPECT_LT(took, 5s);
}

TEST_F(HTTPRequestLive, SlowButSteadyTransferIsNotCutOff) {
  tstest::BirdSpec spec;
  spec.firmware = std::string(300, 'y');
  tstest::addBuild(repo.path(), 0x40F5849A, spec);
  // Pieces every 300 ms for about 2 s, with a stall limit of 1 s.
  tstest::UpdateServer server(repo.path(), {"--fault", "trickle", "--trickle-ms", "300", "--trickle-bytes", "80"});
  HTTPRequest::SetTimeouts(2000ms, 1000ms);
  HTTPResponse r = HTTPRequest::GET(server.url(), {{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "1200"}});
  EXPECT_EQ(r.get_status(), 200);
  EXPECT_EQ(r.get_response().rfind("ok\n", 0), 0u);
}

TEST(HTTPRequestErrors, RefusedConnectionThrowsLibcurlText) {
  // A port that was just free: bind, read it back, close.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  std::string url = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/cgi/u";
  try {
    HTTPRequest::GET(url, {{"op", "hi"}});
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Couldn't connect to server");
  }
}

TEST(HTTPRequestErrors, MalformedURLThrows) {
  EXPECT_THROW(HTTPRequest::GET("", {}), std::runtime_error);
  EXPECT_THROW(HTTPRequest::GET("nosuchscheme://x/", {}), std::runtime_error);
}

// An https server whose certificate no authority signed: the request fails
// instead of trusting whoever answers.
TEST(HTTPRequestTLS, UnverifiedCertificateIsRefused) {
  tstest::TempDir dir;
  auto gen = tstest::run({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                          "/CN=127.0.0.1", "-keyout", dir.file("key.pem"), "-out", dir.file("cert.pem")});
  ASSERT_EQ(gen.status, 0) << gen.err;
  tstest::UpdateServer server(dir.path(), {"--cert", dir.file("cert.pem"), "--key", dir.file("key.pem")});
  std::string url = "https://127.0.0.1:" + std::to_string(server.port()) + "/cgi/u";
  try {
    HTTPRequest::GET(url, {{"op", "hi"}});
    FAIL() << "an unverified certificate was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("certificate"), std::string::npos) << e.what();
  }
  EXPECT_EQ(server.queries().size(), 0u) << "no request may pass an unverified connection";
}

}  // namespace

namespace {

TEST(HTTPResponseBody, PiecesOfAnyByteTypeAppendInOrder) {
  HTTPResponse r("http://h/cgi/u");
  EXPECT_EQ(r.get_status(), 0);
  EXPECT_EQ(r.get_request(), "http://h/cgi/u");
  r.process("ok\n", 3);
  const unsigned char bytes[] = {'1', '2', 0, '\n'};
  r.process(bytes, sizeof bytes);
  r.set_status(200);
  EXPECT_EQ(r.get_response(), std::string("ok\n12\0\n", 7));
  EXPECT_EQ(r.get_status(), 200);
}

}  // namespace
