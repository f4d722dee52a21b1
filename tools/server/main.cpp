// main.cpp - zuntal_server, the example device server.
//
//   zuntal_server [--config FILE] [--gateway HOST:PORT] [--period-ms N]
//                 [--socket PATH] [--plain] [--run-for SECONDS]
//                 [--write-config FILE]
//
// Runs until Ctrl-C (SIGINT or SIGTERM), a client's "quit", or --run-for;
// then writes the configuration back and exits.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <streambuf>

#include "../common/cli_checks.h"
#include "client_io.h"
#include "display.h"
#include "server.h"
#include "terminal.h"
#include "zuntal_version.h"

namespace {

std::atomic<bool> g_stop{false};

extern "C" void on_signal(int) {
  g_stop = true;
}

// An ostream's buffer that writes through a stdio stream, so that the table
// and the line editor (which writes to the same FILE) reach the terminal in
// the order they were written.
class FileBuf : public std::streambuf {
 public:
  explicit FileBuf(std::FILE* f) : f_(f) {}

 protected:
  int_type overflow(int_type c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    return std::fputc(c, f_) == EOF ? traits_type::eof() : c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    return static_cast<std::streamsize>(std::fwrite(s, 1, static_cast<size_t>(n), f_));
  }
  int sync() override { return std::fflush(f_) == 0 ? 0 : -1; }

 private:
  std::FILE* f_;
};

}  // namespace

