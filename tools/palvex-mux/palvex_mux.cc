// palvex-mux: muxes the video and audio of anything libavformat reads into an MPEG-2
// transport stream, through palvex's exported interface, as a head-end host does, and
// writes it to a file, to standard output or as paced UDP / RTP datagrams.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

extern "C" {
#include <libavformat/avformat.h>
}

#include "channel.h"
#include "control_server.h"
#include "metrics.h"
#include "multiplex_run.h"
#include "options.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_reload = 0;

// The first SIGINT/SIGTERM lets the current frame finish and the run end with its summary;
// a second one ends the process at once, leaving an output file as it was.
void OnSignal(int signal) {
  if (g_stop != 0) {
    palvex_host::RemovePendingFile();
    _exit(128 + signal);
  }
  g_stop = 1;
}

// SIGHUP, for a multiplex: its plan is read again.
void OnReload(int) { g_reload = 1; }

// SIGHUP, for a single channel (a closed terminal, a service manager's reload): it has no
// plan to read again and goes on. The handler only wakes the thread that says so.
int g_hangupPipe[2] = {-1, -1};
bool g_hangupQuiet = false;  // -q: taken without a line

void OnHangup(int) {
  const int saved = errno;
  const char byte = 1;
  if (write(g_hangupPipe[1], &byte, 1) < 0) {
  }  // a full pipe: a line is on its way already
  errno = saved;
}

// Tells each SIGHUP a single channel takes; ends when the write end is closed.
void TellHangups() {
  char bytes[16];
  for (;;) {
    const ssize_t n = read(g_hangupPipe[0], bytes, sizeof bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    if (!g_hangupQuiet)
      palvex_host::Log(palvex_host::LogLevel::kWarning,
                     "palvex-mux: warning: SIGHUP ignored: a single channel has no plan to read again (SIGINT or "
                     "SIGTERM ends the run)");
  }
}

// hangups: the thread that tells a single channel's SIGHUPs (without a pipe for it, SIGHUP
// is ignored silently).
void InstallSignals(bool plan, std::thread* hangups) {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  if (plan) {
    action.sa_handler = OnReload;
    sigaction(SIGHUP, &action, nullptr);
  } else if (pipe2(g_hangupPipe, O_CLOEXEC | O_NONBLOCK) == 0 && fcntl(g_hangupPipe[0], F_SETFL, 0) == 0) {
    *hangups = std::thread(TellHangups);
    action.sa_handler = OnHangup;
    sigaction(SIGHUP, &action, nullptr);
  } else {
    std::signal(SIGHUP, SIG_IGN);
  }
  std::signal(SIGPIPE, SIG_IGN);  // a closed pipe is EPIPE: the run ends quietly (kExitReaderGone)
  // A file size limit (ulimit -f, LimitFSIZE=) is EFBIG on the write that reaches it: the run
  // ends with its message, and a file output keeps its whole packets, as on a full disk.
  std::signal(SIGXFSZ, SIG_IGN);
}

void StopTellingHangups(std::thread* hangups) {
  if (!hangups->joinable()) return;
  std::signal(SIGHUP, SIG_IGN);
  close(g_hangupPipe[1]);
  hangups->join();
  close(g_hangupPipe[0]);
}

// POST /services/ID/splice answered: the break's splice_event_id, splice PTS and whether the
// picture there is a key picture (null while it is still to be read); 501 when the channel
// carries no cue PID, 503 when it muxes no pictures to place the break by.
palvex_host::Reply SpliceAnswer(bool carriesCues, const palvex_host::SpliceReply& reply) {
  if (!carriesCues) return palvex_host::Reply{501, "{\"error\": \"this run inserts no splices (no SCTE-35 stream for the "
                                                   "service; --splice-cues gives it one)\"}"};
  if (!reply.ok) {
    std::string text;
    for (const char c : reply.error) {
      if (c == '"' || c == '\\') text += '\\';
      text += c;
    }
    return palvex_host::Reply{503, "{\"error\": \"" + text + "\"}"};
  }
  const char* key = reply.key == palvex_host::KeyPicture::kYes  ? "true"
                    : reply.key == palvex_host::KeyPicture::kNo ? "false"
                                                                : "null";
  return palvex_host::Reply{200, "{\"event_id\": " + std::to_string(reply.eventId) +
                                     ", \"splice_pts\": " + std::to_string(reply.splicePts) +
                                     ", \"key_picture\": " + key + "}"};
}

}  // namespace

