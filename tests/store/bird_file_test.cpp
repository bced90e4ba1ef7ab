// BirdFile against files made by birdtool: every block type, every broken
// container, the serial-number writer, the descrambler and the checks.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

#include "StoreTestUtil.h"
#include "app/Updater.h"
#include "store/BirdFile.h"
#include "support/BirdFixture.h"
#include "support/Process.h"

using storetest::LogCapture;
using tstest::makeBird;
using tstest::TempDir;

namespace {

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return v;
}

std::string writeImage(const TempDir& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
  tstest::writeFile(dir.file(name), std::string(bytes.begin(), bytes.end()));
  return "@" + dir.file(name);
}

std::vector<uint8_t> image(const BirdBlock& b) { return std::vector<uint8_t>(b.data + 4, b.data + b.length); }

}  // namespace

TEST(BirdFile, LoadsEveryBlockTypeInFileOrder) {
  TempDir dir;
  auto loaderImg = pattern(300, 1), fwImg = pattern(1024, 2);
  std::string path = makeBird(dir.file("all.bird"),
                              {"--loader", "0x10000000:" + writeImage(dir, "l.bin", loaderImg),
                               "--firmware", "0x00001000:" + writeImage(dir, "f.bin", fwImg) + ":5",
                               "--info", "1200", "2.10.7 (beta)", "0000ABCD", "ABC",
                               "--serial-location", "0x1100", "0x1200",
                               "--loader-entry", "0x20000800",
                               "--raw", "7:text=hello:2"});
  LogCapture log(DEBUG_BirdFile);
  BirdFile bird(path);

  EXPECT_EQ(bird.filename, path);
  EXPECT_EQ(bird.signature, BirdFile::BIRD_FILE_SIGNATURE);
  EXPECT_EQ(bird.version, 0x0101u);
  ASSERT_EQ(bird.blockCount, 6u);
  ASSERT_EQ(bird.blocks.size(), 6u);
  EXPECT_TRUE(bird.containerConsistent);

  struct Expect { uint8_t type, flags; uint32_t length, address; };
  const Expect expect[] = {{0, 0, 304, 0x10000000}, {1, 5, 1028, 0x1000}, {4, 0, 64, 0},
                           {2, 0, 8, 0},            {5, 0, 4, 0},         {7, 2, 5, 0}};
  for (size_t i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(bird.blocks[i].type, expect[i].type);
    EXPECT_EQ(bird.blocks[i].flags, expect[i].flags);
    EXPECT_EQ(bird.blocks[i].length, expect[i].length);
    EXPECT_EQ(bird.blocks[i].address, expect[i].address);
    // Every payload lies inside the object's own buffer.
    EXPECT_GE(bird.blocks[i].data, bird.data.get());
    EXPECT_LE(bird.blocks[i].data + bird.blocks[i].length, bird.data.get() + bird.dataSize);
  }
  EXPECT_EQ(image(bird.blocks[0]), loaderImg);
  EXPECT_EQ(image(bird.blocks[1]), fwImg);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bird.blocks[5].data), 5), "hello");

  auto fw = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  ASSERT_EQ(fw.size(), 1u);
  EXPECT_EQ(fw[0].data, bird.blocks[1].data);  // copies share the payload
  EXPECT_TRUE(bird.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(3)).empty());
  ASSERT_EQ(bird.FindBlocks(uint8_t{7}).size(), 1u);  // a type number that has no name
  EXPECT_EQ(bird.FindBlocks(7)[0].data, bird.blocks[5].data);

  EXPECT_TRUE(bird.hasSerialBlock);
  EXPECT_EQ(bird.serialAddress, 0x1100u);
  EXPECT_EQ(bird.descriptorAddress, 0x1200u);
  EXPECT_EQ(bird.GetBuild(), 1200u);
  EXPECT_EQ(bird.GetVersion(), "2.10.7");
  EXPECT_EQ(bird.GetSerialNumber(), 0xABCDu);
  EXPECT_EQ(bird.GetModel(), "ABC");
  EXPECT_EQ(bird.GetLoaderEntry(), 0x20000800u);

  // birdtool's checksum is a CRC-32 of the block bytes; the loader only keeps it.
  const uint8_t* blocksStart = bird.data.get() + 4;
  uint32_t crc = crc32(0L, blocksStart, bird.dataSize - 8);
  EXPECT_EQ(bird.checksum, crc);

  std::string text = log.text();
  EXPECT_NE(text.find("BIRDFILE: Loading File [" + path + "]\n"), std::string::npos);
  EXPECT_NE(text.find("BIRDFILE:\t\t File reports 6 blocks\n"), std::string::npos);
  EXPECT_NE(text.find("BIRDFILE:\t\t 01   05   1028\n"), std::string::npos);
  EXPECT_NE(text.find("BIRDFILE:\t\t \t[2.10.7 (beta)   ]\n"), std::string::npos);
  EXPECT_NE(text.find("BIRDFILE: Offsets: Serial number: 4352, Descriptor: 4608\n"), std::string::npos);
  char sumLine[64];
  snprintf(sumLine, sizeof sumLine, "BIRDFILE:\t\t File checksum %08X\n", crc);
  EXPECT_NE(text.find(sumLine), std::string::npos);
  EXPECT_EQ(text.find("mismatch"), std::string::npos);
}

