#pragma once
// Base64 (RFC 4648 standard alphabet, "=" padding, no line breaks). Firmware
// files travel from the update server as one line of this text.
#include <cstddef>

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
