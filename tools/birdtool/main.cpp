// birdtool: creates, inspects and checks BIRD firmware files.
//
//   birdtool create -o OUT.bird [blocks and faults...]
//   birdtool info FILE [--log] [--dump TYPE]
//   birdtool check FILE [--model NAME] [--serial HEX] [--strict]
//   birdtool extract FILE -o OUT [--block N] [--serial HEX] [--decode W0 W1 W2 W3] [--payload]
//
// Blocks are written in the order they are given on the command line.
#include <CLI/CLI.hpp>

#include <array>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "BirdWriter.h"
#include "app/Log.h"
#include "store/BirdFile.h"

using namespace birdtool;

namespace {

const char* typeName(uint8_t type) {
  switch (type) {
    case BirdFile::BLOCK_LOADER: return "LOADER";
    case BirdFile::BLOCK_FIRMWARE: return "FIRMWARE";
    case BirdFile::BLOCK_SERIAL_LOCATION: return "SERIAL_LOCATION";
    case BirdFile::BLOCK_INFO: return "INFO";
    case BirdFile::BLOCK_LOADER_ENTRY: return "LOADER_ENTRY";
    default: return "UNKNOWN";
  }
}

uint32_t number32(const std::string& text, const char* what) {
  return static_cast<uint32_t>(parseNumber(text, 0xFFFFFFFFu, what));
}

// ADDR:SOURCE[:FLAGS] (or TYPE:SOURCE[:FLAGS]); a trailing ":N" is taken as
// the flags only when N is a number, so a source may itself hold colons.
struct SourceSpec {
  uint32_t head = 0;
  std::string source;
  uint8_t flags = 0;
};

SourceSpec parseSourceSpec(const std::string& text, const char* what, uint64_t headMax) {
  auto colon = text.find(':');
  if (colon == std::string::npos) throw SpecError(std::string(what) + " needs the form X:SOURCE[:FLAGS]: '" + text + "'");
  SourceSpec s;
  s.head = static_cast<uint32_t>(parseNumber(text.substr(0, colon), headMax, what));
  s.source = text.substr(colon + 1);
  auto last = s.source.rfind(':');
  if (last != std::string::npos) {
    std::string tail = s.source.substr(last + 1);
    bool numeric = !tail.empty() && tail.find_first_not_of("0123456789") == std::string::npos;
    if (numeric) {
      s.flags = static_cast<uint8_t>(parseNumber(tail, 7, "block flags (0..7)"));
      s.source.resize(last);
    }
  }
  return s;
}

uint32_t remainingAfterBlocks(const BirdFile& bird, int64_t* remaining) {
  int64_t used = 4;
  for (const auto& b : bird.blocks) used += static_cast<int64_t>(b.length) + 5;
  *remaining = static_cast<int64_t>(bird.dataSize) - used;
  return 0;
}

// ---- create ---------------------------------------------------------------

struct CreateOptions {
  std::string output;
  std::optional<uint32_t> infoLength;
  std::vector<std::string> scrambleKey;
  std::optional<uint32_t> declaredCount;
  uint32_t overrun = 0;
  std::string checksum;
  bool noChecksum = false;
  uint32_t trailing = 0;
  std::string signature = "bird";
  std::string formatVersion = "0x0101";
  std::string compression = "zlib";
  bool badZlib = false;
  std::optional<size_t> truncate;
  std::optional<size_t> containerSize;
};

int runCreate(CLI::App& cmd, const CreateOptions& o, CLI::Option* loader, CLI::Option* firmware,
              CLI::Option* raw, CLI::Option* info, CLI::Option* serialLoc, CLI::Option* entry) {
  FileSpec spec;
  spec.signature = o.signature;
  if (spec.signature.size() > 4) throw SpecError("the signature has at most 4 characters");
  spec.version = static_cast<uint16_t>(parseNumber(o.formatVersion, 0xFFFF, "format version"));
  spec.declaredCount = o.declaredCount;
  spec.overrun = o.overrun;
  spec.withChecksum = !o.noChecksum;
  if (!o.checksum.empty()) spec.checksum = number32(o.checksum, "checksum");
  spec.trailing = o.trailing;
  spec.truncate = o.truncate;
  spec.containerSize = o.containerSize;
  if (o.badZlib || o.compression == "corrupt") {
    spec.compression = Compression::Corrupt;
  } else if (o.compression == "none") {
    spec.compression = Compression::None;
  } else if (o.compression != "zlib") {
    throw SpecError("compression must be zlib, none or corrupt");
  }
  std::optional<std::array<uint32_t, 4>> key;
  if (!o.scrambleKey.empty()) {
    std::array<uint32_t, 4> k{};
    for (size_t i = 0; i < 4; ++i) k[i] = number32(o.scrambleKey[i], "scramble key word");
    key = k;
  }

  // Walk the options in command-line order; each value of a multi-value
  // option is one entry of the parse order.
  const std::map<CLI::Option*, size_t> groupSize = {{loader, 1}, {firmware, 1}, {raw, 1},
                                                    {info, 4},   {serialLoc, 2}, {entry, 1}};
  std::map<CLI::Option*, size_t> seen;
  for (CLI::Option* opt : cmd.parse_order()) {
    auto g = groupSize.find(opt);
    if (g == groupSize.end()) continue;
    size_t index = seen[opt]++;
    if (index % g->second != 0) continue;
    const auto& r = opt->results();
    if (index + g->second > r.size()) throw SpecError("missing values for " + opt->get_name());
    BlockSpec block;
    if (opt == loader || opt == firmware) {
      SourceSpec s = parseSourceSpec(r[index], opt == loader ? "loader block" : "firmware block", 0xFFFFFFFFu);
      Bytes image = imageFromSource(s.source);
      if (opt == firmware && key) image = scramble(image, key->data());
      block.type = opt == loader ? BirdFile::BLOCK_LOADER : BirdFile::BLOCK_FIRMWARE;
      block.flags = s.flags;
      block.payload = addressed(s.head, image);
    } else if (opt == raw) {
      SourceSpec s = parseSourceSpec(r[index], "raw block type", 31);
      block.type = static_cast<uint8_t>(s.head);
      block.flags = s.flags;
      block.payload = imageFromSource(s.source);
    } else if (opt == info) {
      block.type = BirdFile::BLOCK_INFO;
      block.payload = infoPayload(r[index], r[index + 1], r[index + 2], r[index + 3]);
      if (o.infoLength) block.payload.resize(std::min<size_t>(*o.infoLength, block.payload.size()));
    } else if (opt == serialLoc) {
      block.type = BirdFile::BLOCK_SERIAL_LOCATION;
      block.payload = serialLocationPayload(number32(r[index], "serial location"),
                                            number32(r[index + 1], "descriptor location"));
    } else {
      block.type = BirdFile::BLOCK_LOADER_ENTRY;
      block.payload = loaderEntryPayload(number32(r[index], "loader entry"));
    }
    spec.blocks.push_back(std::move(block));
  }
  Bytes file = buildFile(spec);
  if (spec.compression == Compression::Zlib && !spec.truncate && file.size() > 6 &&
      buildContainer(spec).size() > 8 * (file.size() - 6)) {
    // The loader gives the unpacked container 8 times the packed size.
    fprintf(stderr, "birdtool: warning: %s unpacks to more than 8 times its packed size; the updater cannot load it\n",
            o.output.c_str());
  }
  writeFileAtomically(o.output, file);
  return 0;
}

// ---- info -----------------------------------------------------------------

int runInfo(const std::string& path, bool log, const std::string& dump) {
  if (log) {
    Log::SetOutput(stderr);
    Log::ActivatePackage(DEBUG_BirdFile);
  }
  Bytes raw = readWholeFile(path);
  printf("file: %s (%zu bytes)\n", path.c_str(), raw.size());
  if (raw.size() >= 4) {
    std::string sig(raw.begin(), raw.begin() + 4);
    for (auto& c : sig) {
      if (!isprint(static_cast<unsigned char>(c))) c = '.';
    }
    printf("signature: %s (%02X%02X%02X%02X)\n", sig.c_str(), raw[0], raw[1], raw[2], raw[3]);
  } else {
    printf("signature: missing\n");
  }
  if (raw.size() >= 6) printf("format version: %u.%u (0x%02X%02X)\n", raw[4], raw[5], raw[4], raw[5]);
  bool verified = BirdFile::VerifyFile(path);
  printf("verify: %s\n", verified ? "passed" : "failed");

  BirdFile bird;
  bird.filename = path;
  if (!bird.Load()) {
    printf("load: failed%s\n", log ? "" : " (--log shows why)");
    return 1;
  }
  printf("load: ok\n");
  printf("container: %u bytes, %u blocks declared, %u parsed, checksum %08X\n", bird.dataSize,
         bird.declaredBlockCount, bird.blockCount, bird.checksum);
  for (size_t i = 0; i < bird.blocks.size(); ++i) {
    const auto& b = bird.blocks[i];
    printf("block %zu: type %u %s flags %u length %u", i + 1, b.type, typeName(b.type), b.flags, b.length);
    if (b.type == BirdFile::BLOCK_LOADER || b.type == BirdFile::BLOCK_FIRMWARE) printf(" address 0x%08X", b.address);
    printf("\n");
  }
  auto infos = bird.FindBlocks(BirdFile::BLOCK_INFO);
  if (!infos.empty()) {
    printf("info: build %u\n", bird.GetBuild());
    printf("info: version %s\n", bird.GetVersion().c_str());
    printf("info: serial %08X\n", bird.GetSerialNumber());
    printf("info: model %s\n", bird.GetModel().c_str());
    if (infos[0].length < BirdFile::INFO_BLOCK_SIZE) {
      printf("info: short block (%u of %u bytes)\n", infos[0].length, BirdFile::INFO_BLOCK_SIZE);
    }
  }
  if (bird.hasSerialBlock) {
    printf("serial location: 0x%08X descriptor 0x%08X\n", bird.serialAddress, bird.descriptorAddress);
  }
  bool hasEntry = !bird.FindBlocks(BirdFile::BLOCK_LOADER_ENTRY).empty();
  printf("loader entry: 0x%08X%s\n", bird.GetLoaderEntry(), hasEntry ? "" : " (default)");
  if (bird.blockCount != bird.declaredBlockCount) {
    printf("mismatch: %u blocks declared, %u parsed\n", bird.declaredBlockCount, bird.blockCount);
  }
  int64_t remaining = 0;
  remainingAfterBlocks(bird, &remaining);
  if (remaining != 4) {
    printf("mismatch: %lld bytes after the blocks (4 expected for the checksum)\n",
           static_cast<long long>(remaining));
  }
  if (!dump.empty()) {
    fflush(stdout);
    bird.DumpBlocks(static_cast<BirdFile::BLOCK_TYPE>(parseNumber(dump, 31, "block type")));
  }
  return 0;
}

// ---- check ----------------------------------------------------------------

int runCheck(const std::string& path, const std::string& model, const std::string& serialText, bool strict) {
  std::vector<std::string> problems, warnings;
  std::optional<uint32_t> serial;
  if (!serialText.empty()) serial = static_cast<uint32_t>(parseNumber(serialText.rfind("0x", 0) == 0 ? serialText : "0x" + serialText, 0xFFFFFFFFu, "serial number"));

  auto finish = [&]() {
    for (const auto& w : warnings) printf("warning: %s\n", w.c_str());
    for (const auto& p : problems) printf("rejected: %s\n", p.c_str());
    if (problems.empty()) printf("ok: %s\n", path.c_str());
    return problems.empty() ? 0 : 1;
  };

  if (!BirdFile::VerifyFile(path)) {
    problems.push_back("not a BIRD file (signature or version bytes)");
    return finish();
  }
  BirdFile bird;
  bird.filename = path;
  if (!bird.Load()) {
    problems.push_back("cannot be loaded (unreadable, or bad zlib data)");
    return finish();
  }
  if (bird.blockCount == 0) problems.push_back("no blocks");
  if (bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty()) problems.push_back("no firmware blocks");
  for (size_t i = 0; i < bird.blocks.size(); ++i) {
    const auto& b = bird.blocks[i];
    if ((b.type == BirdFile::BLOCK_LOADER || b.type == BirdFile::BLOCK_FIRMWARE) && b.length < 4) {
      problems.push_back("block " + std::to_string(i + 1) + " is too short to hold its load address");
    }
  }
  std::vector<std::string>& mismatches = strict ? problems : warnings;
  if (bird.blockCount != bird.declaredBlockCount) {
    mismatches.push_back(std::to_string(bird.declaredBlockCount) + " blocks declared, " +
                         std::to_string(bird.blockCount) + " parsed");
  }
  int64_t remaining = 0;
  remainingAfterBlocks(bird, &remaining);
  if (remaining != 4) {
    mismatches.push_back(std::to_string(remaining) + " bytes after the blocks (4 expected for the checksum)");
  }
  if (bird.hasSerialBlock) {
    auto inSomeBlock = [&](uint32_t at, uint32_t size) {
      for (const auto& b : bird.FindBlocks(BirdFile::BLOCK_FIRMWARE)) {
        uint64_t start = b.address, end = start + (b.length >= 4 ? b.length - 4 : 0);
        if (start <= at && uint64_t(at) + size <= end) return true;
      }
      return false;
    };
    if (bird.serialAddress != 0 && !inSomeBlock(bird.serialAddress, 4)) {
      warnings.push_back("serial location lies in no firmware block");
    }
    if (bird.descriptorAddress != 0 && !inSomeBlock(bird.descriptorAddress, 16)) {
      warnings.push_back("descriptor location lies in no firmware block");
    }
    if (!bird.ReplaceSerialNumber(serial.value_or(0))) {
      problems.push_back("the serial number cannot be written into the image");
    }
  } else if (serial && !bird.ValidateSerialNumber(*serial)) {
    char buf[96];
    snprintf(buf, sizeof buf, "made for unit %08X, not %08X", bird.GetSerialNumber(), *serial);
    problems.push_back(buf);
  }
  if (!model.empty() && !bird.ValidateModel(model.c_str())) {
    problems.push_back("model [" + bird.GetModel() + "] does not match [" + model + "]");
  }
  return finish();
}

// ---- extract --------------------------------------------------------------

int runExtract(const std::string& path, const std::string& output, size_t blockIndex, const std::string& serialText,
               const std::vector<std::string>& decode, bool payload) {
  BirdFile bird(path);
  if (!decode.empty()) {
    uint32_t key[4];
    for (size_t i = 0; i < 4; ++i) key[i] = number32(decode[i], "decode key word");
    bird.DecodeFirmwareBlocks(key);
  }
  if (!serialText.empty()) {
    uint32_t serial = static_cast<uint32_t>(parseNumber(serialText.rfind("0x", 0) == 0 ? serialText : "0x" + serialText, 0xFFFFFFFFu, "serial number"));
    if (!bird.ReplaceSerialNumber(serial)) throw SpecError("the serial number cannot be written into the image");
  }
  if (blockIndex < 1 || blockIndex > bird.blocks.size()) {
    throw SpecError("block " + std::to_string(blockIndex) + " does not exist (the file has " +
                    std::to_string(bird.blocks.size()) + ")");
  }
  const auto& b = bird.blocks[blockIndex - 1];
  bool addressed = (b.type == BirdFile::BLOCK_LOADER || b.type == BirdFile::BLOCK_FIRMWARE) && b.length >= 4;
  size_t skip = (addressed && !payload) ? 4 : 0;
  writeFileAtomically(output, Bytes(b.data + skip, b.data + b.length));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"birdtool: creates, inspects and checks BIRD firmware files"};
  app.require_subcommand(1);

