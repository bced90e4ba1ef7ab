#include "app/Parameters.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "app/Log.h"
#include "common/aDirectory.h"
#include "server/UpdateServerRequest.h"

const OptionRow g_rgOptions[31] = {
    {OPT_COMMAND, "-B", ARG_NONE},         {OPT_COMMAND, "-L", ARG_NONE},
    {OPT_COMMAND, "-D", ARG_NONE},         {OPT_COMMAND, "-G", ARG_NONE},
    {OPT_COMMAND, "-I", ARG_NONE},         {OPT_COMMAND, "-U", ARG_NONE},
    {OPT_COMMAND, "-OVERRIDE", ARG_NONE},  {OPT_COMMAND, "-N", ARG_NONE},
    {OPT_COMMAND, "-Y", ARG_NONE},         {OPT_COMMAND, "-C", ARG_NONE},
    {OPT_COMMAND, "-J", ARG_NONE},         {OPT_HELP, "-h", ARG_NONE},
    {OPT_HELP, "-H", ARG_NONE},            {OPT_PARAMETER, "-n", ARG_NONE},
    {OPT_PARAMETER, "-X", ARG_SEPARATE},   {OPT_PARAMETER, "-Z", ARG_SEPARATE},
    {OPT_PARAMETER, "-m", ARG_SEPARATE},   {OPT_PARAMETER, "-i", ARG_SEPARATE},
    {OPT_PARAMETER, "-b", ARG_SEPARATE},   {OPT_PARAMETER, "-d", ARG_SEPARATE},
    {OPT_PARAMETER, "-t", ARG_SEPARATE},   {OPT_PARAMETER, "-f", ARG_SEPARATE},
    {OPT_PARAMETER, "-r", ARG_SEPARATE},   {OPT_PARAMETER, "-s", ARG_SEPARATE},
    {OPT_PARAMETER, "-o", ARG_SEPARATE},   {OPT_PARAMETER, "-e", ARG_NONE},
    {OPT_PARAMETER, "-l", ARG_SEPARATE},   {OPT_PARAMETER, "-k", ARG_SEPARATE},
    {OPT_PARAMETER, "-u", ARG_SEPARATE},   {OPT_HELP, "--help", ARG_NONE},
    {OPT_END, nullptr, ARG_NONE},
};

namespace {

size_t _leading_dashes(const std::string& text) {
  size_t n = 0;
  while (n < text.size() && text[n] == '-') ++n;
  return n;
}

}  // namespace

OptionParser::OptionParser(int argc, char** argv, const OptionRow* table)
    : argc_(argc), argv_(argv), table_(table) {}

const OptionRow* OptionParser::match(const std::string& name) const {
  for (const OptionRow* row = table_; row->id != OPT_END; ++row)
    if (name == row->text) return row;
  const size_t dashes = _leading_dashes(name);
  const OptionRow* found = nullptr;
  for (const OptionRow* row = table_; row->id != OPT_END; ++row) {
    std::string text(row->text);
    if (name.size() < text.size() && text.compare(0, name.size(), name) == 0 &&
        _leading_dashes(text) == dashes) {
      if (found != nullptr) return nullptr;  // ambiguous
      found = row;
    }
  }
  return found;
}

ParsedOption OptionParser::next() {
  while (index_ < argc_) {
    const char* word = argv_[index_++];
    if (word == nullptr || word[0] != '-') continue;  // not an option: set aside

    std::string name(word);
    const char* inlineArg = nullptr;
    if (const char* eq = strchr(word, '=')) {
      name.assign(word, static_cast<size_t>(eq - word));
      inlineArg = eq + 1;
    }
    const OptionRow* row = match(name);
    if (row == nullptr) continue;  // unknown or ambiguous

    ParsedOption option;
    option.row = row;
    if (row->arg == ARG_NONE) {
      if (inlineArg != nullptr) continue;  // "=" given to an option that takes none
      return option;
    }
    if (inlineArg != nullptr) {
      if (inlineArg[0] == '-') continue;
      option.argument = inlineArg;
      return option;
    }
    // The next word is the argument unless it is missing or looks like an
    // option; then this option is dropped and that word is read on its own.
    if (index_ >= argc_ || argv_[index_] == nullptr || argv_[index_][0] == '-') continue;
    option.argument = argv_[index_++];
    return option;
  }
  return ParsedOption{};
}