TEST(BirdFile, WithoutSerialOrInfoBlocksGivesNeutralAnswers) {
  TempDir dir;
  BirdFile bird(makeBird(dir.file("plain.bird"), {"--firmware", "0:fill=64"}));
  EXPECT_FALSE(bird.hasSerialBlock);
  EXPECT_EQ(bird.serialAddress, 0u);
  EXPECT_EQ(bird.descriptorAddress, 0u);
  EXPECT_FALSE(bird.FindSerialNumberOffsets());
  EXPECT_EQ(bird.GetSerialNumber(), 0u);
  EXPECT_EQ(bird.GetBuild(), 0u);
  EXPECT_EQ(bird.GetVersion(), "");
  EXPECT_FALSE(bird.ValidateModel(""));
  EXPECT_EQ(bird.GetLoaderEntry(), BirdFile::DEFAULT_LOADER_ENTRY);
}

// Broken containers: what loads, what is kept, and what the log says.
struct BrokenCase {
  const char* name;
  std::vector<std::string> args;
  bool loads;
  uint32_t blockCount;
  const char* logLine;
};

class BirdFileBroken : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(BirdFileBroken, LoadsWhatFitsAndLogsTheMismatch) {
  const BrokenCase& c = GetParam();
  TempDir dir;
  std::string path = makeBird(dir.file("broken.bird"), c.args);
  LogCapture log(DEBUG_BirdFile);
  BirdFile bird;
  bird.filename = path;
  EXPECT_EQ(bird.Load(), c.loads);
  EXPECT_EQ(bird.blockCount, c.blockCount);
  EXPECT_EQ(bird.blocks.size(), c.blockCount);
  if (!c.loads) {
    EXPECT_EQ(bird.dataSize, 0u);
    EXPECT_THROW(BirdFile{path}, std::runtime_error);
  } else {
    EXPECT_FALSE(bird.containerConsistent);
  }
  EXPECT_NE(log.text().find(c.logLine), std::string::npos) << log.text();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BirdFileBroken,
    ::testing::Values(
        BrokenCase{"DeclaresMoreBlocks", {"--firmware", "0:fill=16", "--firmware", "0x100:fill=16", "--declared-count", "3"},
                   true, 2, "BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n"},
        BrokenCase{"DeclaresFewerBlocks", {"--firmware", "0:fill=16", "--firmware", "0x100:fill=16", "--declared-count", "1"},
                   true, 2, "BIRDFILE: Block parsing mismatch in number of blocks. (2 != 1)\n"},
        BrokenCase{"BlockRunsPastTheEnd", {"--firmware", "0:fill=16", "--firmware", "0x100:fill=16", "--overrun", "100"},
                   true, 1, "BIRDFILE: Block parsing mismatch in data size. (25 bytes remaining)\n"},
        BrokenCase{"BytesLeftOver", {"--firmware", "0:fill=16", "--trailing", "3"},
                   true, 1, "BIRDFILE: Block parsing mismatch in data size. (3 bytes remaining)\n"},
        BrokenCase{"NoChecksum", {"--firmware", "0:fill=16", "--no-checksum"},
                   true, 1, "BIRDFILE: Block parsing mismatch in data size. (-4 bytes remaining)\n"},
        BrokenCase{"PayloadCut", {"--firmware", "0:fill=16", "--raw", "3:fill=10", "--no-checksum", "--container-size", "37"},
                   true, 1, "BIRDFILE: Block parsing mismatch in data size. (4 bytes remaining)\n"},
        BrokenCase{"ContainerWithoutCount", {"--firmware", "0:fill=16", "--container-size", "2"},
                   true, 0, "BIRDFILE: Block parsing mismatch in data size. (-6 bytes remaining)\n"},
        BrokenCase{"EmptyContainer", {"--firmware", "0:fill=16", "--container-size", "0"},
                   true, 0, "BIRDFILE: Block parsing mismatch in data size. (-8 bytes remaining)\n"},
        BrokenCase{"CountOnly", {"--firmware", "0:fill=16", "--container-size", "4"},
                   true, 0, "BIRDFILE: Block parsing mismatch in data size. (-4 bytes remaining)\n"},
        BrokenCase{"BadZlib", {"--firmware", "0:pattern=200", "--bad-zlib"},
                   false, 0, "BIRDFILE: Error (-3) decompressing bird file.\n"},
        BrokenCase{"NotCompressed", {"--firmware", "0:pattern=200", "--compression", "none"},
                   false, 0, "BIRDFILE: Error (-3) decompressing bird file.\n"},
        BrokenCase{"UnpacksToMoreThanEightTimes", {"--firmware", "0:fill=65536"},
                   false, 0, "BIRDFILE: Error (-5) decompressing bird file.\n"},
        BrokenCase{"HeaderOnly", {"--firmware", "0:fill=16", "--truncate", "6"},
                   false, 0, "decompressing bird file.\n"},
        BrokenCase{"CutShort", {"--firmware", "0:pattern=500", "--truncate", "100"},
                   false, 0, "decompressing bird file.\n"}),
    [](const ::testing::TestParamInfo<BrokenCase>& info) { return std::string(info.param.name); });

