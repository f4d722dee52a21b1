// main.cpp - zuntal_server, the example device server.
//
//   zuntal_server [--config FILE] [--gateway HOST:PORT] [--period-ms N]
//                 [--socket PATH] [--plain] [--run-for SECONDS]
//                 [--write-config FILE]
//
// Runs until Ctrl-C (SIGINT or SIGTERM), a client's "quit", or --run-for;
// then writes the configuration back and exits.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <iostream>

#include "client_io.h"
#include "display.h"
#include "server.h"
#include "zuntal_version.h"

namespace {

std::atomic<bool> g_stop{false};

extern "C" void on_signal(int) {
  g_stop = true;
}

}  // namespace

int main(int argc, char** argv) {
  zserver::ServerOptions opts;
  std::string socket_path;
  bool plain = false, table = false, no_input = false, debug_frames = false;
  double run_for = 0;

  CLI::App app{
      "zuntal_server: an example TAVRO device server for CANopen nodes on CAN lines.\n"
      "By default it runs on the in-process simulated bus with the devices that the\n"
      "configuration's SIMULATION location names. Commands on standard input or the\n"
      "socket: get NAME, set NAME VALUE..., list, help, quit."};
  app.set_version_flag("--version", "zuntal_server " ZUNTAL_VERSION_STRING);
  app.add_option("--config", opts.config_path, "server configuration file")->capture_default_str();
  app.add_option("--write-config", opts.write_path,
                 "where the configuration is written on stop (default: the --config file)");
  app.add_option("--gateway", opts.gateway,
                 "HOST:PORT of a zuntal_gateway: every line's net is served by it, and the "
                 "configuration's simulated devices are not hosted here");
  app.add_option("--period-ms", opts.period_ms, "update cycle period in milliseconds")
      ->capture_default_str()
      ->check(CLI::Range(10, 10000));
  app.add_option("--socket", socket_path, "also take commands on this Unix domain socket");
  app.add_flag("--plain", plain, "one line per change instead of the table");
  app.add_flag("--table", table, "the table even when the output is not a terminal");
  app.add_flag("--no-input", no_input, "do not read commands from standard input");
  app.add_option("--run-for", run_for, "stop after this many seconds (0: run until stopped)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--guard-ms", opts.guard_ms,
                 "send a node-guarding request to a node not heard for this long")
      ->capture_default_str()
      ->check(CLI::Range(50, 600000));
  app.add_option("--alive-timeout-ms", opts.alive_timeout_ms,
                 "show state 2 (Error) for a node not heard for this long; 0: never")
      ->capture_default_str()
      ->check(CLI::Range(0, 3600000));
  app.add_flag("--debug-frames", debug_frames,
               "print the frames of the node that NAME.DEBUG_ID selects (TAVRO_debug 0x100000)");
  CLI11_PARSE(app, argc, argv);
  if (plain && table) {
    std::cerr << "zuntal_server: --plain and --table exclude each other\n";
    return 2;
  }
  opts.host_devices = opts.gateway.empty();
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
  zserver::Display display(
      use_table ? zserver::Display::Mode::Table : zserver::Display::Mode::Plain, std::cout,
      server.title());
  if (use_table)
    tavro::set_message_sink([&display](const std::string& label, const std::string& text) {
      display.message(label, text);
    });
  else
    std::cout << server.title() << std::endl;

  zserver::ClientIo io([&server](const std::string& line) { return server.execute(line); },
                       [&display](const std::string& line, const std::string& answer) {
                         display.answer(line, answer);
                       });
  if (!socket_path.empty()) {
    std::string err;
    if (io.listen(socket_path, &err) != 0) {
      tavro::set_message_sink(nullptr);
      std::cerr << "zuntal_server: --socket: " << err << "\n";
      return 1;
    }
  }
  if (!no_input) io.read_fd(STDIN_FILENO);

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
  display.finish();
  tavro::set_message_sink(nullptr);
  return written == 0 ? 0 : 1;
}
