// The link table, the packet log ring and the packet logger on their own.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/aLink.h"
#include "common/aLinkManagerInternal.h"
#include "common/aLogger.h"
#include "common/aPacketDebug.h"
#include "support/Process.h"

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
  EXPECT_EQ(aPacketLog_Create(2), nullptr);
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
