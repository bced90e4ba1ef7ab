#include "server/UpdateServerRequest.h"

#include <gtest/gtest.h>

#include <array>
#include <list>

#include "app/Updater.h"

#include "server/HTTPRequest.h"
#include "support/Process.h"
#include "support/UpdateServerFixture.h"

namespace {

using Builds = std::map<std::string, std::string>;
using Pairs = std::vector<std::pair<std::string, std::string>>;
namespace A = UpdateServerAnswer;

// --- answer parsing, without a server

TEST(UpdateServerAnswer, FirstLineMustBeginWithOk) {
  struct {
    const char* body;
    bool ok;
  } cases[] = {
      {"ok\n", true},     {"ok", true},         {"ok\r\n", true},   {"okay\nmore\n", true},
      {"\n\nok\n", true},  // empty lines vanish
      {"", false},        {"\n\n", false},      {"o\n", false},     {"OK\n", false},
      {" ok\n", false},   {"error\nok\n", false},
      // lines are cut at line feeds only: a lone CR is a line that does not vanish
      {"\r\nok\n", false}, {"ok\t1\n", true},
  };
  for (const auto& c : cases) EXPECT_EQ(A::IsOk(A::Lines(c.body)), c.ok) << "[" << c.body << "]";
}

TEST(UpdateServerAnswer, QueryBuildTakesLinesTwoAndThree) {
  struct {
    const char* body;
    bool ok;
    const char* build;
    const char* version;
  } cases[] = {
      {"ok\n1234\n2.1.0\n", true, "1234", "2.1.0"},
      {"ok\r\n1234\n2.1.0\r\n", true, "1234", "2.1.0"},  // line 3 is cut at CR
      {"ok\n1234\n", true, "1234", "keep"},               // absent line: output unchanged
      {"ok\n", true, "keep", "keep"},
      // answer shapes: no final line end, blank and extra lines, CR LF, blanks
      {"ok\n1234\n2.1.0", true, "1234", "2.1.0"},
      {"ok\n\n1234\n\n\n2.1.0\n\n", true, "1234", "2.1.0"},
      {"ok\n1234\n2.1.0\nextra\nmore\n", true, "1234", "2.1.0"},
      {"ok\r\n1234\r\n2.1.0\r\n", true, "1234\r", "2.1.0"},  // line 2 is not cut
      {"ok\n 1234 \n2.1.0 \n", true, " 1234 ", "2.1.0 "},      // nor trimmed
      {"no\n1234\n2.1.0\n", false, "keep", "keep"},
      {"", false, "keep", "keep"},
  };
  for (const auto& c : cases) {
    std::string build = "keep", version = "keep";
    EXPECT_EQ(A::QueryBuild(c.body, build, version), c.ok) << c.body;
    EXPECT_EQ(build, c.build) << c.body;
    EXPECT_EQ(version, c.version) << c.body;
  }
}

TEST(UpdateServerAnswer, BuildListTable) {
  struct {
    const char* body;
    bool ok;
    Builds builds;
  } cases[] = {
      {"ok\n1200;2.1.0\n1201;2.2.0\n1201;9.9.9\n", true, {{"1200", "2.1.0"}, {"1201", "2.2.0"}}},
      {"ok\r\n1200;2.1.0\r\n", true, {{"1200", "2.1.0"}}},
      {"ok\n1200\n", true, {{"1200", ""}}},      // version missing
      {"ok\n12\n1;\n", true, {}},              // lines under 3 characters pass over
      {"ok\n\n\n1300;3.0.0\n", true, {{"1300", "3.0.0"}}},
      {"ok\n", true, {}},
      // answer shapes: no final line end, CR LF with blank lines, extra fields, blanks
      {"ok\n1200;2.1.0\n1201;2.2.0", true, {{"1200", "2.1.0"}, {"1201", "2.2.0"}}},
      {"ok\r\n\r\n1200;2.1.0\r\n\r\n1201;2.2.0\r\n", true, {{"1200", "2.1.0"}, {"1201", "2.2.0"}}},
      {"ok\n1200;2.1.0;extra\n", true, {{"1200", "2.1.0"}}},
      {"ok\n1200;\n", true, {{"1200", ""}}},
      {"ok\n1200 ; 2.1.0 \n", true, {{"1200 ", " 2.1.0 "}}},
      {"fail\n1200;2.1.0\n", false, {}},
  };
  for (const auto& c : cases) {
    Builds b;
    EXPECT_EQ(A::BuildList(c.body, b, "GetBuildList"), c.ok) << c.body;
    EXPECT_EQ(b, c.builds) << c.body;
  }
}

TEST(UpdateServerAnswer, RecoveryInfoTable) {
  struct {
    const char* body;
    bool ok;
    uint32_t serial, build;
  } cases[] = {
      {"ok\n40F5849A\n1234\n", true, 0x40F5849A, 1234},
      {"ok\n40f5849a\n0x4D2\n", true, 0x40F5849A, 0x4D2},
      {"ok\n1\n010\n", true, 1, 8},                     // automatic base: leading 0 is octal
      {"ok\n40F5849A\n", true, 0x40F5849A, 7},           // absent line: unchanged
      {"ok\n", true, 5, 7},
      // answer shapes: CR LF, no final line end, blank and extra lines, blanks
      {"ok\r\n40F5849A\r\n1234\r\n", true, 0x40F5849A, 1234},
      {"ok\n40F5849A\n1234", true, 0x40F5849A, 1234},
      {"ok\n\n40F5849A\n\n1234\nextra\n", true, 0x40F5849A, 1234},
      {"ok\n 40F5849A\n\t1234 \n", true, 0x40F5849A, 1234},
      {"ok\n0x40F5849A\n0X4d2\n", true, 0x40F5849A, 0x4D2},
      {"nope\n40F5849A\n1234\n", false, 5, 7},
  };
  for (const auto& c : cases) {
    uint32_t serial = 5, build = 7;
    EXPECT_EQ(A::RecoveryInfo(c.body, serial, build, "GetRecoveryInfo"), c.ok) << c.body;
    EXPECT_EQ(serial, c.serial) << c.body;
    EXPECT_EQ(build, c.build) << c.body;
  }
}

TEST(UpdateServerAnswer, DeviceJWTTable) {
  struct {
    const char* body;
    bool ok;
    const char* token;
  } cases[] = {
      {"ok\naa.bb.cc\n", true, "aa.bb.cc"},
      {"ok\naa.bb.cc\r\n", true, "aa.bb.cc"},        // signature cut at CR
      {"ok\naa.bb.cc.dd\n", true, "aa.bb.cc.dd"},     // the rest is the signature
      {"ok\naa.b.cc\n", false, ""},
      {"ok\naa.bb\n", false, ""},
      {"ok\naa.bb.\n", false, ""},
      {"ok\nab\n", false, ""},
      {"ok\n", false, ""},
      // answer shapes: no final line end, blank and extra lines, CR LF
      {"ok\naa.bb.cc", true, "aa.bb.cc"},
      {"ok\n\naa.bb.cc\n\nextra\n", true, "aa.bb.cc"},
      {"ok\r\naa.bb.cc\r\nextra\r\n", true, "aa.bb.cc"},
      {"ko\naa.bb.cc\n", false, ""},
  };
  for (const auto& c : cases) {
    std::string token;
    EXPECT_EQ(A::DeviceJWT(c.body, token, "GetDeviceJWT"), c.ok) << c.body;
    EXPECT_EQ(token, c.token) << c.body;
  }
}

TEST(UpdateServerVersions, SplitTessarionVersion) {
  using V = std::vector<std::string>;
  EXPECT_EQ(UpdateServerRequest::SplitTessarionVersion("1.2.3"), (V{"1", "2", "3"}));
  EXPECT_EQ(UpdateServerRequest::SplitTessarionVersion("1..3"), (V{"1", "", "3"}));
  EXPECT_EQ(UpdateServerRequest::SplitTessarionVersion(".."), (V{"", "", ""}));
  EXPECT_TRUE(UpdateServerRequest::SplitTessarionVersion("1.2").empty());
  EXPECT_TRUE(UpdateServerRequest::SplitTessarionVersion("1.2.3.4").empty());
  EXPECT_TRUE(UpdateServerRequest::SplitTessarionVersion("").empty());
}

TEST(UpdateServerVersions, SortBuildsByVersionTable) {
  struct {
    Builds builds;
    Pairs sorted;
  } cases[] = {
      {{{"1", "1.2.3"}, {"2", "1.10.0"}, {"3", "2.0.0"}}, {{"3", "2.0.0"}, {"2", "1.10.0"}, {"1", "1.2.3"}}},
      // patch decides; leading digits count ("4beta" is 4)
      {{{"10", "2.1.3"}, {"11", "2.1.4beta"}}, {{"11", "2.1.4beta"}, {"10", "2.1.3"}}},
      // versions that are not three numbers go last, in build order
      {{{"1", "x.y.z"}, {"2", "1.0.0"}, {"3", "1.2"}, {"4", ""}, {"5", "3.0.0"}, {"6", "1..3"}},
       {{"5", "3.0.0"}, {"2", "1.0.0"}, {"1", "x.y.z"}, {"3", "1.2"}, {"4", ""}, {"6", "1..3"}}},
      // equal versions keep build order
      {{{"7", "1.0.0"}, {"5", "1.0.0"}, {"6", "1.0.1"}}, {{"6", "1.0.1"}, {"5", "1.0.0"}, {"7", "1.0.0"}}},
      // each part is an 8-bit number: 300 counts as 44, 256 as 0, -1 as 255
      {{{"1", "2.50.0"}, {"2", "2.300.0"}}, {{"1", "2.50.0"}, {"2", "2.300.0"}}},
      {{{"1", "1.256.0"}, {"2", "1.0.0"}, {"3", "1.0.1"}}, {{"3", "1.0.1"}, {"1", "1.256.0"}, {"2", "1.0.0"}}},
      {{{"1", "1.254.0"}, {"2", "1.-1.0"}}, {{"2", "1.-1.0"}, {"1", "1.254.0"}}},
      // converted as std::stoi converts: leading blanks and a sign are taken,
      // a part too large for an int is not a number
      {{{"1", " 2.+1.0"}, {"2", "2.0.9"}, {"3", "9.99999999999.0"}}, {{"1", " 2.+1.0"}, {"2", "2.0.9"}, {"3", "9.99999999999.0"}}},
      {{}, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(UpdateServerRequest::SortBuildsByVersion(c.builds), c.sorted);
}

// --- the requests against update-server

class UpdateServerRequestLive : public ::testing::Test {
 protected:
  void SetUp() override {
    tstest::BirdSpec a;
    a.build = 1200;
    a.version = "2.1.0";
    tstest::addBuild(repo.path(), 0x40F5849A, a);
    tstest::BirdSpec b;
    b.build = 1201;
    b.version = "2.2.0";
    tstest::addBuild(repo.path(), 0x40F5849A, b);
    tstest::writeFile(repo.path() + "/40F5849A/token.jwt", "eyJh.eyJz.c2ln\n");
    tstest::writeFile(repo.path() + "/recovery.txt", "00000001 00000002 00000003 00000004 40F5849A 1200\n");
  }
  tstest::TempDir repo;
};

TEST_F(UpdateServerRequestLive, EachRequestSendsItsExactQueryAndReadsItsAnswer) {
  tstest::UpdateServer server(repo.path());
  const std::string url = server.url();
  const char* u = url.c_str();
  const uint32_t sn = 0x40F5849A;

  EXPECT_TRUE(UpdateServerRequest::ping(u));

  std::string build, version;
  ASSERT_TRUE(UpdateServerRequest::QueryBuild(sn, build, version, u));
  EXPECT_EQ(build, "1201");
  EXPECT_EQ(version, "2.2.0");

  Builds builds{{"stale", "entry"}};
  ASSERT_TRUE(UpdateServerRequest::GetBuildList(sn, builds, u));
  EXPECT_EQ(builds, (Builds{{"1200", "2.1.0"}, {"1201", "2.2.0"}}));

  std::string bird = "stale";
  ASSERT_TRUE(UpdateServerRequest::GetBuild(sn, "2.2.0", "1200", bird, u, false));
  tstest::BirdSpec a;
  std::string file = tstest::birdFile(a);
  EXPECT_EQ(bird.size(), (file.size() + 2) / 3 * 4);

  std::string token;
  ASSERT_TRUE(UpdateServerRequest::GetDeviceJWT(sn, token, u));
  EXPECT_EQ(token, "eyJh.eyJz.c2ln");

  const uint32_t fp[4] = {1, 2, 3, 4};
  uint32_t serial = 0, rbuild = 0;
  ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(fp, serial, rbuild, u));
  EXPECT_EQ(serial, 0x40F5849Au);
  EXPECT_EQ(rbuild, 1200u);

  EXPECT_EQ(server.queries(), (std::vector<std::string>{
                                  "op=hi&rv=2&",
                                  "op=qu&sn=40F5849A&",
                                  "op=builds&sn=40F5849A&",
                                  "bld=1200&fw=2.2.0&no_cal=false&op=bird&sn=40F5849A&",
                                  "json=false&op=ent_jwt&sn=40F5849A&",
                                  "brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&",
                              }));
}

TEST_F(UpdateServerRequestLive, SerialIsEightUpperCaseDigitsAndNoCalFlagIsSent) {
  tstest::UpdateServer server(repo.path());
  std::string bird, token;
  UpdateServerRequest::GetBuild(0xAB, "1.0.0 beta#2", "", bird, server.url().c_str(), true);
  UpdateServerRequest::GetDeviceJWT(0xAB, token, server.url().c_str());
  // A blank cannot stand in a request line, and a "#" would end the query:
  // they travel as %20 and %23, and the parameters after them arrive.
  EXPECT_EQ(server.queries(), (std::vector<std::string>{"bld=&fw=1.0.0%20beta%232&no_cal=true&op=bird&sn=000000AB&",
                                                        "json=false&op=ent_jwt&sn=000000AB&"}));
}

// Every kind of failed answer is false, and leaves the outputs alone.
TEST_F(UpdateServerRequestLive, FailedAnswersAreFalse) {
  for (const char* fault : {"status500", "empty", "not-ok"}) {
    tstest::UpdateServer server(repo.path(), {"--fault", fault});
    const char* u = nullptr;
    std::string url = server.url();
    u = url.c_str();
    EXPECT_FALSE(UpdateServerRequest::ping(u)) << fault;
    std::string build = "b", version = "v", token = "t", bird = "x";
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(0x40F5849A, build, version, u)) << fault;
    EXPECT_EQ(build + version, "bv");
    Builds builds{{"1", "1.0.0"}};
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(0x40F5849A, builds, u)) << fault;
    EXPECT_TRUE(builds.empty()) << "emptied before the request";
    EXPECT_FALSE(UpdateServerRequest::GetBuild(0x40F5849A, "2.2.0", "1201", bird, u, false)) << fault;
    EXPECT_EQ(bird, "x");
    EXPECT_FALSE(UpdateServerRequest::GetDeviceJWT(0x40F5849A, token, u)) << fault;
    EXPECT_EQ(token, "t");
    const uint32_t fp[4] = {1, 2, 3, 4};
    uint32_t serial = 9, rb = 9;
    EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(fp, serial, rb, u)) << fault;
    EXPECT_EQ(serial + rb, 18u);
  }
}

