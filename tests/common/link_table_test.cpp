// The link table, the packet log ring and the packet logger on their own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/aLink.h"
#include "common/aLinkManagerInternal.h"
#include "common/aLogger.h"
#include "common/aPacketDebug.h"
#include "platform/aTime.h"
#include "support/Process.h"

using namespace std::chrono_literals;

namespace {

std::vector<uint8_t> bytes(size_t n, uint8_t first) {
  std::vector<uint8_t> b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i);
  return b;
}

}  // namespace

TEST(PacketLog, RecordMustLeaveOneByteFree) {
  aPacketLog* log = aPacketLog_Create(16);
  ASSERT_NE(log, nullptr);
  auto b13 = bytes(13, 1), b14 = bytes(14, 1);
  EXPECT_EQ(aPacketLog_Put(log, aPACKETLOG_OUT, 14, b14.data()), aErrOverrun);
  EXPECT_EQ(aPacketLog_Put(log, aPACKETLOG_OUT, 13, b13.data()), aErrNone);
  uint8_t type = 0, out[32];
  uint32_t length = sizeof out;
  ASSERT_EQ(aPacketLog_Get(log, &type, &length, out), aErrNone);
  EXPECT_EQ(type, aPACKETLOG_OUT);
  EXPECT_EQ(length, 13u);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 13), b13);
  length = sizeof out;
  EXPECT_EQ(aPacketLog_Get(log, &type, &length, out), aErrNotFound);
  EXPECT_EQ(aPacketLog_Destroy(&log), aErrNone);
  EXPECT_EQ(log, nullptr);
  EXPECT_EQ(aPacketLog_Destroy(&log), aErrParam);
}

TEST(PacketLog, SmallestRingsRefuseWhatCannotFit) {
  // A record of n data bytes takes n + 2 bytes and must leave one free.
  struct Case {
    uint32_t capacity;
    bool made;
    int largest;  // largest data length accepted; -1 for none
  } cases[] = {
      {0, false, -1}, {1, true, -1}, {2, true, -1}, {3, true, 0}, {4, true, 1}, {16, true, 13},
  };
  for (const Case& c : cases) {
    aPacketLog* log = aPacketLog_Create(c.capacity);
    ASSERT_EQ(log != nullptr, c.made) << c.capacity;
    if (!log) continue;
    auto b = bytes(static_cast<size_t>(c.largest + 1), 1);
    if (c.largest >= 0) {
      EXPECT_EQ(aPacketLog_Put(log, aPACKETLOG_IN, static_cast<size_t>(c.largest), b.data()), aErrNone) << c.capacity;
      uint8_t type = 0, out[32];
      uint32_t length = sizeof out;
      ASSERT_EQ(aPacketLog_Get(log, &type, &length, out), aErrNone) << c.capacity;
      EXPECT_EQ(length, static_cast<uint32_t>(c.largest));
    }
    EXPECT_EQ(aPacketLog_Put(log, aPACKETLOG_IN, static_cast<size_t>(c.largest + 1), b.data()), aErrOverrun)
        << c.capacity;
    uint8_t type = 0;
    uint32_t length = 0;
    EXPECT_EQ(aPacketLog_Get(log, &type, &length, nullptr), aErrNotFound) << c.capacity;
    aPacketLog_Destroy(&log);
  }
}

