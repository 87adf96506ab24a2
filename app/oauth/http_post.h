// One bounded HTTP POST of a form to an OAuth2 provider, through libcurl: TLS with the
// system's certificate authorities and host name verification, no redirect followed (a 3xx
// answer is returned as it is, so the caller refuses it), only http and https, the whole
// request bounded by the timings record's httpTimeoutMs, the answer's body by `maxBytes`.
// An abort (platform/timing.h) or the log-in's stop (login_stop.h) ends a running request.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "app/oauth/login_stop.h"

// The largest answer body taken from a provider: its JSON answers are a few kilobytes.
inline constexpr size_t kMaxHttpAnswerBytes = 64 * 1024;

using FormFields = std::vector<std::pair<std::string, std::string>>;

struct HttpAnswer {
  bool received = false;  // an HTTP answer came; else `why` says what went wrong (CP932)
  int status = 0;
  std::string body;       // at most maxBytes
  std::string why;
};

// The fields as application/x-www-form-urlencoded text, each name and value percent-encoded.
[[nodiscard]] std::string EncodeForm(const FormFields& fields);

// POSTs `fields` to `url`, which must pass CheckEndpointUrl (it is checked again here: a
// refused address is not contacted). A body longer than `maxBytes` fails the request, and so
// does a stop (`stop` may be null: only the program's abort).
[[nodiscard]] HttpAnswer HttpPostForm(const std::string& url, const FormFields& fields,
                                      size_t maxBytes = kMaxHttpAnswerBytes, const StopFlag* stop = nullptr);

// Percent-decodes `text` as a URL query value ('+' is a space); false when an escape is broken.
[[nodiscard]] bool DecodeQueryValue(const std::string& text, std::string* value);
