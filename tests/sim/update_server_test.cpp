// update-server on its own: how it answers from a firmware repository, its
// request log, its fault flags, and how it stops.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "server/HTTPRequest.h"
#include "server/base64.h"
#include "support/BirdFixture.h"
#include "support/Process.h"
#include "support/UpdateServerFixture.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using Params = std::map<std::string, std::string>;

struct Reply {
  long long status;
  std::string body;
};

Reply get(const tstest::UpdateServer& s, const Params& p) {
  HTTPResponse r = HTTPRequest::GET(s.url(), p);
  return {r.get_status(), r.get_response()};
}

std::string decode(const std::string& text) {
  size_t n = 0;
  unsigned char* bytes = base64_decode(text.data(), text.size(), &n);
  if (!bytes) return "<not base64>";
  std::string out(reinterpret_cast<char*>(bytes), n);
  std::free(bytes);
  return out;
}

class UpdateServerSim : public ::testing::Test {
 protected:
  void SetUp() override {
    root = tmp.path();
    dev = tstest::deviceFolder(root, 0x40F5849A);
    // Builds made by birdtool (real zlib streams), versions in their
    // information blocks.
    tstest::makeBird(dev + "/1200.bird", {"--info", "1200", "2.1.0", "00000000", "MODEL", "--firmware", "0x0:pattern=256"});
    tstest::makeBird(dev + "/1201.bird",
                     {"--info", "1201", "2.10.7 (beta)", "00000000", "MODEL", "--firmware", "0x0:pattern=256"});
    tstest::makeBird(dev + "/900.bird", {"--firmware", "0x0:pattern=16"});  // no information block
    tstest::writeFile(dev + "/1300.bird", "not a bird file");
    tstest::writeFile(dev + "/abc.bird", "ignored: not a build number");
    tstest::writeFile(dev + "/token.jwt", "hh.pp.ss\r\n");
    tstest::writeFile(root + "/recovery.txt",
                      "# fingerprint words, serial, build\n"
                      "0000000A 0000000B 0000000C 0000000D 40F5849A 1200\n"
                      "00000001 00000002 00000003 00000004 40F5849A\n"
                      "00000005 00000006 00000007 00000008 not-a-serial 1\n");
  }
  tstest::TempDir tmp;
  std::string root, dev;
};

TEST_F(UpdateServerSim, AnswersFromTheRepository) {
  tstest::UpdateServer s(root);
  struct {
    Params params;
    long long status;
    std::string body;
  } cases[] = {
      {{{"op", "hi"}, {"rv", "2"}}, 200, "ok\n"},
      // latest: the highest build number; versions cut at the first blank
      {{{"op", "qu"}, {"sn", "40F5849A"}}, 200, "ok\n1300\n\n"},
      {{{"op", "builds"}, {"sn", "40f5849a"}}, 200, "ok\n900;\n1200;2.1.0\n1201;2.10.7\n1300;\n"},
      {{{"op", "builds"}, {"sn", "00000001"}}, 404, "error: unknown device\n"},
      {{{"op", "qu"}, {"sn", "00000001"}}, 404, "error: no builds for device\n"},
      {{{"op", "ent_jwt"}, {"sn", "40F5849A"}, {"json", "false"}}, 200, "ok\nhh.pp.ss\n"},
      {{{"op", "ent_jwt"}, {"sn", "00000002"}}, 404, "error: no token for device\n"},
      {{{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "77"}}, 404, "error: no such build\n"},
      {{{"op", "fix"}, {"fp", "0000000A%200000000B%200000000C%200000000D"}}, 200, "ok\n40F5849A\n1200\n"},
      // no build in the table: the device's latest
      {{{"op", "fix"}, {"fp", "00000001%2000000002%2000000003%2000000004"}}, 200, "ok\n40F5849A\n1300\n"},
      {{{"op", "fix"}, {"fp", "00000005%2000000006%2000000007%2000000008"}}, 404, "error: unknown fingerprint\n"},
      {{{"op", "fix"}, {"fp", "00000001%2000000002"}}, 400, "error: bad fingerprint\n"},
      // serial numbers are hexadecimal, at most 8 digits: no path can be named
      {{{"op", "builds"}, {"sn", "../40F5849A"}}, 400, "error: bad serial number\n"},
      {{{"op", "builds"}, {"sn", "140F5849A"}}, 400, "error: bad serial number\n"},
      {{{"op", "builds"}}, 400, "error: bad serial number\n"},
      {{{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "../1200"}}, 400, "error: bad build number\n"},
      {{{"op", "nope"}, {"sn", "40F5849A"}}, 400, "error: unknown op\n"},
  };
  for (const auto& c : cases) {
    Reply r = get(s, c.params);
    EXPECT_EQ(r.status, c.status) << HTTPRequest::BuildURL("", c.params);
    EXPECT_EQ(r.body, c.body) << HTTPRequest::BuildURL("", c.params);
  }
}