TEST(PacketLog, FullRingDropsTheOldestRecordsAcrossTheWrap) {
  aPacketLog* log = aPacketLog_Create(32);
  ASSERT_NE(log, nullptr);
  // Records of 7 bytes (5 data): four fill 28 of 32 bytes; each further one
  // drops the oldest and wraps around the end of the storage.
  for (uint8_t i = 0; i < 10; ++i) {
    auto b = bytes(5, static_cast<uint8_t>(i * 10));
    ASSERT_EQ(aPacketLog_Put(log, aPACKETLOG_IN, 5, b.data()), aErrNone);
  }
  std::vector<uint8_t> firsts;
  uint8_t type = 0, out[8];
  uint32_t length = sizeof out;
  while (aPacketLog_Get(log, &type, &length, out) == aErrNone) {
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(out[4], out[0] + 4);
    firsts.push_back(out[0]);
    length = sizeof out;
  }
  EXPECT_EQ(firsts, (std::vector<uint8_t>{60, 70, 80, 90}));
  // A larger record makes room by dropping as many as it needs.
  auto b20 = bytes(20, 100);
  for (uint8_t i = 0; i < 4; ++i) {
    auto b = bytes(5, i);
    aPacketLog_Put(log, aPACKETLOG_IN, 5, b.data());
  }
  ASSERT_EQ(aPacketLog_Put(log, aPACKETLOG_TEXT, 20, b20.data()), aErrNone);
  uint8_t big[32];
  length = sizeof big;
  ASSERT_EQ(aPacketLog_Get(log, &type, &length, big), aErrNone);
  // 28 of 32 bytes were used: three records go, the newest small one stays.
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(big[0], 3);
  length = sizeof big;
  ASSERT_EQ(aPacketLog_Get(log, &type, &length, big), aErrNone);
  EXPECT_EQ(type, aPACKETLOG_TEXT);
  EXPECT_EQ(std::vector<uint8_t>(big, big + length), b20);
  aPacketLog_Destroy(&log);
}

TEST(PacketLog, GetWithTooSmallACapacityKeepsTheRecord) {
  aPacketLog* log = aPacketLog_Create(64);
  auto b30 = bytes(30, 7);
  ASSERT_EQ(aPacketLog_Put(log, aPACKETLOG_IN, 30, b30.data()), aErrNone);
  uint8_t type = 0, out[30];
  uint32_t length = 10;
  EXPECT_EQ(aPacketLog_Get(log, &type, &length, out), aErrOverrun);
  EXPECT_EQ(length, 30u);
  length = sizeof out;
  ASSERT_EQ(aPacketLog_Get(log, &type, &length, out), aErrNone);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 30), b30);
  // Bad arguments are refused, not written.
  EXPECT_EQ(aPacketLog_Put(log, 1, 256, b30.data()), aErrParam);
  EXPECT_EQ(aPacketLog_Put(log, 1, 3, nullptr), aErrParam);
  EXPECT_EQ(aPacketLog_Put(nullptr, 1, 0, nullptr), aErrParam);
  EXPECT_EQ(aPacketLog_Put(log, 1, 0, nullptr), aErrNone);
  aPacketLog_Destroy(&log);
}

TEST(PacketLog, TextRecordsAndOtherLengthTypes) {
  aPacketLog* log = aPacketLog_Create(64);
  ASSERT_NE(log, nullptr);
  ASSERT_EQ(aPacketLog_Put(log, aPACKETLOG_TEXT, 5, "START"), aErrNone);
  ASSERT_EQ(aPacketLog_Put(log, aPACKETLOG_TEXT, 3, "end"), aErrNone);
  uint8_t type = 0;
  char text[8];
  size_t length = 2;  // too small: the record stays, its length is reported
  EXPECT_EQ(aPacketLog_Get(log, &type, &length, text), aErrOverrun);
  EXPECT_EQ(length, 5u);
  length = sizeof text;
  ASSERT_EQ(aPacketLog_Get(log, &type, &length, text), aErrNone);
  EXPECT_EQ(type, aPACKETLOG_TEXT);
  EXPECT_EQ(std::string(text, length), "START");
  int signedLength = -1;  // taken as a capacity of 0
  EXPECT_EQ(aPacketLog_Get(log, &type, &signedLength, text), aErrOverrun);
  EXPECT_EQ(signedLength, 3);
  signedLength = sizeof text;
  ASSERT_EQ(aPacketLog_Get(log, &type, &signedLength, text), aErrNone);
  EXPECT_EQ(std::string(text, static_cast<size_t>(signedLength)), "end");
  aPacketLog_Destroy(&log);
}

