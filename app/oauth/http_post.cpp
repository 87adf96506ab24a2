#include "app/oauth/http_post.h"

#include <curl/curl.h>

#include <cctype>
#include <memory>
#include <mutex>

#include "app/oauth/login_stop.h"
#include "app/oauth/oauth_settings.h"
#include "platform/text.h"
#include "platform/timing.h"

namespace {

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

void InitialiseCurl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Receiver {
  std::string* body;
  size_t maxBytes;
  bool tooLarge = false;
};

size_t Receive(char* data, size_t size, size_t count, void* user) {
  auto* receiver = static_cast<Receiver*>(user);
  size_t bytes = size * count;
  if (receiver->body->size() + bytes > receiver->maxBytes) {
    receiver->tooLarge = true;
    return 0;  // ends the transfer with a write error
  }
  receiver->body->append(data, bytes);
  return bytes;
}

int Progress(void* stop, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return StopRequested(static_cast<const StopFlag*>(stop)) ? 1 : 0;
}

std::string Escape(CURL* curl, const std::string& text) {
  char* escaped = curl_easy_escape(curl, text.data(), static_cast<int>(text.size()));
  std::string result = escaped ? escaped : "";
  curl_free(escaped);
  return result;
}

}  // namespace

std::string EncodeForm(const FormFields& fields) {
  InitialiseCurl();
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  std::string text;
  for (const auto& [name, value] : fields) {
    if (!text.empty()) text += '&';
    text += Escape(curl.get(), name) + "=" + Escape(curl.get(), value);
  }
  return text;
}

bool DecodeQueryValue(const std::string& text, std::string* value) {
  std::string plus = text;
  for (char& c : plus) {
    if (c == '+') c = ' ';
  }
  for (size_t i = plus.find('%'); i != std::string::npos; i = plus.find('%', i + 1)) {
    if (i + 2 >= plus.size() || !std::isxdigit(static_cast<unsigned char>(plus[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(plus[i + 2]))) {
      return false;
    }
  }
  InitialiseCurl();
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  int length = 0;
  char* decoded = curl_easy_unescape(curl.get(), plus.data(), static_cast<int>(plus.size()), &length);
  if (!decoded) return false;
  value->assign(decoded, static_cast<size_t>(length));
  curl_free(decoded);
  return true;
}

HttpAnswer HttpPostForm(const std::string& url, const FormFields& fields, size_t maxBytes, const StopFlag* stop) {
  HttpAnswer answer;
  if (!CheckEndpointUrl(url, "URL", &answer.why)) return answer;
  InitialiseCurl();
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) {
    answer.why = SJIS("HTTP の準備ができません。");
    return answer;
  }
  std::string form = EncodeForm(fields);
  Receiver receiver{&answer.body, maxBytes};
  std::unique_ptr<curl_slist, SlistDeleter> headers(curl_slist_append(nullptr, "Accept: application/json"));
  int64_t timeoutMs = qv::GetTimings().httpTimeoutMs;
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_NOPROXY, "127.0.0.1,localhost");
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeoutMs));
  curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes));
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(form.size()));
  curl_easy_setopt(c, CURLOPT_COPYPOSTFIELDS, form.c_str());
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(c, CURLOPT_USERAGENT, "Quorvex");
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Receive);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &receiver);
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &Progress);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, const_cast<StopFlag*>(stop));
  CURLcode result = curl_easy_perform(c);
  if (receiver.tooLarge || result == CURLE_FILESIZE_EXCEEDED) {
    answer.body.clear();
    answer.why = SJIS("応答が ") + std::to_string(maxBytes) + SJIS(" バイトを超えたため、読むのをやめました。");
    return answer;
  }
  if (result == CURLE_ABORTED_BY_CALLBACK) {
    answer.body.clear();
    answer.why = SJIS("中止しました。");
    return answer;
  }
  if (result != CURLE_OK) {
    answer.body.clear();
    answer.why = SJIS("HTTP の要求に失敗しました: ") + curl_easy_strerror(result);
    return answer;
  }
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  answer.received = true;
  answer.status = static_cast<int>(status);
  return answer;
}
