#include "ts/ts_packet_buffer.h"

#include <gtest/gtest.h>

namespace palvex {
namespace {

TEST(TSPacketBufferTest, NewBufferHandsOut543ConsecutiveSlots) {
  TSPacketBuffer buffer;
  EXPECT_EQ(buffer.GetCapacity(), 102272);
  uint8_t* first = buffer.NextPacket();
  ASSERT_NE(first, nullptr);
  for (int i = 1; i < 543; ++i) ASSERT_EQ(buffer.NextPacket(), first + i * 188) << i;
  EXPECT_EQ(buffer.NextPacket(), nullptr);
  uint8_t* data = nullptr;
  EXPECT_EQ(buffer.GetBytes(&data), 102084);
  EXPECT_EQ(data, first);
  buffer.Clear();
  EXPECT_EQ(buffer.NextPacket(), first);
}

TEST(TSPacketBufferTest, ResizeRoundsDownToWholePackets) {
  struct Case {
    uint32_t bytes;
    int capacityBytes;
    int slots;
  };
  const Case cases[] = {{1000, 940, 4}, {188, 188, 0}, {187, 0, 0}, {102273, 102272, 543},
                        {120000, 119944, 637}};
  for (const Case& c : cases) {
    TSPacketBuffer buffer;
    ASSERT_TRUE(buffer.Resize(c.bytes));
    EXPECT_EQ(buffer.GetCapacity(), c.capacityBytes) << c.bytes;
    int slots = 0;
    while (buffer.NextPacket() != nullptr) ++slots;
    EXPECT_EQ(slots, c.slots) << c.bytes;
  }
}

}  // namespace
}  // namespace palvex
