// The library's only output besides the packets: its fixed diagnostic lines ("call stop",
// "ERROR:..."). They go to standard output, as they always have and as hosts may read them;
// PALVEX_DIAGNOSTICS=stderr sends them to standard error and PALVEX_DIAGNOSTICS=off drops
// them, so that a host that writes its packets to standard output keeps text out of them
// without code. Every line of the library goes through PrintDiagnostic.
#ifndef PALVEX_DIAGNOSTICS_DIAGNOSTICS_H_
#define PALVEX_DIAGNOSTICS_DIAGNOSTICS_H_

namespace palvex {

// Reads PALVEX_DIAGNOSTICS ("stdout", "stderr" or "off"; unset or any other value: stdout)
// for every line printed from now on, in the whole process. Called when a muxer is created;
// a line printed before any muxer was created reads it first.
void ReadDiagnosticsSetting();

// Prints as printf does (the format carries its own line end), where the setting says.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void PrintDiagnostic(const char* format, ...);

}  // namespace palvex

#endif  // PALVEX_DIAGNOSTICS_DIAGNOSTICS_H_
