// The command-line grammar and option handling, run in-process so that every
// field of the parsed parameters can be checked.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/Log.h"
#include "app/Parameters.h"
#include "server/UpdateServerRequest.h"
#include "support/RecordingDisplay.h"

namespace {

using tstest::RecordingDisplay;

struct ParseCase {
  const char* name;
  std::vector<std::string> args;  // without argv[0]
  int result;                     // of _get_params
  std::vector<std::string> errors;
  std::function<void(const Parameters&)> check;
};

struct Parsed {
  int result;
  Parameters params;
  RecordingDisplay display;
};

void parse(const std::vector<std::string>& args, Parsed& out) {
  std::vector<std::string> words = {"/usr/local/bin/updater"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  out.result = _get_params(out.display, static_cast<int>(words.size()), argv.data(), &out.params);
}

class ParseTable : public testing::TestWithParam<ParseCase> {
 protected:
  void TearDown() override { Log::package_bitmask = 0; }
};

TEST_P(ParseTable, Parses) {
  const ParseCase& c = GetParam();
  Parsed p;
  parse(c.args, p);
  EXPECT_EQ(p.result, c.result);
  EXPECT_EQ(p.display.errors, c.errors);
  EXPECT_TRUE(p.display.infos.empty());
  if (c.check) c.check(p.params);
}

const uint32_t NONE = 0;

auto commands(uint32_t word) {
  return [word](const Parameters& p) { EXPECT_EQ(p.commands.Value(), word); };
}

const std::vector<ParseCase> kCases = {
    {"Defaults", {}, 0, {}, [](const Parameters& p) {
       EXPECT_EQ(p.commands.Value(), NONE);
       EXPECT_EQ(p.serial_number, 0u);
       EXPECT_EQ(p.router_serial, 0u);
       EXPECT_EQ(p.transport, 1);
       EXPECT_FALSE(p.transport_given);
       EXPECT_EQ(p.serial_port, "");
       EXPECT_EQ(p.baud_rate, 115200u);
       EXPECT_EQ(p.module_address, 0);
       EXPECT_EQ(p.bird_file, "");
       EXPECT_EQ(p.history_message, "");
       EXPECT_EQ(p.build, "");
       EXPECT_FALSE(p.echo);
       EXPECT_EQ(p.server_url, std::string("http://") + UPDATE_SERVER_HOST + "/cgi/u");
       EXPECT_FALSE(p.flag_n);
       EXPECT_EQ(p.updater_directory, "");
       EXPECT_EQ(p.app_name, "updater");
       EXPECT_EQ(p.log_mode, "a+");
       EXPECT_EQ(p.log_file, "Updater.log");
       EXPECT_FALSE(p.override);
       EXPECT_TRUE(p.use_uei_bytes);
       EXPECT_EQ(p.log_mask, 0u);
       EXPECT_FALSE(p.log_mask_given);
       EXPECT_FALSE(p.help);
     }},
    {"EveryCommandLetter", {"-B", "-L", "-D", "-G", "-I", "-U", "-N", "-C", "-J"}, 0, {},
     commands(LIST_BUILDS | LIST_LOCAL_BUILDS | DISCOVER | GET_BUILD | VIEW_INFO | UPDATE | FINGERPRINT |
              CHECK_FILE | GET_JWT)},
    {"HelpStopsParsing", {"-D", "-h", "-d", "0", "-Y"}, 0, {}, [](const Parameters& p) {
       EXPECT_EQ(p.commands.Value(), DISCOVER | HELP);
       EXPECT_TRUE(p.help);
     }},
    {"UpperHelp", {"-H"}, 0, {}, commands(HELP)},
    {"LongHelp", {"--help"}, 0, {}, commands(HELP)},
    {"LongHelpPrefix", {"--he"}, 0, {}, commands(HELP)},
    {"UnhandledY", {"-Y", "-D"}, 1, {"Unhandled command: [-Y]"}, commands(DISCOVER)},
    {"UnknownWordDropped", {"-D", "-q"}, 0, {}, commands(DISCOVER)},
    {"NoClumping", {"-DU"}, 0, {}, commands(NONE)},
    {"NoAttachedArgument", {"-d40F5849A", "-G"}, 0, {}, [](const Parameters& p) {
       EXPECT_EQ(p.serial_number, 0u);
       EXPECT_EQ(p.commands.Value(), GET_BUILD);
     }},
    {"NonOptionWordsSetAside", {"stray", "-D", "words"}, 0, {}, commands(DISCOVER)},
    {"OverridePrefix", {"-O"}, 0, {}, [](const Parameters& p) {
       EXPECT_TRUE(p.override);
       EXPECT_EQ(p.commands.Value(), NONE);
     }},
    {"OverrideLongerPrefix", {"-OVER"}, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.override); }},
    {"OverrideExact", {"-OVERRIDE"}, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.override); }},
    {"LongerThanEveryTextMatchesNothing", {"-OVERRIDES", "-Dx"}, 0, {}, [](const Parameters& p) {
       EXPECT_FALSE(p.override);
       EXPECT_EQ(p.commands.Value(), NONE);
     }},
    {"AmbiguousDashDropped", {"-", "-D"}, 0, {}, commands(DISCOVER)},
    {"SerialHex", {"-d", "40F5849A"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serial_number, 0x40F5849Au); }},
    {"SerialPrefixLower", {"-d", "0x40f5849a"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serial_number, 0x40F5849Au); }},
    {"SerialPrefixUpper", {"-d", "0X40F5849A"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serial_number, 0x40F5849Au); }},
    {"SerialEquals", {"-d=40F5849A"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serial_number, 0x40F5849Au); }},
    {"SerialShort", {"-d", "0F5849A"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serial_number, 0x0F5849Au); }},
    {"SerialBadDigit", {"-d", "40F5849Z"}, 1, {"Invalid serial number obtained from argument [40F5849Z]"}, nullptr},
    {"SerialZero", {"-d", "0"}, 1, {"Invalid serial number obtained from argument [0]"}, nullptr},
    {"SerialOnlyPrefix", {"-d", "0x"}, 1, {"Invalid serial number obtained from argument []"}, nullptr},
    {"SerialPrefixThenBad", {"-d", "0xG1"}, 1, {"Invalid serial number obtained from argument [G1]"}, nullptr},
    // Nine or more significant digits cannot be a serial number.
    {"SerialTooLong", {"-d", "140F5849A"}, 1, {"Invalid serial number obtained from argument [140F5849A]"}, nullptr},
    {"SerialLeadingZeros", {"-d", "0040F5849A"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serial_number, 0x40F5849Au); }},
    {"SerialLastWordDropped", {"-G", "-d"}, 0, {}, [](const Parameters& p) {
       EXPECT_EQ(p.serial_number, 0u);
       EXPECT_EQ(p.commands.Value(), GET_BUILD);
     }},
    {"SerialArgumentLooksLikeOption", {"-d", "-G"}, 0, {}, [](const Parameters& p) {
       EXPECT_EQ(p.serial_number, 0u);
       EXPECT_EQ(p.commands.Value(), GET_BUILD);
     }},
    {"EqualsArgumentWithDashDropped", {"-d=-5", "-D"}, 0, {}, [](const Parameters& p) {
       EXPECT_EQ(p.serial_number, 0u);
       EXPECT_EQ(p.commands.Value(), DISCOVER);
     }},
    {"EqualsOnOptionWithoutArgumentDropped", {"-D=1", "-e=1", "-U"}, 0, {}, [](const Parameters& p) {
       EXPECT_EQ(p.commands.Value(), UPDATE);
       EXPECT_FALSE(p.echo);
     }},
    // "=" on a help option drops the word, so it does not stop the parse.
    {"EqualsOnHelpDropped", {"-h=1", "--he=1", "-D"}, 0, {}, commands(DISCOVER)},
    {"EqualsOnOverridePrefixDropped", {"-OV=1"}, 0, {}, [](const Parameters& p) { EXPECT_FALSE(p.override); }},
    {"MaskEquals", {"-X=0x20"}, 0, {}, [](const Parameters& p) {
       EXPECT_EQ(p.log_mask, 0x20u);
       EXPECT_EQ(Log::package_bitmask.load(), 0x20u);
     }},
    // The dash-led value is read as a word of its own (unknown here), so the
    // mask is not given at all.
    {"MaskValueLooksLikeOption", {"-X", "-1", "-D"}, 0, {}, [](const Parameters& p) {
       EXPECT_FALSE(p.log_mask_given);
       EXPECT_EQ(p.commands.Value(), DISCOVER);
     }},
    // Two dashes are a proper prefix of "--help" with the same leading dashes.
    {"TwoDashesSelectLongHelp", {"--", "-D"}, 0, {}, commands(HELP)},
    {"LaterParameterWins", {"-d", "1", "-d", "2", "-s", "a", "-s", "b"}, 0, {}, [](const Parameters& p) {
       EXPECT_EQ(p.serial_number, 2u);
       EXPECT_EQ(p.serial_port, "b");
     }},
    {"Router", {"-r", "0xD272031D"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.router_serial, 0xD272031Du); }},
    {"RouterBad", {"-r", "XYZ"}, 1, {"Invalid router serial number obtained from argument [XYZ]"}, nullptr},
    {"RouterZero", {"-r", "0x0"}, 1, {"Invalid router serial number obtained from argument [0]"}, nullptr},
    {"TransportUSB", {"-t", "USB"}, 0, {}, [](const Parameters& p) {
       EXPECT_EQ(p.transport, 1);
       EXPECT_TRUE(p.transport_given);
     }},
    {"TransportUSBX", {"-t", "USBX"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.transport, 1); }},
    {"TransportTCP", {"-t", "TCP"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.transport, 2); }},
    {"TransportTCPIP", {"-t", "TCPIP"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.transport, 2); }},
    {"TransportRecover", {"-t", "RECOVER"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.transport, 255); }},
    {"TransportRecovery", {"-t", "RECOVERY"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.transport, 255); }},
    {"TransportLowerCase", {"-t", "tcp"}, 1,
     {"Invalid transport type:[tcp]\nMust be one of the following: USB, TCPIP, RECOVER"},
     [](const Parameters& p) {
       EXPECT_EQ(p.transport, 0);
       EXPECT_TRUE(p.transport_given);
     }},
    {"TransportShort", {"-t", "RECO"}, 1,
     {"Invalid transport type:[RECO]\nMust be one of the following: USB, TCPIP, RECOVER"}, nullptr},
    {"BuildNumber", {"-b", "99528558"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.build, "99528558"); }},
    {"BuildLeadingZeros", {"-b", "0042"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.build, "42"); }},
    {"BuildNotANumber", {"-b", "12x"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.build, "0"); }},
    {"BuildTooLarge", {"-b", "4294967296"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.build, "0"); }},
    {"BuildLargest", {"-b", "4294967295"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.build, "4294967295"); }},
    {"Baud", {"-o", "9600"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.baud_rate, 9600u); }},
    {"BaudNotANumber", {"-o", "fast"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.baud_rate, 0u); }},
    {"MaskDecimal", {"-X", "17"}, 0, {}, [](const Parameters& p) {
       EXPECT_EQ(p.log_mask, 17u);
       EXPECT_TRUE(p.log_mask_given);
       EXPECT_EQ(Log::package_bitmask.load(), 17u);
     }},
    {"MaskHex", {"-X", "0x10000"}, 0, {}, [](const Parameters& p) {
       EXPECT_EQ(p.log_mask, 0x10000u);
       EXPECT_EQ(Log::package_bitmask.load(), 0x10000u);
     }},
    {"MaskTrailingCharacters", {"-X", "12ab"}, 0,
     {"Invalid format for \"-X\" parameter, unprocessed characters [ab]"}, [](const Parameters& p) {
       EXPECT_TRUE(p.log_mask_given);
       EXPECT_EQ(Log::package_bitmask.load(), 0u);
     }},
    {"UeiBytesOff", {"-m", "0"}, 0, {}, [](const Parameters& p) { EXPECT_FALSE(p.use_uei_bytes); }},
    {"UeiBytesOne", {"-m", "1yes"}, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.use_uei_bytes); }},
    {"UeiBytesTrue", {"-m", "trueish"}, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.use_uei_bytes); }},
    {"UeiBytesOther", {"-m", "yes"}, 0, {}, [](const Parameters& p) { EXPECT_FALSE(p.use_uei_bytes); }},
    {"ZIgnoresItsArgument", {"-Z", "anything"}, 0, {}, commands(COMMAND_Z)},
    {"ZWithoutArgumentDropped", {"-Z"}, 0, {}, commands(NONE)},
    {"TextParameters",
     {"-s", "/dev/ttyUSB0", "-f", "fw.bird", "-l", "note", "-k", "my.log", "-u", "http://127.0.0.1:8/cgi/u", "-i",
      "/tmp/store", "-e", "-n"},
     0, {}, [](const Parameters& p) {
       EXPECT_EQ(p.serial_port, "/dev/ttyUSB0");
       EXPECT_EQ(p.bird_file, "fw.bird");
       EXPECT_EQ(p.history_message, "note");
       EXPECT_EQ(p.log_file, "my.log");
       EXPECT_EQ(p.server_url, "http://127.0.0.1:8/cgi/u");
       EXPECT_EQ(p.updater_directory, "/tmp/store");
       EXPECT_TRUE(p.echo);
       EXPECT_TRUE(p.flag_n);
     }},
    {"ProblemsAreAllReported", {"-d", "zz", "-t", "x", "-Y"}, 1,
     {"Invalid serial number obtained from argument [zz]",
      "Invalid transport type:[x]\nMust be one of the following: USB, TCPIP, RECOVER", "Unhandled command: [-Y]"},
     nullptr},
};

