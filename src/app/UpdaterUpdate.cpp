// Firmware update of a running module through its loader.
//
// Not yet provided in this build: the operation says so and fails.
#include "app/Updater.h"

bool Updater::Update_Firmware(uint32_t, uint32_t, std::string, uint8_t, uint32_t, bool) {
  display.message(UpdaterDisplayInterface::Error, "Firmware update is not available in this build");
  return false;
}