TEST(LinkTable, EntriesAreFoundNewestFirstAndCounted) {
  uint32_t before = sEntryCount();
  uint32_t a = sCreate(0x1111, 7, aLINK_KIND_TCPIP);
  uint32_t b = sCreate(0x1111, 8, aLINK_KIND_TCPIP);
  uint32_t c1 = sCreate2(0x2222, 9, 0, aLINK_KIND_CLIENT);
  uint32_t c2 = sCreate2(0x2222, 9, 1, aLINK_KIND_CLIENT);
  ASSERT_TRUE(a && b && c1 && c2);
  EXPECT_EQ(b, a + 1);
  EXPECT_EQ(sEntryCount(), before + 4);
  EXPECT_EQ(sLookupEntryByIdentifier(0x1111)->reference, b);
  EXPECT_EQ(sLookupEntryByKind(0x1111, 7, false, aLINK_KIND_TCPIP)->reference, a);
  EXPECT_EQ(sLookupEntryByKind(0x1111, 0, true, aLINK_KIND_TCPIP)->reference, b);
  EXPECT_EQ(sLookupEntryByKind(0x1111, 7, false, aLINK_KIND_SERIAL), nullptr);
  // Two client links to one address and port differ by their client index.
  EXPECT_EQ(sLookupEntryByTrident(0x2222, 9, 0)->reference, c1);
  EXPECT_EQ(sLookupEntryByTrident(0x2222, 9, 1)->reference, c2);
  EXPECT_EQ(sGetLink(a)->linkRef, a);
  int16_t count = 0;
  ASSERT_TRUE(sChangeUseCountByID(a, 2, &count));
  EXPECT_EQ(count, 2);
  sChangeUseCount(sLookupEntryByID(a), -1);
  EXPECT_EQ(sLookupEntryByID(a)->useCount, 1);
  for (uint32_t r : {a, b, c1, c2}) {
    aLinkEntry* e = sExtractEntry(r);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(sLookupEntryByID(r), nullptr);
    EXPECT_EQ(sExtractEntry(r), nullptr);
    delete e->link;
    delete e;
  }
  EXPECT_EQ(sEntryCount(), before);
  EXPECT_FALSE(sChangeUseCountByID(a, 1, nullptr));
  // References are never handed out again.
  uint32_t d = sCreate(0x3333, 0, aLINK_KIND_STREAM);
  EXPECT_GT(d, c2);
  aLinkEntry* e = sExtractEntry(d);
  delete e->link;
  delete e;
}

// In a fresh process of its own (the threadsafe death-test style starts the
// program again), so no other test has drawn references yet.
TEST(LinkTableDeathTest, FirstReferencesOfAProcessAre1Then2AndNeverReused) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        uint32_t first = sCreate(0x00000001, 0, aLINK_KIND_SERIAL);
        uint32_t second = sCreate(0x00000002, 0, aLINK_KIND_SERIAL);
        aLinkEntry* gone = sExtractEntry(first);
        bool extracted = gone != nullptr && gone->reference == 1;
        if (gone) {
          delete gone->link;
          delete gone;
        }
        uint32_t third = sCreate(0x00000001, 0, aLINK_KIND_SERIAL);
        std::fprintf(stderr, "references %u %u %u\n", first, second, third);
        std::exit(first == 1 && second == 2 && extracted && third == 3 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "references 1 2 3");
}

