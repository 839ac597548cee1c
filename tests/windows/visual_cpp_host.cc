// palvex-msvc-host: a host built for the Visual C++ ABI (i686-pc-windows-msvc) without Visual
// C++, its headers or its runtime: clang compiles this file freestanding, lld-link links it
// against kernel32 alone. It declares what it uses itself, as a host of another compiler
// does from the binary interface alone:
//   - the muxer's table (IVorlux, slots 0 to 8), called through __thiscall members;
//   - its own IMediaFrame (slots 0 to 5) and MediaFormat (slots 0 to 34), whose members the
//     library calls with __thiscall; of the format only Serialize (slot 29), which writes
//     the serialized form (stream count, stream records, attributes) itself;
//   - the two factory functions, __cdecl, found by their Microsoft-decorated names with
//     GetProcAddress in palvex.dll, loaded with LoadLibraryA.
// It reads a frame file (frame_file.h, written by palvex-dump-frames), muxes every frame and
// writes the packets; scripts/test-32bit.sh compares them with the Linux library's output.
//
//   palvex-msvc-host LIBRARY FRAMES OUTPUT.ts
//
// Built with
//   clang --target=i686-pc-windows-msvc -ffreestanding -fno-exceptions -fno-rtti -c
//   llvm-dlltool -m i386 -k -d kernel32.def -l kernel32.lib
//   lld-link /nodefaultlib /entry:HostEntry /subsystem:console host.obj kernel32.lib

// ---- fixed-width types and kernel32, declared here: no header of any runtime --------------
typedef unsigned char uint8_t;
typedef int int32_t;
typedef unsigned int uint32_t;
typedef long long int64_t;
typedef unsigned long long uint64_t;
static_assert(sizeof(void*) == 4 && sizeof(long) == 4 && sizeof(int64_t) == 8, "32-bit Windows");

extern "C" {
typedef void* HANDLE;
typedef int(__stdcall* FARPROC)();
__declspec(dllimport) void* __stdcall LoadLibraryA(const char* name);
__declspec(dllimport) FARPROC __stdcall GetProcAddress(void* module, const char* name);
__declspec(dllimport) uint32_t __stdcall GetLastError();
__declspec(dllimport) char* __stdcall GetCommandLineA();
__declspec(dllimport) HANDLE __stdcall GetStdHandle(uint32_t which);
__declspec(dllimport) HANDLE __stdcall CreateFileA(const char* name, uint32_t access, uint32_t share,
                                                   void* security, uint32_t disposition,
                                                   uint32_t flags, HANDLE templateFile);
__declspec(dllimport) int __stdcall ReadFile(HANDLE file, void* buffer, uint32_t size, uint32_t* read,
                                             void* overlapped);
__declspec(dllimport) int __stdcall WriteFile(HANDLE file, const void* buffer, uint32_t size,
                                              uint32_t* written, void* overlapped);
__declspec(dllimport) uint32_t __stdcall GetFileSize(HANDLE file, uint32_t* high);
__declspec(dllimport) int __stdcall CloseHandle(HANDLE object);
__declspec(dllimport) HANDLE __stdcall GetProcessHeap();
__declspec(dllimport) void* __stdcall HeapAlloc(HANDLE heap, uint32_t flags, uint32_t size);
__declspec(dllimport) int __stdcall HeapFree(HANDLE heap, uint32_t flags, void* block);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(uint32_t code);
}

#define HOST_INVALID_HANDLE ((HANDLE)(-1))
constexpr uint32_t kStdOutput = uint32_t(-11);
constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t kShareRead = 1;
constexpr uint32_t kCreateAlways = 2;
constexpr uint32_t kOpenExisting = 3;
constexpr uint32_t kNormalFile = 0x80;

