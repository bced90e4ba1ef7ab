#include "server/UpdateServerRequest.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>

#include "app/Log.h"
#include "app/Updater.h"
#include "common/aVersion.h"
#include "server/HTTPRequest.h"

using Params = std::map<std::string, std::string>;

namespace {

std::string _hex8(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

// Cuts a line at its first carriage return or line feed.
std::string _cut(const std::string& line) { return line.substr(0, line.find_first_of("\r\n")); }

// Splits at any of the delimiter characters; empty pieces vanish.
std::vector<std::string> _tokens(const std::string& text, const char* delims) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t start = text.find_first_not_of(delims, pos);
    if (start == std::string::npos) break;
    size_t end = text.find_first_of(delims, start);
    if (end == std::string::npos) end = text.size();
    out.push_back(text.substr(start, end - start));
    pos = end;
  }
  return out;
}

// The common course of every request: GET, status 200, first line "ok". On
// success `body` holds the answer.
bool _request(const char* op, const char* url, const Params& params, std::string& body, bool isPing = false) {
  const char* address = url ? url : UpdateServerRequest::default_url;
  try {
    HTTPResponse response = HTTPRequest::GET(address, params);
    if (response.get_status() != 200) {
      if (isPing)
        Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(response.get_status()),
                 response.get_response().c_str());
      else
        Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", op, static_cast<int>(response.get_status()),
                 response.get_response().c_str());
      return false;
    }
    if (!UpdateServerAnswer::IsOk(UpdateServerAnswer::Lines(response.get_response()))) {
      Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", op, response.get_request().c_str());
      return false;
    }
    body = response.get_response();
    return true;
  } catch (const std::exception& e) {
    Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", op, e.what());
    return false;
  }
}

// A version as the three 8-bit parts it stands for: each part converted as
// std::stoi does (leading blanks, a sign, leading digits), then taken modulo
// 256. Nothing when the text does not have three parts or a part is not a
// number.
using VersionKey = std::optional<std::array<uint8_t, 3>>;

VersionKey _versionKey(const std::string& version) {
  auto parts = UpdateServerRequest::SplitTessarionVersion(version);
  if (parts.size() != 3) return std::nullopt;
  std::array<uint8_t, 3> key{};
  try {
    for (size_t i = 0; i < 3; ++i) key[i] = static_cast<uint8_t>(std::stoi(parts[i]));
  } catch (const std::exception& e) {
    Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion", e.what());
    return std::nullopt;
  }
  return key;
}

}  // namespace

namespace UpdateServerAnswer {

std::vector<std::string> Lines(const std::string& body) { return _tokens(body, UpdateServerRequest::delimiters); }

bool IsOk(const std::vector<std::string>& lines) { return !lines.empty() && lines[0].compare(0, 2, "ok") == 0; }

bool QueryBuild(const std::string& body, std::string& build, std::string& version) {
  auto lines = Lines(body);
  if (!IsOk(lines)) return false;
  if (lines.size() > 1) build = lines[1];
  if (lines.size() > 2) version = _cut(lines[2]);
  return true;
}

bool BuildList(const std::string& body, std::map<std::string, std::string>& builds, const char* op) {
  auto lines = Lines(body);
  if (!IsOk(lines)) return false;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.size() < 3) continue;
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", op, line.c_str());
    auto parts = _tokens(line, ";\r\n");
    if (parts.empty()) continue;
    std::string build = parts[0];
    std::string version = parts.size() > 1 ? parts[1] : std::string();
    builds.emplace(build, version);  // the first line for a build wins
    Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", op, build.c_str(), version.c_str());
  }
  return true;
}

bool RecoveryInfo(const std::string& body, uint32_t& serial, uint32_t& build, const char* op) {
  auto lines = Lines(body);
  if (!IsOk(lines)) return false;
  Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", op, lines[0].c_str(),
           lines.size() > 1 ? lines[1].c_str() : "", lines.size() > 2 ? lines[2].c_str() : "");
  if (lines.size() > 1) serial = static_cast<uint32_t>(std::strtoul(lines[1].c_str(), nullptr, 16));
  if (lines.size() > 2) build = static_cast<uint32_t>(std::strtoul(lines[2].c_str(), nullptr, 0));
  return true;
}