TEST(LinkTable, SharingMatchesKindIdentifierAndPort) {
  const uint32_t address = 0x0D0C0B0A, serial = 0x00C0FFEE, usbSerial = 0x00ABCDEF;
  uint32_t tcp = sCreate(address, 5000, aLINK_KIND_TCPIP);
  uint32_t line = sCreate(serial, 0, aLINK_KIND_SERIAL);
  uint32_t usb = sCreate(usbSerial, 0, aLINK_KIND_USB);
  uint32_t wrapped = sCreate(0xFFFFFFFF, 0, aLINK_KIND_STREAM);
  // Newer than the TCP entry, same address and port, but another kind.
  uint32_t client = sCreate2(address, 5000, 0, aLINK_KIND_CLIENT);
  // An entry whose identifier is the TCP address taken as a serial number.
  uint32_t numberLikeAddress = sCreate(address + 1, 0, aLINK_KIND_TCPIP);
  struct Case {
    const char* what;
    uint32_t identifier, port;
    bool anyPort;
    uint32_t kinds;
    uint32_t expected;
  } cases[] = {
      {"TCP, same address and port", address, 5000, false, aLINK_KINDBIT(aLINK_KIND_TCPIP), tcp},
      {"TCP, another port", address, 5001, false, aLINK_KINDBIT(aLINK_KIND_TCPIP), 0},
      {"serial number of a serial link", serial, 0, true, aLINK_KINDS_BYSERIAL, line},
      {"serial number of a USB link", usbSerial, 0, true, aLINK_KINDS_BYSERIAL, usb},
      {"an IPv4 address is no serial number", address + 1, 0, true, aLINK_KINDS_BYSERIAL, 0},
      {"the wrapped-stream marker is no serial number", 0xFFFFFFFF, 0, true, aLINK_KINDS_BYSERIAL, 0},
      {"client link: by its own kind only", address, 5000, false, aLINK_KINDBIT(aLINK_KIND_CLIENT), client},
  };
  for (const Case& c : cases) {
    int16_t before = c.expected ? sLookupEntryByID(c.expected)->useCount : 0;
    EXPECT_EQ(sShareEntry(c.identifier, c.port, c.anyPort, c.kinds), c.expected) << c.what;
    if (c.expected) {
      EXPECT_EQ(sLookupEntryByID(c.expected)->useCount, before + 1) << c.what;
    }
  }
  for (uint32_t r : {tcp, line, usb, wrapped, client, numberLikeAddress}) {
    aLinkEntry* e = sExtractEntry(r);
    ASSERT_NE(e, nullptr);
    delete e->link;
    delete e;
  }
}

TEST(LinkTable, ReleasingTheLastHolderTakesTheEntryOut) {
  uint32_t ref = sCreate(0x12345678, 0, aLINK_KIND_SERIAL);
  ASSERT_TRUE(sChangeUseCountByID(ref, 2, nullptr));
  aLinkEntry* out = nullptr;
  ASSERT_TRUE(sReleaseEntry(ref, &out));
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(sLookupEntryByID(ref)->useCount, 1);
  ASSERT_TRUE(sReleaseEntry(ref, &out));
  ASSERT_NE(out, nullptr);
  aLinkEntry* extracted = out;
  EXPECT_EQ(extracted->reference, ref);
  EXPECT_EQ(sLookupEntryByID(ref), nullptr);
  EXPECT_FALSE(sReleaseEntry(ref, &out));
  EXPECT_EQ(out, nullptr);
  delete extracted->link;
  delete extracted;
}

TEST(LinkTable, SharingRacesTheLastDestroySafely) {
  // A creator sharing a link while its last holder destroys it either gets
  // in first (and the link lives on until it lets go) or finds nothing; it
  // never touches a freed entry.
  const uint32_t serial = 0x5A5A0001;
  const uint32_t before = sEntryCount();
  for (int round = 0; round < 100; ++round) {
    uint32_t ref = sCreate(serial, 0, aLINK_KIND_USB);
    ASSERT_TRUE(sChangeUseCountByID(ref, 1, nullptr));
    ASSERT_EQ(aLink_Init(ref, nullptr), ref);
    const uint32_t expected = ref;
    std::atomic<bool> go{false};
    std::thread sharer([&go, expected, serial] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < 20; ++i) {
        // Not shared: the port does not exist, so nothing new is made.
        uint32_t r = aLink_CreateSerial(serial, "/nonexistent/tty", 115200);
        if (r) {
          EXPECT_EQ(r, expected);
          EXPECT_EQ(aLink_Destroy(&r), aErrNone);
        }
      }
    });
    go = true;
    EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
    sharer.join();
    ASSERT_EQ(sEntryCount(), before) << "round " << round;
  }
}