INSTANTIATE_TEST_SUITE_P(Parameters, ParseTable, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

TEST(ParametersAppName, TextAfterTheLastSlashOrBackslash) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"updater", "updater"}, {"/a/b/updater", "updater"}, {"C:\\tools\\updater.exe", "updater.exe"}, {"dir/", ""}};
  for (const auto& [argv0, expected] : cases) {
    std::string word = argv0;
    char* argv[] = {word.data(), nullptr};
    Parameters p;
    RecordingDisplay d;
    EXPECT_EQ(_get_params(d, 1, argv, &p), 0);
    EXPECT_EQ(p.app_name, expected) << argv0;
  }
}

TEST(ParametersConstWords, ParsesWordsGivenAsConstText) {
  const char* argv[] = {"updater", "-G", "-d", "0x40F5849A", nullptr};
  Parameters p;
  RecordingDisplay d;
  EXPECT_EQ(_get_params(d, 4, argv, &p), 0);
  EXPECT_EQ(p.serial_number, 0x40F5849Au);
  EXPECT_TRUE(p.commands.IsSet(GET_BUILD));
  EXPECT_STREQ(argv[3], "0x40F5849A");  // the words are left as they were
}

struct ArgCase {
  const char* text;
  uint32_t hex;   // _get_hex_arg
  bool hexEnd;    // whether *end was set
  uint32_t dec;   // _get_int_arg
  bool decEnd;
};