// What the compiler may call for block copies and fills, and for floating-point use, which
// the C runtime would otherwise bring.
extern "C" {
void* memcpy(void* to, const void* from, unsigned int n) {
  uint8_t* d = static_cast<uint8_t*>(to);
  const uint8_t* s = static_cast<const uint8_t*>(from);
  while (n--) *d++ = *s++;
  return to;
}
void* memset(void* to, int value, unsigned int n) {
  uint8_t* d = static_cast<uint8_t*>(to);
  while (n--) *d++ = uint8_t(value);
  return to;
}
int _fltused = 0;
int __cdecl _purecall() { ExitProcess(3); }
}
void operator delete(void* block) noexcept {
  if (block) HeapFree(GetProcessHeap(), 0, block);
}
void operator delete(void* block, unsigned int) noexcept { operator delete(block); }

namespace {

// ---- output ------------------------------------------------------------------------------
void Print(const char* text) {
  uint32_t n = 0;
  while (text[n]) ++n;
  uint32_t written = 0;
  WriteFile(GetStdHandle(kStdOutput), text, n, &written, nullptr);
}

void PrintNumber(uint32_t value) {
  char digits[12];
  int i = 11;
  digits[i] = 0;
  do {
    digits[--i] = char('0' + value % 10);
    value /= 10;
  } while (value);
  Print(digits + i);
}

[[noreturn]] void Fail(const char* what) {
  Print("palvex-msvc-host: ");
  Print(what);
  Print("\n");
  ExitProcess(1);
}

void* Allocate(uint32_t size) {
  void* block = HeapAlloc(GetProcessHeap(), 0, size ? size : 1);
  if (!block) Fail("out of memory");
  return block;
}

// ---- the interfaces as the Visual C++ ABI lays them out ---------------------------------
// Single inheritance, the table pointer first, one slot per virtual function in declaration
// order; members are __thiscall, the default for member functions on i686.

// slot order of the host's frame; the library calls slots 2 to 5.
class IMediaFrame {
 public:
  virtual void Reserved0() = 0;       // slot 0
  virtual void Reserved1() = 0;       // slot 1
  virtual uint8_t* GetData() = 0;     // slot 2
  virtual int GetSize() = 0;          // slot 3
  virtual void SetSize(int size) = 0; // slot 4
  virtual int64_t GetTime() = 0;      // slot 5, microseconds; 64 bits come back in EDX:EAX

 protected:
  ~IMediaFrame() = default;
};

// The media description; the muxer calls only Serialize (slot 29) on a host's format.
class MediaFormat {
 public:
  virtual void* AddStream(void* source) = 0;              // slot 0
  virtual int32_t RemoveStream(void* stream) = 0;         // slot 1
  virtual const void* GetStreams() = 0;                   // slot 2, a std::vector& of g++
  virtual const char* GetTextA() = 0;                     // slot 3
  virtual void SetTextA(const char* text) = 0;            // slot 4
  virtual void SetValueA64(int64_t value) = 0;            // slot 5
  virtual int64_t GetValueA64() = 0;                      // slot 6
  virtual void SetValueB64(int64_t value) = 0;            // slot 7
  virtual int64_t GetValueB64() = 0;                      // slot 8
  virtual void SetValueA32(int32_t value) = 0;            // slot 9
  virtual int32_t GetValueA32() = 0;                      // slot 10
  virtual void SetValueB32(int32_t value) = 0;            // slot 11
  virtual int32_t GetValueB32() = 0;                      // slot 12
  virtual void SetValueC32(int32_t value) = 0;            // slot 13
  virtual int32_t GetValueC32() = 0;                      // slot 14
  virtual void SetValueA8(uint8_t value) = 0;             // slot 15
  virtual uint8_t GetValueA8() = 0;                       // slot 16
  virtual void SetTextB(const char* text) = 0;            // slot 17
  virtual const char* GetTextB() = 0;                     // slot 18
  virtual void SetTextC(const char* text) = 0;            // slot 19
  virtual const char* GetTextC() = 0;                     // slot 20
  virtual void SetTextD(const char* text) = 0;            // slot 21
  virtual const char* GetTextD() = 0;                     // slot 22
  virtual void SetValueD32(int32_t value) = 0;            // slot 23
  virtual int32_t GetValueD32() = 0;                      // slot 24
  virtual void SetValueC64(int64_t value) = 0;            // slot 25
  virtual int64_t GetValueC64() = 0;                      // slot 26
  virtual void SetValueD64(int64_t value) = 0;            // slot 27
  virtual int64_t GetValueD64() = 0;                      // slot 28
  virtual int Serialize(uint8_t* buf, int* size) = 0;     // slot 29
  virtual void UnSerialize(const uint8_t* data, int size) = 0;  // slot 30
  virtual void Release() = 0;                             // slot 31
  virtual int32_t HasStreams() = 0;                       // slot 32
  virtual bool IsEqual(MediaFormat* other) = 0;           // slot 33
  virtual ~MediaFormat() = default;                       // slot 34, scalar deleting destructor
};

}  // namespace