  CreateOptions co;
  auto* create = app.add_subcommand("create", "Write a BIRD file; blocks go in command-line order");
  create->footer(
      "SOURCE of an image or payload: @PATH (a file), hex=0102AB, text=ABC, fill=SIZE[,BYTE],\n"
      "pattern=SIZE[,SEED] (pseudo-random bytes). FLAGS 0..7 go to the module's loader with the block.\n"
      "Numbers take 0x for hexadecimal. Example:\n"
      "  birdtool create -o 1200.bird --loader 0x10000000:@loader.bin --firmware 0x0:@fw.bin \\\n"
      "    --info 1200 2.10.7 00000000 MODELNAME --serial-location 0x2FC 0x1000");
  create->add_option("-o,--output", co.output, "File to write")->required();
  // The values are read back from the options' results in parse order.
  std::vector<std::string> vLoader, vFirmware, vRaw, vInfo, vSerialLoc, vEntry;
  auto* loader = create->add_option("--loader", vLoader, "Loader block ADDR:SOURCE[:FLAGS]")->expected(1)->take_all();
  auto* firmware = create->add_option("--firmware", vFirmware, "Firmware block ADDR:SOURCE[:FLAGS]")->expected(1)->take_all();
  auto* raw = create->add_option("--raw", vRaw, "Block of any type TYPE:SOURCE[:FLAGS], payload as given")->expected(1)->take_all();
  auto* info = create->add_option("--info", vInfo, "Information block: BUILD VERSION SERIAL MODEL (texts, each padded to 16)")
                   ->expected(4)
                   ->take_all();
  auto* serialLoc =
      create->add_option("--serial-location", vSerialLoc, "Serial-location block: SERIAL_ADDR DESCRIPTOR_ADDR")->expected(2)->take_all();
  auto* entry = create->add_option("--loader-entry", vEntry, "Loader-entry block: ADDR")->expected(1)->take_all();
  create->add_option("--info-length", co.infoLength, "Cut information blocks to this many bytes");
  create->add_option("--scramble", co.scrambleKey, "Scramble firmware images for a fingerprint W0 W1 W2 W3")->expected(4);
  create->add_option("--declared-count", co.declaredCount, "Block count to declare (default: the real count)");
  create->add_option("--overrun", co.overrun, "The last block claims this many bytes more than it has");
  create->add_option("--checksum", co.checksum, "Trailing checksum value (default: CRC-32 of the blocks)");
  create->add_flag("--no-checksum", co.noChecksum, "Leave out the trailing checksum");
  create->add_option("--trailing", co.trailing, "Junk bytes after the checksum");
  create->add_option("--signature", co.signature, "First four bytes (default bird)");
  create->add_option("--format-version", co.formatVersion, "Format version word (default 0x0101)");
  create->add_option("--compression", co.compression, "zlib (default), none (raw container) or corrupt");
  create->add_flag("--bad-zlib", co.badZlib, "Same as --compression corrupt");
  create->add_option("--truncate", co.truncate, "Cut the finished file to this many bytes");
  create->add_option("--container-size", co.containerSize, "Cut the unpacked container to this many bytes");

