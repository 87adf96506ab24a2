#include "app/mail/reply_limits.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr char kSection[] = "ReplyCount";
constexpr time_t kHour = 3600;

bool SameAddress(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// A whole decimal number of at most 18 digits; false for anything else.
bool ReadCount(std::string_view text, long long* value) {
  if (text.empty() || text.size() > 18) return false;
  long long number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + (c - '0');
  }
  *value = number;
  return true;
}

}  // namespace

std::string LocalDay(time_t time) {
  std::tm local{};
  localtime_r(&time, &local);
  char day[16];
  std::snprintf(day, sizeof day, "%04d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  return day;
}

ReplyLimits::ReplyLimits(const std::string& statePath, int senderHourLimit, int dayLimit, time_t now)
    : file_(statePath), senderHourLimit_(senderHourLimit), dayLimit_(dayLimit), now_(now), today_(LocalDay(now)) {
  if ((senderHourLimit_ <= 0 && dayLimit_ <= 0) || statePath.empty()) return;
  if (!file_.Load(&error_)) {
    usable_ = false;
    return;
  }
  for (const std::string& line : file_.Lines(kSection)) {
    std::string_view text(line);
    size_t blank = text.find(' ');
    size_t second = blank == std::string_view::npos ? blank : text.find(' ', blank + 1);
    if (second == std::string_view::npos) continue;
    std::string_view kind = text.substr(0, blank);
    std::string_view first = text.substr(blank + 1, second - blank - 1);
    std::string_view rest = text.substr(second + 1);
    long long number = 0;
    if (kind == "day" && first == today_ && ReadCount(rest, &number)) {
      dayCount_ = number;
    } else if (kind == "reply" && ReadCount(first, &number) && !rest.empty()) {
      // A reply counts for the hour after it; one ahead of the clock (the clock was set back)
      // counts as well, but not beyond an hour, so a wrong clock cannot block a sender for good.
      time_t time = static_cast<time_t>(number);
      if (now_ - time < kHour && time - now_ < kHour) recent_.push_back({time, std::string(rest)});
    }
  }
}

ReplyLimits::Verdict ReplyLimits::Admit(std::string_view address) {
  if (senderHourLimit_ > 0) {
    long long sent = 0;
    for (const Reply& reply : recent_) {
      if (SameAddress(reply.address, address)) ++sent;
    }
    if (sent >= senderHourLimit_) return Verdict::kSenderHourLimit;
  }
  if (dayLimit_ > 0 && dayCount_ >= dayLimit_) return Verdict::kDayLimit;
  ++dayCount_;
  if (senderHourLimit_ > 0) recent_.push_back({now_, std::string(address)});
  return Verdict::kAllowed;
}

bool ReplyLimits::Commit(std::string* error) {
  if ((senderHourLimit_ <= 0 && dayLimit_ <= 0) || file_.path().empty()) return true;
  std::vector<std::string> lines;
  lines.push_back("day " + today_ + " " + std::to_string(dayCount_));
  for (const Reply& reply : recent_) {
    lines.push_back("reply " + std::to_string(static_cast<long long>(reply.time)) + " " + reply.address);
  }
  file_.SetLines(kSection, std::move(lines));
  return file_.Save(error);
}
