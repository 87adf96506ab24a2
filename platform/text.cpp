#include "platform/text.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>

namespace qv {
namespace {

// Runs iconv over the whole input; on an unconvertible or invalid sequence writes
// `replacement` and skips one input byte.
std::string Convert(const char* to, const char* from, std::string_view input,
                    std::string_view replacement) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(input);
  std::string out;
  out.reserve(input.size() * 2 + 4);
  char* in = const_cast<char*>(input.data());
  size_t inLeft = input.size();
  char buffer[4096];
  while (inLeft > 0) {
    char* outPtr = buffer;
    size_t outLeft = sizeof buffer;
    size_t r = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    out.append(buffer, outPtr - buffer);
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL (truncated sequence at the end): replace one byte and go on.
      out.append(replacement);
      ++in;
      --inLeft;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  char* outPtr = buffer;
  size_t outLeft = sizeof buffer;
  iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
  out.append(buffer, outPtr - buffer);
  iconv_close(cd);
  return out;
}

}  // namespace

std::string Cp932FromUtf8(std::string_view utf8) { return Convert("CP932", "UTF-8", utf8, "?"); }

std::string Utf8FromCp932(std::string_view cp932) {
  return Convert("UTF-8", "CP932", cp932, "\xEF\xBF\xBD");
}

size_t SjisCutLength(std::string_view text, size_t maxBytes) {
  size_t i = 0;
  while (i < text.size()) {
    size_t width = (IsSjisLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size()) ? 2 : 1;
    if (i + width > maxBytes) break;
    i += width;
  }
  return i;
}

void CopySjisField(char* dest, size_t destSize, std::string_view text) {
  if (destSize == 0) return;
  size_t n = SjisCutLength(text, destSize - 1);
  std::memcpy(dest, text.data(), n);
  dest[n] = '\0';
}

}  // namespace qv
