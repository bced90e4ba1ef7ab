#pragma once
// The command line: the option table, the parsed parameters and the parser.
#include <cstdint>
#include <string>

#include "app/UpdaterDisplayInterface.h"

// Command bits; one per command option.
enum COMMANDS : uint32_t {
  DISCOVER = 0x1,            // -D
  UPDATE = 0x2,              // -U
  LIST_BUILDS = 0x4,         // -B
  GET_BUILD = 0x8,           // -G
  VIEW_INFO = 0x10,          // -I (accepted, nothing runs)
  CHECK_FILE = 0x20,         // -C (accepted, nothing runs)
  FINGERPRINT = 0x40,        // -N
  COMMAND_Z = 0x80,          // -Z (accepted, nothing runs)
  GET_JWT = 0x100,           // -J
  LIST_LOCAL_BUILDS = 0x200, // -L
  HELP = 0x80000000,         // -h, -H, --help
};
// When none of these bits is set the run has no command.
constexpr uint32_t ANY_COMMAND = 0x000307FF;

class CommandsClass {
 public:
  void Set(uint32_t command) { word |= command; }
  // True when any bit of the argument is set, so it also tests masks.
  bool IsSet(uint32_t command) const { return (word & command) != 0; }
  uint32_t Value() const { return word; }

 private:
  uint32_t word = 0;
};

constexpr int32_t USB_TRANSPORT = 1;
constexpr int32_t TCP_TRANSPORT = 2;
constexpr int32_t RECOVER_TRANSPORT = 255;

struct Parameters {
  CommandsClass commands;
  uint32_t serial_number = 0;
  uint32_t router_serial = 0;
  int32_t transport = USB_TRANSPORT;  // 0 after an invalid -t
  bool transport_given = false;
  std::string serial_port;
  uint32_t baud_rate = 115200;
  uint8_t module_address = 0;
  std::string bird_file;
  std::string history_message;
  std::string build;  // decimal text; replaced after a successful -G
  bool echo = false;
  std::string server_url;
  bool flag_n = false;
  std::string updater_directory;  // -i: the parent of the storage directory
  std::string app_name;
  std::string home_directory;
  std::string log_mode;
  std::string log_file;
  bool override = false;
  bool use_uei_bytes = true;
  uint32_t log_mask = 0;
  bool log_mask_given = false;
  bool help = false;
};

// The program's fixed name and version text.
constexpr const char* APP_NAME = "Updater";
constexpr const char* APP_VERSION = "Version: 2.11.2 Apr 29 2025";
constexpr const char* COPYRIGHT_YEAR = "2025";

// The option table: 30 rows and a terminating row with id -1.
enum OptionId { OPT_HELP = 0, OPT_COMMAND = 1, OPT_PARAMETER = 2, OPT_END = -1 };
enum OptionArg { ARG_NONE = 0, ARG_SEPARATE = 1 };
struct OptionRow {
  int id;
  const char* text;
  OptionArg arg;
};
extern const OptionRow g_rgOptions[31];

// One step of the option parser over argv.
struct ParsedOption {
  const OptionRow* row = nullptr;  // null at the end of the words
  const char* argument = nullptr;  // for ARG_SEPARATE rows
};

// Hands out options one at a time following the command-line grammar: argv[0]
// and words without a leading "-" are skipped; exact matches win, otherwise a
// word that is a proper prefix of exactly one table text (with the same
// leading dashes) selects it; "-x=value" carries its argument; an option that
// needs an argument takes the next word unless that begins with "-" or is
// missing. Every irregular word is dropped silently.
class OptionParser {
 public:
  OptionParser(int argc, char** argv, const OptionRow* table);
  ParsedOption next();

 private:
  const OptionRow* match(const std::string& name) const;

  int argc_;
  char** argv_;
  const OptionRow* table_;
  int index_ = 1;
};

// Returns 0 when the command line is acceptable, 1 otherwise; every problem
// is reported through the display as it is met.
int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params);
// The same over words that are const (the parser never changes them).
inline int _get_params(UpdaterDisplayInterface& display, int argc, const char** argv, Parameters* params) {
  return _get_params(display, argc, const_cast<char**>(argv), params);
}
int _validate_params(Parameters* params);
int _release_params(Parameters* params);

// Whole-text conversions: 0 (and *end untouched) when a character is not a
// digit of the base or the value does not fit in 32 bits; 0 when end is null.
// Otherwise *end points past the last digit.
uint32_t _get_hex_arg(const char* text, char** end);
uint32_t _get_int_arg(const char* text, char** end);

// The link type -D searches with: the -t transport when one was given and it
// is not RECOVER, else 0 (meaning the default).
uint32_t _command_link_type(const Parameters& params);

// The build number -U works with: the decimal value of `build` (after a
// successful -G, the build it fetched), or 0, which lets the update choose
// the build itself, when the text is empty or not a number.
uint32_t _update_build_number(const std::string& build);
