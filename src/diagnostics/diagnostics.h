// The library's only output besides the packets: its fixed diagnostic lines ("call stop",
// "ERROR:..."). They go to standard output, as they always have and as hosts may read them;
// PALVEX_DIAGNOSTICS=stderr sends them to standard error and PALVEX_DIAGNOSTICS=off drops
// them, so that a host that writes its packets to standard output keeps text out of them
// without code. Every line of the library goes through PrintDiagnostic.
#ifndef PALVEX_DIAGNOSTICS_DIAGNOSTICS_H_
#define PALVEX_DIAGNOSTICS_DIAGNOSTICS_H_

namespace palvex {

// Reads PALVEX_DIAGNOSTICS ("stdout", "stderr" or "off", in any case; unset or any other
// value: stdout) for every line printed from now on, in the whole process. Called when a
// muxer is created; a line printed before any muxer was created reads it first.
void ReadDiagnosticsSetting();

// Prints as printf does (the format carries its own line end), where the setting says.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void PrintDiagnostic(const char* format, ...);

// Every line the library prints, as hosts have always read it (docs/bad-input.md's "Bad input"
// table quotes them), without its line end: each is printed with "%s\n", but for
// kCreatePackerFailed, which has none, and kBufferGrowth, a format of its own.

// The muxer.
constexpr char kCallStop[] = "call stop";  // on every Stop, first
constexpr char kCreatePackerFailed[] = "    m_tsPacker = CreatePacker () buffer Overflow";
constexpr char kBufferGrowth[] = "oldsize: %d ,newsize: %d \n";  // the buffer's old and new capacity
// The packer: a PSI packet or a frame that found no room or was refused.
constexpr char kPATToTSError[] = "PATToTS error ";
constexpr char kPMTToTSError[] = "PMTToTS error ";
constexpr char kEStoTSError[] = "tsstream->EStoTS error ";
// The packetizer: the packet buffer ran out in the middle of a frame.
constexpr char kNotBuffer[] = "not buffer";
// AddMediaFormat's refusals of a format the packer cannot carry beside the listed ones.
constexpr char kStreamIdInUse[] = "ERROR:a stream id of the MediaFormat is in use already, the MediaFormat is refused!";
constexpr char kTooManyPMTStreams[] = "ERROR:the MediaFormat has more streams than one PMT holds, the MediaFormat is refused!";
constexpr char kPATFull[] = "ERROR:the PAT holds no more programs, the MediaFormat is refused!";
constexpr char kPIDsUsedUp[] = "ERROR:the PIDs are used up, the MediaFormat is refused!";
// The media classes: a null argument, and UnSerialize's reading errors, each followed by
// kUnSerializeError. kRecordTruncated: the buffer ends before a record's header or its
// claimed length; kRecordLengthError: the record's own lengths disagree (a record length
// below 17, a header length below 13, or format bytes or extradata beyond the record).
constexpr char kNullFormatBlock[] = "the input format pointer is NULL";
constexpr char kNullPdata[] = " the pdata pointer is NULL!";
constexpr char kMainTypeError[] = "ERROR:the maintype of the MediaStream is error!";
constexpr char kRecordTruncated[] = "ERROR:the MediaStream record is truncated!";
constexpr char kRecordLengthError[] = "ERROR:the length of the MediaStream record is error!";
constexpr char kFormatTruncated[] = "ERROR:the MediaFormat is truncated!";
constexpr char kUnSerializeError[] = "This UnSerialize is error.......";

}  // namespace palvex

#endif  // PALVEX_DIAGNOSTICS_DIAGNOSTICS_H_