  std::string infoPath, dump;
  bool infoLog = false;
  auto* infoCmd = app.add_subcommand("info", "Print what a BIRD file holds");
  infoCmd->add_option("file", infoPath)->required();
  infoCmd->add_flag("--log", infoLog, "Show the loader's diagnostic lines on stderr");
  infoCmd->add_option("--dump", dump, "Hex dump of every block of this type");

  std::string checkPath, checkModel, checkSerial;
  bool strict = false;
  auto* checkCmd = app.add_subcommand("check", "Exit 0 only for a file the updater would accept");
  checkCmd->add_option("file", checkPath)->required();
  checkCmd->add_option("--model", checkModel, "Model name of the module to update");
  checkCmd->add_option("--serial", checkSerial, "Serial number (hexadecimal) of the module to update");
  checkCmd->add_flag("--strict", strict, "Also reject a container whose counts or sizes do not add up");

  std::string exPath, exOut, exSerial;
  size_t exBlock = 1;
  std::vector<std::string> exDecode;
  bool exPayload = false;
  auto* extractCmd = app.add_subcommand("extract", "Write one block's image (or payload) to a file");
  extractCmd->add_option("file", exPath)->required();
  extractCmd->add_option("-o,--output", exOut)->required();
  extractCmd->add_option("--block", exBlock, "Block number in file order, from 1 (default 1)");
  extractCmd->add_option("--serial", exSerial, "Write this serial number (hexadecimal) in first");
  extractCmd->add_option("--decode", exDecode, "Unscramble firmware blocks with W0 W1 W2 W3 first")->expected(4);
  extractCmd->add_flag("--payload", exPayload, "Whole payload, load address included");

  CLI11_PARSE(app, argc, argv);

  try {
    if (create->parsed()) return runCreate(*create, co, loader, firmware, raw, info, serialLoc, entry);
    if (infoCmd->parsed()) return runInfo(infoPath, infoLog, dump);
    if (checkCmd->parsed()) return runCheck(checkPath, checkModel, checkSerial, strict);
    if (extractCmd->parsed()) return runExtract(exPath, exOut, exBlock, exSerial, exDecode, exPayload);
  } catch (const std::exception& e) {
    fprintf(stderr, "birdtool: %s\n", e.what());
    return 2;
  }
  return 2;
}