TEST(LinkTable, LinkOperationsRefuseUnknownReferences) {
  const uint32_t unknown = 0xFFFFFF00;
  EXPECT_EQ(aLink_GetStatus(unknown), aLINK_NOSTREAM);
  EXPECT_EQ(aLink_Start(unknown), aErrParam);
  EXPECT_EQ(aLink_Sync(unknown), aErrParam);
  EXPECT_EQ(aLink_ForceRoute(unknown, 1), aErrNotFound);
  EXPECT_EQ(aLink_Reset(unknown), aErrParam);
  EXPECT_EQ(aLink_PutPacket(unknown, nullptr), aErrParam);
  EXPECT_EQ(aLink_GetPacket(unknown), nullptr);
  EXPECT_EQ(aLink_AwaitPacket(unknown, 10), nullptr);
  EXPECT_EQ(aLink_DrainPackets(unknown, nullptr, nullptr), 0u);
  EXPECT_EQ(aLink_InstallUserPacketFilter(unknown, nullptr, nullptr), aErrParam);
  EXPECT_EQ(aLink_EnablePooledPackets(unknown, true), aErrParam);
  EXPECT_EQ(aLink_Init(unknown, nullptr), 0u);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(unknown, 10), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Enable(unknown), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Disable(unknown), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Write(unknown, 3, 0, nullptr), aErrParam);
  EXPECT_EQ(aLink_CreateClient(0x0100007F, 1, unknown), 0u);
}

TEST(LinkTable, LogSizeIsCheckedAndFixedOnceTheLogExists) {
  uint32_t ref = sCreate(0xFFFFFFFF, 0, aLINK_KIND_STREAM);
  sChangeUseCount(sLookupEntryByID(ref), 1);
  ASSERT_EQ(aLink_Init(ref, nullptr), ref);
  EXPECT_EQ(aLink_GetStatus(ref), aLINK_NOSTREAM);
  EXPECT_EQ(aLink_Start(ref), aErrParam);  // nothing to run on
  // Nobody can answer a link without pipes: no waiting, status unchanged.
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(aLink_Sync(ref), aErrNotReady);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
  EXPECT_EQ(aLink_GetStatus(ref), aLINK_NOSTREAM);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(ref, 0x4000001), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Disable(ref), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_Write(ref, 3, 1, reinterpret_cast<const uint8_t*>("x")), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(ref, -5), aErrNone);  // taken as 0: the default later
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(ref, 16), aErrNone);
  ASSERT_EQ(aLink_PacketDebug_Enable(ref), aErrNone);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(ref, 32), aErrBusy);
  // The 16-byte log chosen before enabling is the one in use.
  EXPECT_EQ(aLink_PacketDebug_Write(ref, 3, 14, bytes(14, 0).data()), aErrOverrun);
  EXPECT_EQ(aLink_PacketDebug_Write(ref, 3, 13, bytes(13, 0).data()), aErrNone);
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
}

TEST(PacketLogger, CreationAndLifecycleErrors) {
  tstest::TempDir dir;
  EXPECT_EQ(aLogger_Create(1, aPacketDebug_FormatRecord, dir.file("no/such/folder/log").c_str()), nullptr);
  EXPECT_EQ(aLogger_Create(1, nullptr, dir.file("log").c_str()), nullptr);
  EXPECT_EQ(aLogger_Enable(nullptr), aErrParam);
  EXPECT_EQ(aLogger_Disable(nullptr), aErrParam);
  aLoggerRef none = nullptr;
  EXPECT_EQ(aLogger_Destroy(&none), aErrNone);
  // Appends to what the file already holds; a logger never enabled is
  // destroyed quietly.
  tstest::writeFile(dir.file("log"), "earlier\n");
  aLoggerRef logger = aLogger_Create(1, aPacketDebug_FormatRecord, dir.file("log").c_str());
  ASSERT_NE(logger, nullptr);
  EXPECT_EQ(aLogger_Disable(logger), aErrNone);
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
  EXPECT_EQ(logger, nullptr);
  EXPECT_EQ(tstest::readFile(dir.file("log")), "earlier\n");
}