TEST_F(UpdateServerSim, ServesBuildFilesAsOneLineOfBase64) {
  tstest::UpdateServer s(root);
  Reply named = get(s, {{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "1200"}, {"fw", "2.1.0"}, {"no_cal", "false"}});
  ASSERT_EQ(named.status, 200);
  ASSERT_EQ(named.body.substr(0, 3), "ok\n");
  ASSERT_EQ(named.body.back(), '\n');
  EXPECT_EQ(named.body.find('\n', 3), named.body.size() - 1) << "one line";
  EXPECT_EQ(decode(named.body.substr(3, named.body.size() - 4)), tstest::readFile(dev + "/1200.bird"));
  // build 0 or none: the latest
  for (const char* bld : {"0", ""}) {
    Reply latest = get(s, {{"op", "bird"}, {"sn", "40F5849A"}, {"bld", bld}});
    EXPECT_EQ(decode(latest.body.substr(3, latest.body.size() - 4)), "not a bird file");
  }
}

TEST_F(UpdateServerSim, LatestFileNamesTheLatestBuild) {
  tstest::UpdateServer s(root);
  tstest::writeFile(dev + "/latest", "1201\n");
  EXPECT_EQ(get(s, {{"op", "qu"}, {"sn", "40F5849A"}}).body, "ok\n1201\n2.10.7\n");
  tstest::writeFile(dev + "/latest", "4444\n");  // not held: ignored
  EXPECT_EQ(get(s, {{"op", "qu"}, {"sn", "40F5849A"}}).body, "ok\n1300\n\n");
  // Builds dropped in while the server runs are seen at once.
  tstest::makeBird(dev + "/2000.bird", {"--info", "2000", "3.0.0", "00000000", "MODEL", "--firmware", "0x0:pattern=8"});
  EXPECT_EQ(get(s, {{"op", "qu"}, {"sn", "40F5849A"}}).body, "ok\n2000\n3.0.0\n");
}

// A version field holding a line break, another control byte or ";" would
// add answer lines or end the version early in a build list line: it is cut
// there, so every answer keeps its layout.
TEST_F(UpdateServerSim, VersionsAreCutWhereTheyWouldBreakTheAnswerLayout) {
  tstest::TempDir other;
  struct {
    uint32_t build;
    const char* version;
    const char* served;
  } cases[] = {{1, "2.1;0", "2.1"}, {2, "3.0\nok\n4", "3.0"}, {3, "4.0\r5", "4.0"}, {4, "5.0\t1", "5.0"},
               {5, "6.0.1", "6.0.1"}};
  std::string expected = "ok\n";
  for (const auto& c : cases) {
    tstest::BirdSpec spec;
    spec.build = c.build;
    spec.version = c.version;
    tstest::addBuild(other.path(), 0x1234, spec);
    expected += std::to_string(c.build) + ";" + c.served + "\n";
  }
  tstest::UpdateServer s(other.path());
  EXPECT_EQ(get(s, {{"op", "builds"}, {"sn", "00001234"}}).body, expected);
  EXPECT_EQ(get(s, {{"op", "qu"}, {"sn", "00001234"}}).body, "ok\n5\n6.0.1\n");
}

// --answer gives an op a body byte for byte; the other ops are answered from
// the repository as usual, and fault flags still apply.
TEST_F(UpdateServerSim, FixedAnswersAreSentAsTheyAre) {
  tstest::TempDir answers;
  const std::string odd = "\r\nok fine\r\n\r\n 1201 \r\n2.2.0";
  tstest::UpdateServer s(root, tstest::fixedAnswers(answers.path(), {{"qu", odd}, {"hi", ""}}));
  Reply q = get(s, {{"op", "qu"}, {"sn", "40F5849A"}});
  EXPECT_EQ(q.status, 200);
  EXPECT_EQ(q.body, odd);
  Reply h = get(s, {{"op", "hi"}});
  EXPECT_EQ(h.status, 200);
  EXPECT_EQ(h.body, "");
  EXPECT_EQ(get(s, {{"op", "ent_jwt"}, {"sn", "40F5849A"}}).body, "ok\nhh.pp.ss\n");

  tstest::UpdateServer faulted(root, {"--answer", "qu=" + answers.path() + "/answer-qu.txt", "--fault", "status500"});
  EXPECT_EQ(get(faulted, {{"op", "qu"}, {"sn", "40F5849A"}}).status, 500);
  // A missing file is a server error, not an empty success.
  tstest::UpdateServer missing(root, {"--answer", "qu=" + answers.path() + "/none"});
  EXPECT_EQ(get(missing, {{"op", "qu"}, {"sn", "40F5849A"}}).status, 500);
}

