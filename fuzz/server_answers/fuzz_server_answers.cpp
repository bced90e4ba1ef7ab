// Update server answers and Base64 text are outside input: every parser must
// take any bytes without crashing, reading out of bounds or hanging.
//
// The first byte picks the parser; the rest is the answer body.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "server/UpdateServerRequest.h"
#include "server/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t which = data[0];
  const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (which % 6) {
    case 0: {
      std::map<std::string, std::string> builds;
      if (UpdateServerAnswer::BuildList(body, builds, "GetBuildList")) {
        auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
        if (sorted.size() != builds.size()) std::abort();
      }
      break;
    }
    case 1: {
      uint32_t serial = 0, build = 0;
      UpdateServerAnswer::RecoveryInfo(body, serial, build, "GetRecoveryInfo");
      break;
    }
    case 2: {
      std::string token;
      if (UpdateServerAnswer::DeviceJWT(body, token, "GetDeviceJWT") && token.size() < 8) std::abort();
      break;
    }
    case 3: {
      std::string build, version;
      UpdateServerAnswer::QueryBuild(body, build, version);
      UpdateServerRequest::SplitTessarionVersion(version);
      break;
    }
    case 4: {
      size_t n = 0;
      unsigned char* out = base64_decode(body.data(), body.size(), &n);
      if (out) {
        // What decodes must encode back to the same text.
        size_t m = 0;
        char* text = base64_encode(out, n, &m);
        if (!text || m != body.size() || std::memcmp(text, body.data(), m) != 0) {
          // Non-zero padding bits decode to the same bytes; only the bytes must agree.
          size_t k = 0;
          unsigned char* again = text ? base64_decode(text, m, &k) : nullptr;
          if (!again || k != n || std::memcmp(again, out, n) != 0) std::abort();
          std::free(again);
        }
        std::free(text);
        std::free(out);
      }
      break;
    }
    case 5: {
      size_t m = 0;
      char* text = base64_encode(reinterpret_cast<const unsigned char*>(body.data()), body.size(), &m);
      size_t n = 0;
      unsigned char* back = base64_decode(text, m, &n);
      if (!back || n != body.size() || std::memcmp(back, body.data(), n) != 0) std::abort();
      std::free(text);
      std::free(back);
      break;
    }
  }
  return 0;
}
