#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "midi/midi_in_port.h"

namespace rt88h::midi {
namespace {

std::vector<uint8_t> peekAll(SysExQueue& queue) {
  const uint8_t* bytes = nullptr;
  uint32_t count = 0;
  if (!queue.peek(&bytes, &count)) return {};
  return {bytes, bytes + count};
}

TEST(SysExQueue, EmptyQueueYieldsNothingAndPopDoesNothing) {
  SysExQueue queue;
  const uint8_t* bytes = nullptr;
  uint32_t count = 7;
  EXPECT_TRUE(queue.empty());
  EXPECT_FALSE(queue.peek(&bytes, &count));
  queue.pop();
  EXPECT_TRUE(queue.empty());
  EXPECT_EQ(bytes, nullptr);
  EXPECT_EQ(count, 7u);
}

TEST(SysExQueue, FirstInFirstOutAndPeekLeavesTheEntry) {
  SysExQueue queue;
  const std::vector<uint8_t> a{0xF0, 0x52, 0xF7};
  const std::vector<uint8_t> b{0xF0, 0x7E, 0x00, 0x06, 0x02, 0xF7};
  ASSERT_TRUE(queue.append(a.data(), static_cast<uint32_t>(a.size())));
  ASSERT_TRUE(queue.append(b.data(), static_cast<uint32_t>(b.size())));

  EXPECT_EQ(peekAll(queue), a);
  EXPECT_EQ(peekAll(queue), a);
  queue.pop();
  EXPECT_EQ(peekAll(queue), b);
  queue.pop();
  EXPECT_TRUE(queue.empty());

  // The tail is reset with the head: a later append is the only entry.
  ASSERT_TRUE(queue.append(b.data(), 1));
  EXPECT_EQ(peekAll(queue), std::vector<uint8_t>{0xF0});
}

TEST(SysExQueue, EntryIsACopyOfTheBytes) {
  SysExQueue queue;
  std::vector<uint8_t> source{0xF0, 0x01, 0xF7};
  ASSERT_TRUE(queue.append(source.data(), 3));
  source.assign(3, 0x00);
  EXPECT_EQ(peekAll(queue), (std::vector<uint8_t>{0xF0, 0x01, 0xF7}));
}

TEST(SysExQueue, DestructionReleasesRemainingEntries) {
  // Leaks show up under the address sanitizer.
  auto queue = std::make_unique<SysExQueue>();
  std::vector<uint8_t> bytes(kReceiveBufferSize, 0x11);
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(queue->append(bytes.data(), kReceiveBufferSize));
  queue.reset();
}

// Entry i: 1 to 64 bytes, every byte derived from i, so both order and content are checked.
std::vector<uint8_t> entryFor(uint32_t i) {
  std::vector<uint8_t> bytes(1 + i % 64);
  for (std::size_t k = 0; k < bytes.size(); ++k) {
    bytes[k] = static_cast<uint8_t>((i >> (8 * (k % 4))) + k);
  }
  return bytes;
}

TEST(SysExQueue, OneProducerOneConsumerKeepOrderAndContent) {
  constexpr uint32_t kEntries = 100000;
  SysExQueue queue;

  std::thread producer([&] {
    for (uint32_t i = 0; i < kEntries; ++i) {
      const auto bytes = entryFor(i);
      while (!queue.append(bytes.data(), static_cast<uint32_t>(bytes.size()))) {
      }
    }
  });

  uint32_t mismatches = 0;
  uint32_t firstMismatch = kEntries;
  for (uint32_t i = 0; i < kEntries;) {
    const uint8_t* bytes = nullptr;
    uint32_t count = 0;
    if (!queue.peek(&bytes, &count)) {
      std::this_thread::yield();
      continue;
    }
    // Read without the lock, as the consumer does.
    const auto expected = entryFor(i);
    if (std::vector<uint8_t>(bytes, bytes + count) != expected) {
      if (mismatches++ == 0) firstMismatch = i;
    }
    queue.pop();
    ++i;
  }
  producer.join();

  EXPECT_EQ(mismatches, 0u) << "first at entry " << firstMismatch;
  EXPECT_TRUE(queue.empty());
}

}  // namespace
}  // namespace rt88h::midi