int main(int argc, char** argv) {
  palvex_host::Options options;
  std::string error;
  if (palvex_host::ParseOptions(argc, argv, &options, &error) != 0) {
    palvex_host::Log(palvex_host::LogLevel::kError, "palvex-mux: " + error);
    return 2;
  }
  if (options.help) {
    std::fputs(palvex_host::kUsage, stdout);
    return 0;
  }
  if (options.version) {
    std::printf("palvex-mux %s (libavformat %s)\n", PALVEX_VERSION, AV_STRINGIFY(LIBAVFORMAT_VERSION));
    return 0;
  }
  // The library's own lines go to standard error with -v and nowhere otherwise, never onto
  // standard output, where the transport stream may go.
  setenv("PALVEX_DIAGNOSTICS", options.verbosity == palvex_host::Verbosity::kVerbose ? "stderr" : "off", 1);
  if (options.verbosity != palvex_host::Verbosity::kQuiet)
    for (const std::string& note : options.notes) palvex_host::Log(palvex_host::LogLevel::kWarning, "palvex-mux: warning: " + note);
  palvex_host::RouteLibavLog(options.verbosity == palvex_host::Verbosity::kVerbose);
  // A plan with an error ends the run here, before any input is opened.
  palvex_host::Plan plan;
  if (!options.plan.empty() && !palvex_host::ReadMuxPlan(options, &plan, &error)) {
    palvex_host::Log(palvex_host::LogLevel::kError, "palvex-mux: " + error);
    return 2;
  }
  // --http: the token is read and the port taken before anything else is opened. The
  // server's threads start here, before the channel may take real-time priority, so that
  // they never run ahead of the pacing.
  std::string token;
  if (!options.httpToken.empty() && !palvex_host::ReadToken(options.httpToken, &token, &error)) {
    palvex_host::Log(palvex_host::LogLevel::kError, "palvex-mux: " + error);
    return 2;
  }
  // A multiplex serves on the plan's http unless --http gives another address; POST /reload
  // reads its plan again as SIGHUP does.
  std::string httpAddress = options.httpAddress;
  int httpPort = options.httpPort;
  if (options.http.empty() && !plan.http.empty() &&
      !palvex_host::ParseListenAddress(plan.http, &httpAddress, &httpPort, &error)) {
    palvex_host::Log(palvex_host::LogLevel::kError, "palvex-mux: " + options.plan + ": http: " + error);
    return 2;
  }
  if (options.http.empty() && !plan.http.empty() && !palvex_host::IsLoopback(httpAddress) && token.empty()) {
    palvex_host::Log(palvex_host::LogLevel::kError,
                     "palvex-mux: " + options.plan + ": http: " + httpAddress + " is not loopback: give --http-token FILE");
    return 2;
  }
  const bool http = !options.http.empty() || !plan.http.empty();
  std::unique_ptr<palvex_host::Registry> registry;
  std::unique_ptr<palvex_host::ControlServer> server;
  if (http) {
    registry = std::make_unique<palvex_host::Registry>(options.plan.empty() ? palvex_host::Registry::Scope::kChannel
                                                                            : palvex_host::Registry::Scope::kMultiplex);
    server = std::make_unique<palvex_host::ControlServer>(registry.get());
    server->SetMuxRate(options.plan.empty() ? options.muxRate : plan.muxRate);
    if (!options.plan.empty())
      server->SetReloadHandler([] {
        g_reload = 1;
        return palvex_host::Reply{202, "{\"reload\": \"the plan is read again\"}"};
      });
    if (!server->Start(httpAddress, httpPort, token, &error)) {
      palvex_host::Log(palvex_host::LogLevel::kError, "palvex-mux: " + error);
      return 1;
    }
    registry->StartSampler();
    if (options.verbosity != palvex_host::Verbosity::kQuiet) {
      const std::string host = httpAddress.find(':') != std::string::npos ? "[" + httpAddress + "]" : httpAddress;
      palvex_host::Log(palvex_host::LogLevel::kInfo, "palvex-mux: operations page on http://" + host + ":" +
                                                        std::to_string(httpPort) + "/ (/metrics, /status)");
    }
  }
  std::thread hangups;
  g_hangupQuiet = options.verbosity == palvex_host::Verbosity::kQuiet;
  InstallSignals(!options.plan.empty(), &hangups);
  avformat_network_init();
  int status = 0;
  if (!options.plan.empty()) {
    palvex_host::MultiplexRun run(options, plan, &g_stop, &g_reload, STDOUT_FILENO, registry.get());
    status = run.Run();
  } else {
    palvex_host::Channel channel(options, &g_stop, STDOUT_FILENO, registry.get());
    if (server != nullptr)
      server->SetSpliceHandler([&channel](int, const palvex_host::SpliceRequest& request) {
        if (!channel.carriesCues()) return SpliceAnswer(false, palvex_host::SpliceReply());
        return SpliceAnswer(true, channel.RequestSplice(request.inSeconds, request.durationSeconds));
      });
    status = channel.Run();
    server.reset();  // no splice handler runs on past the channel
  }
  server.reset();
  StopTellingHangups(&hangups);
  avformat_network_deinit();
  return status;
}
