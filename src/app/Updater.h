#pragma once
// The one object through which main runs every command. Its operations are
// split by group into UpdaterDiscover.cpp, UpdaterAcquire.cpp,
// UpdaterUpdate.cpp and UpdaterRecover.cpp; construction lives in Updater.cpp.
//
// Operations report to the user only through the display and return a plain
// result: bool, a number (0 meaning failure) or a container (empty on failure).
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"
#include "common/aError.h"

// Discovery's link types and specifiers. Until discovery is in the tree
// DeviceInfo stays incomplete, the discovery operations are declared but not
// defined, and main reports -D as unavailable.
#if __has_include("common/discover.h")
#include "common/discover.h"
#define UPDATER_HAS_DISCOVERY 1
#else
#define UPDATER_HAS_DISCOVERY 0
#endif

class BirdFile;      // store/BirdFile.h
class UpdaterStore;  // store/UpdaterStore.h
namespace Corvanex::Tessarion {
class Module;  // module/Module.h
}

// Four 32-bit words that identify a chip; printed word 0 first.
struct Fingerprint {
  uint32_t words[4] = {0, 0, 0, 0};
};

// The serial number under which a module without its own serial number (a
// freshly started recovery or live loader) answers.
constexpr uint32_t DEFAULT_SERIAL_NUMBER = 0xACCFABBE;

#if UPDATER_HAS_DISCOVERY
// One discovered module as listed by -D.
struct DeviceInfo {
  linkSpec spec{};          // the module's link specifier
  uint16_t address = 0;     // bus address of a routed module; 0 for discovered ones
  uint32_t build = 0;       // firmware build; 0 when reading it failed
  uint8_t major = 0;        // firmware version parts
  uint8_t minor = 0;
  uint32_t patch = 0;
  std::string modelName;    // name of the model code
  uint32_t error = 0;       // aErr: first error met while connecting or reading
};
#else
struct DeviceInfo;
#endif

class Updater {
 public:
  Updater(const char* server_url, const char* updater_directory, UpdaterDisplayInterface& display);
  ~Updater();
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  // Chooses the block-transfer method of the loader (UEI byte arrays when the
  // module supports them).
  void Set_UEIBytes_Load(bool use);

  // --- discovery (UpdaterDiscover.cpp); `type` is a linkType (1 USB, 2 TCPIP)
  // Type 0 means USB and then TCPIP.
  std::vector<DeviceInfo> Discover_Devices(uint32_t type);
  // Modules on the I2C bus behind a routing module; type 0 finds the router's
  // link type first.
  std::vector<DeviceInfo> Discover_TSNetwork_Devices(uint32_t routerSerial, uint32_t type);

  // --- firmware acquisition (UpdaterAcquire.cpp)
  // The build number downloaded into the store, 0 on failure. An empty build
  // text asks for the latest build.
  uint32_t Download_Firmware(uint32_t serial, std::string build, bool override, bool no_cal);
  uint32_t Download_Firmware(Fingerprint fingerprint, std::string build, bool override);
  // Build text to version text; empty on failure (see Last_Request_Failed).
  std::map<std::string, std::string> Get_BuildList(uint32_t serial);
  std::map<std::string, std::string> Get_BuildListLocal(uint32_t serial);
  // The device's token; empty on failure.
  std::string Get_JWT(uint32_t serial);
  // From the path when bird_file is given, else build + ".bird" from the
  // device's store folder (downloaded first when missing and allowed).
  // Throws std::runtime_error when the file cannot be read.
  BirdFile load_bird(const char* label, std::string bird_file, uint32_t serial, uint32_t build,
                     bool download_if_missing);

  // --- firmware update (UpdaterUpdate.cpp)
  // build 0 lets the operation choose; empty bird_file takes the build from the
  // store; module_address 0 means unknown; router 0 means a direct connection.
  bool Update_Firmware(uint32_t serial, uint32_t build, std::string bird_file, uint8_t module_address,
                       uint32_t router, bool override);

  // --- recovery and fingerprint (UpdaterRecover.cpp)
  bool Get_Fingerprint(Fingerprint& fp, std::string port, uint32_t serial, std::string bird_file,
                       uint32_t baud, bool reset_after);
  // override is accepted and not used.
  bool Recover_Firmware(std::string port, uint32_t build, uint32_t baud, uint32_t serial,
                        std::string bird_file, bool override);

  // True when the last operation that answers with a container or text
  // (Get_BuildList, Get_BuildListLocal, Get_JWT, Discover_Devices,
  // Discover_TSNetwork_Devices) failed as a whole, as opposed to succeeding
  // with an empty answer, so that main can give a failing exit status
  // instead of reporting a failed request as success. Each of those
  // operations clears it at its start and sets it on failure.
  bool Last_Request_Failed() const { return last_request_failed; }

  const std::string& Server_URL() const { return server_url; }
  const std::string& Updater_Directory() const { return updater_directory; }
  UpdaterDisplayInterface& Display() const { return display; }
  uint8_t Chip_Kind() const { return chip_kind; }
  bool UEIBytes_Load() const { return use_uei_bytes; }

  // Values of chip_kind.
  static constexpr uint8_t CHIP_UNKNOWN = 0;
  static constexpr uint8_t CHIP_IMX = 1;
  static constexpr uint8_t CHIP_LPC = 2;

 private:
  std::string server_url;         // base URL of the update server
  std::string updater_directory;  // root of the local store, already ensured by main
  UpdaterDisplayInterface& display;
  uint8_t chip_kind = CHIP_UNKNOWN;  // set by Get_Fingerprint, read by Recover_Firmware
  bool use_uei_bytes = false;
  bool last_request_failed = false;
};

// Helpers shared between the operation groups.

// A new store over `directory`; reports "Failed to Create UpdaterStore in: ..."
// naming `caller` and returns none when the store cannot be opened.
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& directory, const char* caller);
// Whether the server lists `build` for the device.
bool _valid_build(uint32_t serial, uint32_t build, const char* server_url);
// Networking and fallback off, so a USB module is opened directly.
aErr _disableEther(Corvanex::Tessarion::Module& module, UpdaterDisplayInterface& display);
bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& bird,
                        Corvanex::Tessarion::Module& module, uint32_t serial);
aErr _transfer_loader(UpdaterDisplayInterface& display, Corvanex::Tessarion::Module& module,
                      BirdFile& bird);
aErr _transfer_firmware(UpdaterDisplayInterface& display, Corvanex::Tessarion::Module& module,
                        BirdFile& bird, bool no_reboot_wait, bool try_uei);

// Prints the -D table; `type` is a linkType.
void _display_device_list(UpdaterDisplayInterface& display, std::vector<DeviceInfo>& list,
                          uint32_t type);