TEST(BirdFile, MissingFileFailsWithItsLogLine) {
  TempDir dir;
  LogCapture log(DEBUG_BirdFile);
  BirdFile bird;
  bird.filename = dir.file("absent.bird");
  EXPECT_FALSE(bird.Load());
  EXPECT_NE(log.text().find("BIRDFILE: BIRD file not found [" + dir.file("absent.bird") + "]\n"), std::string::npos);
  try {
    BirdFile b(dir.path());  // a directory is no file
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Failed to load bird data");
  }
}

TEST(BirdFile, VerifyFileLooksAtTheHeaderOnly) {
  TempDir dir;
  struct Case { std::string bytes; bool ok; };
  const Case cases[] = {
      {std::string("bird\x01\x01", 6), true},
      {std::string("bird\x01\x01garbage", 13), true},
      {std::string("bird\x02\x07", 6), true},  // the version is not compared
      {std::string("bird\x01\x00", 6), false},
      {std::string("bird\x00\x01", 6), false},
      {std::string("bird\x01", 5), false},
      {std::string("BIRD\x01\x01", 6), false},
      {std::string(), false},
  };
  for (const auto& c : cases) {
    tstest::writeFile(dir.file("v.bird"), c.bytes);
    EXPECT_EQ(BirdFile::VerifyFile(dir.file("v.bird")), c.ok) << testing::PrintToString(c.bytes);
  }
  LogCapture log(DEBUG_BirdFile);
  EXPECT_FALSE(BirdFile::VerifyFile(dir.file("absent.bird")));
  EXPECT_NE(log.text().find("BIRDFILE: Error - cannot open bird file: '" + dir.file("absent.bird") + "'\n"),
            std::string::npos);
}

TEST(BirdFile, VersionIsNotCheckedByTheLoad) {
  TempDir dir;
  std::string path = makeBird(dir.file("v.bird"), {"--firmware", "0:fill=16", "--format-version", "0x0100"});
  EXPECT_FALSE(BirdFile::VerifyFile(path));
  BirdFile bird(path);
  EXPECT_EQ(bird.version, 0x0100u);
  EXPECT_EQ(bird.blockCount, 1u);
}