namespace {

// Digits of `text` in `base` (10 or 16); 0 for any other character or a value
// beyond 32 bits, since a longer serial or build number is a typing error,
// not a number to be cut down.
uint32_t _get_arg(const char* text, char** end, int base) {
  if (end == nullptr || text == nullptr) return 0;
  const char* digits = base == 16 ? "0123456789ABCDEFabcdef" : "0123456789";
  uint64_t value = 0;
  const char* p = text;
  for (; *p != '\0'; ++p) {
    const char* d = strchr(digits, *p);
    if (d == nullptr) return 0;
    unsigned digit = base == 16 ? static_cast<unsigned>(*p >= 'a'   ? *p - 'a' + 10
                                                        : *p >= 'A' ? *p - 'A' + 10
                                                                    : *p - '0')
                                : static_cast<unsigned>(*p - '0');
    value = value * static_cast<unsigned>(base) + digit;
    if (value > 0xFFFFFFFFull) return 0;
  }
  *end = const_cast<char*>(p);
  return static_cast<uint32_t>(value);
}

// Serial number of -d or -r: an optional 0x prefix, then hexadecimal digits.
bool _get_serial(UpdaterDisplayInterface& display, const char* argument, uint32_t* serial,
                 const char* prefixLog, const char* invalidMessage) {
  const char* text = argument;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text += 2;
    Log::log(DEBUG_Updater, "%s", prefixLog);
  }
  char* end = nullptr;
  *serial = _get_hex_arg(text, &end);
  if (*serial == 0) {
    display.message(UpdaterDisplayInterface::Error, invalidMessage, text);
    return false;
  }
  return true;
}

void _set_defaults(Parameters* p, const char* argv0) {
  *p = Parameters{};
  p->server_url = std::string("http://") + UPDATE_SERVER_HOST + UPDATE_SERVER_PATH;
  p->log_mode = "a+";
  p->log_file = "Updater.log";
  std::string name = argv0 ? argv0 : "";
  size_t cut = name.find_last_of("\\/");
  p->app_name = cut == std::string::npos ? name : name.substr(cut + 1);
  char home[2048];
  if (aDirectory_GetHomeDirectory(home, sizeof home) == aErrNone)
    p->home_directory = home;
}

}  // namespace

uint32_t _get_hex_arg(const char* text, char** end) { return _get_arg(text, end, 16); }

uint32_t _get_int_arg(const char* text, char** end) { return _get_arg(text, end, 10); }

