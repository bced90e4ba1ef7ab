// updater: keeps the firmware of Tessarion modules current.
//
// Parses the command line, prints the version line, makes sure the storage
// directory exists and runs -N, then -G, then the first of -D, -U, -B, -L, -J.
// Exit status: 0 for success, 1 for failure.
#include <cstdio>
#include <exception>
#include <string>

#include "app/CLI_Display.h"
#include "app/Log.h"
#include "app/Parameters.h"
#include "app/Updater.h"
#include "app/Usage.h"
#include "common/aDirectory.h"

namespace {

constexpr uint32_t UPDATER_DIRECTORY_MODE = 0755;

// -B, -L and -J share their shape: a serial number is required, then the
// answer is shown.
bool _require_serial(CLI_Display& display, const Parameters& params, const char* message) {
  if (params.serial_number != 0) return true;
  display.message(UpdaterDisplayInterface::Error, "%s", message);
  _display_usage(false, false);
  return false;
}

int _run(CLI_Display& display, Parameters& params) {
  // Storage directory: <home>/.corvanex/updater, or <-i>/updater.
  if (params.updater_directory.empty()) {
    char home[2048];
    aErr err = aDirectory_GetHomeDirectory(home, sizeof home);
    if (err != aErrNone) {
      Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", err);
      // Without this line the run would end with status 1 and no word why.
      display.message(UpdaterDisplayInterface::Error,
                      "Could not find the home directory [%d, %s]; name a storage directory with -i",
                      err, aError_GetErrorText(err));
      return 1;
    }
    params.updater_directory = BuildPath(home, ".corvanex");
  }
  params.updater_directory = BuildPath(params.updater_directory, "updater");
  if (aDirectory_Ensure(params.updater_directory.c_str(), UPDATER_DIRECTORY_MODE) != aErrNone) {
    display.message(UpdaterDisplayInterface::Error, "Could not find updater directory at %s",
                    params.updater_directory.c_str());
    return 1;
  }

  Updater updater(params.server_url.c_str(), params.updater_directory.c_str(), display);
  int status = 0;

  if (params.commands.IsSet(FINGERPRINT)) {
    if (params.serial_port.empty()) {
      display.message(UpdaterDisplayInterface::Error, "Must specify the serial port used for connecting");
      return 1;
    }
    Fingerprint fp;
    if (updater.Get_Fingerprint(fp, params.serial_port, DEFAULT_SERIAL_NUMBER, params.bird_file,
                                params.baud_rate, true)) {
      _display_fingerprint(display, fp);
    } else {
      display.message(UpdaterDisplayInterface::Error, "Got no response from chip");
      status = 1;
    }
  }

  if (params.commands.IsSet(GET_BUILD)) {
    if (params.serial_number == 0) {
      display.message(UpdaterDisplayInterface::Error, "-G must specify a specific device via -d");
      display.message(UpdaterDisplayInterface::Error, "--help for usage information");
      return 1;
    }
    display.message(UpdaterDisplayInterface::Info, "Retrieving firmware for device with serial number %08X",
                    params.serial_number);
    if (params.build.empty()) {
      display.message(UpdaterDisplayInterface::Info, "No build specified");
      display.message(UpdaterDisplayInterface::Info, "Using Latest build");
    } else {
      display.message(UpdaterDisplayInterface::Info, "Retrieving firmware build %s", params.build.c_str());
    }
    uint32_t got = updater.Download_Firmware(params.serial_number, params.build, params.override, false);
    if (got != 0) {
      params.build = std::to_string(got);
      status = 0;
    } else {
      status = 1;
    }
  }

  if (params.commands.IsSet(DISCOVER)) {
    const uint32_t type = _command_link_type(params);
#if UPDATER_HAS_DISCOVERY
    std::vector<DeviceInfo> list;
    if (params.router_serial != 0) {
      display.message(UpdaterDisplayInterface::Info,
                      "Searching for Tessarion Network devices connected to %08X", params.router_serial);
      list = updater.Discover_TSNetwork_Devices(params.router_serial, type);
      _display_device_list(display, list, type);
    } else {
      display.message(UpdaterDisplayInterface::Info, "Searching for Tessarion devices");
      const uint32_t searched = type == 0 ? 1 : type;
      list = updater.Discover_Devices(searched);
      _display_device_list(display, list, searched);
    }
    return updater.Last_Request_Failed() ? 1 : 0;
#else
    (void)type;
    if (params.router_serial != 0)
      display.message(UpdaterDisplayInterface::Info,
                      "Searching for Tessarion Network devices connected to %08X", params.router_serial);
    else
      display.message(UpdaterDisplayInterface::Info, "Searching for Tessarion devices");
    display.message(UpdaterDisplayInterface::Error, "Device discovery is not available in this build");
    return 1;
#endif
  }

  if (params.commands.IsSet(UPDATE)) {
    const uint32_t build = _update_build_number(params.build);
    updater.Set_UEIBytes_Load(params.use_uei_bytes);
    bool ok;
    if (params.transport == RECOVER_TRANSPORT) {
      ok = updater.Recover_Firmware(params.serial_port, build, params.baud_rate, params.serial_number,
                                    params.bird_file, params.override);
    } else {
      if (params.serial_number == 0) {
        display.message(UpdaterDisplayInterface::Error, "Must specify the specific device to be updated");
        return 1;
      }
      ok = updater.Update_Firmware(params.serial_number, build, params.bird_file, params.module_address,
                                   params.router_serial, params.override);
    }
    return ok ? 0 : 1;
  }

  if (params.commands.IsSet(LIST_BUILDS)) {
    if (!_require_serial(display, params, "Error must supply a serial number for the List Builds command"))
      return 1;
    auto builds = updater.Get_BuildList(params.serial_number);
    _display_builds(display, builds, params.serial_number);
    return updater.Last_Request_Failed() ? 1 : 0;
  }

  if (params.commands.IsSet(LIST_LOCAL_BUILDS)) {
    if (!_require_serial(display, params,
                         "Error must supply a serial number for the List Local Builds command"))
      return 1;
    auto builds = updater.Get_BuildListLocal(params.serial_number);
    _display_builds(display, builds, params.serial_number);
    return updater.Last_Request_Failed() ? 1 : 0;
  }

  if (params.commands.IsSet(GET_JWT)) {
    if (!_require_serial(display, params, "Error must supply a serial number for the Get JWT command"))
      return 1;
    _display_jwt(display, updater.Get_JWT(params.serial_number));
    return updater.Last_Request_Failed() ? 1 : 0;
  }

  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Parameters params;
  CLI_Display display;
  Log::SetOutput(stderr);

  if (_get_params(display, argc, argv, &params) != 0) {
    _display_app_version(display);
    _display_copyright(display);
    _display_usage(false, false);
    _release_params(&params);
    return 1;
  }

  _display_app_version(display);

  if (params.commands.IsSet(HELP) || !params.commands.IsSet(ANY_COMMAND)) {
    _display_copyright(display);
    _display_usage(params.log_mask_given, params.help);
    _release_params(&params);
    return 0;
  }

  int status = 1;
  try {
    status = _run(display, params);
  } catch (const std::exception& e) {
    // Operations turn their own failures into messages; anything that still
    // escapes must end the run with a reason and status 1, not an abort.
    display.message(UpdaterDisplayInterface::Error, "%s", e.what());
  }
  _release_params(&params);
  return status;
}
