#include "server/base64.h"

#include <cstdint>
#include <cstdlib>

namespace {

const char encoding_table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 6-bit value of a character, 64 for "=", -1 for anything else.
int _value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  if (c == '=') return 64;
  return -1;
}

}  // namespace

unsigned char* base64_decode(const char* text, size_t length, size_t* out_length) {
  if (length % 4 != 0 || (length > 0 && text == nullptr)) return nullptr;
  size_t decoded = length / 4 * 3;
  if (length > 0 && text[length - 1] == '=') decoded--;
  if (length > 1 && text[length - 2] == '=') decoded--;

  // Refuse any character outside the alphabet, and padding anywhere but at the
  // end: such text is not what was sent, and must not turn into firmware bytes.
  for (size_t i = 0; i < length; ++i) {
    int v = _value(static_cast<unsigned char>(text[i]));
    if (v < 0) return nullptr;
    if (v == 64) {
      bool lastTwo = i + 2 >= length;
      bool secondLastNeedsLast = (i + 2 == length) ? text[length - 1] == '=' : true;
      if (!lastTwo || !secondLastNeedsLast) return nullptr;
    }
  }

  auto* out = static_cast<unsigned char*>(std::malloc(decoded + 1));
  if (!out) return nullptr;
  size_t j = 0;
  for (size_t i = 0; i < length; i += 4) {
    uint32_t triple = 0;
    for (size_t k = 0; k < 4; ++k) {
      int v = _value(static_cast<unsigned char>(text[i + k]));
      triple = (triple << 6) | static_cast<uint32_t>(v == 64 ? 0 : v);
    }
    if (j < decoded) out[j++] = static_cast<unsigned char>((triple >> 16) & 0xFF);
    if (j < decoded) out[j++] = static_cast<unsigned char>((triple >> 8) & 0xFF);
    if (j < decoded) out[j++] = static_cast<unsigned char>(triple & 0xFF);
  }
  out[decoded] = 0;
  if (out_length) *out_length = decoded;
  return out;
}

char* base64_encode(const unsigned char* data, size_t length, size_t* out_length) {
  if (length > 0 && data == nullptr) return nullptr;
  size_t textLength = (length + 2) / 3 * 4;
  auto* out = static_cast<char*>(std::malloc(textLength + 1));
  if (!out) return nullptr;
  size_t j = 0;
  for (size_t i = 0; i < length; i += 3) {
    uint32_t a = data[i];
    uint32_t b = i + 1 < length ? data[i + 1] : 0;
    uint32_t c = i + 2 < length ? data[i + 2] : 0;
    uint32_t triple = (a << 16) | (b << 8) | c;
    out[j++] = encoding_table[(triple >> 18) & 0x3F];
    out[j++] = encoding_table[(triple >> 12) & 0x3F];
    out[j++] = encoding_table[(triple >> 6) & 0x3F];
    out[j++] = encoding_table[triple & 0x3F];
  }
  static const size_t padding[] = {0, 2, 1};
  for (size_t p = 0; p < padding[length % 3]; ++p) out[textLength - 1 - p] = '=';
  out[textLength] = 0;
  if (out_length) *out_length = textLength;
  return out;
}