bool DeviceJWT(const std::string& body, std::string& token, const char* op) {
  auto lines = Lines(body);
  if (!IsOk(lines)) return false;
  if (lines.size() < 2 || lines[1].size() <= 2) return false;
  const std::string& line = lines[1];
  Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", op, line.c_str());
  size_t dot1 = line.find('.');
  if (dot1 == std::string::npos) return false;
  size_t dot2 = line.find('.', dot1 + 1);
  if (dot2 == std::string::npos) return false;
  std::string header = line.substr(0, dot1);
  std::string payload = line.substr(dot1 + 1, dot2 - dot1 - 1);
  std::string signature = _cut(line.substr(dot2 + 1));
  if (header.size() < 2 || payload.size() < 2 || signature.size() < 2) return false;
  token = header + "." + payload + "." + signature;
  return true;
}

}  // namespace UpdateServerAnswer

bool UpdateServerRequest::ping(const char* url) {
  std::string body;
  return _request("ping", url, {{"op", "hi"}, {"rv", "2"}}, body, true);
}

bool UpdateServerRequest::QueryBuild(uint32_t serial, std::string& build, std::string& version, const char* url) {
  std::string body;
  if (!_request("QueryBuild", url, {{"op", "qu"}, {"sn", _hex8(serial)}}, body)) return false;
  return UpdateServerAnswer::QueryBuild(body, build, version);
}

bool UpdateServerRequest::GetBuild(uint32_t serial, const std::string& firmware, const std::string& build,
                                   std::string& bird, const char* url, bool no_cal) {
  std::string body;
  Params params{{"op", "bird"},
                {"sn", _hex8(serial)},
                {"fw", firmware},
                {"bld", build},
                {"no_cal", no_cal ? "true" : "false"}};
  if (!_request("GetBuild", url, params, body)) return false;
  auto lines = UpdateServerAnswer::Lines(body);
  bird = lines.size() > 1 ? lines[1] : std::string();
  return true;
}

bool UpdateServerRequest::GetBuildList(uint32_t serial, std::map<std::string, std::string>& builds,
                                       const char* url) {
  builds.clear();
  std::string body;
  if (!_request("GetBuildList", url, {{"op", "builds"}, {"sn", _hex8(serial)}}, body)) return false;
  return UpdateServerAnswer::BuildList(body, builds, "GetBuildList");
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t fingerprint[4], uint32_t& serial, uint32_t& build,
                                          const char* url) {
  // The server reads each "%20" as a blank between the words.
  char fp[64];
  std::snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1], fingerprint[2],
                fingerprint[3]);
  std::string body;
  if (!_request("GetRecoveryInfo", url, {{"op", "fix"}, {"fp", fp}, {"brief", "true"}}, body)) return false;
  return UpdateServerAnswer::RecoveryInfo(body, serial, build, "GetRecoveryInfo");
}

bool UpdateServerRequest::GetRecoveryInfo(const Fingerprint& fingerprint, uint32_t& serial, uint32_t& build,
                                          const char* url) {
  return GetRecoveryInfo(fingerprint.words, serial, build, url);
}

bool UpdateServerRequest::GetDeviceJWT(uint32_t serial, std::string& token, const char* url) {
  std::string body;
  if (!_request("GetDeviceJWT", url, {{"op", "ent_jwt"}, {"sn", _hex8(serial)}, {"json", "false"}}, body))
    return false;
  return UpdateServerAnswer::DeviceJWT(body, token, "GetDeviceJWT");
}

UpdateServerList<std::string> UpdateServerRequest::SplitTessarionVersion(const std::string& version) {
  UpdateServerList<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t dot = version.find('.', start);
    parts.push_back(version.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
    if (parts.size() > 3) break;
  }
  if (parts.size() != 3) parts.clear();
  return parts;
}

UpdateServerList<std::pair<std::string, std::string>> UpdateServerRequest::SortBuildsByVersion(
    const std::map<std::string, std::string>& builds) {
  // Each version is converted once.
  struct Entry {
    std::pair<std::string, std::string> pair;
    VersionKey key;
  };
  std::vector<Entry> entries;
  entries.reserve(builds.size());
  for (const auto& pair : builds) entries.push_back({pair, _versionKey(pair.second)});
  // a goes first when b is not at least a: higher versions first. Entries
  // that are not a version go after every valid one; entries that compare
  // equal (equal versions, or both not a version) keep build order, so the
  // order is a strict weak ordering and the result is well defined.
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    if (a.key && b.key) {
      const auto& x = *a.key;
      const auto& y = *b.key;
      return !aVersion_IsAtLeastCompare(y[0], y[1], y[2], x[0], x[1], x[2]);
    }
    return a.key.has_value() && !b.key.has_value();
  });
  UpdateServerList<std::pair<std::string, std::string>> out;
  out.reserve(entries.size());
  for (auto& e : entries) out.push_back(std::move(e.pair));
  return out;
}
