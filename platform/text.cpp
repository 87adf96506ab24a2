#include "platform/text.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>

namespace qv {
namespace {

// Length of the well-formed UTF-8 sequence at the start of `text`, 0 when there is none.
size_t Utf8SequenceLength(std::string_view text) {
  if (text.empty()) return 0;
  unsigned char lead = static_cast<unsigned char>(text[0]);
  if (lead < 0x80) return 1;
  size_t length;
  unsigned int low = 0x80;
  unsigned int high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    unsigned int c = static_cast<unsigned char>(text[i]);
    if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

// Runs iconv (already opened as `cd`) over the whole input; on an unconvertible or invalid
// sequence writes `replacement` and skips it: a whole character when the input is UTF-8 and
// the character is well-formed but has no counterpart, one byte otherwise.
std::string Convert(iconv_t cd, bool fromUtf8, std::string_view input,
                    std::string_view replacement) {
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
      // EILSEQ or EINVAL (truncated sequence at the end): replace and go on.
      out.append(replacement);
      size_t skip = fromUtf8 ? Utf8SequenceLength(std::string_view(in, inLeft)) : 0;
      if (skip == 0) skip = 1;
      in += skip;
      inLeft -= skip;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  char* outPtr = buffer;
  size_t outLeft = sizeof buffer;
  iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
  out.append(buffer, outPtr - buffer);
  return out;
}

std::string Convert(const char* to, const char* from, std::string_view input,
                    std::string_view replacement) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(input);
  std::string out = Convert(cd, std::strcmp(from, "UTF-8") == 0, input, replacement);
  iconv_close(cd);
  return out;
}

}  // namespace

std::string Cp932FromUtf8(std::string_view utf8) { return Convert("CP932", "UTF-8", utf8, "?"); }

std::string Utf8FromCp932(std::string_view cp932) {
  return Convert("UTF-8", "CP932", cp932, "\xEF\xBF\xBD");
}

bool IsValidUtf8(std::string_view text) {
  while (!text.empty()) {
    size_t length = Utf8SequenceLength(text);
    if (length == 0) return false;
    text.remove_prefix(length);
  }
  return true;
}

bool Utf8FromCharset(const std::string& charset, std::string_view bytes, std::string* utf8) {
  // A name with a '/' would choose iconv's transliteration or error modes.
  if (charset.empty() || charset.find('/') != std::string::npos) return false;
  iconv_t cd = iconv_open("UTF-8", charset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  *utf8 = Convert(cd, false, bytes, "\xEF\xBF\xBD");
  iconv_close(cd);
  return true;
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
  // An empty view may have no data pointer at all, which memcpy must not be given.
  if (n > 0) std::memcpy(dest, text.data(), n);
  dest[n] = '\0';
}

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace qv