TEST(BirdFile, ShortInformationBlockIsReadWithinItsBounds) {
  TempDir dir;
  struct Case { int length; uint32_t build; const char* version; uint32_t serial; const char* model; };
  const Case cases[] = {
      {0, 0, "", 0, ""},          {10, 1234, "", 0, ""},         {20, 1234, "2.10", 0, ""},
      {38, 1234, "2.10.7", 0xAB, ""}, {51, 1234, "2.10.7", 0xABCD, "MOD"}, {64, 1234, "2.10.7", 0xABCD, "MODEL"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    BirdFile bird(makeBird(dir.file("s.bird"), {"--firmware", "0:fill=16", "--info", "1234", "2.10.7", "0000ABCD",
                                                "MODEL", "--info-length", std::to_string(c.length)}));
    EXPECT_EQ(bird.GetBuild(), c.build);
    EXPECT_EQ(bird.GetVersion(), c.version);
    EXPECT_EQ(bird.GetSerialNumber(), c.serial);
    EXPECT_EQ(bird.GetModel(), c.model);
    EXPECT_EQ(bird.ValidateModel("MODEL"), std::string(c.model) == "MODEL");
  }
}

TEST(BirdFile, InformationFieldsAreReadAsTheirTypes) {
  TempDir dir;
  struct Case { std::string build, version, serial; uint32_t b; std::string v; uint32_t s; };
  const Case cases[] = {
      {"1234", "2.10.7 (beta)", "0000ABCD", 1234, "2.10.7", 0xABCD},
      {"99528558", "1.0", "FFFFFFFF", 99528558, "1.0", 0xFFFFFFFF},
      {"12x4", "123456789012345678", "00ab12cdEF", 12, "123456789012345", 0xAB12CD},  // 15 and 8 characters at most
      {"abc", "", "xyz", 0, "", 0},
      {"99999999999", "v", "1", 0, "v", 1},  // a build beyond 32 bits is no build
      // Read as the C library reads numbers: white space and "+" first, "0x" in base 16.
      {" \t+77", "v", "0x00ABCD", 77, "v", 0xABCD},
      {"\n\v\f\r5", "v", "  +1f zz", 5, "v", 0x1F},
      {"-5", "v", "0xZ", 0, "v", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.build);
    BirdFile bird(makeBird(dir.file("i.bird"), {"--info", c.build, c.version, c.serial, "M"}));
    EXPECT_EQ(bird.GetBuild(), c.b);
    EXPECT_EQ(bird.GetVersion(), c.v);
    EXPECT_EQ(bird.GetSerialNumber(), c.s);
    EXPECT_TRUE(bird.ValidateSerialNumber(c.s));
    EXPECT_FALSE(bird.ValidateSerialNumber(c.s + 1));
  }
}

TEST(BirdFile, ValidateModelIsAPrefixTestOfTheTrimmedField) {
  TempDir dir;
  BirdFile bird(makeBird(dir.file("m.bird"), {"--info", "1", "1.0", "0", "ABC"}));
  LogCapture log(DEBUG_BirdFile);
  EXPECT_TRUE(bird.ValidateModel("ABC"));
  EXPECT_TRUE(bird.ValidateModel("AB"));
  EXPECT_TRUE(bird.ValidateModel(""));
  EXPECT_FALSE(bird.ValidateModel("ABCD"));
  EXPECT_FALSE(bird.ValidateModel("ABC "));
  EXPECT_FALSE(bird.ValidateModel("abc"));
  EXPECT_FALSE(bird.ValidateModel(nullptr));
  EXPECT_TRUE(bird.ValidateModel(std::string("AB")));
  EXPECT_FALSE(bird.ValidateModel(std::string("ABX")));
  EXPECT_NE(log.text().find("Model matches model number ([ABC] == [AB])\n"), std::string::npos);
}

TEST(BirdFile, ReplaceSerialNumberWritesTheWordAndTheDescriptor) {
  TempDir dir;
  auto clear = pattern(1024, 5);
  std::string path = makeBird(dir.file("g.bird"), {"--firmware", "0:" + writeImage(dir, "f.bin", clear),
                                                   "--serial-location", "0x100", "0x200"});
  BirdFile bird(path);
  LogCapture log(DEBUG_BirdFile);
  ASSERT_TRUE(bird.ReplaceSerialNumber(0x1234ABCD));

  auto expected = clear;
  const uint8_t word[] = {0xCD, 0xAB, 0x34, 0x12};  // least significant byte first
  std::copy(word, word + 4, expected.begin() + 0x100);
  const char* digits = "1234ABCD";
  for (int i = 0; i < 8; ++i) expected[0x200 + 2 * i] = static_cast<uint8_t>(digits[i]);  // high bytes stay
  EXPECT_EQ(image(bird.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]), expected);

  char line[96];
  snprintf(line, sizeof line, "BIRDFILE: updating serial number from %02X%02X%02X%02X ==> 1234ABCD\n", clear[0x103],
           clear[0x102], clear[0x101], clear[0x100]);
  EXPECT_NE(log.text().find(line), std::string::npos) << log.text();
}

TEST(BirdFile, ReplaceSerialNumberNeverWritesOutsideABlock) {
  TempDir dir;
  struct Case {
    const char* name;
    std::vector<std::string> args;
    bool result;
  };
  const Case cases[] = {
      // Location past the end of the only block: skipped, but a serial location counts as success.
      {"PastTheEnd", {"--firmware", "0x1000:pattern=256", "--serial-location", "0x10FE", "0"}, true},
      {"BeforeTheBlock", {"--firmware", "0x1000:pattern=256", "--serial-location", "0xFFE", "0"}, true},
      {"TopOfAddressSpace", {"--firmware", "0xFFFFFF00:pattern=256", "--serial-location", "0xFFFFFFFE", "0xFFFFFFF8"}, true},
      {"DescriptorCut", {"--firmware", "0x1000:pattern=256", "--serial-location", "0", "0x10F8"}, false},
      {"NoFirmware", {"--loader", "0:pattern=256", "--serial-location", "0x10", "0x20"}, false},
      {"FirmwareTooShortForAnAddress", {"--raw", "1:hex=AAAA", "--serial-location", "0x1", "0"}, true},
      {"ShortLocationBlock", {"--firmware", "0:pattern=256", "--raw", "2:hex=000000", }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BirdFile bird(makeBird(dir.file("o.bird"), c.args));
    std::vector<uint8_t> before(bird.data.get(), bird.data.get() + bird.dataSize);
    EXPECT_EQ(bird.ReplaceSerialNumber(0x11223344), c.result);
    EXPECT_EQ(std::vector<uint8_t>(bird.data.get(), bird.data.get() + bird.dataSize), before);
  }
}

TEST(BirdFile, ReplaceSerialNumberUsesTheBlockThatHoldsTheLocation) {
  TempDir dir;
  BirdFile bird(makeBird(dir.file("two.bird"), {"--firmware", "0:fill=64", "--firmware", "0x8000:fill=64",
                                                "--serial-location", "0x8010", "0x8020"}));
  ASSERT_TRUE(bird.ReplaceSerialNumber(0xCAFE0001));
  auto fw = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  EXPECT_EQ(image(fw[0]), std::vector<uint8_t>(64, 0));
  auto second = image(fw[1]);
  EXPECT_EQ(second[0x10], 0x01);
  EXPECT_EQ(second[0x13], 0xCA);
  EXPECT_EQ(second[0x20], 'C');
  EXPECT_EQ(second[0x2E], '1');
}

TEST(BirdFile, DecodeWithZeroKeyChainsThePreviousClearByte) {
  TempDir dir;
  BirdFile bird(makeBird(dir.file("z.bird"), {"--firmware", "0x1234:hex=010203"}));
  EXPECT_TRUE(bird.DecodeFirmwareBlocks({0, 0, 0, 0}));
  auto fw = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0];
  EXPECT_EQ(image(fw), (std::vector<uint8_t>{0x01, 0x03, 0x00}));
  EXPECT_EQ(fw.address, 0x1234u);
  EXPECT_EQ(BirdFile::GetInt(fw.data), 0x1234u);  // the address is not touched
}