namespace iptv {

enum RESULT { RESULT_SUCCESS = 0, RESULT_FAILURE = -1 };

// The muxer; made and destroyed only by the two factory functions.
class IVorlux {
 public:
  virtual int Open() = 0;                                           // slot 0
  virtual int Close() = 0;                                          // slot 1
  virtual int Start() = 0;                                          // slot 2
  virtual int Stop() = 0;                                           // slot 3
  virtual MediaFormat* AddMediaFormat(MediaFormat* format) = 0;     // slot 4
  virtual int RemoveMediaFormat(MediaFormat* entry) = 0;            // slot 5
  // slot 6 returns a std::vector of the library's toolchain by value: never called here.
  virtual void GetMediaFormatsOfAnotherToolchain() = 0;             // slot 6
  virtual int ProcessFrame(int streamId, IMediaFrame* frame, uint8_t** data,
                           int* length) = 0;                        // slot 7
  virtual void Reserved(int value) = 0;                             // slot 8

 protected:
  ~IVorlux() = default;
};

}  // namespace iptv

namespace {

const char kCreateName[] = "?CreatePalvex@iptv@@YAPAVIVorlux@1@XZ";
const char kRemoveName[] = "?RemovePalvex@iptv@@YA?AW4RESULT@1@PAVIVorlux@1@@Z";
typedef iptv::IVorlux*(__cdecl* CreateFunction)();
typedef iptv::RESULT(__cdecl* RemoveFunction)(iptv::IVorlux*);

// Slots the library must never call on the host's objects; any call is reported at the end.
int g_unexpectedCalls = 0;

// ---- the frame file (frame_file.h) -------------------------------------------------------
class Reader {
 public:
  Reader(const uint8_t* data, uint32_t size) : m_data(data), m_size(size) {}
  bool AtEnd() const { return m_pos == m_size; }
  const uint8_t* Take(uint32_t n) {
    if (m_size - m_pos < n) Fail("the frame file is cut short");
    const uint8_t* p = m_data + m_pos;
    m_pos += n;
    return p;
  }
  uint8_t U8() { return *Take(1); }
  uint32_t U32() {
    const uint8_t* p = Take(4);
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  }
  uint64_t U64() {
    const uint64_t low = U32();
    return low | uint64_t(U32()) << 32;
  }

 private:
  const uint8_t* m_data;
  uint32_t m_size;
  uint32_t m_pos = 0;
};

struct StreamDescription {
  int32_t mainType;
  int32_t codec;
  uint8_t streamId;
  uint32_t frameRateBits;  // the IEEE 754 single, carried as it is
  uint32_t extraSize;
  const uint8_t* extraData;
};

constexpr uint32_t kMaxStreams = 16;
constexpr uint32_t kMaxBlock = 64u << 20;

// ---- the host's media description --------------------------------------------------------
// Little-endian writer that only counts when it has no destination.
class Writer {
 public:
  explicit Writer(uint8_t* to) : m_to(to) {}
  uint32_t Count() const { return m_count; }
  void U8(uint8_t v) { Bytes(&v, 1); }
  void U32(uint32_t v) {
    const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    Bytes(b, 4);
  }
  void U64(uint64_t v) {
    U32(uint32_t(v));
    U32(uint32_t(v >> 32));
  }
  void Zeros(uint32_t n) {
    if (m_to) memset(m_to + m_count, 0, n);
    m_count += n;
  }
  void Bytes(const void* from, uint32_t n) {
    if (m_to) memcpy(m_to + m_count, from, n);
    m_count += n;
  }

