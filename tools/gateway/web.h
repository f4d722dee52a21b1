// web.h - the gateway's web interface (one thread, a poll loop; its bounds
// are in web.cpp and docs/gateway.md):
//   GET  /                 status page (HTML)
//   GET  /status.json      the same as JSON
//   POST /Forms/Firmware   FWUpdReset=1 with HTTP basic authentication:
//                          restarts the CAN service; a bad login gets 401
//   POST /admin/hang       CAN service hung      } from loopback only, unless
//   POST /admin/unhang     fault cleared         } the gateway runs without admin
#ifndef ZUNTAL_GATEWAY_WEB_H
#define ZUNTAL_GATEWAY_WEB_H

#include <memory>
#include <string>

namespace zgw {

class Gateway;

class Web {
 public:
  explicit Web(Gateway& gw);
  ~Web();
  Web(const Web&) = delete;
  Web& operator=(const Web&) = delete;

  // Binds host:port (0: any free port) and serves in a thread of its own.
  // -1 with a message in *error.
  int start(const std::string& host, int port, std::string* error);
  void stop();
  int port() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Whether an Authorization header value is "Basic" with exactly user:password.
bool basic_auth_ok(const std::string& header, const std::string& user, const std::string& password);

}  // namespace zgw

#endif  // ZUNTAL_GATEWAY_WEB_H
