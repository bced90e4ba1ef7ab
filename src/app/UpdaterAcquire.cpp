// Firmware acquisition: server build lists, JWTs, downloads into the local
// store and the local build list.
//
// Not yet provided in this build: every operation says so and returns its
// failure value, so no command can report success without doing its work.
#include "app/Updater.h"

uint32_t Updater::Download_Firmware(uint32_t, std::string, bool, bool) {
  display.message(UpdaterDisplayInterface::Error, "Firmware download is not available in this build");
  return 0;
}

uint32_t Updater::Download_Firmware(Fingerprint, std::string, bool) {
  display.message(UpdaterDisplayInterface::Error,
                  "Firmware download by fingerprint is not available in this build");
  return 0;
}

std::map<std::string, std::string> Updater::Get_BuildList(uint32_t) {
  last_request_failed = true;
  display.message(UpdaterDisplayInterface::Error, "Listing server builds is not available in this build");
  return {};
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(uint32_t) {
  last_request_failed = true;
  display.message(UpdaterDisplayInterface::Error, "Listing local builds is not available in this build");
  return {};
}

std::string Updater::Get_JWT(uint32_t) {
  last_request_failed = true;
  display.message(UpdaterDisplayInterface::Error, "Fetching a device JWT is not available in this build");
  return {};
}
