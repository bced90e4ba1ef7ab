// Chip fingerprints and recovery through the boot ROM.
//
// Not yet provided in this build: the operations say so and fail.
#include "app/Updater.h"

bool Updater::Get_Fingerprint(Fingerprint&, std::string, uint32_t, std::string, uint32_t, bool) {
  display.message(UpdaterDisplayInterface::Error,
                  "Reading a chip fingerprint is not available in this build");
  return false;
}

bool Updater::Recover_Firmware(std::string, uint32_t, uint32_t, uint32_t, std::string, bool) {
  display.message(UpdaterDisplayInterface::Error, "Firmware recovery is not available in this build");
  return false;
}