 private:
  uint8_t* m_to;
  uint32_t m_count = 0;
};

// Serialized form: stream count; per stream its record (record length, header length 13,
// maintype, codec, stream id, the format block's bytes ahead of extraSize: 32 for video with
// the frame rate at 28, 24 for audio, then extradata length and bytes); then the attributes,
// all empty: text A, two 64-bit, three 32-bit values, one byte, texts B, C, D, one 32-bit and
// two 64-bit values (a text is its length, 0 here, and its bytes).
constexpr uint32_t kRecordHeaderLength = 13;
constexpr uint32_t kVideoFormatBytes = 32;
constexpr uint32_t kVideoFrameRateOffset = 28;
constexpr uint32_t kAudioFormatBytes = 24;

class HostFormat final : public MediaFormat {
 public:
  HostFormat(const StreamDescription* streams, uint32_t count) : m_streams(streams), m_count(count) {}

  int Serialize(uint8_t* buf, int* size) override {
    Writer out(buf);
    out.U32(m_count);
    for (uint32_t i = 0; i < m_count; ++i) {
      const StreamDescription& s = m_streams[i];
      const uint32_t formatBytes = s.mainType == 0 ? kVideoFormatBytes : s.mainType == 1 ? kAudioFormatBytes : 0;
      const bool hasExtra = formatBytes != 0;
      out.U32(4 + kRecordHeaderLength + formatBytes + (hasExtra ? 4 + s.extraSize : 0));
      out.U32(kRecordHeaderLength);
      out.U32(uint32_t(s.mainType));
      out.U32(uint32_t(s.codec));
      out.U8(s.streamId);
      if (s.mainType == 0) {
        out.Zeros(kVideoFrameRateOffset);
        out.U32(s.frameRateBits);
      } else {
        out.Zeros(formatBytes);
      }
      if (hasExtra) {
        out.U32(s.extraSize);
        out.Bytes(s.extraData, s.extraSize);
      }
    }
    out.U32(0);                        // text A
    out.U64(0);                        // value A64
    out.U64(0);                        // value B64
    out.Zeros(3 * 4);                  // values A32, B32, C32
    out.U8(0);                         // value A8
    out.U32(0);                        // text B
    out.U32(0);                        // text C
    out.U32(0);                        // text D
    out.U32(0);                        // value D32
    out.U64(0);                        // value C64
    out.U64(0);                        // value D64
    if (size) *size = int(out.Count());
    return int(out.Count());
  }

