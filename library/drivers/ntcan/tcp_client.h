// tcp_client.h - what the media that reach a server over TCP share: bounded
// connecting, writing and reading, and time-outs from the environment.
// Internal to libntcan.
#ifndef NTCAN_TCP_CLIENT_H
#define NTCAN_TCP_CLIENT_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "ntcan.h"

namespace ntcan_drv {
namespace tcp {

using SteadyClock = std::chrono::steady_clock;

// Milliseconds from the environment variable `name`, 1 to 600000, else `dflt`.
int ms_from_env(const char* name, int dflt);
// Milliseconds until the deadline, 0 once it has passed.
int ms_left(SteadyClock::time_point deadline);

// Connects to host:port before the deadline. Host names of letters, digits,
// '-', '.' and ':' only are looked up; numeric addresses need no resolver.
// On success *fd is a non-blocking socket with TCP_NODELAY. Answers
// NTCAN_SOCK_HOST_NOT_FOUND (no address) or NTCAN_SOCK_CONN_TIMEOUT
// (refused, or no answer in time).
NTCAN_RESULT connect(const std::string& host, int port, SteadyClock::time_point deadline, int* fd);

enum class WriteResult { Done, Stuck, Broken };
// Writes all of [p, p+n), waiting for room at most timeout_ms at a time
// without progress.
WriteResult write_all(int fd, const uint8_t* p, size_t n, int timeout_ms);
// Reads exactly n bytes before the deadline.
bool read_exact(int fd, uint8_t* p, size_t n, SteadyClock::time_point deadline);
// Reads what is there (at most n bytes, at least one) before the deadline;
// the count, or -1 on a closed or broken connection or the deadline.
long read_some(int fd, uint8_t* p, size_t n, SteadyClock::time_point deadline);
// Makes a socket blocking again (the reader threads block in recv; writes
// pass MSG_DONTWAIT).
void set_blocking(int fd);

}  // namespace tcp
}  // namespace ntcan_drv

#endif  // NTCAN_TCP_CLIENT_H
