// client_io.h - the example server's client channels: lines typed on
// standard input and lines sent to a local (Unix domain) stream socket.
// Every line is one request and gets one line back; a socket client gets
// its answers on its connection, standard input's go to a callback (the
// display). One thread serves all channels.
#ifndef ZUNTAL_SERVER_CLIENT_IO_H
#define ZUNTAL_SERVER_CLIENT_IO_H

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace zserver {

class ClientIo {
 public:
  using Exec = std::function<std::string(const std::string& line)>;
  using Answer = std::function<void(const std::string& line, const std::string& answer)>;

  ClientIo(Exec exec, Answer input_answer);
  ~ClientIo();  // stops the thread, closes the socket and removes its path
  ClientIo(const ClientIo&) = delete;
  ClientIo& operator=(const ClientIo&) = delete;

  // Listens on a socket at `path` (a stale socket file there is replaced;
  // any other file is not). Returns 0, or -1 with *error.
  int listen(const std::string& path, std::string* error);
  // Reads requests from this descriptor too (standard input: 0) until its end.
  void read_fd(int fd) { in_fd_ = fd; }
  // The same through a line editor: when `fd` is readable, `reader` reads it
  // and returns the lines completed (setting *eof at the input's end).
  using Reader = std::function<std::vector<std::string>(bool* eof)>;
  void read_with(int fd, Reader reader) {
    in_fd_ = fd;
    reader_ = std::move(reader);
  }

  void start();
  void stop();

 private:
  void loop();

  Exec exec_;
  Answer input_answer_;
  Reader reader_;
  int in_fd_ = -1;
  int listen_fd_ = -1;
  std::string path_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace zserver

#endif  // ZUNTAL_SERVER_CLIENT_IO_H
