#pragma once
// Client side of the update server's HTTP API. Every operation sends one GET,
// judges the answer (status 200, first line beginning with "ok") and hands back
// its fields; none throws and none keeps state.
#include <array>
#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <algorithm>
#include <utility>
#include <vector>

// Host of the maker's update server: the one place it is named. The default
// server address and the usage text are built from it.
#define UPDATE_SERVER_HOST "update.corvanex.net"
#define UPDATE_SERVER_PATH "/cgi/u"

struct Fingerprint;  // app/Updater.h

// A sequence handed back by value: a std::vector that also converts to and
// compares with a std::list, so callers keep whichever container they hold.
template <class T>
class UpdateServerList : public std::vector<T> {
 public:
  using std::vector<T>::vector;
  UpdateServerList() = default;
  UpdateServerList(std::vector<T> v) : std::vector<T>(std::move(v)) {}
  operator std::list<T>() const { return std::list<T>(this->begin(), this->end()); }
  friend bool operator==(const UpdateServerList& a, const std::list<T>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
  }
};

class UpdateServerRequest {
 public:
  // Used by every operation whose url argument is null.
  static constexpr const char* default_url = "http://" UPDATE_SERVER_HOST UPDATE_SERVER_PATH;
  static constexpr const char* delimiters = "\n";

  // Whether the server is up.
  static bool ping(const char* url);
  // Latest build number of the device and its version text. An absent answer
  // line leaves its output as it was.
  static bool QueryBuild(uint32_t serial, std::string& build, std::string& version, const char* url);
  // The BIRD file of one build as one line of Base64 text; an "ok" answer
  // without that line gives an empty text. Untouched on failure.
  static bool GetBuild(uint32_t serial, const std::string& firmware, const std::string& build,
                       std::string& bird, const char* url, bool no_cal);
  // Every build of the device: build number text -> version text (emptied
  // first; the first line for a build wins).
  static bool GetBuildList(uint32_t serial, std::map<std::string, std::string>& builds, const char* url);
  // Serial number and build for a chip identified by its fingerprint. An
  // absent answer line leaves its output as it was.
  static bool GetRecoveryInfo(const uint32_t fingerprint[4], uint32_t& serial, uint32_t& build,
                              const char* url);
  // The device's signed token (header.payload.signature), not checked.
  static bool GetDeviceJWT(uint32_t serial, std::string& token, const char* url);

  // The builds as (build, version) pairs, highest version first, each part
  // of a version taken as an 8-bit number (modulo 256) as module versions
  // are. Versions that are not three numbers go after every valid one, in
  // build order; equal versions keep build order.
  static UpdateServerList<std::pair<std::string, std::string>> SortBuildsByVersion(
      const std::map<std::string, std::string>& builds);
  // The three parts of a version text split at ".", or an empty list when it
  // does not have exactly three (a part may be empty).
  static UpdateServerList<std::string> SplitTessarionVersion(const std::string& version);

  // The same requests with the server address as a std::string.
  static bool ping(const std::string& url) { return ping(url.c_str()); }
  static bool QueryBuild(uint32_t serial, std::string& build, std::string& version, const std::string& url) {
    return QueryBuild(serial, build, version, url.c_str());
  }
  static bool GetBuild(uint32_t serial, const std::string& firmware, const std::string& build, std::string& bird,
                       const std::string& url, bool no_cal) {
    return GetBuild(serial, firmware, build, bird, url.c_str(), no_cal);
  }
  static bool GetBuildList(uint32_t serial, std::map<std::string, std::string>& builds, const std::string& url) {
    return GetBuildList(serial, builds, url.c_str());
  }
  static bool GetRecoveryInfo(const uint32_t fingerprint[4], uint32_t& serial, uint32_t& build,
                              const std::string& url) {
    return GetRecoveryInfo(fingerprint, serial, build, url.c_str());
  }
  static bool GetDeviceJWT(uint32_t serial, std::string& token, const std::string& url) {
    return GetDeviceJWT(serial, token, url.c_str());
  }
  // The fingerprint as four words in an array or as a chip's Fingerprint.
  static bool GetRecoveryInfo(const std::array<uint32_t, 4>& fingerprint, uint32_t& serial, uint32_t& build,
                              const char* url) {
    return GetRecoveryInfo(fingerprint.data(), serial, build, url);
  }
  static bool GetRecoveryInfo(const std::array<uint32_t, 4>& fingerprint, uint32_t& serial, uint32_t& build,
                              const std::string& url) {
    return GetRecoveryInfo(fingerprint.data(), serial, build, url.c_str());
  }
  static bool GetRecoveryInfo(const Fingerprint& fingerprint, uint32_t& serial, uint32_t& build, const char* url);
  static bool GetRecoveryInfo(const Fingerprint& fingerprint, uint32_t& serial, uint32_t& build,
                              const std::string& url) {
    return GetRecoveryInfo(fingerprint, serial, build, url.c_str());
  }
};

// The answer parsers behind the requests, apart from the transport so that
// they can be tested and fuzzed on their own. Each takes a body that already
// came with status 200; `op` names the request in the diagnostic log.
namespace UpdateServerAnswer {
// The body's lines, split at line feeds; empty lines vanish.
std::vector<std::string> Lines(const std::string& body);
// Whether the lines form an accepted answer: a first line beginning with "ok".
bool IsOk(const std::vector<std::string>& lines);
// Fields of QueryBuild: line 2 the build, line 3 (cut at CR/LF) the version.
bool QueryBuild(const std::string& body, std::string& build, std::string& version);
// Fields of GetBuildList into `builds` (not emptied here).
bool BuildList(const std::string& body, std::map<std::string, std::string>& builds, const char* op);
// Fields of GetRecoveryInfo: line 2 the serial (hexadecimal), line 3 the build
// (decimal, "0x" hexadecimal or leading-0 octal).
bool RecoveryInfo(const std::string& body, uint32_t& serial, uint32_t& build, const char* op);
// Line 2 as a token of three dot-separated parts of at least 2 characters.
bool DeviceJWT(const std::string& body, std::string& token, const char* op);
}  // namespace UpdateServerAnswer
