// Packet records: construction, copies, UEI accessors and byte assembly.
#include <gtest/gtest.h>

#include <vector>

#include "common/aPacket.h"

namespace {

struct PacketHolder {
  aPacket* p = nullptr;
  explicit PacketHolder(aPacket* packet) : p(packet) {}
  ~PacketHolder() {
    if (p) aPacket_Destroy(&p);
  }
};

TEST(Packet, CreateIsZeroedAndValid) {
  PacketHolder h(aPacket_Create());
  ASSERT_TRUE(aVALIDPACKET(h.p));
  EXPECT_EQ(h.p->received, 0);
  EXPECT_EQ(h.p->address, 0);
  EXPECT_EQ(h.p->dataSize, 0);
  for (uint8_t b : h.p->data) EXPECT_EQ(b, 0);
  EXPECT_FALSE(aPacket_IsComplete(h.p));
}

TEST(Packet, CreateWithDataAndCopy) {
  const uint8_t bytes[28] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14,
                             15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28};
  PacketHolder full(aPacket_CreateWithData(8, 28, bytes));
  ASSERT_TRUE(aVALIDPACKET(full.p));
  EXPECT_EQ(full.p->received, 30);
  EXPECT_TRUE(aPacket_IsComplete(full.p));
  PacketHolder copy(aPacket_Copy(full.p));
  ASSERT_TRUE(aVALIDPACKET(copy.p));
  EXPECT_NE(copy.p, full.p);
  EXPECT_EQ(copy.p->address, 8);
  EXPECT_EQ(copy.p->dataSize, 28);
  EXPECT_EQ(0, memcmp(copy.p->data, bytes, 28));
  // The wire image starts at the address field.
  const uint8_t* wire = &copy.p->address;
  EXPECT_EQ(wire[0], 8);
  EXPECT_EQ(wire[1], 28);
  EXPECT_EQ(wire[29], 28);

  PacketHolder empty(aPacket_CreateWithData(6, 0, bytes));
  ASSERT_TRUE(aVALIDPACKET(empty.p));
  EXPECT_TRUE(aPacket_IsComplete(empty.p));

  EXPECT_EQ(aPacket_CreateWithData(6, 0, nullptr), nullptr);
  // Text and char buffers are bytes too.
  PacketHolder text(aPacket_CreateWithData(0x0A, 3, "\x49\x01\x02"));
  ASSERT_TRUE(aVALIDPACKET(text.p));
  EXPECT_EQ(text.p->dataSize, 3);
  EXPECT_EQ(text.p->data[0], 0x49);
  EXPECT_EQ(text.p->data[2], 0x02);
  EXPECT_EQ(aPacket_CreateWithData(6, 29, bytes), nullptr);
  EXPECT_EQ(aPacket_Copy(nullptr), nullptr);
  aPacket dead = *full.p;
  dead.check = 0;
  EXPECT_EQ(aPacket_Copy(&dead), nullptr);
}

TEST(Packet, UeiAccessorsMaskAndCheckLength) {
  const uint8_t uei[3] = {0x83, 0xFF, 0xFF};
  PacketHolder h(aPacket_CreateWithData(4, 3, uei));
  uint8_t v = 0;
  EXPECT_EQ(aPacket_GetCmd(h.p, &v), aErrNone);
  EXPECT_EQ(v, 0x83);
  EXPECT_EQ(aPacket_GetOption(h.p, &v), aErrNone);
  EXPECT_EQ(v, 0x3F);
  EXPECT_EQ(aPacket_GetIndex(h.p, &v), aErrNone);
  EXPECT_EQ(v, 0x1F);
  EXPECT_EQ(aPacket_GetCmd(h.p, nullptr), aErrParam);
  EXPECT_EQ(aPacket_GetCmd(nullptr, &v), aErrPacket);

  PacketHolder two(aPacket_CreateWithData(4, 2, uei));
  EXPECT_EQ(aPacket_GetOption(two.p, &v), aErrNone);
  EXPECT_EQ(aPacket_GetIndex(two.p, &v), aErrPacket);
  PacketHolder none(aPacket_CreateWithData(4, 0, uei));
  EXPECT_EQ(aPacket_GetCmd(none.p, &v), aErrPacket);
}

struct AssemblyCase {
  const char* name;
  std::vector<uint8_t> bytes;
  std::vector<aErr> results;  // one per byte
  bool complete;
  int received = -1;  // the byte count afterwards, when checked
};

class PacketAssembly : public ::testing::TestWithParam<AssemblyCase> {};

TEST_P(PacketAssembly, FeedsBytes) {
  const AssemblyCase& c = GetParam();
  PacketHolder h(aPacket_Create());
  ASSERT_EQ(aPacket_Reset(h.p), aErrNone);
  ASSERT_EQ(c.bytes.size(), c.results.size());
  for (size_t i = 0; i < c.bytes.size(); i++)
    EXPECT_EQ(aPacket_AddByte(h.p, c.bytes[i]), c.results[i]) << "byte " << i;
  EXPECT_EQ(aPacket_IsComplete(h.p), c.complete);
  if (c.received >= 0) {
    EXPECT_EQ(h.p->received, c.received);
  }
}

std::vector<uint8_t> sOverlong() {
  std::vector<uint8_t> bytes = {2, 28};
  for (int i = 0; i < 29; i++) bytes.push_back(static_cast<uint8_t>(i));
  return bytes;
}
std::vector<aErr> sOverlongResults() {
  std::vector<aErr> results(30, aErrNone);
  results.push_back(aErrOverrun);
  return results;
}