TEST(BirdFile, DecodeUndoesBirdtoolScramblingPerBlock) {
  TempDir dir;
  auto loaderImg = pattern(100, 9), a = pattern(1000, 3), b = pattern(37, 200);
  const std::vector<std::string> key = {"0x01234567", "0x89ABCDEF", "0xDEADBEEF", "0x00000042"};
  std::vector<std::string> args = {"--loader", "0x10000000:" + writeImage(dir, "l.bin", loaderImg),
                                   "--firmware", "0:" + writeImage(dir, "a.bin", a),
                                   "--firmware", "0x4000:" + writeImage(dir, "b.bin", b), "--scramble"};
  args.insert(args.end(), key.begin(), key.end());
  BirdFile bird(makeBird(dir.file("s.bird"), args));
  auto fw = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  EXPECT_NE(image(fw[0]), a);  // scrambled on disk

  const uint32_t words[4] = {0x01234567, 0x89ABCDEF, 0xDEADBEEF, 0x00000042};
  bird.DecodeFirmwareBlocks(words);
  EXPECT_EQ(image(fw[0]), a);
  EXPECT_EQ(image(fw[1]), b);
  EXPECT_EQ(image(bird.FindBlocks(BirdFile::BLOCK_LOADER)[0]), loaderImg);  // loaders are never scrambled

  // A chip's fingerprint record is a key as it stands.
  BirdFile byPrint(dir.file("s.bird"));
  Fingerprint print;
  std::copy(words, words + 4, print.words);
  EXPECT_TRUE(byPrint.DecodeFirmwareBlocks(print));
  EXPECT_EQ(image(byPrint.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]), a);
  BirdFile byWords(dir.file("s.bird"));
  EXPECT_TRUE(byWords.DecodeFirmwareBlocks(0x01234567, 0x89ABCDEF, 0xDEADBEEF, 0x00000042));
  EXPECT_EQ(image(byWords.FindBlocks(BirdFile::BLOCK_FIRMWARE)[1]), b);

  // Another chip's key gives something else.
  BirdFile other(dir.file("s.bird"));
  const uint32_t wrong[4] = {0x01234567, 0x89ABCDEF, 0xDEADBEEF, 0x00000043};
  other.DecodeFirmwareBlocks(wrong);
  EXPECT_NE(image(other.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]), a);
}

TEST(BirdFile, ShortFirmwareBlocksAreHandledWithoutReadingPastThem) {
  TempDir dir;
  BirdFile bird(makeBird(dir.file("short.bird"), {"--raw", "1:hex=0102", "--raw", "0:text=", "--firmware", "0:hex=AB"}));
  ASSERT_EQ(bird.blockCount, 3u);
  EXPECT_EQ(bird.blocks[0].address, 0u);
  EXPECT_EQ(bird.blocks[1].length, 0u);
  const uint32_t key[4] = {1, 2, 3, 4};
  EXPECT_TRUE(bird.DecodeFirmwareBlocks(key));
  EXPECT_EQ(bird.blocks[0].data[0], 0x01);  // too short to have an image
  EXPECT_FALSE(bird.ReplaceVectorChecksum());
  const uint8_t needle[] = {0x01, 0x02};
  EXPECT_TRUE(bird.ValidateData(needle, 2));
}