TEST(PacketLogger, FormatterWritesOneLinePerRecord) {
  uint32_t ref = sCreate(0xFFFFFFFF, 0, aLINK_KIND_STREAM);
  ASSERT_TRUE(sChangeUseCountByID(ref, 1, nullptr));
  ASSERT_EQ(aLink_Init(ref, nullptr), ref);
  ASSERT_EQ(aLink_PacketDebug_Enable(ref), aErrNone);
  tstest::TempDir dir;
  std::string path = dir.file("lines");
  aFileRef file = aFile_Open(path.c_str(), aFileModeAppend);
  ASSERT_NE(file, nullptr);
  aFile_SetUnbuffered(file);  // as the logger has it
  struct Case {
    uint8_t type;
    std::vector<uint8_t> data;
    std::string line;
  } cases[] = {
      {aPACKETLOG_OUT, {0x02, 0x01, 0xAB}, "3 > 0x2 0x1 0xAB \r\n"},
      {aPACKETLOG_IN, {0x04, 0x00}, "2 < 0x4 0x0 \r\n"},
      {aPACKETLOG_TEXT, {'h', 'i'}, "2 < hi\r\n"},
      {aPACKETLOG_IN, {}, "0 < \r\n"},
      // Longer than a line holds: the first 64 bytes, and the record is gone.
      {aPACKETLOG_TEXT, std::vector<uint8_t>(100, 'x'), "64 < " + std::string(64, 'x') + "\r\n"},
  };
  std::string expected;
  for (const Case& c : cases) {
    ASSERT_EQ(aLink_PacketDebug_Write(ref, c.type, c.data.size(), c.data.data()), aErrNone);
    aPacketDebug_FormatRecord(file, ref);
    expected += c.line;
    EXPECT_EQ(tstest::readFile(path), expected) << c.line;
  }
  // An empty ring writes nothing.
  aPacketDebug_FormatRecord(file, ref);
  EXPECT_EQ(tstest::readFile(path), expected);
  aFile_Close(&file);
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
}

namespace {
aLoggerRef gSelf = nullptr;
std::atomic<bool> gSelfTried{false};
std::atomic<int> gSelfDisable{-1}, gSelfDestroy{-1};
std::atomic<bool> gSelfKept{false};
// A formatter that tries to stop and free its own logger.
void selfStoppingFormatter(aFileRef, uint32_t) {
  if (!gSelfTried.exchange(true)) {
    gSelfDisable = aLogger_Disable(gSelf);
    aLoggerRef copy = gSelf;
    gSelfDestroy = aLogger_Destroy(&copy);
    gSelfKept = copy != nullptr;
  }
  aTime_MSSleep(1);
}
}  // namespace

TEST(PacketLogger, CannotStopOrFreeItselfFromItsOwnThread) {
  tstest::TempDir dir;
  gSelf = aLogger_Create(1, selfStoppingFormatter, dir.file("log").c_str());
  ASSERT_NE(gSelf, nullptr);
  ASSERT_EQ(aLogger_Enable(gSelf), aErrNone);
  auto deadline = std::chrono::steady_clock::now() + 3s;
  while (gSelfDestroy.load() == -1 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  // Disabling from the logger thread changes nothing; freeing the logger
  // under its own running thread is refused and the logger kept.
  EXPECT_EQ(gSelfDisable.load(), aErrNone);
  EXPECT_EQ(gSelfDestroy.load(), aErrBusy);
  EXPECT_TRUE(gSelfKept.load());
  // From another thread both work.
  EXPECT_EQ(aLogger_Destroy(&gSelf), aErrNone);
  EXPECT_EQ(gSelf, nullptr);
}
