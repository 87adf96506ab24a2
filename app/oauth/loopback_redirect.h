// The loopback end of a browser log-in (RFC 8252 section 7.3): a listener on 127.0.0.1 on a
// port the system picks, which takes the browser's request for the redirect address, reads
// the code and state of its query, and answers the browser with a short page.
#pragma once

#include <cstdint>
#include <string>

#include "app/oauth/login_stop.h"

struct RedirectResult {
  bool ok = false;    // a code came with the expected state
  std::string code;   // when ok
  std::string why;    // when not ok (CP932): the provider's error, a state mismatch, the time-out
};

class LoopbackRedirect {
 public:
  LoopbackRedirect();
  ~LoopbackRedirect();
  LoopbackRedirect(const LoopbackRedirect&) = delete;
  LoopbackRedirect& operator=(const LoopbackRedirect&) = delete;

  // The port listened on; 0 when no listener could be made.
  [[nodiscard]] int port() const { return port_; }
  // "http://127.0.0.1:PORT/".
  [[nodiscard]] std::string RedirectUri() const;

  // Takes connections for up to `waitMs` (or until a stop, login_stop.h) until one asks for
  // the redirect path ("/" with a query): requests for other paths are answered 404 and the
  // wait goes on. A request whose query holds `error` fails with that error; one whose state
  // differs from `state` fails without looking at its code. Each request is read for at most
  // a few seconds and 8 KiB.
  [[nodiscard]] RedirectResult Wait(const std::string& state, int64_t waitMs, const StopFlag* stop = nullptr);

 private:
  int listenFd_ = -1;
  int port_ = 0;
};