TEST(BirdFile, ReplaceVectorChecksumMakesTheFirstEightWordsSumToZero) {
  TempDir dir;
  BirdFile bird(makeBird(dir.file("vec.bird"), {"--firmware", "0:pattern=512,7", "--firmware", "0x8000:pattern=64,8"}));
  std::vector<uint8_t> secondBefore = image(bird.FindBlocks(BirdFile::BLOCK_FIRMWARE)[1]);
  LogCapture log(DEBUG_BirdFile);
  EXPECT_TRUE(bird.ReplaceVectorChecksum());
  auto fw = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  const uint8_t* img = fw[0].data + 4;
  uint32_t sum = 0;
  for (int i = 0; i < 8; ++i) {
    sum += uint32_t(img[4 * i]) | uint32_t(img[4 * i + 1]) << 8 | uint32_t(img[4 * i + 2]) << 16 |
           uint32_t(img[4 * i + 3]) << 24;
  }
  EXPECT_EQ(sum, 0u);
  EXPECT_EQ(image(fw[1]), secondBefore);  // only the block loaded at 0 holds the vectors
  EXPECT_NE(log.text().find("BIRDFILE: updating vector checksum from "), std::string::npos);
}

TEST(BirdFile, ValidateDataFindsThePatternAnywhereInAFirmwarePayload) {
  TempDir dir;
  BirdFile bird(makeBird(dir.file("d.bird"), {"--loader", "0:text=NEEDLE", "--firmware", "0x41424344:text=xxNEEDLEyyEND"}));
  LogCapture log(DEBUG_BirdFile);
  auto has = [&](const char* s) { return bird.ValidateData(reinterpret_cast<const uint8_t*>(s), strlen(s)); };
  EXPECT_TRUE(has("NEEDLE"));
  EXPECT_TRUE(has("END"));   // the very end of the payload
  EXPECT_TRUE(has("ABCD"));  // the address bytes are part of the search
  EXPECT_FALSE(has("NEEDLEX"));
  EXPECT_FALSE(has("xxNEEDLEyyEND!!!!!!!!!"));  // longer than the payload
  std::string text = log.text();
  EXPECT_NE(text.find("BIRDFILE: looking for data pattern in [" + dir.file("d.bird") + "]\n"), std::string::npos);
  EXPECT_NE(text.find("Found data at 6\n"), std::string::npos);
}

TEST(BirdFile, DumpBlocksPrintsHexAndText) {
  TempDir dir;
  BirdFile bird(makeBird(dir.file("dump.bird"), {"--raw", "7:text=AB\x01", "--firmware", "0:fill=4"}));
  testing::internal::CaptureStdout();
  EXPECT_TRUE(bird.DumpBlocks(static_cast<BirdFile::BLOCK_TYPE>(7)));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "BIRDFILE: BLOCK DUMP [" + dir.file("dump.bird") + "]\n" + " \r\n000000: 41 42 01  AB \n\n");

  // Every block of the type, a new line every 50 bytes with the text of the line before it.
  BirdFile two(makeBird(dir.file("dump2.bird"), {"--raw", "7:text=AB\x01", "--raw", "7:fill=52,0x41", "--raw", "6:text=Z"}));
  testing::internal::CaptureStdout();
  EXPECT_TRUE(two.DumpBlocks(uint8_t{7}));
  out = testing::internal::GetCapturedStdout();
  std::string fifty;
  for (int i = 0; i < 50; ++i) fifty += "41 ";
  EXPECT_EQ(out, "BIRDFILE: BLOCK DUMP [" + dir.file("dump2.bird") + "]\n" + " \r\n000000: 41 42 01  AB \n" +
                     " \r\n000000: " + fifty + " " + std::string(50, 'A') + "\r\n000050: 41 41  AA\n" + "\n");
}

TEST(BirdFile, MoveHandsOverTheBufferAndItsBlocks) {
  TempDir dir;
  BirdFile a(makeBird(dir.file("m.bird"), {"--firmware", "0:pattern=100", "--info", "7", "v", "1", "M"}));
  const uint8_t* payload = a.blocks[0].data;
  BirdFile b(std::move(a));
  EXPECT_EQ(b.blocks[0].data, payload);
  EXPECT_EQ(b.GetBuild(), 7u);
  EXPECT_EQ(a.blockCount, 0u);
  EXPECT_TRUE(a.blocks.empty());
  EXPECT_EQ(a.data, nullptr);
  BirdFile c;
  c = std::move(b);
  EXPECT_EQ(c.blocks[0].data, payload);
  EXPECT_EQ(c.filename, dir.file("m.bird"));
  EXPECT_EQ(b.GetBuild(), 0u);
}

