// Discovery and listing of modules.
//
// Not yet provided in this build: the discovery operations say so and return
// an empty list. The table printer is complete.
// (Compiled once discovery provides common/discover.h.)
#include "app/Updater.h"

#if UPDATER_HAS_DISCOVERY
std::vector<DeviceInfo> Updater::Discover_Devices(uint32_t) {
  last_request_failed = true;
  display.message(UpdaterDisplayInterface::Error, "Device discovery is not available in this build");
  return {};
}

std::vector<DeviceInfo> Updater::Discover_TSNetwork_Devices(uint32_t, uint32_t) {
  last_request_failed = true;
  display.message(UpdaterDisplayInterface::Error,
                  "Network device discovery is not available in this build");
  return {};
}
#endif

#if UPDATER_HAS_DISCOVERY
#include <cstring>

namespace {
constexpr size_t IP_ADDRESS_OFFSET = 24;  // of the transport area in the 128-byte wire record
}

void _display_device_list(UpdaterDisplayInterface& display, std::vector<DeviceInfo>& list, uint32_t type) {
  const char* name = type == 1 ? "USB" : type == 2 ? "TCPIP" : "Unknown";
  display.message(UpdaterDisplayInterface::Info, "Discovered Devices: (%s)", name);
  if (list.empty()) {
    display.message(UpdaterDisplayInterface::Info, "    No devices found.");
    return;
  }
  if (type == 1)
    display.message(UpdaterDisplayInterface::Info,
                    "    Device    Module   Router  Model          Firmware Version (Build)");
  else
    display.message(UpdaterDisplayInterface::Info,
                    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]");
  for (const DeviceInfo& d : list) {
    if (d.spec.type == 2) {
      uint8_t ip[4];
      memcpy(ip, reinterpret_cast<const uint8_t*>(&d.spec) + IP_ADDRESS_OFFSET, sizeof ip);
      char ipText[20];
      snprintf(ipText, sizeof ipText, "[%d.%d.%d.%d]", ip[0], ip[1], ip[2], ip[3]);
      display.message(UpdaterDisplayInterface::Info, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u) %s",
                      d.spec.serialNumber, d.spec.module, d.spec.router, d.modelName.c_str(), d.major,
                      d.minor, d.patch, d.build, ipText);
    } else if (d.error != 0) {
      display.message(UpdaterDisplayInterface::Info,
                      "    %08X  [Error (%d): Is someone else connected to this device?]",
                      d.spec.serialNumber, static_cast<int>(d.error));
    } else {
      display.message(UpdaterDisplayInterface::Info, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u)",
                      d.spec.serialNumber, d.spec.module, d.spec.router, d.modelName.c_str(), d.major,
                      d.minor, d.patch, d.build);
    }
  }
}
#endif
