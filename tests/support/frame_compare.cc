#include "support/frame_compare.h"

#include <cmath>
#include <sstream>

#include "support/shell.h"

namespace palvex_test {

namespace {

// From source frame start on, every source frame but the last maxTrailing is the output's,
// in place; those last ones may be missing or differ (a tail cut or reordered at the
// capture's end). Empty when so.
std::string RunFrom(const std::vector<std::string>& source, const std::vector<std::string>& output, size_t start,
                    size_t maxTrailing) {
  const size_t checked = source.size() - start > maxTrailing ? source.size() - start - maxTrailing : 0;
  if (output.size() < checked)
    return std::to_string(start) + " missing at the start, " + std::to_string(source.size() - start - output.size()) +
           " at the end (at most " + std::to_string(maxTrailing) + ")";
  if (output.size() > source.size() - start) return "more behind the first than the source has";
  for (size_t k = 0; k < checked; ++k)
    if (source[start + k] != output[k])
      return "frame " + std::to_string(k) + " differs from source frame " + std::to_string(start + k);
  return "";
}

}  // namespace

std::string CompareFrameRuns(const std::vector<std::string>& source, const std::vector<std::string>& output,
                             size_t maxLeading, size_t maxTrailing) {
  std::ostringstream why;
  why << output.size() << " frames against the source's " << source.size() << ": ";
  if (output.empty()) return source.empty() ? "" : why.str() + "none";
  if (output.size() > source.size()) return why.str() + "more than the source";
  // The run starts where the output's first frame stands among the source's first ones;
  // where that frame is there more than once (a repeated packet of a steady tone), each
  // place is tried.
  std::string first;
  for (size_t start = 0; start <= maxLeading && start < source.size(); ++start) {
    if (source[start] != output.front()) continue;
    std::string failed = RunFrom(source, output, start, maxTrailing);
    if (failed.empty()) return "";
    if (first.empty()) first = failed;
  }
  if (first.empty()) return why.str() + "its first frame is not among the source's first " + std::to_string(maxLeading + 1);
  return why.str() + first;
}

std::vector<ProbedStream> ProbeProgramStreams(const std::string& file, int program) {
  int status = 0;
  const std::string select = program >= 0 ? " -select_streams p:" + std::to_string(program) : "";
  std::istringstream lines(Shell("ffprobe -v error" + select +
                                     " -show_entries stream=codec_type,codec_name:stream_tags=language -of default "
                                     "'" + file + "' 2>/dev/null",
                                 &status));
  std::vector<ProbedStream> streams;
  std::map<std::string, int> counts;  // per type, for the map
  const std::string prefix = program >= 0 ? "0:p:" + std::to_string(program) + ":" : "0:";
  bool inProgram = false;  // a transport stream's programs list their streams first
  for (std::string line; std::getline(lines, line);) {
    if (line == "[PROGRAM]" || line == "[/PROGRAM]") inProgram = line == "[PROGRAM]";
    if (inProgram) continue;
    if (line == "[STREAM]") streams.emplace_back();
    if (streams.empty()) continue;
    ProbedStream& s = streams.back();
    const size_t eq = line.find('=');
    const std::string key = line.substr(0, eq), value = eq == std::string::npos ? "" : line.substr(eq + 1);
    if (key == "codec_type") s.type = value;
    if (key == "codec_name") s.codec = value;
    if (key == "TAG:language") s.language = value;
    if (line == "[/STREAM]") s.map = prefix + s.type.substr(0, 1) + ":" + std::to_string(counts[s.type]++);
  }
  return streams;
}

namespace {

// Packets ffprobe reads from a stream (a data stream's cue sections).
size_t PacketCount(const std::string& file, const std::string& map) {
  int status = 0;
  const std::string specifier = map.substr(2);  // behind the input index
  const std::string out = Shell("ffprobe -v error -count_packets -select_streams " + specifier +
                                    " -show_entries stream=nb_read_packets -of csv=p=0 '" + file + "' 2>/dev/null",
                                &status);
  return static_cast<size_t>(std::atol(out.c_str()));
}

}  // namespace

std::string CompareProgramFrames(const std::string& source, const std::string& output, int program,
                                 double mediaSeconds, const FrameTolerance& tolerance) {
  const std::vector<ProbedStream> in = ProbeProgramStreams(source), out = ProbeProgramStreams(output, program);
  std::ostringstream why;
  if (in.empty() || in.size() != out.size()) {
    why << "program " << program << " has " << out.size() << " streams, the source " << in.size() << "\n";
    return why.str();
  }
  for (size_t i = 0; i < in.size(); ++i) {
    const std::string name = "stream " + in[i].map + " (" + in[i].codec + ")";
    if (in[i].type != out[i].type || in[i].codec != out[i].codec || in[i].language != out[i].language) {
      why << name << ": the program's is " << out[i].type << " " << out[i].codec << " [" << out[i].language
          << "], the source's " << in[i].type << " " << in[i].codec << " [" << in[i].language << "]\n";
      continue;
    }
    if (in[i].type == "data") {
      const size_t inPackets = PacketCount(source, in[i].map), outPackets = PacketCount(output, out[i].map);
      if (inPackets != outPackets) why << name << ": " << outPackets << " packets, the source " << inPackets << "\n";
      continue;
    }
    if (in[i].type != "video" && in[i].type != "audio") continue;
    // Audio joined within its stream is compared packet by packet: its decoders (AAC's
    // perceptual noise substitution, AC-3's dither) draw from a random generator seeded at
    // the first frame, so every frame of a later start decodes otherwise.
    const bool packets = in[i].type == "audio" && tolerance.leadingSeconds > 0;
    const std::vector<std::string> sourceFrames = PictureHashes(source, in[i].map, packets);
    const std::vector<std::string> outputFrames = PictureHashes(output, out[i].map, packets);
    const double perSecond = mediaSeconds > 0 ? static_cast<double>(sourceFrames.size()) / mediaSeconds : 0;
    const auto frames = [perSecond](double seconds) { return static_cast<size_t>(std::ceil(seconds * perSecond)); };
    const std::string runs = CompareFrameRuns(sourceFrames, outputFrames, frames(tolerance.leadingSeconds),
                                              frames(tolerance.trailingSeconds));
    if (!runs.empty()) why << name << ": " << runs << "\n";
  }
  return why.str();
}

}  // namespace palvex_test
