// Firmware acquisition: server build lists, JWTs, downloads into the local
// store and the local build list, and loading a BIRD file for an update.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <stdexcept>
#include <thread>

#include "app/Log.h"
#include "app/Updater.h"
#include "common/aDirectory.h"
#include "server/UpdateServerRequest.h"
#include "server/base64.h"
#include "store/BirdFile.h"
#include "store/KeyValueStore.h"
#include "store/UpdaterStore.h"

namespace {

// The spinner's frame period while a download runs.
constexpr std::chrono::milliseconds SPINNER_PERIOD{100};

// A build number: decimal digits only, within 32 bits.
bool _parse_build(const std::string& text, uint32_t& build) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (value > 0xFFFFFFFFull) return false;
  build = static_cast<uint32_t>(value);
  return true;
}

// A build number from a server answer, read as a decimal conversion reads it:
// leading white space and a "+" are passed over, then the leading digits
// count (a line may carry a trailing blank or carriage return). Text without
// such digits, or a number beyond 32 bits, is logged and gives 0.
uint32_t _build_or_zero(const std::string& text) {
  size_t start = text.find_first_not_of(" \t\r\n\v\f");
  if (start != std::string::npos && text[start] == '+') ++start;
  size_t digits = start == std::string::npos ? 0 : start;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  uint32_t build = 0;
  if (start == std::string::npos || digits == start || !_parse_build(text.substr(start, digits - start), build)) {
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
    return 0;
  }
  return build;
}

}  // namespace

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& directory,
                                                  const char* caller) {
  try {
    return std::make_unique<UpdaterStore>(directory);
  } catch (const std::runtime_error& e) {
    display.message(UpdaterDisplayInterface::Error, "Failed to Create UpdaterStore in: %s - Exception: %s", caller,
                    e.what());
    return nullptr;
  }
}

bool _valid_build(uint32_t serial, uint32_t build, const char* server_url) {
  std::map<std::string, std::string> builds;
  if (!UpdateServerRequest::GetBuildList(serial, builds, server_url)) return false;
  for (const auto& entry : builds) {
    if (_build_or_zero(entry.first) == build) return true;
  }
  return false;
}

