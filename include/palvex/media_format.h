// The description of one program's worth of media: an ordered list of owned streams and
// host attributes carried without interpretation, with its serialized byte form.
//
// The 35 slots below, in this order (note GetTextA before SetTextA), and the serialized
// form are shared with the host. A host may use this class (link palvex::media) or
// implement the same slots itself.
#ifndef PALVEX_MEDIA_FORMAT_H_
#define PALVEX_MEDIA_FORMAT_H_

#include <cstdint>
#include <vector>

#include "palvex/media_stream.h"

class MediaFormat {
 public:
  MediaFormat() = default;
  MediaFormat(const MediaFormat&) = delete;
  MediaFormat& operator=(const MediaFormat&) = delete;

  virtual MediaStream* AddStream(MediaStream* source);            // slot 0
  virtual int32_t RemoveStream(MediaStream* stream);              // slot 1
  virtual const std::vector<MediaStream*>& GetStreams();          // slot 2
  virtual const char* GetTextA();                                 // slot 3
  virtual void SetTextA(const char* text);                        // slot 4
  virtual void SetValueA64(int64_t value);                        // slot 5
  virtual int64_t GetValueA64();                                  // slot 6
  virtual void SetValueB64(int64_t value);                        // slot 7
  virtual int64_t GetValueB64();                                  // slot 8
  virtual void SetValueA32(int32_t value);                        // slot 9
  virtual int32_t GetValueA32();                                  // slot 10
  virtual void SetValueB32(int32_t value);                        // slot 11
  virtual int32_t GetValueB32();                                  // slot 12
  virtual void SetValueC32(int32_t value);                        // slot 13
  virtual int32_t GetValueC32();                                  // slot 14
  virtual void SetValueA8(uint8_t value);                         // slot 15
  virtual uint8_t GetValueA8();                                   // slot 16
  virtual void SetTextB(const char* text);                        // slot 17
  virtual const char* GetTextB();                                 // slot 18
  virtual void SetTextC(const char* text);                        // slot 19
  virtual const char* GetTextC();                                 // slot 20
  virtual void SetTextD(const char* text);                        // slot 21
  virtual const char* GetTextD();                                 // slot 22
  virtual void SetValueD32(int32_t value);                        // slot 23
  virtual int32_t GetValueD32();                                  // slot 24
  virtual void SetValueC64(int64_t value);                        // slot 25
  virtual int64_t GetValueC64();                                  // slot 26
  virtual void SetValueD64(int64_t value);                        // slot 27
  virtual int64_t GetValueD64();                                  // slot 28
  virtual int Serialize(uint8_t* buf, int* size);                 // slot 29
  virtual void UnSerialize(const uint8_t* pdata, int size);       // slot 30
  virtual void Release();                                         // slot 31
  virtual int32_t HasStreams();                                   // slot 32
  virtual bool IsEqual(MediaFormat* other);                       // slot 33
  virtual ~MediaFormat();                                         // slot 34

 private:
  std::vector<MediaStream*> m_streams;
  char* m_textA = nullptr;
  int64_t m_valueA64 = 0;
  int64_t m_valueB64 = 0;
  int32_t m_valueA32 = 0;
  int32_t m_valueB32 = 0;
  int32_t m_valueC32 = 0;
  uint8_t m_valueA8 = 0;
  char* m_textB = nullptr;
  char* m_textC = nullptr;
  char* m_textD = nullptr;
  int32_t m_valueD32 = 0;
  int64_t m_valueC64 = 0;
  int64_t m_valueD64 = 0;
};

#endif  // PALVEX_MEDIA_FORMAT_H_