int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params) {
  _set_defaults(params, argc > 0 ? argv[0] : nullptr);
  Log::log(DEBUG_APP, "Home directory:[%s]\n", params->home_directory.c_str());

  bool failed = false;
  OptionParser parser(argc, argv, g_rgOptions);
  for (ParsedOption option = parser.next(); option.row != nullptr; option = parser.next()) {
    const char* text = option.row->text;
    const char* arg = option.argument ? option.argument : "";
    if (option.row->id == OPT_HELP) {
      params->commands.Set(HELP);
      params->help = true;
      return 0;  // later words are not examined
    }
    if (option.row->id == OPT_COMMAND) {
      switch (text[1]) {
        case 'B': params->commands.Set(LIST_BUILDS); break;
        case 'L': params->commands.Set(LIST_LOCAL_BUILDS); break;
        case 'D': params->commands.Set(DISCOVER); break;
        case 'G': params->commands.Set(GET_BUILD); break;
        case 'I': params->commands.Set(VIEW_INFO); break;
        case 'U': params->commands.Set(UPDATE); break;
        case 'N': params->commands.Set(FINGERPRINT); break;
        case 'C': params->commands.Set(CHECK_FILE); break;
        case 'J': params->commands.Set(GET_JWT); break;
        case 'O':
          if (strncmp(text, "-OVERRIDE", 8) == 0) params->override = true;
          break;
        case 'Y':
          display.message(UpdaterDisplayInterface::Error, "Unhandled command: [%s]", text);
          failed = true;
          break;
        default: break;
      }
      continue;
    }
    switch (text[1]) {
      case 'd':
        if (!_get_serial(display, arg, &params->serial_number,
                         "Discarding '0x' serial number prefix\n",
                         "Invalid serial number obtained from argument [%s]"))
          failed = true;
        break;
      case 'r':
        if (!_get_serial(display, arg, &params->router_serial,
                         "Discarding '0x' router serial number prefix\n",
                         "Invalid router serial number obtained from argument [%s]"))
          failed = true;
        break;
      case 't':
        params->transport_given = true;
        if (strncmp(arg, "USB", 3) == 0) {
          params->transport = USB_TRANSPORT;
        } else if (strncmp(arg, "TCP", 3) == 0) {
          params->transport = TCP_TRANSPORT;
        } else if (strncmp(arg, "RECOVER", 7) == 0) {
          params->transport = RECOVER_TRANSPORT;
        } else {
          display.message(UpdaterDisplayInterface::Error,
                          "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER",
                          arg);
          params->transport = 0;
          failed = true;
        }
        break;
      case 'b': {
        char* end = nullptr;
        params->build = std::to_string(_get_int_arg(arg, &end));
        break;
      }
      case 'o': {
        char* end = nullptr;
        params->baud_rate = _get_int_arg(arg, &end);
        break;
      }
      case 'X': {
        params->log_mask_given = true;
        const bool hex = arg[0] == '0' && (arg[1] == 'x' || arg[1] == 'X');
        char* end = nullptr;
        errno = 0;
        params->log_mask = static_cast<uint32_t>(strtoull(arg, &end, hex ? 16 : 10));
        if (end != nullptr && *end != '\0')
          display.message(UpdaterDisplayInterface::Error,
                          "Invalid format for \"%s\" parameter, unprocessed characters [%s]", text, end);
        else
          Log::ActivatePackage(params->log_mask);
        break;
      }
      case 'm':
        params->use_uei_bytes = arg[0] == '1' || strncmp(arg, "true", 4) == 0;
        break;
      case 'Z': params->commands.Set(COMMAND_Z); break;
      case 's': params->serial_port = arg; break;
      case 'f': params->bird_file = arg; break;
      case 'l': params->history_message = arg; break;
      case 'k': params->log_file = arg; break;
      case 'u': params->server_url = arg; break;
      case 'i': params->updater_directory = arg; break;
      case 'e': params->echo = true; break;
      case 'n': params->flag_n = true; break;
      default: break;
    }
  }

  Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params->app_name.c_str());
  for (int i = 0; i < argc; ++i) Log::log(DEBUG_APP, "\t[%s]\n", argv[i] ? argv[i] : "");
  return failed ? 1 : _validate_params(params);
}

int _validate_params(Parameters*) { return 0; }

int _release_params(Parameters* params) {
  *params = Parameters{};
  return 0;
}

uint32_t _command_link_type(const Parameters& params) {
  if (params.transport_given && params.transport != RECOVER_TRANSPORT)
    return static_cast<uint32_t>(params.transport);
  return 0;
}

uint32_t _update_build_number(const std::string& build) {
  try {
    size_t used = 0;
    const unsigned long value = std::stoul(build, &used, 10);
    return value > 0xFFFFFFFFul ? 0 : static_cast<uint32_t>(value);
  } catch (const std::invalid_argument&) {
    return 0;
  } catch (const std::out_of_range&) {
    return 0;
  }
}
