#pragma once
// Base64 (RFC 4648 standard alphabet, "=" padding, no line breaks). Firmware
// files travel from the update server as one line of this text.
#include <cstddef>
#include <type_traits>

// Decodes `length` characters of `text`. Returns malloc'ed bytes followed by one
// extra zero byte (the caller frees them) and stores the decoded count in
// *out_length; null when the length is not a multiple of 4, when a character is
// outside the alphabet or "=" appears anywhere but in the last two places, or
// when memory is short.
unsigned char* base64_decode(const char* text, size_t length, size_t* out_length);

// Encodes `length` bytes. Returns malloc'ed text with a terminating zero (the
// caller frees it) and stores the text length in *out_length; null when memory
// is short.
char* base64_encode(const unsigned char* data, size_t length, size_t* out_length);

// The same for text or bytes held as another one-byte type (a std::string's
// chars, uint8_t buffers) and for a count of another integer type.
template <class Byte, class Count>
  requires(sizeof(Byte) == 1 && std::is_integral_v<Byte> && std::is_integral_v<Count> &&
           !std::is_same_v<Count, bool>)
unsigned char* base64_decode(const Byte* text, size_t length, Count* out_length) {
  size_t n = 0;
  unsigned char* out = base64_decode(reinterpret_cast<const char*>(text), length, &n);
  if (out && out_length) *out_length = static_cast<Count>(n);
  return out;
}

template <class Byte, class Count>
  requires(sizeof(Byte) == 1 && std::is_integral_v<Byte> && std::is_integral_v<Count> &&
           !std::is_same_v<Count, bool>)
char* base64_encode(const Byte* data, size_t length, Count* out_length) {
  size_t n = 0;
  char* out = base64_encode(reinterpret_cast<const unsigned char*>(data), length, &n);
  if (out && out_length) *out_length = static_cast<Count>(n);
  return out;
}
