#include "server/HTTPRequest.h"

#include <curl/curl.h>

#include <atomic>
#include <mutex>
#include <stdexcept>

#include "app/Log.h"

namespace {

std::atomic<long long> g_connectMs{0};
std::atomic<long long> g_stallMs{0};

// State of one transfer, seen by libcurl's callbacks.
struct Transfer {
  HTTPResponse* response;
  std::chrono::steady_clock::time_point lastByte;
  std::chrono::milliseconds stall;
  bool stalled = false;
  bool tooLarge = false;
};

size_t _rcv_data(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  size_t n = size * count;
  Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.100s]\n", static_cast<int>(size),
           static_cast<int>(count), static_cast<unsigned>(reinterpret_cast<uintptr_t>(t->response)),
           std::string(data, n < 100 ? n : 100).c_str());
  t->lastByte = std::chrono::steady_clock::now();
  if (t->response->get_response().size() + n > HTTPRequest::MAX_BODY) {
    t->tooLarge = true;
    return 0;  // makes libcurl end the transfer with a write error
  }
  t->response->process(data, n);
  Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(n));
  return n;
}

size_t _rcv_header(char*, size_t size, size_t count, void* user) {
  static_cast<Transfer*>(user)->lastByte = std::chrono::steady_clock::now();
  return size * count;
}

// Called by libcurl about once a second even while nothing arrives; ends a
// transfer that has been silent for longer than the stall time-out.
int _progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* t = static_cast<Transfer*>(user);
  if (std::chrono::steady_clock::now() - t->lastByte > t->stall) {
    t->stalled = true;
    return 1;
  }
  return 0;
}

void _global_init() {
  // curl_global_init is not thread-safe; the download calls GET on a worker.
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::chrono::milliseconds _connectTimeout() {
  long long ms = g_connectMs.load();
  return ms > 0 ? std::chrono::milliseconds(ms) : std::chrono::milliseconds(HTTPRequest::CONNECT_TIMEOUT);
}

std::chrono::milliseconds _stallTimeout() {
  long long ms = g_stallMs.load();
  return ms > 0 ? std::chrono::milliseconds(ms) : std::chrono::milliseconds(HTTPRequest::STALL_TIMEOUT);
}

}  // namespace

void HTTPRequest::SetTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds stall) {
  g_connectMs.store(connect.count());
  g_stallMs.store(stall.count());
}

namespace {

// Names and values go into the URL as they are, "&" and "%" included, except
// blanks, control characters and bytes above 0x7E, which no request line can
// carry (libcurl refuses such a URL), and "#", which would end the query
// there and drop every later parameter. These travel as "%XX", which the
// server reads back as the same byte.
void _append(std::string& out, const std::string& text) {
  static const char hex[] = "0123456789ABCDEF";
  for (unsigned char c : text) {
    if (c <= 0x20 || c >= 0x7F || c == '#') {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0xF];
    } else {
      out += static_cast<char>(c);
    }
  }
}

}  // namespace

std::string HTTPRequest::BuildURL(const std::string& url, const std::map<std::string, std::string>& parameters) {
  std::string full = url;
  if (!parameters.empty()) full += "?";
  for (const auto& [name, value] : parameters) {
    _append(full, name);
    full += "=";
    _append(full, value);
    full += "&";
  }
  return full;
}

HTTPResponse HTTPRequest::GET(const std::string& url, const std::map<std::string, std::string>& parameters) {
  _global_init();
  CURL* curl = curl_easy_init();
  std::string full = BuildURL(url, parameters);
  HTTPResponse response(full);
  if (!curl) throw std::runtime_error("Could not create curl instance");

  Transfer transfer{&response, std::chrono::steady_clock::now(), _stallTimeout()};
  CURLcode rc = CURLE_OK;
  auto set = [&](auto option, auto value) {
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, option, value);
  };
  set(CURLOPT_WRITEFUNCTION, _rcv_data);
  set(CURLOPT_WRITEDATA, &transfer);
  set(CURLOPT_URL, full.c_str());
  // The certificate chain and host are checked: firmware comes over this
  // connection, and an unchecked peer could substitute it.
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  // Off is libcurl's default; a libcurl without status checking refuses the
  // option even then, which must not fail every request.
  if (rc == CURLE_OK) {
    CURLcode status_rc = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYSTATUS, 0L);
    if (status_rc != CURLE_NOT_BUILT_IN) rc = status_rc;
  }
  // Every wait has a bound: the connection and any silence in the transfer.
  set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(_connectTimeout().count()));
  set(CURLOPT_HEADERFUNCTION, _rcv_header);
  set(CURLOPT_HEADERDATA, &transfer);
  set(CURLOPT_XFERINFOFUNCTION, _progress);
  set(CURLOPT_XFERINFODATA, &transfer);
  set(CURLOPT_NOPROGRESS, 0L);
  // No signals: GET runs on a worker thread, and name look-up time-outs would
  // otherwise use SIGALRM.
  set(CURLOPT_NOSIGNAL, 1L);

  long status = 0;
  if (rc == CURLE_OK) {
    Log::log(DEBUG_ServerComm, "GET(%s)\n", full.c_str());
    transfer.lastByte = std::chrono::steady_clock::now();
    rc = curl_easy_perform(curl);
  }
  if (rc == CURLE_OK) rc = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);

  if (rc != CURLE_OK) {
    if (transfer.stalled) {
      long long ms = transfer.stall.count();
      throw std::runtime_error("No data from the server for " +
                               (ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms"));
    }
    if (transfer.tooLarge)
      throw std::runtime_error("Answer larger than " + std::to_string(MAX_BODY) + " bytes");
    throw std::runtime_error(curl_easy_strerror(rc));
  }
  response.set_status(status);
  return response;
}