// Files built byte by byte from the format's own layout, with zlib's compress
// for the container: the loader is checked against the format itself, not
// against birdtool's reading of it.
namespace {

class HandBuiltBird {
 public:
  static void put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int shift = 24; shift >= 0; shift -= 8) v.push_back(static_cast<uint8_t>(x >> shift));
  }
  // One block: type and flags in the first byte, big-endian payload length, payload.
  HandBuiltBird& block(uint8_t type, uint8_t flags, const std::vector<uint8_t>& payload) {
    blocks_.push_back(static_cast<uint8_t>(type | flags << 5));
    put32(blocks_, static_cast<uint32_t>(payload.size()));
    blocks_.insert(blocks_.end(), payload.begin(), payload.end());
    ++count_;
    return *this;
  }
  std::vector<uint8_t> container(uint32_t checksum, int declared = -1) const {
    std::vector<uint8_t> c;
    put32(c, declared < 0 ? count_ : static_cast<uint32_t>(declared));
    c.insert(c.end(), blocks_.begin(), blocks_.end());
    put32(c, checksum);
    return c;
  }
  // "bird", the format version 01 01, then the zlib stream of the container.
  static std::string file(const std::vector<uint8_t>& container, uint8_t major = 1, uint8_t minor = 1) {
    uLongf packedSize = compressBound(container.size());
    std::vector<uint8_t> packed(packedSize);
    EXPECT_EQ(compress(packed.data(), &packedSize, container.data(), container.size()), Z_OK);
    std::string out = std::string("bird") + static_cast<char>(major) + static_cast<char>(minor);
    out.append(reinterpret_cast<const char*>(packed.data()), packedSize);
    return out;
  }

 private:
  std::vector<uint8_t> blocks_;
  uint32_t count_ = 0;
};

// Bytes that zlib cannot squeeze much, so a container stays within 8 times its packed size.
std::vector<uint8_t> noise(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<uint8_t>(seed >> 16);
  }
  return v;
}

std::vector<uint8_t> withAddress(uint32_t address, const std::vector<uint8_t>& image) {
  std::vector<uint8_t> v;
  HandBuiltBird::put32(v, address);
  v.insert(v.end(), image.begin(), image.end());
  return v;
}

std::vector<uint8_t> infoPayload(const std::string& build, const std::string& version, const std::string& serial,
                                 const std::string& model) {
  std::vector<uint8_t> v;
  for (const auto* f : {&build, &version, &serial, &model}) {
    std::string field = *f;
    field.resize(16, ' ');
    v.insert(v.end(), field.begin(), field.end());
  }
  return v;
}

}  // namespace