  // Every other slot is there for the table's shape only.
  void* AddStream(void*) override { return Unexpected<void*>(); }
  int32_t RemoveStream(void*) override { return Unexpected<int32_t>(); }
  const void* GetStreams() override { return Unexpected<const void*>(); }
  const char* GetTextA() override { return Unexpected<const char*>(); }
  void SetTextA(const char*) override { Unexpected<int>(); }
  void SetValueA64(int64_t) override { Unexpected<int>(); }
  int64_t GetValueA64() override { return Unexpected<int64_t>(); }
  void SetValueB64(int64_t) override { Unexpected<int>(); }
  int64_t GetValueB64() override { return Unexpected<int64_t>(); }
  void SetValueA32(int32_t) override { Unexpected<int>(); }
  int32_t GetValueA32() override { return Unexpected<int32_t>(); }
  void SetValueB32(int32_t) override { Unexpected<int>(); }
  int32_t GetValueB32() override { return Unexpected<int32_t>(); }
  void SetValueC32(int32_t) override { Unexpected<int>(); }
  int32_t GetValueC32() override { return Unexpected<int32_t>(); }
  void SetValueA8(uint8_t) override { Unexpected<int>(); }
  uint8_t GetValueA8() override { return Unexpected<uint8_t>(); }
  void SetTextB(const char*) override { Unexpected<int>(); }
  const char* GetTextB() override { return Unexpected<const char*>(); }
  void SetTextC(const char*) override { Unexpected<int>(); }
  const char* GetTextC() override { return Unexpected<const char*>(); }
  void SetTextD(const char*) override { Unexpected<int>(); }
  const char* GetTextD() override { return Unexpected<const char*>(); }
  void SetValueD32(int32_t) override { Unexpected<int>(); }
  int32_t GetValueD32() override { return Unexpected<int32_t>(); }
  void SetValueC64(int64_t) override { Unexpected<int>(); }
  int64_t GetValueC64() override { return Unexpected<int64_t>(); }
  void SetValueD64(int64_t) override { Unexpected<int>(); }
  int64_t GetValueD64() override { return Unexpected<int64_t>(); }
  void UnSerialize(const uint8_t*, int) override { Unexpected<int>(); }
  void Release() override { Unexpected<int>(); }
  int32_t HasStreams() override { return Unexpected<int32_t>(); }
  bool IsEqual(MediaFormat*) override { return Unexpected<bool>(); }

 private:
  template <typename T>
  static T Unexpected() {
    ++g_unexpectedCalls;
    return T();
  }

  const StreamDescription* m_streams;
  uint32_t m_count;
};

// One frame at a time, in a buffer with room behind it for the ADTS header that the library
// may put in front of a raw AAC frame.
class HostFrame final : public IMediaFrame {
 public:
  void Reserved0() override { ++g_unexpectedCalls; }
  void Reserved1() override { ++g_unexpectedCalls; }
  uint8_t* GetData() override { return m_data; }
  int GetSize() override { return m_size; }
  void SetSize(int size) override { m_size = size; }
  int64_t GetTime() override { return m_time; }

  void Fill(uint8_t* buffer, const uint8_t* data, uint32_t size, int64_t time) {
    memcpy(buffer, data, size);
    m_data = buffer;
    m_size = int(size);
    m_time = time;
  }

