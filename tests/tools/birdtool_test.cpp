// birdtool as its users run it: create, info, check and extract.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>

#include "store/BirdFile.h"
#include "support/BirdFixture.h"
#include "support/Process.h"

using tstest::birdtool;
using tstest::makeBird;
using tstest::readFile;
using tstest::TempDir;
using tstest::writeFile;

TEST(Birdtool, InfoPrintsHeaderBlocksFieldsAndMismatches) {
  TempDir dir;
  std::string path = makeBird(dir.file("a.bird"), {"--loader", "0x10000000:pattern=300", "--firmware",
                                                   "0x0:pattern=1024:3", "--info", "1200", "2.10.7 (beta)", "0000ABCD",
                                                   "ABC", "--serial-location", "0x100", "0x200", "--loader-entry",
                                                   "0x20000800", "--raw", "7:text=hello", "--checksum", "0x12345678"});
  auto r = birdtool({"info", path});
  ASSERT_EQ(r.status, 0) << r.err;
  size_t size = std::filesystem::file_size(path);
  EXPECT_EQ(r.out, "file: " + path + " (" + std::to_string(size) + " bytes)\n" +
                       "signature: bird (62697264)\n"
                       "format version: 1.1 (0x0101)\n"
                       "verify: passed\n"
                       "load: ok\n"
                       "container: 1451 bytes, 6 blocks declared, 6 parsed, checksum 12345678\n"
                       "block 1: type 0 LOADER flags 0 length 304 address 0x10000000\n"
                       "block 2: type 1 FIRMWARE flags 3 length 1028 address 0x00000000\n"
                       "block 3: type 4 INFO flags 0 length 64\n"
                       "block 4: type 2 SERIAL_LOCATION flags 0 length 8\n"
                       "block 5: type 5 LOADER_ENTRY flags 0 length 4\n"
                       "block 6: type 7 UNKNOWN flags 0 length 5\n"
                       "info: build 1200\n"
                       "info: version 2.10.7\n"
                       "info: serial 0000ABCD\n"
                       "info: model ABC\n"
                       "serial location: 0x00000100 descriptor 0x00000200\n"
                       "loader entry: 0x20000800\n");

  makeBird(dir.file("b.bird"), {"--firmware", "0:hex=010203", "--declared-count", "3", "--trailing", "2",
                                "--info", "1", "v", "1", "M", "--info-length", "20"});
  r = birdtool({"info", dir.file("b.bird")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("info: short block (20 of 64 bytes)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("loader entry: 0x20000400 (default)\n"), std::string::npos);
  EXPECT_NE(r.out.find("mismatch: 3 blocks declared, 2 parsed\n"), std::string::npos);
  EXPECT_NE(r.out.find("mismatch: 6 bytes after the blocks (4 expected for the checksum)\n"), std::string::npos);

  makeBird(dir.file("z.bird"), {"--firmware", "0:pattern=64", "--bad-zlib"});
  r = birdtool({"info", dir.file("z.bird"), "--log"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("verify: passed\nload: failed\n"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("BIRDFILE: Error (-3) decompressing bird file.\n"), std::string::npos) << r.err;
}

TEST(Birdtool, CreateKeepsTheCommandLineOrderOfBlocks) {
  TempDir dir;
  BirdFile bird(makeBird(dir.file("o.bird"), {"--info", "1", "v", "1", "M", "--firmware", "0x100:hex=01:7",
                                              "--loader", "0x200:hex=02", "--firmware", "0x300:hex=03",
                                              "--serial-location", "1", "2", "--raw", "31:hex=FF:1"}));
  std::vector<std::pair<int, int>> got;
  for (const auto& b : bird.blocks) got.emplace_back(b.type, b.flags);
  EXPECT_EQ(got, (std::vector<std::pair<int, int>>{{4, 0}, {1, 7}, {0, 0}, {1, 0}, {2, 0}, {31, 1}}));
  EXPECT_EQ(bird.blocks[1].address, 0x100u);
  EXPECT_EQ(bird.blocks[3].address, 0x300u);
}

TEST(Birdtool, CheckAcceptsOnlyWhatTheUpdaterWould) {
  TempDir dir;
  const std::vector<std::string> generic = {"--loader", "0x10000000:pattern=64", "--firmware", "0:pattern=512",
                                            "--info", "1200", "1.2.3", "00000000", "MODELNAME",
                                            "--serial-location", "0x100", "0x200"};
  const std::vector<std::string> unit = {"--firmware", "0:pattern=512", "--info", "1200", "1.2.3", "0000ABCD", "MODELNAME"};
  auto with = [](std::vector<std::string> base, std::vector<std::string> more) {
    base.insert(base.end(), more.begin(), more.end());
    return base;
  };
  struct Case {
    const char* name;
    std::vector<std::string> create;
    std::vector<std::string> check;
    int status;
    const char* says;
  };
  const Case cases[] = {
      {"Generic", generic, {"--model", "MODELNAME", "--serial", "12345678"}, 0, "ok: "},
      {"ModelPrefix", generic, {"--model", "MODEL"}, 0, "ok: "},
      {"WrongModel", generic, {"--model", "OTHER"}, 1, "rejected: model [MODELNAME] does not match [OTHER]"},
      {"ForThisUnit", unit, {"--serial", "ABCD"}, 0, "ok: "},
      {"ForAnotherUnit", unit, {"--serial", "0x0000ABCE"}, 1, "rejected: made for unit 0000ABCD, not 0000ABCE"},
      {"BadZlib", with(generic, {"--bad-zlib"}), {}, 1, "rejected: cannot be loaded"},
      {"HeaderOnly", with(generic, {"--truncate", "6"}), {}, 1, "rejected: cannot be loaded"},
      {"BadSignature", with(generic, {"--signature", "bard"}), {}, 1, "rejected: not a BIRD file"},
      {"ZeroVersionByte", with(generic, {"--format-version", "0x0100"}), {}, 1, "rejected: not a BIRD file"},
      {"NoBlocks", {"--declared-count", "0"}, {}, 1, "rejected: no blocks"},
      {"NoFirmware", {"--loader", "0:pattern=16"}, {}, 1, "rejected: no firmware blocks"},
      {"FirmwareWithoutAddress", {"--raw", "1:hex=01"}, {}, 1, "rejected: block 1 is too short to hold its load address"},
      {"NoSerialLocation", {"--firmware", "0:pattern=64", "--raw", "2:hex="}, {}, 1,
       "rejected: the serial number cannot be written into the image"},
      {"SerialOutsideImage", {"--firmware", "0:pattern=64", "--serial-location", "0x1000", "0"}, {}, 0,
       "warning: serial location lies in no firmware block"},
      {"CountMismatch", with(generic, {"--declared-count", "9"}), {}, 0, "warning: 9 blocks declared, 4 parsed"},
      {"CountMismatchStrict", with(generic, {"--declared-count", "9"}), {"--strict"}, 1,
       "rejected: 9 blocks declared, 4 parsed"},
      {"OverrunStrict", with(generic, {"--overrun", "30"}), {"--strict"}, 1, "rejected: 4 blocks declared, 3 parsed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = makeBird(dir.file(std::string(c.name) + ".bird"), c.create);
    std::vector<std::string> args = {"check", path};
    args.insert(args.end(), c.check.begin(), c.check.end());
    auto r = birdtool(args);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
  }
}

TEST(Birdtool, ExtractGivesImagesDescrambledAndPersonalised) {
  TempDir dir;
  std::string clear;
  for (int i = 0; i < 700; ++i) clear.push_back(static_cast<char>(i * 13 + 5));
  writeFile(dir.file("clear.bin"), clear);
  std::string path = makeBird(dir.file("s.bird"), {"--loader", "0x20000000:text=LOADER", "--firmware",
                                                   "0x1000:@" + dir.file("clear.bin"), "--scramble", "0xA1B2C3D4",
                                                   "0x0", "0xFFFFFFFF", "0x13572468"});
  ASSERT_EQ(birdtool({"extract", path, "-o", dir.file("l.bin")}).status, 0);
  EXPECT_EQ(readFile(dir.file("l.bin")), "LOADER");
  ASSERT_EQ(birdtool({"extract", path, "-o", dir.file("l.bin"), "--payload"}).status, 0);
  EXPECT_EQ(readFile(dir.file("l.bin")), std::string("\x20\x00\x00\x00LOADER", 10));

  ASSERT_EQ(birdtool({"extract", path, "--block", "2", "-o", dir.file("raw.bin")}).status, 0);
  EXPECT_NE(readFile(dir.file("raw.bin")), clear);
  auto r = birdtool({"extract", path, "--block", "2", "-o", dir.file("fw.bin"), "--decode", "0xA1B2C3D4", "0",
                     "0xFFFFFFFF", "0x13572468"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(dir.file("fw.bin")), clear);

  std::string generic = makeBird(dir.file("g.bird"), {"--firmware", "0x1000:@" + dir.file("clear.bin"),
                                                      "--serial-location", "0x1010", "0"});
  ASSERT_EQ(birdtool({"extract", generic, "-o", dir.file("p.bin"), "--serial", "CAFE0001"}).status, 0);
  std::string expect = clear;
  expect.replace(0x10, 4, std::string("\x01\x00\xFE\xCA", 4));
  EXPECT_EQ(readFile(dir.file("p.bin")), expect);

  r = birdtool({"extract", path, "--block", "3", "-o", dir.file("x.bin")});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("block 3 does not exist (the file has 2)"), std::string::npos) << r.err;
}

TEST(Birdtool, BadArgumentsAreRefusedWithAMessage) {
  TempDir dir;
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const Case cases[] = {
      {{"--firmware", "0xZZ:fill=4"}, "invalid firmware block: '0xZZ'"},
      {{"--firmware", "0x100"}, "firmware block needs the form X:SOURCE[:FLAGS]"},
      {{"--firmware", "0:fill=4:8"}, "invalid block flags (0..7): '8'"},
      {{"--firmware", "0:blob=4"}, "unknown image source kind 'blob'"},
      {{"--firmware", "0:hex=123"}, "hex source needs an even number of digits"},
      {{"--firmware", "0:@" + dir.file("missing.bin")}, "cannot read " + dir.file("missing.bin")},
      {{"--raw", "32:hex=00"}, "invalid raw block type: '32'"},
      {{"--serial-location", "0x100000000", "0"}, "invalid serial location"},
      {{"--signature", "toolong"}, "the signature has at most 4 characters"},
      {{"--compression", "lzma"}, "compression must be zlib, none or corrupt"},
      {{"--firmware", "0:fill=99999999999"}, "invalid image size"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.says);
    std::vector<std::string> args = {"create", "-o", dir.file("x.bird")};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto r = birdtool(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("x.bird")));
  }
  EXPECT_NE(birdtool({"create", "--firmware", "0:fill=4"}).status, 0);  // no output named
  EXPECT_NE(birdtool({}).status, 0);
  EXPECT_NE(birdtool({"frobnicate"}).status, 0);
  auto r = birdtool({"check", dir.file("missing.bird")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("rejected: not a BIRD file"), std::string::npos);
  r = birdtool({"info", dir.file("missing.bird")});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("cannot read"), std::string::npos);
}

TEST(Birdtool, CreateReplacesTheOutputWholeAndWarnsAboutUnloadableFiles) {
  TempDir dir;
  makeBird(dir.file("w.bird"), {"--firmware", "0:pattern=64"});
  auto r = birdtool({"create", "-o", dir.file("w.bird"), "--firmware", "0:fill=100000"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("unpacks to more than 8 times its packed size"), std::string::npos) << r.err;
  BirdFile probe;
  probe.filename = dir.file("w.bird");
  EXPECT_FALSE(probe.Load());  // the warning was right
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) names.push_back(e.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"w.bird"});  // no temporary file left

  r = birdtool({"create", "-o", dir.file("nofolder/x.bird"), "--firmware", "0:fill=4"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("cannot create"), std::string::npos) << r.err;
}

TEST(Birdtool, CreateWritesTheFormatByteForByte) {
  // Read back without the updater's loader: header, zlib stream, block
  // container, each field where the format puts it, big-endian.
  TempDir dir;
  std::string path = makeBird(dir.file("l.bird"), {"--loader", "0x10000000:hex=DEAD", "--firmware", "0x1234:hex=010203:6",
                                                   "--info", "77", "1.2", "0000ABCD", "MOD", "--serial-location",
                                                   "0x1236", "0", "--loader-entry", "0x20000800",
                                                   "--raw", "31:text=hi:7", "--checksum", "0x01020304"});
  const std::string file = readFile(path);
  ASSERT_GT(file.size(), 6u);
  EXPECT_EQ(file.substr(0, 6), std::string("bird\x01\x01", 6));
  std::vector<uint8_t> container(4096);
  uLongf size = container.size();
  ASSERT_EQ(uncompress(container.data(), &size, reinterpret_cast<const Bytef*>(file.data() + 6), file.size() - 6), Z_OK);
  container.resize(size);

  std::string info;
  for (const char* f : {"77", "1.2", "0000ABCD", "MOD"}) info += std::string(f) + std::string(16 - strlen(f), ' ');
  const std::string expected = std::string("\0\0\0\x06", 4) +
                               std::string("\x00\0\0\0\x06\x10\0\0\0\xDE\xAD", 11) +              // loader
                               std::string("\xC1\0\0\0\x07\0\0\x12\x34\x01\x02\x03", 12) +       // firmware, flags 6
                               std::string("\x04\0\0\0\x40", 5) + info +                             // information
                               std::string("\x02\0\0\0\x08\0\0\x12\x36\0\0\0\0", 13) +          // serial location
                               std::string("\x05\0\0\0\x04\x20\0\x08\0", 9) +                      // loader entry
                               std::string("\xFF\0\0\0\x02hi", 7) +                                   // type 31, flags 7
                               std::string("\x01\x02\x03\x04", 4);                                      // checksum
  EXPECT_EQ(std::string(container.begin(), container.end()), expected);
}
