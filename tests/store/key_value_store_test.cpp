// KeyValueStore: the file syntax, the typed getters and setters, change
// tracking, ordering, saving and creating files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <cctype>

#include "StoreTestUtil.h"
#include "store/KeyValueStore.h"
#include "support/NamedPipe.h"
#include "support/Process.h"

using storetest::LogCapture;
using tstest::readFile;
using tstest::TempDir;
using tstest::writeFile;

namespace {

// The 24-character ctime() text without its line end: "Thu Jan  1 00:00:00 1970".
bool isTimeText(const std::string& s) {
  static const std::string days = "MonTueWedThuFriSatSun", months = "JanFebMarAprMayJunJulAugSepOctNovDec";
  if (s.size() != 24) return false;
  auto digits = [&](std::initializer_list<size_t> at) {
    for (size_t i : at) {
      if (!isdigit(static_cast<unsigned char>(s[i]))) return false;
    }
    return true;
  };
  return days.find(s.substr(0, 3)) % 3 == 0 && days.find(s.substr(0, 3)) != std::string::npos &&
         months.find(s.substr(4, 3)) % 3 == 0 && months.find(s.substr(4, 3)) != std::string::npos && s[3] == ' ' &&
         s[7] == ' ' && (s[8] == ' ' || (s[8] >= '1' && s[8] <= '3')) && digits({9, 11, 12, 14, 15, 17, 18, 20, 21, 22, 23}) &&
         s[10] == ' ' && s[13] == ':' && s[16] == ':' && s[19] == ' ';
}

// The text between a prefix and a suffix of whole, or "?" when they do not frame it.
std::string between(const std::string& whole, const std::string& prefix, const std::string& suffix) {
  if (whole.size() < prefix.size() + suffix.size() || whole.compare(0, prefix.size(), prefix) != 0 ||
      whole.compare(whole.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return "?";
  }
  return whole.substr(prefix.size(), whole.size() - prefix.size() - suffix.size());
}

std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

TEST(KeyValueStore, LoadFollowsTheLineSyntax) {
  TempDir dir;
  struct Case { const char* name; std::string file; std::map<std::string, std::string> entries; };
  const Case cases[] = {
      {"FourLines", "# comment\na = 1 \nb=x=y\nz\n", {{"a", "1"}, {"b", "x=y"}, {"z", ""}}},
      {"BlanksBeforeHashMakeAKey", "  #x\n  #y = 2\n", {{"#x", ""}, {"#y", "2"}}},
      {"TabsAndCarriageReturns", "\tkey\t=\tvalue with  blanks\t\r\n", {{"key", "value with  blanks"}}},
      {"LaterLineReplaces", "k=1\nk=2\n", {{"k", "2"}}},
      // Fewer than three characters (line feed counted): skipped unless a bare key.
      {"ShortLinesWithoutAKeySkipped", "\n\r\n \n=\n#\n=", {}},
      {"ShortBareKeysKept", "y\r\nz", {{"y", ""}, {"z", ""}}},
      // Three characters or more: an empty key is a key like any other.
      {"EmptyKeyWithAValue", "a=1\n=novalue\n", {{"", "novalue"}, {"a", "1"}}},
      {"BlankLineOfThreeCharacters", "  \n", {{"", ""}}},
      {"LastLineWithoutLineFeed", "a=1\nb=2", {{"a", "1"}, {"b", "2"}}},
      {"LastLineOfThreeWithoutLineFeed", "a=1\nb=2\nc=", {{"a", "1"}, {"b", "2"}, {"c", ""}}},
      {"EmptyValue", "CREATED_TIME=\n", {{"CREATED_TIME", ""}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(dir.file("s"), c.file);
    KeyValueStore kv(dir.file("s"));
    EXPECT_EQ(kv.Entries(), c.entries);
    EXPECT_FALSE(kv.IsDirty());
    EXPECT_EQ(kv.Filename(), dir.file("s"));
  }
}

TEST(KeyValueStore, LongLastLinesWithoutALineFeedAreKept) {
  TempDir dir;
  // 2047 characters fill the read buffer exactly; the others span pieces.
  for (size_t length : {2046u, 2047u, 2048u, 4094u, 4095u, 5000u}) {
    SCOPED_TRACE(length);
    std::string value(length - 2, 'v');
    writeFile(dir.file("s"), "a=1\nk=" + value);
    KeyValueStore kv(dir.file("s"));
    EXPECT_EQ(kv.GetString("a"), "1");
    EXPECT_EQ(kv.GetString("k"), value);
  }
}

TEST(KeyValueStore, LinesLongerThanTheReadBufferAreKeptWithWhatFollows) {
  TempDir dir;
  std::string longValue(5000, 'v');
  writeFile(dir.file("s"), "a=1\nlong=" + longValue + "\nz=26\n");
  KeyValueStore kv(dir.file("s"));
  EXPECT_EQ(kv.GetString("long"), longValue);
  EXPECT_EQ(kv.GetString("z"), "26");
  kv.Add("z", 27);
  kv.Save();
  KeyValueStore again(dir.file("s"));
  EXPECT_EQ(again.GetString("long"), longValue);
  EXPECT_EQ(again.GetInt("z", 0), 27);
}

TEST(KeyValueStore, NumericGettersReadTheirNotation) {
  KeyValueStore kv;
  kv.Add("hex", "0x10");
  kv.Add("two", "2");
  kv.Add("word", "abc");
  kv.Add("neg", "-42junk");
  kv.Add("big", "99999999999");
  kv.Add("pi", "3.25");
  kv.Add("plainhex", "ff");
  EXPECT_EQ(kv.GetInt("hex", 7), 0);
  EXPECT_EQ(kv.GetHex("hex", 7), 16u);
  EXPECT_EQ(kv.GetHex("plainhex", 0), 255u);
  EXPECT_TRUE(kv.GetBOOL("two", false));
  EXPECT_FALSE(kv.GetBOOL("word", true));
  EXPECT_EQ(kv.GetInt("word", 7), 0);
  EXPECT_EQ(kv.GetInt("neg", 0), -42);
  EXPECT_EQ(kv.GetInt("big", 0), INT32_MAX);
  EXPECT_DOUBLE_EQ(kv.GetDouble("pi", 0), 3.25);
  EXPECT_EQ(kv.GetInt("1200.bird", 0), 0);
  kv.Add("latest", "1200.bird");
  EXPECT_EQ(kv.GetInt("latest", 0), 1200);  // a stored file name yields its build
}

TEST(KeyValueStore, MissingKeysGiveDefaultsAndNumericGettersInsertThem) {
  TempDir dir;
  KeyValueStore kv;
  EXPECT_EQ(kv.GetString("s", "dflt"), "dflt");
  EXPECT_EQ(kv.GetString("s"), "");
  EXPECT_EQ(kv["s"], nullptr);
  EXPECT_TRUE(kv.Entries().empty());  // GetString and [] do not insert

  EXPECT_EQ(kv.GetInt("missing", 5), 5);
  EXPECT_EQ(kv.GetHex("h", 0xAB), 0xABu);
  EXPECT_EQ(kv.GetBOOL("b", true), true);
  EXPECT_DOUBLE_EQ(kv.GetDouble("d", 1.5), 1.5);
  ASSERT_NE(kv["missing"], nullptr);
  EXPECT_STREQ(kv["missing"], "");
  EXPECT_EQ(kv.GetString("missing", "x"), "");  // present, though empty
  EXPECT_FALSE(kv.IsDirty());
  kv.Save(dir.file("s"));
  EXPECT_EQ(readFile(dir.file("s")), "b=\nd=\nh=\nmissing=\n");
}

TEST(KeyValueStore, SettersFormatAndTrackChanges) {
  TempDir dir;
  KeyValueStore kv;
  EXPECT_TRUE(kv.Add("n", 42));
  EXPECT_TRUE(kv.IsDirty());
  kv.Save(dir.file("s"));
  EXPECT_FALSE(kv.IsDirty());
  EXPECT_TRUE(kv.Add("n", 42));  // same value: no change
  EXPECT_FALSE(kv.IsDirty());
  EXPECT_TRUE(kv.Add("n", std::string("42")));
  EXPECT_FALSE(kv.IsDirty());
  EXPECT_TRUE(kv.Add("n", -7));
  EXPECT_TRUE(kv.IsDirty());
  EXPECT_TRUE(kv.dirty);  // the state itself is open to inspection
  EXPECT_EQ(kv.entries.at("n"), "-7");
  EXPECT_EQ(kv.filename, dir.file("s"));

  EXPECT_TRUE(kv.Add("d", 1.5));
  EXPECT_TRUE(kv.AddHex("h", 0xABCD));
  EXPECT_TRUE(kv.Add("t", "text"));
  EXPECT_TRUE(kv.Add("s", std::string("string")));
  EXPECT_STREQ(kv["n"], "-7");
  EXPECT_STREQ(kv["d"], "1.500000");
  EXPECT_STREQ(kv["h"], "0x0000ABCD");
  EXPECT_EQ(kv.GetHex("h", 0), 0xABCDu);
  EXPECT_STREQ(kv["t"], "text");
  EXPECT_STREQ(kv["s"], "string");

  // Wider and unsigned integers in decimal.
  EXPECT_TRUE(kv.Add("u", 4000000000u));
  EXPECT_TRUE(kv.Add("l", int64_t{-5000000000}));
  EXPECT_STREQ(kv["u"], "4000000000");
  EXPECT_STREQ(kv["l"], "-5000000000");
  EXPECT_EQ(kv.GetString("t", std::string("d")), "text");
  EXPECT_EQ(kv.GetString("absent", std::string("d")), "d");
}

TEST(KeyValueStore, RefusesEntriesTheFileCannotCarry) {
  KeyValueStore kv;
  EXPECT_FALSE(kv.Add("a=b", "1"));
  EXPECT_FALSE(kv.Add("k\n", "1"));
  EXPECT_FALSE(kv.Add("k", "line\nINJECTED=1"));
  EXPECT_FALSE(kv.Add("k", "cr\r"));
  EXPECT_FALSE(kv.Add("k", static_cast<const char*>(nullptr)));
  EXPECT_TRUE(kv.Entries().empty());
  EXPECT_FALSE(kv.IsDirty());
}

TEST(KeyValueStore, AnEmptyKeyWithAValueIsSavedAndReadBack) {
  TempDir dir;
  KeyValueStore kv;
  EXPECT_TRUE(kv.Add("", "v"));  // "=v" reads back as the empty key
  EXPECT_TRUE(kv.IsDirty());
  kv.Save(dir.file("s"));
  KeyValueStore back(dir.file("s"));
  ASSERT_NE(back[""], nullptr);
  EXPECT_STREQ(back[""], "v");
}

TEST(KeyValueStore, SaveWritesEveryEntryInByteOrder) {
  TempDir dir;
  KeyValueStore kv;
  kv.Add("b", 1);
  kv.Add("A", 2);
  kv.Add("a", 3);
  kv.Save(dir.file("s"));
  std::string text = readFile(dir.file("s"));
  // The change stamps UPDATED_TIME, which sorts between the capital and the small letters.
  EXPECT_TRUE(isTimeText(between(text, "A=2\nUPDATED_TIME=", "\na=3\nb=1\n"))) << text;
  EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"s"});  // no temporary file left
}

TEST(KeyValueStore, SaveStampsTheUpdateTimeOnlyAfterAChange) {
  TempDir dir;
  writeFile(dir.file("s"), "CREATED_TIME=Thu Jan  1 00:00:00 1970\nUPDATED_TIME=Thu Jan  1 00:00:00 1970\nk=1\n");
  KeyValueStore kv(dir.file("s"));
  kv.Add("k", 1);
  kv.Save();
  EXPECT_EQ(readFile(dir.file("s")),
            "CREATED_TIME=Thu Jan  1 00:00:00 1970\nUPDATED_TIME=Thu Jan  1 00:00:00 1970\nk=1\n");
  kv.Add("k", 2);
  kv.Save();
  KeyValueStore after(dir.file("s"));
  EXPECT_EQ(after.GetString("CREATED_TIME"), "Thu Jan  1 00:00:00 1970");
  EXPECT_NE(after.GetString("UPDATED_TIME"), "Thu Jan  1 00:00:00 1970");
  EXPECT_TRUE(isTimeText(after.GetString("UPDATED_TIME")));
  EXPECT_EQ(after.GetInt("k", 0), 2);
}

TEST(KeyValueStore, LoadingAMissingFileCreatesItWithBothTimes) {
  TempDir dir;
  KeyValueStore kv(dir.file(".settings"));
  std::string text = readFile(dir.file(".settings"));
  ASSERT_EQ(text.size(), 2u * (13 + 24 + 1)) << text;  // two lines: key, "=", 24 characters, line end
  std::string created = between(text, "CREATED_TIME=", "\n" + text.substr(38));
  EXPECT_TRUE(isTimeText(created)) << text;
  EXPECT_EQ(text.substr(38), "UPDATED_TIME=" + created + "\n");
  EXPECT_EQ(kv.Entries().size(), 2u);
  EXPECT_FALSE(kv.IsDirty());
  EXPECT_EQ(kv.Filename(), dir.file(".settings"));
}

TEST(KeyValueStore, AFileInAMissingFolderLogsBothFailuresAndStaysChanged) {
  TempDir dir;
  LogCapture log(DEBUG_Attributes);
  std::string path = dir.file("nofolder/.settings");
  KeyValueStore kv(path);
  std::string text = log.text();
  EXPECT_NE(text.find("Attibutes: Error - cannot open attributes file: '" + path + "' ("), std::string::npos) << text;
  EXPECT_NE(text.find("Attibutes: Error - cannot open attributes file for writting: '" + path + "' ("),
            std::string::npos)
      << text;
  EXPECT_EQ(kv.Entries().size(), 2u);  // the time keys stay in memory
  EXPECT_TRUE(kv.IsDirty());           // so the next save tries again
  EXPECT_FALSE(std::filesystem::exists(dir.file("nofolder")));
}

TEST(KeyValueStore, KeysThatLookLikeCommentsSurviveASave) {
  TempDir dir;
  writeFile(dir.file("s"), "  #x = 1\n# real comment\n");
  KeyValueStore kv(dir.file("s"));
  kv.Add("y", 2);
  kv.Save();
  KeyValueStore again(dir.file("s"));
  EXPECT_EQ(again.GetString("#x"), "1");
  EXPECT_EQ(again.GetInt("y", 0), 2);
}

TEST(KeyValueStore, LoadMergesIntoExistingEntries) {
  TempDir dir;
  writeFile(dir.file("a"), "x=1\ny=1\n");
  writeFile(dir.file("b"), "y=2\nz=2\n");
  KeyValueStore kv(dir.file("a"));
  kv.Load(dir.file("b"));
  EXPECT_EQ(kv.Entries(), (std::map<std::string, std::string>{{"x", "1"}, {"y", "2"}, {"z", "2"}}));
  EXPECT_EQ(kv.Filename(), dir.file("b"));
}

TEST(KeyValueStore, AddStoreClearAndCopy) {
  KeyValueStore a, b, empty;
  a.Add("k", 1);
  a.Add("shared", "a");
  b.Add("shared", "b");
  b.Add("only", "b");
  KeyValueStore c(a);
  EXPECT_EQ(c.Entries(), a.Entries());
  EXPECT_TRUE(c.IsDirty());

  KeyValueStore target;
  EXPECT_TRUE(target.Add(empty));
  EXPECT_FALSE(target.IsDirty());
  EXPECT_TRUE(target.Add(target));  // itself, with no entry: no change
  EXPECT_FALSE(target.IsDirty());
  EXPECT_TRUE(target.Add(a));
  EXPECT_TRUE(target.IsDirty());
  EXPECT_TRUE(target.Add(b));
  EXPECT_EQ(target.Entries(), (std::map<std::string, std::string>{{"k", "1"}, {"only", "b"}, {"shared", "b"}}));
  TempDir dir;
  KeyValueStore self(target);
  self.Save(dir.file("s"));
  ASSERT_FALSE(self.IsDirty());
  EXPECT_TRUE(self.Add(self));  // an added store with entries marks the change, itself too
  EXPECT_TRUE(self.IsDirty());
  EXPECT_EQ(self.Entries().size(), 4u);  // the three and the save's UPDATED_TIME

  KeyValueStore d;
  d = target;
  EXPECT_EQ(d.Entries(), target.Entries());
  EXPECT_TRUE(d.Clear());
  EXPECT_TRUE(d.Entries().empty());
  EXPECT_TRUE(d.IsDirty());
  EXPECT_EQ(target.Entries().size(), 3u);
}

TEST(KeyValueStore, SaveWithoutAnyNameUsesTheDefaultInTheWorkingFolder) {
  TempDir dir;
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  {
    LogCapture log(DEBUG_Attributes);
    KeyValueStore kv;
    kv.Add("k", "v");
    kv.Save();
    EXPECT_NE(log.text().find("Attibutes: no filename given for attributes, using default:[.settings]\n"),
              std::string::npos);
  }
  ASSERT_EQ(chdir(old), 0);
  KeyValueStore back(dir.file(".settings"));
  EXPECT_EQ(back.GetString("k"), "v");
}

TEST(KeyValueStore, AnUnreadableExistingFileIsNotReplaced) {
  // A directory or a named pipe in place of the file: it cannot be read as
  // one, the load neither waits on it nor replaces it, and the store holds
  // the two time keys, marked changed, as after a failed save.
  struct Case { const char* name; std::function<void(const std::string&)> make; };
  const Case cases[] = {
      {"Directory",
       [](const std::string& p) {
         std::filesystem::create_directory(p);
         writeFile(p + "/inside", "keep");
       }},
      {"NamedPipe", [](const std::string& p) { ASSERT_TRUE(tstest::makeNamedPipe(p)); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.file(".settings");
    c.make(path);
    const auto type = std::filesystem::status(path).type();
    LogCapture log(DEBUG_Attributes);
    KeyValueStore kv;
    ASSERT_TRUE(tstest::finishesWithin(std::chrono::seconds(5), {path}, [&] { kv.Load(path); }));
    EXPECT_NE(log.text().find("Attibutes: Error - cannot open attributes file: '" + path + "' ("), std::string::npos);
    EXPECT_EQ(std::filesystem::status(path).type(), type);
    EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{".settings"});
    EXPECT_EQ(kv.Filename(), path);
    EXPECT_TRUE(isTimeText(kv.GetString("CREATED_TIME"))) << kv.GetString("CREATED_TIME");
    EXPECT_EQ(kv.GetString("UPDATED_TIME"), kv.GetString("CREATED_TIME"));
    EXPECT_EQ(kv.Entries().size(), 2u);
    EXPECT_TRUE(kv.IsDirty());
  }
}

TEST(KeyValueStore, SaveToAnEmptyNameWritesNothing) {
  TempDir dir;
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  KeyValueStore kv;
  kv.Add("k", "v");
  {
    LogCapture log(DEBUG_Attributes);
    kv.Save("");
    EXPECT_NE(log.text().find("Attibutes: Error - cannot open attributes file for writting: '' ("), std::string::npos)
        << log.text();
  }
  ASSERT_EQ(chdir(old), 0);
  EXPECT_TRUE(filesIn(dir.path()).empty());  // not the default name in the working folder
  EXPECT_EQ(kv.Filename(), "");
  EXPECT_TRUE(kv.IsDirty());
}
