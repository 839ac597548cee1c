// A host frame for tests: owns its bytes (with room to grow, as a host must provide for
// ADTS insertion) and a microsecond time stamp.
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

  FakeFrame(std::vector<uint8_t> bytes, int64_t time)
      : m_storage(std::move(bytes)), m_size(static_cast<int>(m_storage.size())), m_time(time) {
    m_storage.resize(m_storage.size() + kHeadroom);
  }
  FakeFrame(const uint8_t* bytes, size_t size, int64_t time)
      : FakeFrame(std::vector<uint8_t>(bytes, bytes + size), time) {}

  void Reserved0() override {}
  void Reserved1() override {}
  uint8_t* GetData() override { return m_nullData ? nullptr : m_storage.data(); }
  int GetSize() override { return m_size; }
  void SetSize(int size) override { m_size = size; }
  int64_t GetTime() override { return m_time; }

  void SetTime(int64_t time) { m_time = time; }
  void SetNullData(bool null) { m_nullData = null; }
  std::vector<uint8_t> Bytes() const {
    return std::vector<uint8_t>(m_storage.begin(), m_storage.begin() + m_size);
  }

 private:
  std::vector<uint8_t> m_storage;
  int m_size;
  int64_t m_time;
  bool m_nullData = false;
};

}  // namespace palvex_test

#endif  // PALVEX_TESTS_SUPPORT_FAKE_FRAME_H_