// Address, a refused length of 29, then 29 more bytes: the 28 that fit the
// payload are taken, the 31st byte overruns, and the packet never completes.
std::vector<uint8_t> sAfterRefusedLength() {
  std::vector<uint8_t> bytes = {2, 29};
  for (int i = 0; i < 29; i++) bytes.push_back(static_cast<uint8_t>(i));
  return bytes;
}
std::vector<aErr> sAfterRefusedLengthResults() {
  std::vector<aErr> results = {aErrNone, aErrPacket};
  for (int i = 0; i < 28; i++) results.push_back(aErrNone);
  results.push_back(aErrOverrun);
  return results;
}
std::vector<aErr> sThirtyRefusedThenOverrun() {
  std::vector<aErr> results(30, aErrPacket);
  results.push_back(aErrOverrun);
  return results;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PacketAssembly,
    ::testing::Values(
        AssemblyCase{"three_data_bytes", {0x04, 0x03, 0x01, 0x02, 0x03},
                     {aErrNone, aErrNone, aErrNone, aErrNone, aErrNone}, true},
        AssemblyCase{"zero_address", {0x00}, {aErrPacket}, false, 1},
        AssemblyCase{"odd_address", {0x05}, {aErrPacket}, false},
        AssemblyCase{"length_29", {0x04, 29}, {aErrNone, aErrPacket}, false},
        AssemblyCase{"length_zero_complete_after_two", {0x06, 0x00}, {aErrNone, aErrNone}, true},
        AssemblyCase{"byte_beyond_length", {0x06, 0x01, 0x07, 0x08},
                     {aErrNone, aErrNone, aErrNone, aErrPacket}, false},
        // Without a reset, a byte after a complete empty packet is its length.
        AssemblyCase{"byte_after_empty_packet_is_a_length", {0x06, 0x00, 0x02, 0xAA},
                     {aErrNone, aErrNone, aErrNone, aErrNone}, true, 4},
        // Refused bytes still count: a later address and length are accepted,
        // and the data bytes land one position further on.
        AssemblyCase{"refused_address_then_more", {0x00, 0x04, 0x02, 0x11, 0x22},
                     {aErrPacket, aErrNone, aErrNone, aErrNone, aErrPacket}, false, 5},
        AssemblyCase{"bytes_after_refused_length", sAfterRefusedLength(),
                     sAfterRefusedLengthResults(), false, 31},
        AssemblyCase{"thirty_first_byte_overruns", sOverlong(), sOverlongResults(), false},
        AssemblyCase{"thirty_one_zero_bytes", std::vector<uint8_t>(31, 0),
                     sThirtyRefusedThenOverrun(), false, 31}),
    [](const ::testing::TestParamInfo<AssemblyCase>& info) { return info.param.name; });

TEST(Packet, AssemblyOfInvalidPacketAndReset) {
  EXPECT_EQ(aPacket_AddByte(nullptr, 2), aErrParam);
  EXPECT_EQ(aPacket_Reset(nullptr), aErrParam);
  PacketHolder h(aPacket_Create());
  ASSERT_EQ(aPacket_AddByte(h.p, 0x04), aErrNone);
  ASSERT_EQ(aPacket_AddByte(h.p, 0x01), aErrNone);
  ASSERT_EQ(aPacket_AddByte(h.p, 0x99), aErrNone);
  EXPECT_TRUE(aPacket_IsComplete(h.p));
  EXPECT_EQ(aPacket_Reset(h.p), aErrNone);
  EXPECT_EQ(h.p->check, aPACKETCHECK);
  EXPECT_EQ(h.p->received, 0);
  EXPECT_EQ(h.p->address, 0);
  EXPECT_EQ(h.p->dataSize, 0);
  EXPECT_EQ(h.p->data[0], 0);
}

TEST(Packet, FeedingPastAnOverrunNeverWrapsTheCount) {
  PacketHolder h(aPacket_Create());
  aPacket_AddByte(h.p, 0x02);
  aPacket_AddByte(h.p, 28);
  for (int i = 0; i < 28; i++) ASSERT_EQ(aPacket_AddByte(h.p, 0xA5), aErrNone);
  // Hundreds of bytes more without a reset: each is refused, nothing outside
  // the payload changes.
  for (int i = 0; i < 600; i++) ASSERT_EQ(aPacket_AddByte(h.p, 0x5A), aErrOverrun) << i;
  EXPECT_EQ(h.p->check, aPACKETCHECK);
  EXPECT_EQ(h.p->address, 0x02);
  EXPECT_EQ(h.p->dataSize, 28);
  EXPECT_EQ(h.p->data[27], 0xA5);
}

TEST(Packet, RefusedLengthNeverCompletes) {
  PacketHolder h(aPacket_Create());
  aPacket_AddByte(h.p, 0x02);
  ASSERT_EQ(aPacket_AddByte(h.p, 29), aErrPacket);
  for (int i = 0; i < 40; i++) {
    aPacket_AddByte(h.p, 0x00);
    ASSERT_FALSE(aPacket_IsComplete(h.p)) << i;
  }
  EXPECT_EQ(aPacket_Copy(h.p), nullptr);
}

TEST(Packet, DestroyClearsPointerAndRefusesNull) {
  aPacket* p = aPacket_Create();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(aPacket_Destroy(&p), aErrNone);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(aPacket_Destroy(&p), aErrParam);
  EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
}

}  // namespace
