// A host frame for tests: owns its bytes and a microsecond time stamp. By default 16 bytes
// of headroom lie behind the frame, as hosts once had to leave for ADTS insertion; an exact
// frame allocates exactly its size, so that any write or read past GetSize() is caught
// under ASan. The library reads frames and never writes them: setSizeCalls() counts
// SetSize calls for the tests that check it.
#ifndef PALVEX_TESTS_SUPPORT_FAKE_FRAME_H_
#define PALVEX_TESTS_SUPPORT_FAKE_FRAME_H_

#include <cstdint>
#include <cstring>
#include <vector>

#include "palvex/media_frame.h"

namespace palvex_test {

class FakeFrame final : public IMediaFrame {
 public:
  static constexpr int kHeadroom = 16;
  enum class Room { kHeadroom, kExact };

  FakeFrame(std::vector<uint8_t> bytes, int64_t time, Room room = Room::kHeadroom)
      : m_storage(std::move(bytes)), m_size(static_cast<int>(m_storage.size())), m_time(time) {
    if (room == Room::kHeadroom) {
      m_storage.resize(m_storage.size() + kHeadroom);
    } else {
      m_storage.shrink_to_fit();
    }
  }
  FakeFrame(const uint8_t* bytes, size_t size, int64_t time, Room room = Room::kHeadroom)
      : FakeFrame(std::vector<uint8_t>(bytes, bytes + size), time, room) {}

  void Reserved0() override {}
  void Reserved1() override {}
  uint8_t* GetData() override { return m_nullData ? nullptr : m_storage.data(); }
  int GetSize() override { return m_size; }
  void SetSize(int size) override {
    m_size = size;
    ++m_setSizeCalls;
  }
  int64_t GetTime() override { return m_time; }

  void SetTime(int64_t time) { m_time = time; }
  void SetNullData(bool null) { m_nullData = null; }
  std::vector<uint8_t> Bytes() const {
    return std::vector<uint8_t>(m_storage.begin(), m_storage.begin() + m_size);
  }
  int setSizeCalls() const { return m_setSizeCalls; }

 private:
  std::vector<uint8_t> m_storage;
  int m_size;
  int64_t m_time;
  bool m_nullData = false;
  int m_setSizeCalls = 0;
};

}  // namespace palvex_test

#endif  // PALVEX_TESTS_SUPPORT_FAKE_FRAME_H_
