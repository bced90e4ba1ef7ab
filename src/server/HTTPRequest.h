#pragma once
// One HTTP GET to the update server over libcurl's easy interface.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <type_traits>

// The answer to one GET: the URL that was requested, the status and the body.
class HTTPResponse {
 public:
  explicit HTTPResponse(std::string url) : request(std::move(url)) {}

  const std::string& get_response() const { return response; }
  int64_t get_status() const { return status; }
  const std::string& get_request() const { return request; }
  void set_status(int64_t code) { status = code; }
  // Appends received bytes to the body.
  void process(const char* data, size_t length) { response.append(data, length); }
  template <class Byte>
    requires(sizeof(Byte) == 1 && !std::is_same_v<Byte, char>)
  void process(const Byte* data, size_t length) {
    process(reinterpret_cast<const char*>(data), length);
  }

 private:
  std::string request;
  int64_t status = 0;
  std::string response;
};

class HTTPRequest {
 public:
  // Connecting may take this long before the request fails.
  static constexpr std::chrono::seconds CONNECT_TIMEOUT{15};
  // A transfer during which no byte arrives for this long fails, so a server
  // that accepts the connection and never answers cannot hold the program.
  static constexpr std::chrono::seconds STALL_TIMEOUT{60};
  // A body larger than this is refused: no answer of the update server comes
  // near it, and an endless body must not exhaust memory.
  static constexpr size_t MAX_BODY = 64u * 1024u * 1024u;

  // GETs url + "?" + "name=value&" for every parameter in key order (unescaped
  // but for blanks, control and non-ASCII bytes and "#", which go as "%XX";
  // trailing "&" kept; no "?" when there are none). Any HTTP status is a
  // response; a transport failure throws std::runtime_error with libcurl's text.
  // The server's certificate is verified (host and chain) for https URLs.
  static HTTPResponse GET(const std::string& url, const std::map<std::string, std::string>& parameters);

  // The full URL that GET requests for these parameters.
  static std::string BuildURL(const std::string& url, const std::map<std::string, std::string>& parameters);

  // Shortens the two time-outs (tests); zero restores the defaults.
  static void SetTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds stall);
};