TEST_F(UpdateServerSim, LogsEveryRequestWithItsRawQuery) {
  tstest::UpdateServer s(root);
  get(s, {{"op", "fix"}, {"fp", "00000001%2000000002%2000000003%2000000004"}, {"brief", "true"}});
  get(s, {{"op", "hi"}, {"rv", "2"}});
  HTTPRequest::GET("http://127.0.0.1:" + std::to_string(s.port()) + "/other", {{"x", "1"}});
  EXPECT_EQ(s.queries(), (std::vector<std::string>{"brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&",
                                                   "op=hi&rv=2&"}))
      << "only the API path is logged";
}

struct FaultCase {
  std::vector<std::string> flags;
  long long status;
  std::string body;  // of the answer to op=qu
};

TEST_F(UpdateServerSim, FaultFlagsChangeTheAnswer) {
  const FaultCase cases[] = {
      {{"--fault", "status500"}, 500, "error: internal server error\n"},
      {{"--fault", "empty"}, 200, ""},
      {{"--fault", "not-ok"}, 200, "error\n1300\n\n"},
      {{"--fault", "missing-lines"}, 200, "ok\n"},
      {{"--fault", "crlf"}, 200, "ok\r\n1300\r\n\r\n"},
      {{"--fault", "trickle", "--trickle-ms", "1", "--trickle-bytes", "1"}, 200, "ok\n1300\n\n"},
      // limited to other requests: this one is answered normally
      {{"--fault", "status500", "--fault-op", "bird", "--fault-op", "hi"}, 200, "ok\n1300\n\n"},
  };
  for (const auto& c : cases) {
    tstest::UpdateServer s(root, c.flags);
    Reply r = get(s, {{"op", "qu"}, {"sn", "40F5849A"}});
    EXPECT_EQ(r.status, c.status) << c.flags[1];
    EXPECT_EQ(r.body, c.body) << c.flags[1];
  }
}

TEST_F(UpdateServerSim, FaultCountLimitsTheFaultToTheFirstRequests) {
  tstest::UpdateServer s(root, {"--fault", "status500", "--fault-op", "hi", "--fault-count", "2"});
  EXPECT_EQ(get(s, {{"op", "hi"}}).status, 500);
  EXPECT_EQ(get(s, {{"op", "qu"}, {"sn", "40F5849A"}}).status, 200);
  EXPECT_EQ(get(s, {{"op", "hi"}}).status, 500);
  EXPECT_EQ(get(s, {{"op", "hi"}}).status, 200);
}

TEST_F(UpdateServerSim, NeverHoldsTheAnswerAndStillStopsAtOnce) {
  tstest::UpdateServer s(root, {"--fault", "never"});
  HTTPRequest::SetTimeouts(2000ms, 800ms);
  EXPECT_THROW(get(s, {{"op", "hi"}}), std::runtime_error);
  HTTPRequest::SetTimeouts(0ms, 0ms);

  // A request is being held when the server is told to stop.
  std::thread client([&] {
    try {
      HTTPRequest::SetTimeouts(2000ms, 5000ms);
      get(s, {{"op", "hi"}});
    } catch (const std::exception&) {
    }
  });
  ASSERT_TRUE(s.waitForRequests(2, 5s));
  auto start = std::chrono::steady_clock::now();
  s.process().signal(SIGTERM);
  int status = s.process().wait(3000ms);
  auto took = std::chrono::steady_clock::now() - start;
  client.join();
  HTTPRequest::SetTimeouts(0ms, 0ms);
  EXPECT_EQ(status, 0);
  EXPECT_LT(took, 2s);
}

TEST_F(UpdateServerSim, HeldAnswerEndsAfterHoldSeconds) {
  tstest::UpdateServer s(root, {"--fault", "never", "--hold-seconds", "1"});
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(get(s, {{"op", "hi"}}).status, 503);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
}

TEST_F(UpdateServerSim, PortFileAndOptionErrors) {
  std::string portFile = tmp.file("port");
  tstest::UpdateServer s(root, {"--port-file", portFile});
  EXPECT_EQ(std::stoi(tstest::readFile(portFile)), s.port());

  struct {
    std::vector<std::string> args;
  } bad[] = {
      {{}},                                              // no repository
      {{"--root", tmp.file("missing")}},                 // not a folder
      {{"--root", root, "--fault", "sometimes"}},        // unknown fault
      {{"--root", root, "--fault-op", "delete"}},        // unknown request
      {{"--root", root, "--cert", tmp.file("missing")}}, // certificate without key, missing
      {{"--root", root, "--port", "70000"}},
      {{"--root", root, "--answer", "qu"}},              // no file named
  };
  for (const auto& b : bad) {
    std::vector<std::string> argv{tstest::binPath("update-server")};
    argv.insert(argv.end(), b.args.begin(), b.args.end());
    tstest::RunOptions o;
    o.timeout = 5000ms;
    auto r = tstest::run(argv, o);
    EXPECT_NE(r.status, 0) << (b.args.empty() ? "" : b.args.back());
    EXPECT_FALSE(r.timedOut);
    EXPECT_FALSE(r.err.empty());
  }
}

}  // namespace