TEST_F(UpdateServerRequestLive, MissingLinesFault) {
  tstest::UpdateServer server(repo.path(), {"--fault", "missing-lines"});
  const std::string url = server.url();
  std::string build = "b", version = "v", token, bird = "x";
  EXPECT_TRUE(UpdateServerRequest::QueryBuild(0x40F5849A, build, version, url.c_str()));
  EXPECT_EQ(build + version, "bv") << "absent lines leave the outputs";
  EXPECT_TRUE(UpdateServerRequest::GetBuild(0x40F5849A, "2.2.0", "1201", bird, url.c_str(), false));
  EXPECT_EQ(bird, "") << "an ok answer without its line gives an empty text";
  EXPECT_FALSE(UpdateServerRequest::GetDeviceJWT(0x40F5849A, token, url.c_str()));
}

// The same answers in the shapes a server may give them, through HTTP: line
// ends LF or CR LF, with or without the last one, blank lines between the
// fields and extra lines after them.
TEST_F(UpdateServerRequestLive, EveryAnswerShapeThroughTheTransport) {
  struct Shape {
    const char* name;
    std::string eol;
    bool finalEol, blankLines, extraLines;
  };
  const Shape shapes[] = {
      {"LF", "\n", true, false, false},
      {"LF, no final line end", "\n", false, false, false},
      {"CR LF", "\r\n", true, false, false},
      {"CR LF, no final line end", "\r\n", false, false, false},
      {"LF, blank and extra lines", "\n", true, true, true},
      {"CR LF, extra lines", "\r\n", true, false, true},
  };
  for (const Shape& sh : shapes) {
    SCOPED_TRACE(sh.name);
    // Extra lines are not added to the build list: there every line is a build.
    auto body = [&sh](std::vector<std::string> lines, bool extra) {
      if (extra && sh.extraLines) lines.insert(lines.end(), {"extra line", "x.y.z"});
      std::string out = sh.blankLines ? sh.eol : "";
      for (size_t i = 0; i < lines.size(); ++i) {
        out += lines[i];
        if (i + 1 < lines.size() || sh.finalEol) out += sh.eol;
        if (sh.blankLines && i + 1 < lines.size()) out += sh.eol;
      }
      return out;
    };
    tstest::TempDir answers;
    tstest::UpdateServer server(
        repo.path(), tstest::fixedAnswers(answers.path(), {{"hi", body({"ok"}, true)},
                                                           {"qu", body({"ok", "1201", "2.2.0"}, true)},
                                                           {"builds", body({"ok", "1200;2.1.0", "1201;2.2.0"}, false)},
                                                           {"bird", body({"ok", "TWFu"}, true)},
                                                           {"fix", body({"ok", "40F5849A", "1200"}, true)},
                                                           {"ent_jwt", body({"ok", "aa.bb.cc"}, true)}}));
    const std::string url = server.url();
    const char* u = url.c_str();
    const std::string cr = sh.eol == "\r\n" ? "\r" : "";

    EXPECT_TRUE(UpdateServerRequest::ping(u));
    std::string build, version;
    EXPECT_TRUE(UpdateServerRequest::QueryBuild(1, build, version, u));
    EXPECT_EQ(build, "1201" + cr) << "line 2 is taken whole";
    EXPECT_EQ(version, "2.2.0") << "line 3 is cut at CR";
    Builds builds;
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(1, builds, u));
    EXPECT_EQ(builds, (Builds{{"1200", "2.1.0"}, {"1201", "2.2.0"}}));
    std::string bird;
    EXPECT_TRUE(UpdateServerRequest::GetBuild(1, "2.2.0", "1201", bird, u, false));
    // The Base64 line keeps its CR unless it is the last line and has no line end.
    EXPECT_EQ(bird, "TWFu" + (sh.finalEol || sh.extraLines ? cr : std::string()));
    const uint32_t fp[4] = {1, 2, 3, 4};
    uint32_t serial = 0, rbuild = 0;
    EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(fp, serial, rbuild, u));
    EXPECT_EQ(serial, 0x40F5849Au);
    EXPECT_EQ(rbuild, 1200u);
    std::string token;
    EXPECT_TRUE(UpdateServerRequest::GetDeviceJWT(1, token, u));
    EXPECT_EQ(token, "aa.bb.cc");
  }
}