TEST(ParametersArgs, HexAndDecimalConversions) {
  const std::vector<ArgCase> cases = {
      {"", 0, true, 0, true},
      {"0", 0, true, 0, true},
      {"1f", 0x1F, true, 0, false},
      {"ABCDEF", 0xABCDEF, true, 0, false},
      {"123", 0x123, true, 123, true},
      {"FFFFFFFF", 0xFFFFFFFF, true, 0, false},
      {"100000000", 0, false, 100000000, true},
      {"4294967295", 0, false, 4294967295u, true},
      {"4294967296", 0, false, 0, false},
      {"12 ", 0, false, 0, false},
      {"-1", 0, false, 0, false},
      {"0x10", 0, false, 0, false},
  };
  for (const ArgCase& c : cases) {
    char sentinel = 0;
    char* end = &sentinel;
    EXPECT_EQ(_get_hex_arg(c.text, &end), c.hex) << c.text;
    if (c.hexEnd)
      EXPECT_EQ(end, c.text + strlen(c.text)) << c.text;
    else
      EXPECT_EQ(end, &sentinel) << c.text;
    end = &sentinel;
    EXPECT_EQ(_get_int_arg(c.text, &end), c.dec) << c.text;
    if (c.decEnd)
      EXPECT_EQ(end, c.text + strlen(c.text)) << c.text;
    else
      EXPECT_EQ(end, &sentinel) << c.text;
  }
  // Without a place for the end the answer is 0.
  EXPECT_EQ(_get_hex_arg("12", nullptr), 0u);
  EXPECT_EQ(_get_int_arg("12", nullptr), 0u);
}

