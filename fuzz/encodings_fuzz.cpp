// The text codecs at the mail boundary on any bytes: the header text decoder (encoded words in
// any character set), the ISO-2022-JP word decoder, both JIS / Shift_JIS converters, base64
// and the code conversions, each held to the bounds and round trips its header promises.
#include <cstdint>
#include <string>

#include "app/mail/encodings.h"
#include "fuzz/fuzz_support.h"

using namespace qv::fuzz;

namespace {

// Whether ISO-2022-JP text ends in ASCII mode: its last escape, if any, is not ESC $.
bool EndsInAscii(const std::string& jis) {
  size_t escape = jis.rfind('\x1B');
  return escape == std::string::npos || (escape + 1 < jis.size() && jis[escape + 1] != '$');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input = AsText(data, size);

  Check(DecodeHeaderText(input).size() <= kCodecTextLimit, "DecodeHeaderText over its limit");
  Check(DecodeWord(input).size() <= kCodecTextLimit || DecodeWord(input) == input,
        "DecodeWord over its limit");
  Check(JisToSjis(input).size() <= kCodecTextLimit, "JisToSjis over its limit");

  std::string jis = SjisToJis(input);
  Check(jis.size() <= kCodecTextLimit, "SjisToJis over its limit");
  for (unsigned char c : jis) Check(c < 0x80, "SjisToJis left a byte of 0x80 or more");
  Check(EndsInAscii(jis), "SjisToJis ends in double-byte mode");
  std::string word = EncodeWord(input);
  Check(word.size() <= kCodecTextLimit, "EncodeWord over its limit");

  // Base64: every group of four gives three bytes; encoding and decoding give the bytes back
  // followed by the zero bytes of the padding.
  std::string decoded = Base64Decode(input);
  Check(decoded.size() == (input.size() + 3) / 4 * 3, "Base64Decode's length");
  std::string again = Base64Decode(Base64Encode(input));
  Check(again.size() >= input.size() && again.size() - input.size() < 3 &&
            again.compare(0, input.size(), input) == 0 &&
            again.find_first_not_of('\0', input.size()) == std::string::npos,
        "base64 does not round-trip");

  // The code conversions are each other's inverse wherever they give a code.
  for (size_t i = 0; i + 1 < input.size() && i < 64; i += 2) {
    unsigned int code = (static_cast<unsigned char>(input[i]) << 8) | static_cast<unsigned char>(input[i + 1]);
    unsigned int fromSjis = qv::_mbcjmstojis(code);
    if (fromSjis != 0) Check(qv::_mbcjistojms(fromSjis) == code, "_mbcjistojms(_mbcjmstojis(c)) != c");
    unsigned int fromJis = qv::_mbcjistojms(code);
    if (fromJis != 0) Check(qv::_mbcjmstojis(fromJis) == code, "_mbcjmstojis(_mbcjistojms(c)) != c");
  }
  return 0;
}