// Calls written with the other argument types callers naturally hold: the
// address as a std::string, the fingerprint as a Fingerprint or std::array,
// the sorted builds kept in a std::list.
TEST_F(UpdateServerRequestLive, OverloadsForOtherArgumentTypes) {
  tstest::UpdateServer server(repo.path());
  const std::string url = server.url();
  EXPECT_TRUE(UpdateServerRequest::ping(url));
  std::string build, version, bird, token;
  EXPECT_TRUE(UpdateServerRequest::QueryBuild(0x40F5849A, build, version, url));
  EXPECT_EQ(build + " " + version, "1201 2.2.0");
  Builds builds;
  EXPECT_TRUE(UpdateServerRequest::GetBuildList(0x40F5849A, builds, url));
  EXPECT_TRUE(UpdateServerRequest::GetBuild(0x40F5849A, "2.2.0", "1200", bird, url, false));
  EXPECT_FALSE(bird.empty());
  EXPECT_TRUE(UpdateServerRequest::GetDeviceJWT(0x40F5849A, token, url));
  EXPECT_EQ(token, "eyJh.eyJz.c2ln");
  Fingerprint fp;
  fp.words[0] = 1, fp.words[1] = 2, fp.words[2] = 3, fp.words[3] = 4;
  uint32_t serial = 0, rbuild = 0;
  EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(fp, serial, rbuild, url));
  EXPECT_EQ(serial, 0x40F5849Au);
  serial = 0;
  EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(std::array<uint32_t, 4>{1, 2, 3, 4}, serial, rbuild, url.c_str()));
  EXPECT_EQ(serial, 0x40F5849Au);
  EXPECT_EQ(rbuild, 1200u);
  EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(std::array<uint32_t, 4>{9, 9, 9, 9}, serial, rbuild, url));

  std::list<std::pair<std::string, std::string>> sorted = UpdateServerRequest::SortBuildsByVersion(builds);
  EXPECT_EQ(sorted, (std::list<std::pair<std::string, std::string>>{{"1201", "2.2.0"}, {"1200", "2.1.0"}}));
  EXPECT_TRUE(UpdateServerRequest::SortBuildsByVersion(builds) == sorted);
  std::list<std::string> parts = UpdateServerRequest::SplitTessarionVersion("1..3");
  EXPECT_EQ(parts, (std::list<std::string>{"1", "", "3"}));
}

TEST(UpdateServerRequestErrors, TransportErrorIsFalseNotAnException) {
  // Port 1 on loopback: nothing listens there.
  EXPECT_FALSE(UpdateServerRequest::ping("http://127.0.0.1:1/cgi/u"));
  std::string token;
  EXPECT_FALSE(UpdateServerRequest::GetDeviceJWT(1, token, "not a url"));
}

TEST(UpdateServerRequestDefaults, DefaultURLIsHttpHostAndPath) {
  EXPECT_STREQ(UpdateServerRequest::default_url, "http://" UPDATE_SERVER_HOST "/cgi/u");
}

}  // namespace