int main(int argc, char** argv) {
  // Lines of the library on standard output arrive whole, also when it is
  // caught in a pipe for the messages pane.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  zserver::ServerOptions opts;
  std::string socket_path;
  bool plain = false, table = false, no_input = false, debug_frames = false;
  double run_for = 0;

  CLI::App app{
      "zuntal_server: an example TAVRO device server for CANopen nodes on CAN lines.\n"
      "By default it runs on the in-process simulated bus with the devices that the\n"
      "configuration's SIMULATION location names. Commands on standard input or the\n"
      "socket: get NAME, set NAME VALUE..., list, sdo NODE read|write ..., pdo NODE [N VALUE...], "
      "help, quit."};
  app.set_version_flag("--version", "zuntal_server " ZUNTAL_VERSION_STRING);
  app.add_option("--config", opts.config_path, "server configuration file")->capture_default_str();
  app.add_option("--write-config", opts.write_path,
                 "where the configuration is written on stop (default: the --config file)");
  app.add_option("--gateway", opts.gateway,
                 "HOST:PORT of a zuntal_gateway: every line's net is served by it, and the "
                 "configuration's simulated devices are not hosted here");
  app.add_flag("--devices-on-any-medium", opts.devices_on_any_medium,
               "host the configuration's simulated devices also on lines that are not the "
               "simulated bus (SocketCAN, gateway), where real nodes may have their ids");
  app.add_option("--period-ms", opts.period_ms, "update cycle period in milliseconds")
      ->capture_default_str()
      ->check(CLI::Range(10, 10000));
  app.add_option("--socket", socket_path, "also take commands on this Unix domain socket");
  app.add_flag("--plain", plain, "one line per change instead of the table");
  app.add_flag("--table", table, "the table even when the output is not a terminal");
  app.add_flag("--no-input", no_input, "do not read commands from standard input");
  app.add_option("--run-for", run_for, "stop after this many seconds (0: run until stopped)")
      ->check(ztools::kZeroOrMore);
  app.add_option("--guard-ms", opts.guard_ms,
                 "send a node-guarding request to a node not heard for this long")
      ->capture_default_str()
      ->check(CLI::Range(50, 600000));
  app.add_option("--sync-ms", opts.sync_ms,
                 "send a SYNC on every line of a node this often (0: no SYNC)")
      ->capture_default_str()
      ->check(CLI::Range(0, 60000));
  app.add_option("--alive-timeout-ms", opts.alive_timeout_ms,
                 "show state 2 (Error) for a node not heard for this long; 0: never")
      ->capture_default_str()
      ->check(CLI::Range(0, 3600000));
  app.add_option("--sdo-block-threshold", opts.sdo_block_threshold,
                 "sdo commands move objects of more than this many bytes by block transfer")
      ->capture_default_str()
      ->check(CLI::Range(0, zserver::kMaxSdoObject));
  app.add_flag("--debug-frames", debug_frames,
               "print the frames of the node that NAME.DEBUG_ID selects (TAVRO_debug 0x100000)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    return rc == 0 ? 0 : 2;  // --help is no error; a bad command line is 2
  }
  if (plain && table) {
    std::cerr << "zuntal_server: --plain and --table exclude each other\n";
    return 2;
  }
  if (!ztools::driver_config_usable("zuntal_server")) return 1;
  opts.host_devices = opts.gateway.empty() || opts.devices_on_any_medium;
  if (debug_frames) TAVRO_debug |= 0x100000;

  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  zserver::Server server(opts);
  if (server.load() != 0) return 1;

  const bool use_table = table || (!plain && ::isatty(STDOUT_FILENO));
  // On a terminal the table owns the screen: it is drawn on a copy of the
  // terminal's descriptor, while what the process itself writes on standard
  // output (and error, when that is the terminal too), e.g. the library's
  // "Segmented transfer aborted with code 0x...", is caught and shown in the
  // messages pane instead of landing on the input line.
  const bool on_terminal = use_table && ::isatty(STDOUT_FILENO);
  std::FILE* term = nullptr;
  if (on_terminal) {
    const int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (fd >= 0) term = ::fdopen(fd, "w");
  }
  FileBuf term_buf(term ? term : stdout);
  std::ostream term_out(&term_buf);
  zserver::Display display(
      use_table ? zserver::Display::Mode::Table : zserver::Display::Mode::Plain,
      term ? term_out : std::cout, server.title());
  if (use_table)
    tavro::set_message_sink([&display](const std::string& label, const std::string& text) {
      display.message(label, text);
    });
  else
    std::cout << server.title() << std::endl;
  zserver::OutputCapture capture;
  std::unique_ptr<zserver::LineEditor> editor;
  if (term) {
    display.set_width_fd(::fileno(term));
    std::vector<int> fds{STDOUT_FILENO};
    if (::isatty(STDERR_FILENO)) fds.push_back(STDERR_FILENO);
    capture.start(fds, [&display](const std::string& line) { display.output_line(line); });
    if (!no_input && ::isatty(STDIN_FILENO))
      editor = std::make_unique<zserver::LineEditor>(stdin, term, "> ");
  }

  zserver::ClientIo io([&server](const std::string& line) { return server.execute(line); },
                       [&display](const std::string& line, const std::string& answer) {
                         display.answer(line, answer);
                       });
  if (!socket_path.empty()) {
    std::string err;
    if (io.listen(socket_path, &err) != 0) {
      capture.stop();
      tavro::set_message_sink(nullptr);
      std::cerr << "zuntal_server: --socket: " << err << "\n";
      return 1;
    }
  }
  if (editor) {
    editor->install();
    display.set_editor(editor.get());
    io.read_with(STDIN_FILENO, [&display](bool* eof) { return display.read_input(eof); });
  } else if (!no_input) {
    io.read_fd(STDIN_FILENO);
  }

  server.start();
  io.start();

  // The update cycle at its period; a late cycle starts the next period at once.
  const auto period = std::chrono::milliseconds(opts.period_ms);
  const auto begin = std::chrono::steady_clock::now();
  auto next = begin;
  while (!g_stop && !server.quit_requested()) {
    server.cycle();
    display.update(server.rows());
    auto now = std::chrono::steady_clock::now();
    if (run_for > 0 && now - begin >= std::chrono::duration<double>(run_for)) break;
    next += period;
    if (next < now) next = now;
    auto wait = std::chrono::duration_cast<std::chrono::microseconds>(next - now).count();
    tavro::clock().sleep_us(wait);
  }

  io.stop();
  display.update(server.rows(), true);
  const int written = server.write_config();
  capture.stop();
  display.finish();  // gives the terminal back from the line editor
  editor.reset();
  tavro::set_message_sink(nullptr);
  if (term) std::fclose(term);
  return written == 0 ? 0 : 1;
}