TEST(BirdFileHandBuilt, LoadsEveryFieldAsLaidOut) {
  TempDir dir;
  const std::vector<uint8_t> loaderCode = noise(40, 1), fwImage = noise(0x300, 2);
  HandBuiltBird hb;
  hb.block(0, 0, withAddress(0x10000000, loaderCode))
      .block(1, 5, withAddress(0x00000000, fwImage))
      .block(4, 0, infoPayload("1234", "2.10.7 (beta)", "0000ABCD", "ABC"))
      .block(2, 0, {0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00})
      .block(5, 0, {0x20, 0x00, 0x08, 0x00})
      .block(9, 7, {'x', 'y', 'z'});
  const std::vector<uint8_t> container = hb.container(0xCAFEBABE);
  const std::string path = dir.file("hand.bird");
  tstest::writeFile(path, HandBuiltBird::file(container));

  EXPECT_TRUE(BirdFile::VerifyFile(path));
  LogCapture log(DEBUG_BirdFile);
  BirdFile bird(path);
  EXPECT_EQ(bird.signature, 0x62697264u);
  const std::string header = tstest::readFile(path).substr(0, 6);
  EXPECT_EQ(BirdFile::GetInt(header.data()), BirdFile::BIRD_FILE_SIGNATURE);
  EXPECT_EQ(BirdFile::GetShort(header.data() + 4), BirdFile::BIRD_FILE_VERSION);
  EXPECT_EQ(bird.version, 0x0101u);
  EXPECT_EQ(bird.checksum, 0xCAFEBABEu);
  EXPECT_EQ(bird.dataSize, container.size());
  EXPECT_EQ(std::vector<uint8_t>(bird.data.get(), bird.data.get() + bird.dataSize), container);
  ASSERT_EQ(bird.blockCount, 6u);
  ASSERT_EQ(bird.blocks.size(), 6u);

  struct Expect { uint8_t type, flags; uint32_t length, address; };
  const Expect expect[] = {{0, 0, 44, 0x10000000}, {1, 5, 0x304, 0}, {4, 0, 64, 0},
                           {2, 0, 8, 0},           {5, 0, 4, 0},     {9, 7, 3, 0}};
  for (size_t i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(bird.blocks[i].type, expect[i].type);
    EXPECT_EQ(bird.blocks[i].flags, expect[i].flags);
    EXPECT_EQ(bird.blocks[i].length, expect[i].length);
    EXPECT_EQ(bird.blocks[i].address, expect[i].address);
  }
  EXPECT_EQ(image(bird.blocks[0]), loaderCode);
  EXPECT_EQ(image(bird.blocks[1]), fwImage);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bird.blocks[5].data), 3), "xyz");

  EXPECT_TRUE(bird.hasSerialBlock);
  EXPECT_EQ(bird.serialAddress, 0x100u);
  EXPECT_EQ(bird.descriptorAddress, 0x200u);
  EXPECT_EQ(bird.GetBuild(), 1234u);
  EXPECT_EQ(bird.GetVersion(), "2.10.7");
  EXPECT_EQ(bird.GetSerialNumber(), 0xABCDu);
  EXPECT_TRUE(bird.ValidateSerialNumber(0xABCD));
  EXPECT_TRUE(bird.ValidateModel("ABC"));
  EXPECT_TRUE(bird.ValidateModel("AB"));
  EXPECT_TRUE(bird.ValidateModel(""));
  EXPECT_FALSE(bird.ValidateModel("ABCD"));
  EXPECT_EQ(bird.GetLoaderEntry(), 0x20000800u);
  const std::string text = log.text();
  EXPECT_NE(text.find("BIRDFILE:\t\t File reports 6 blocks\n"), std::string::npos) << text;
  EXPECT_NE(text.find("BIRDFILE:\t\t 01   05   772\n"), std::string::npos) << text;
  EXPECT_NE(text.find("BIRDFILE:\t\t 09   07   3\n"), std::string::npos) << text;
  EXPECT_NE(text.find("BIRDFILE:\t\t File checksum CAFEBABE\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("mismatch"), std::string::npos) << text;

  // The serial word least significant byte first at image offset 0x100; the
  // eight digits into the low bytes at 0x200, 0x202 ... 0x20E.
  ASSERT_TRUE(bird.ReplaceSerialNumber(0x0012ABCD));
  std::vector<uint8_t> expected = fwImage;
  const uint8_t word[] = {0xCD, 0xAB, 0x12, 0x00};
  std::copy(word, word + 4, expected.begin() + 0x100);
  const char* digits = "0012ABCD";
  for (int i = 0; i < 8; ++i) expected[0x200 + 2 * i] = static_cast<uint8_t>(digits[i]);
  EXPECT_EQ(image(bird.blocks[1]), expected);
  EXPECT_EQ(image(bird.blocks[0]), loaderCode);  // loaders are left alone
}

TEST(BirdFileHandBuilt, HeaderAndContainerEdges) {
  TempDir dir;
  const std::string path = dir.file("edge.bird");

  // Only the header: a BIRD file by its first six bytes, with nothing to unpack.
  tstest::writeFile(path, std::string("bird\x01\x01", 6));
  EXPECT_TRUE(BirdFile::VerifyFile(path));
  {
    LogCapture log(DEBUG_BirdFile);
    BirdFile bird;
    bird.filename = path;
    EXPECT_FALSE(bird.Load());
    EXPECT_EQ(bird.dataSize, 0u);
    EXPECT_NE(log.text().find("decompressing bird file.\n"), std::string::npos) << log.text();
  }

  // Version bytes 01 00: refused by the header check, loaded all the same.
  HandBuiltBird one;
  one.block(1, 0, withAddress(0, {1, 2, 3}));
  tstest::writeFile(path, HandBuiltBird::file(one.container(0), 1, 0));
  EXPECT_FALSE(BirdFile::VerifyFile(path));
  {
    BirdFile bird(path);
    EXPECT_EQ(bird.version, 0x0100u);
    EXPECT_EQ(bird.blockCount, 1u);
    // No serial location block: nothing to write into.
    EXPECT_FALSE(bird.hasSerialBlock);
    EXPECT_EQ(bird.serialAddress, 0u);
    EXPECT_EQ(bird.descriptorAddress, 0u);
    // A zero key leaves each clear byte as the scrambled byte XOR the previous clear byte.
    EXPECT_TRUE(bird.DecodeFirmwareBlocks(std::array<uint32_t, 4>{0, 0, 0, 0}));
    EXPECT_EQ(image(bird.blocks[0]), (std::vector<uint8_t>{0x01, 0x03, 0x00}));
  }

  // Three blocks declared, two present: both kept, the count mismatch logged.
  HandBuiltBird two;
  two.block(1, 0, withAddress(0, {9})).block(7, 0, {1, 2});
  tstest::writeFile(path, HandBuiltBird::file(two.container(0, 3)));
  {
    LogCapture log(DEBUG_BirdFile);
    BirdFile bird(path);
    EXPECT_EQ(bird.blockCount, 2u);
    EXPECT_NE(log.text().find("BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n"), std::string::npos)
        << log.text();
  }

  // A container more than 8 times its packed size does not fit the room: zlib's buffer error.
  HandBuiltBird big;
  big.block(1, 0, withAddress(0, std::vector<uint8_t>(20000, 0)));
  const std::string packed = HandBuiltBird::file(big.container(0));
  ASSERT_GT(big.container(0).size(), 8 * (packed.size() - 6));
  tstest::writeFile(path, packed);
  {
    LogCapture log(DEBUG_BirdFile);
    BirdFile bird;
    bird.filename = path;
    EXPECT_FALSE(bird.Load());
    EXPECT_EQ(bird.dataSize, 0u);
    EXPECT_NE(log.text().find("BIRDFILE: Error (-5) decompressing bird file.\n"), std::string::npos) << log.text();
  }
}