TEST(ParametersLinkType, DiscoverySearchesWithTheGivenTransportExceptRecover) {
  struct Case {
    std::vector<std::string> args;
    uint32_t type;
  };
  const std::vector<Case> cases = {
      {{"-D"}, 0}, {{"-D", "-t", "USB"}, 1}, {{"-D", "-t", "TCP"}, 2}, {{"-D", "-t", "RECOVER"}, 0}};
  for (const Case& c : cases) {
    Parsed p;
    parse(c.args, p);
    ASSERT_EQ(p.result, 0);
    EXPECT_EQ(_command_link_type(p.params), c.type) << testing::PrintToString(c.args);
  }
}

TEST(ParametersUpdateBuild, DecimalValueOrZero) {
  const std::vector<std::pair<std::string, uint32_t>> cases = {
      {"", 0}, {"0", 0}, {"99528558", 99528558u}, {"4294967295", 4294967295u}, {"4294967296", 0}, {"abc", 0}};
  for (const auto& [text, number] : cases) EXPECT_EQ(_update_build_number(text), number) << text;
  // -b 12x leaves the text "0", so the update is asked for build 0 and
  // chooses the build itself; without -b the text is empty, with the same result.
  Parsed p;
  parse({"-U", "-d", "1", "-b", "12x"}, p);
  ASSERT_EQ(p.result, 0);
  EXPECT_EQ(_update_build_number(p.params.build), 0u);
  Parsed q;
  parse({"-U", "-d", "1", "-b", "77"}, q);
  EXPECT_EQ(_update_build_number(q.params.build), 77u);
}