uint32_t Updater::Download_Firmware(uint32_t serial, std::string build_text, bool override, bool no_cal) {
  uint32_t build = 0;
  if (!build_text.empty() && !_parse_build(build_text, build)) {
    display.message(UpdaterDisplayInterface::Error, "Build number '%s' must be an number", build_text.c_str());
    return 0;
  }
  if (serial == 0) {
    display.message(UpdaterDisplayInterface::Error, "Serial Number must be non-zero");
    return 0;
  }
  const char* url = server_url.c_str();
  if (!UpdateServerRequest::ping(url)) {
    display.message(UpdaterDisplayInterface::Error, "Server request failed for %s", url);
    return 0;
  }
  auto store = _createUpdaterStore(display, updater_directory, "Download_Firmware");
  if (!store) return 0;

  UpdaterStoreItem item;
  if (!store->FindDevice(serial, item)) {
    Log::log(DEBUG_APP, "Could not find device in our update history.\n");
    try {
      item = store->AddDevice(serial);
    } catch (const std::runtime_error&) {
      display.message(UpdaterDisplayInterface::Error, "Could not create directory for storing BIRD file");
      return 0;
    }
  }

  std::string latest, firmware;
  if (!UpdateServerRequest::QueryBuild(serial, latest, firmware, url)) {
    display.message(UpdaterDisplayInterface::Error, "No build information for device");
    return 0;
  }
  if (build == 0) build = _build_or_zero(latest);
  // Build 0 names no build: the server's answer gave no usable latest build.
  if (build == 0) {
    display.message(UpdaterDisplayInterface::Error, "No build information for device");
    return 0;
  }

  display.message(UpdaterDisplayInterface::Info, "Retrieving build %u", build);
  if (!override) {
    display.message(UpdaterDisplayInterface::Info, "Validating build %u with server", build);
    if (!_valid_build(serial, build, url)) {
      display.message(UpdaterDisplayInterface::Error, "No valid build %u", build);
      return 0;
    }
    display.message(UpdaterDisplayInterface::Info, "Build %u is valid", build);
  } else {
    display.message(UpdaterDisplayInterface::Info, "Override specified, skipping validation of build %u", build);
  }

  // The request runs on a worker while this thread turns the spinner. The
  // worker writes only `bird` and the promise; `bird` is read after the join.
  const std::string build_str = std::to_string(build);
  std::string bird;
  std::promise<bool> result;
  std::future<bool> done = result.get_future();
  std::thread worker([serial, firmware, build_str, &bird, url_copy = server_url, no_cal, &result] {
    bool ok = false;
    try {
      ok = UpdateServerRequest::GetBuild(serial, firmware, build_str, bird, url_copy.c_str(), no_cal);
    } catch (const std::exception& e) {
      Log::log(DEBUG_APP, "Download worker: %s\n", e.what());
    }
    result.set_value(ok);
  });
  display.update_spinner(true, "Downloading");
  while (done.wait_for(SPINNER_PERIOD) != std::future_status::ready) display.update_spinner(true, "Downloading");
  display.update_spinner(false, "Downloading");
  bool ok = done.get();
  worker.join();
  if (!ok) display.message(UpdaterDisplayInterface::Error, "Download failed");

  if (bird.empty()) {
    display.message(UpdaterDisplayInterface::Error, "Failed to retrieve a valid BIRD file");
    return 0;
  }

  // Text that does not decode, bytes that do not load as a BIRD file, or a
  // file that cannot be written is a failed download: nothing is recorded and
  // no file is left. The bytes are checked under a hidden name first so a
  // good earlier copy of the same build is only replaced by a good one.
  const std::string file_name = build_str + ".bird";
  size_t size = 0;
  unsigned char* bytes = base64_decode(bird.data(), bird.size(), &size);
  if (bytes == nullptr) {
    display.message(UpdaterDisplayInterface::Error, "Download failed: build %u did not arrive as Base64 text", build);
    return 0;
  }
  const std::string part_name = "." + file_name + ".download";
  aErr err = item.WriteFile(part_name, bytes, size);
  std::free(bytes);
  const std::string part_path = BuildPath(item.basePath, item.name, part_name);
  const std::string final_path = BuildPath(item.basePath, item.name, file_name);
  if (err != aErrNone) {
    display.message(UpdaterDisplayInterface::Error, "Failed to write file with %d", static_cast<int>(err));
    std::remove(part_path.c_str());
    return 0;
  }
  bool loads = false;
  if (BirdFile::VerifyFile(part_path)) {
    try {
      BirdFile check(part_path);
      loads = true;
    } catch (const std::runtime_error& e) {
      Log::log(DEBUG_Updater, "Downloaded build %u: %s\n", build, e.what());
    }
  }
  if (!loads) {
    std::remove(part_path.c_str());
    display.message(UpdaterDisplayInterface::Error, "Download failed: build %u is not a valid BIRD file", build);
    return 0;
  }
  if (std::rename(part_path.c_str(), final_path.c_str()) != 0) {
    display.message(UpdaterDisplayInterface::Error, "Failed to write file with %d", static_cast<int>(aErrIO));
    std::remove(part_path.c_str());
    return 0;
  }

  item.settings.Add("LATEST_DOWNLOAD", file_name);
  item.settings.Add("LAST_DOWNLOAD_DATE", KeyValueStore::TimeText());
  item.settings.Save(BuildPath(item.basePath, item.name, KeyValueStore::DEFAULT_FILENAME));
  if (item.settings.IsDirty()) {
    // The file is in place, but without the record an update would not pick it.
    display.message(UpdaterDisplayInterface::Error, "Could not record the download of build %u in %s", build,
                    item.settings.Filename().c_str());
    return 0;
  }
  return build;
}