 private:
  uint8_t* m_data = nullptr;
  int m_size = 0;
  int64_t m_time = -1;
};

// ---- the program -------------------------------------------------------------------------
// Splits the command line as the C runtime would for plain and double-quoted arguments.
int SplitCommandLine(char* line, char** args, int most) {
  int count = 0;
  while (*line) {
    while (*line == ' ' || *line == '\t') ++line;
    if (!*line) break;
    char* out = line;
    if (count < most) args[count] = out;
    ++count;
    bool quoted = false;
    while (*line && (quoted || (*line != ' ' && *line != '\t'))) {
      if (*line == '"') {
        quoted = !quoted;
      } else {
        *out++ = *line;
      }
      ++line;
    }
    if (*line) ++line;
    *out = 0;
  }
  return count;
}

const uint8_t* ReadWholeFile(const char* path, uint32_t* size) {
  HANDLE file = CreateFileA(path, kGenericRead, kShareRead, nullptr, kOpenExisting, kNormalFile, nullptr);
  if (file == HOST_INVALID_HANDLE) Fail("cannot open the frame file");
  uint32_t high = 0;
  *size = GetFileSize(file, &high);
  if (high != 0 || *size == 0xFFFFFFFFu) Fail("the frame file is too large");
  uint8_t* data = static_cast<uint8_t*>(Allocate(*size));
  uint32_t done = 0;
  while (done < *size) {
    uint32_t read = 0;
    if (!ReadFile(file, data + done, *size - done, &read, nullptr) || read == 0) Fail("cannot read the frame file");
    done += read;
  }
  CloseHandle(file);
  return data;
}

uint32_t Run(char** args) {
  uint32_t fileSize = 0;
  const uint8_t* file = ReadWholeFile(args[2], &fileSize);
  Reader in(file, fileSize);
  const uint8_t* magic = in.Take(4);
  if (magic[0] != 'P' || magic[1] != 'V' || magic[2] != 'X' || magic[3] != 'F' || in.U32() != 1)
    Fail("not a frame file");
  const uint32_t count = in.U32();
  if (count > kMaxStreams) Fail("not a frame file");
  StreamDescription streams[kMaxStreams];
  for (uint32_t i = 0; i < count; ++i) {
    StreamDescription& s = streams[i];
    s.mainType = int32_t(in.U32());
    s.codec = int32_t(in.U32());
    s.streamId = in.U8();
    s.frameRateBits = in.U32();
    s.extraSize = in.U32();
    if (s.extraSize > kMaxBlock) Fail("not a frame file");
    s.extraData = in.Take(s.extraSize);
  }

  void* library = LoadLibraryA(args[1]);
  if (!library) {
    Print("palvex-msvc-host: LoadLibrary failed, error ");
    PrintNumber(GetLastError());
    Fail("");
  }
  const CreateFunction create = reinterpret_cast<CreateFunction>(GetProcAddress(library, kCreateName));
  const RemoveFunction remove = reinterpret_cast<RemoveFunction>(GetProcAddress(library, kRemoveName));
  if (!create || !remove) Fail("the Microsoft-decorated names are not exported");

  HANDLE out = CreateFileA(args[3], kGenericWrite, 0, nullptr, kCreateAlways, kNormalFile, nullptr);
  if (out == HOST_INVALID_HANDLE) Fail("cannot write the output file");

  iptv::IVorlux* mux = create();
  if (!mux) Fail("no muxer");
  HostFormat format(streams, count);
  if (mux->AddMediaFormat(&format) != &format || mux->Open() != 0 || mux->Start() != 0)
    Fail("the muxer refused the media description");

  // One buffer for every frame (none is larger than the file), with room for a header.
  uint8_t* buffer = static_cast<uint8_t*>(Allocate(fileSize + 16));
  HostFrame frame;
  uint32_t frames = 0;
  uint32_t packets = 0;
  while (!in.AtEnd()) {
    const uint8_t streamId = in.U8();
    const int64_t time = int64_t(in.U64());
    const uint32_t size = in.U32();
    if (size > kMaxBlock) Fail("the frame file is damaged");
    frame.Fill(buffer, in.Take(size), size, time);
    uint8_t* ts = nullptr;
    int length = -1;
    if (mux->ProcessFrame(streamId, &frame, &ts, &length) != 0 || length < 0 || length % 188 != 0)
      Fail("a frame was refused");
    uint32_t written = 0;
    if (length > 0 && (!WriteFile(out, ts, uint32_t(length), &written, nullptr) || written != uint32_t(length)))
      Fail("cannot write the output file");
    ++frames;
    packets += uint32_t(length) / 188;
  }
  if (mux->Stop() != 0 || mux->Close() != 0 || remove(mux) != iptv::RESULT_SUCCESS)
    Fail("the muxer did not stop cleanly");
  if (!CloseHandle(out)) Fail("cannot write the output file");
  if (g_unexpectedCalls) Fail("the library called a slot it never calls");
  Print("palvex-msvc-host: ");
  PrintNumber(frames);
  Print(" frames in, ");
  PrintNumber(packets);
  Print(" packets out\n");
  return 0;
}

}  // namespace

// The process entry point (lld-link /entry:HostEntry): no C runtime sets anything up.
extern "C" void __cdecl HostEntry() {
  char* args[5];
  if (SplitCommandLine(GetCommandLineA(), args, 5) != 4) Fail("usage: palvex-msvc-host LIBRARY FRAMES OUTPUT.ts");
  ExitProcess(Run(args));
}