std::string parseAndLog(const std::vector<std::string>& args) {
  FILE* file = tmpfile();
  if (file == nullptr) return "<no temporary file>";
  Log::SetOutput(file);
  Parsed p;
  parse(args, p);
  Log::SetOutput(nullptr);
  Log::package_bitmask = 0;
  fflush(file);
  rewind(file);
  std::string text(8192, '\0');
  text.resize(fread(text.data(), 1, text.size(), file));
  fclose(file);
  return text;
}

TEST(ParametersLog, MaskAppliesToTheRestOfParsing) {
  struct Case {
    std::vector<std::string> args;
    std::string log;
  };
  const std::vector<Case> cases = {
      // Nothing is logged without a mask.
      {{"-D", "-d", "0x1"}, ""},
      // The APP package shows the parameter listing after the parse.
      {{"-X", "0x10000", "-D", "word"},
       "\nApplication parameters:[updater]\n\t[/usr/local/bin/updater]\n\t[-X]\n\t[0x10000]\n\t[-D]\n\t[word]\n"},
      // The Updater package shows dropped serial number prefixes, but only
      // for words after the -X.
      {{"-d", "0x1", "-X", "1", "-d", "0x2", "-r", "0XD272031D"},
       "Discarding '0x' serial number prefix\nDiscarding '0x' router serial number prefix\n"},
      // A mask with trailing characters is not applied.
      {{"-X", "0x1z", "-d", "0x2"}, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(parseAndLog(c.args), c.log) << testing::PrintToString(c.args);
}

}  // namespace

namespace {

TEST(ParametersOptionTable, ThirtyRowsInOrderThenTheEndRow) {
  struct Row {
    const char* text;
    int id;
    OptionArg arg;
  };
  const std::vector<Row> expected = {
      {"-B", 1, ARG_NONE},     {"-L", 1, ARG_NONE},     {"-D", 1, ARG_NONE},        {"-G", 1, ARG_NONE},
      {"-I", 1, ARG_NONE},     {"-U", 1, ARG_NONE},     {"-OVERRIDE", 1, ARG_NONE}, {"-N", 1, ARG_NONE},
      {"-Y", 1, ARG_NONE},     {"-C", 1, ARG_NONE},     {"-J", 1, ARG_NONE},        {"-h", 0, ARG_NONE},
      {"-H", 0, ARG_NONE},     {"-n", 2, ARG_NONE},     {"-X", 2, ARG_SEPARATE},    {"-Z", 2, ARG_SEPARATE},
      {"-m", 2, ARG_SEPARATE}, {"-i", 2, ARG_SEPARATE}, {"-b", 2, ARG_SEPARATE},    {"-d", 2, ARG_SEPARATE},
      {"-t", 2, ARG_SEPARATE}, {"-f", 2, ARG_SEPARATE}, {"-r", 2, ARG_SEPARATE},    {"-s", 2, ARG_SEPARATE},
      {"-o", 2, ARG_SEPARATE}, {"-e", 2, ARG_NONE},     {"-l", 2, ARG_SEPARATE},    {"-k", 2, ARG_SEPARATE},
      {"-u", 2, ARG_SEPARATE}, {"--help", 0, ARG_NONE},
  };
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_STREQ(g_rgOptions[i].text, expected[i].text) << i;
    EXPECT_EQ(g_rgOptions[i].id, expected[i].id) << expected[i].text;
    EXPECT_EQ(g_rgOptions[i].arg, expected[i].arg) << expected[i].text;
  }
  EXPECT_EQ(g_rgOptions[expected.size()].id, -1);
}

TEST(ParametersCommands, IsSetTestsAnyBitOfTheArgument) {
  CommandsClass c;
  EXPECT_EQ(c.Value(), 0u);
  EXPECT_FALSE(c.IsSet(ANY_COMMAND));
  c.Set(DISCOVER);
  c.Set(GET_JWT);
  EXPECT_TRUE(c.IsSet(DISCOVER));
  EXPECT_TRUE(c.IsSet(UPDATE | GET_JWT));
  EXPECT_FALSE(c.IsSet(UPDATE | LIST_BUILDS));
  EXPECT_EQ(c.Value(), 0x101u);
  // Help alone is not a command; every command bit is.
  EXPECT_EQ(ANY_COMMAND, 0x000307FFu);
  EXPECT_EQ(ANY_COMMAND & HELP, 0u);
  const std::vector<std::pair<uint32_t, uint32_t>> bits = {
      {DISCOVER, 0x1},    {UPDATE, 0x2},      {LIST_BUILDS, 0x4}, {GET_BUILD, 0x8},  {VIEW_INFO, 0x10},
      {CHECK_FILE, 0x20}, {FINGERPRINT, 0x40}, {COMMAND_Z, 0x80},  {GET_JWT, 0x100}, {LIST_LOCAL_BUILDS, 0x200}};
  for (const auto& [bit, value] : bits) {
    EXPECT_EQ(bit, value);
    EXPECT_NE(ANY_COMMAND & bit, 0u) << value;
  }
  EXPECT_EQ(static_cast<uint32_t>(HELP), 0x80000000u);
}

}  // namespace