uint32_t Updater::Download_Firmware(Fingerprint fingerprint, std::string build_text, bool override) {
  uint32_t build = _build_or_zero(build_text);
  uint32_t serial = 0, server_build = 0;
  if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, serial, server_build, server_url.c_str())) {
    display.message(UpdaterDisplayInterface::Error,
                    "Failed to retrieve recovery information from Corvanex update server");
    return 0;
  }
  if (build == 0) build = server_build;
  return Download_Firmware(serial, std::to_string(build), override, false);
}

std::map<std::string, std::string> Updater::Get_BuildList(uint32_t serial) {
  last_request_failed = false;
  std::map<std::string, std::string> builds;
  if (!UpdateServerRequest::ping(server_url.c_str())) {
    display.message(UpdaterDisplayInterface::Error, "Server request failed for %s", server_url.c_str());
    last_request_failed = true;
    return builds;
  }
  if (!UpdateServerRequest::GetBuildList(serial, builds, server_url.c_str())) {
    display.message(UpdaterDisplayInterface::Error, "Failed to retrieve builds for %08X", serial);
    last_request_failed = true;
    builds.clear();
  }
  return builds;
}

std::string Updater::Get_JWT(uint32_t serial) {
  last_request_failed = false;
  std::string token;
  if (!UpdateServerRequest::ping(server_url.c_str())) {
    display.message(UpdaterDisplayInterface::Error, "Server request failed for %s", server_url.c_str());
    last_request_failed = true;
    return token;
  }
  if (!UpdateServerRequest::GetDeviceJWT(serial, token, server_url.c_str())) {
    display.message(UpdaterDisplayInterface::Error, "Failed to retrieve jwt for %08X", serial);
    last_request_failed = true;
    token.clear();
  }
  return token;
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(uint32_t serial) {
  last_request_failed = false;
  std::map<std::string, std::string> builds;
  auto store = _createUpdaterStore(display, updater_directory, "Get_BuildListLocal");
  if (!store) {
    last_request_failed = true;
    return builds;
  }
  std::vector<UpdaterStoreItem> items;
  store->FindLocalBuilds(serial, items);
  for (const auto& item : items) {
    std::string key = item.name.substr(0, item.name.find(".bird"));
    std::string value;
    if (item.IsValid()) {
      const std::string path = BuildPath(item.basePath, item.name);
      if (BirdFile::VerifyFile(path)) {
        // A file that starts like a BIRD file but does not load is listed
        // with an empty version; the listing goes on.
        try {
          BirdFile bird(path);
          std::string version = bird.GetVersion();
          if (!version.empty()) {
            Log::log(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: %s\n", path.c_str(), version.c_str());
            value = version;
          }
        } catch (const std::runtime_error& e) {
          Log::log(DEBUG_Updater, "Could not load birdfile: %s - %s\n", path.c_str(), e.what());
        }
      } else {
        Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
      }
    }
    builds.emplace(key, value);
  }
  return builds;
}

BirdFile Updater::load_bird(const char* label, std::string bird_file, uint32_t serial, uint32_t build,
                            bool download_if_missing) {
  auto store = _createUpdaterStore(display, updater_directory, "load_bird");
  if (!store) return BirdFile();
  if (!bird_file.empty()) {
    display.message(UpdaterDisplayInterface::Info, "%s from Birdfile: %s", label, bird_file.c_str());
    return BirdFile(bird_file);
  }
  UpdaterStoreItem item = store->AddDevice(serial);
  display.message(UpdaterDisplayInterface::Info, "%s firmware with build: %u", label, build);
  const std::string file_name = std::to_string(build) + ".bird";
  try {
    return item.ReadBirdFile(file_name);
  } catch (const std::runtime_error&) {
    if (!download_if_missing) throw std::runtime_error("Error reading birdfile");
  }
  display.message(UpdaterDisplayInterface::Info, "Downloading firmware build %u", build);
  Download_Firmware(serial, std::to_string(build), false, false);
  return item.ReadBirdFile(file_name);
}
