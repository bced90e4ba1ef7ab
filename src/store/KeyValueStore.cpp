#include "store/KeyValueStore.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

#include "app/Log.h"
#include "platform/aFile.h"

namespace {

constexpr size_t LINE_BUFFER = 2048;

bool isBlank(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

std::string trimRight(std::string s) {
  while (!s.empty() && isBlank(s.back())) s.pop_back();
  return s;
}

bool hasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

// Temporary file next to the target, hidden (leading ".") so no listing of
// the folder shows it, unique within the process, and short: it never holds
// the target's name, so a left-over one neither matches a name search nor
// runs past the longest file name.
std::string temporaryPath(const std::string& target) {
  static std::atomic<unsigned> counter{0};
  auto slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  return dir + ".tmp.settings." + std::to_string(getpid()) + "." + std::to_string(counter++);
}

}  // namespace

KeyValueStore::KeyValueStore(const char* path) {
  if (path != nullptr) Load(path);
}

KeyValueStore::KeyValueStore(const std::string& path) { Load(path.c_str()); }

std::string KeyValueStore::TimeText() {
  time_t now = time(nullptr);
  char buf[64] = {};
  if (ctime_r(&now, buf) == nullptr) return std::string();
  std::string s(buf);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

void KeyValueStore::Load(const char* path) {
  if (path == nullptr) return;
  aFileRef file = aFile_Open(path, aFileModeReadOnly);
  if (file == nullptr) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", path, errno);
    if (aFile_Exists(path)) {
      // There but unreadable: creating a fresh file now would throw its
      // entries away. The store holds the two time keys and stays changed,
      // as after a save that failed.
      std::string now = TimeText();
      filename = path;
      Add(KEY_CREATED_TIME, now);
      entries[KEY_UPDATED_TIME] = now;
      return;
    }
    // One time text for both stamps, so a new file says it was created and
    // updated at the same moment.
    std::string now = TimeText();
    Add(KEY_CREATED_TIME, now);
    SaveWithTime(path, now);
    return;
  }
  filename = path;
  dirty = false;

  char buffer[LINE_BUFFER];
  std::string line;
  for (;;) {
    size_t length = 0;
    aErr err = aFile_ReadLine(file, buffer, sizeof buffer, &length);
    if (err == aErrOverrun) {
      // A line longer than the buffer is read on in pieces: stopping here
      // would drop every later entry from the file at the next save.
      line.append(buffer, length);
      continue;
    }
    if (err == aErrNone) {
      line.append(buffer, length);
    } else {
      if (err != aErrEOF) Log::log(DEBUG_Attributes, "Attibutes: Error (%d) reading '%s'\n", err, path);
      // The pieces of a long last line that ends without a line feed.
      if (err == aErrEOF && !line.empty()) ParseLine(line);
      break;
    }
    ParseLine(line);
    line.clear();
  }
  aFile_Close(&file);
}

void KeyValueStore::ParseLine(const std::string& line) {
  // A line of fewer than three characters (line feed counted) holds no key
  // and "=", so it is skipped unless it is a bare key: "z" and its line feed
  // is the key z with an empty value.
  std::string text = line;
  if (!text.empty() && text[0] == '#') return;
  const bool shortLine = text.size() < 3;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();

  size_t start = 0;
  while (start < text.size() && isBlank(text[start])) ++start;
  size_t eq = text.find('=', start);
  std::string key = trimRight(text.substr(start, eq == std::string::npos ? std::string::npos : eq - start));
  std::string value;
  if (eq != std::string::npos) {
    size_t v = eq + 1;
    while (v < text.size() && isBlank(text[v])) ++v;
    value = trimRight(text.substr(v));
  }
  if (shortLine && key.empty()) return;
  entries[key] = value;
}

void KeyValueStore::Save(const char* path) { SaveWithTime(path, TimeText()); }

void KeyValueStore::SaveWithTime(const char* path, const std::string& now) {
  if (path != nullptr) {
    filename = path;
  } else if (filename.empty()) {
    filename = DEFAULT_FILENAME;
    Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n",
             filename.c_str());
  }
  if (dirty) entries[KEY_UPDATED_TIME] = now;

  // Written beside the file and renamed over it: a crash leaves the old file
  // or the new one, never a short one.
  // An empty name cannot be written; it never stands for the default.
  std::string tmp = filename.empty() ? std::string() : temporaryPath(filename);
  aFileRef file = aFile_Open(tmp.c_str(), aFileModeWriteOnly);
  if (file == nullptr && filename.empty()) errno = ENOENT;
  if (file == nullptr) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
             filename.c_str(), errno);
    return;
  }
  aErr err = aErrNone;
  for (const auto& [key, value] : entries) {
    // A key that starts with "#" can only come from a line with blanks before
    // it; one blank keeps the saved line from reading back as a comment.
    err = aFile_Printf(file, "%s%s=%s\n", !key.empty() && key[0] == '#' ? " " : "", key.c_str(), value.c_str());
    if (err != aErrNone) break;
  }
  aErr closeErr = aFile_Close(&file);
  if (err == aErrNone) err = closeErr;
  if (err != aErrNone || rename(tmp.c_str(), filename.c_str()) != 0) {
    Log::log(DEBUG_Attributes, "Attibutes: Error (%d) writing attributes file: '%s' (%d)\n", err,
             filename.c_str(), errno);
    aFile_Delete(tmp.c_str());
    return;
  }
  dirty = false;
}

std::string& KeyValueStore::Lookup(const std::string& key) { return entries[key]; }

int32_t KeyValueStore::GetInt(const std::string& key, int32_t def) {
  const std::string& v = Lookup(key);
  if (v.empty()) return def;
  errno = 0;
  long n = strtol(v.c_str(), nullptr, 10);
  if (n > INT32_MAX) return INT32_MAX;
  if (n < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(n);
}

uint32_t KeyValueStore::GetHex(const std::string& key, uint32_t def) {
  const std::string& v = Lookup(key);
  if (v.empty()) return def;
  unsigned long long n = strtoull(v.c_str(), nullptr, 16);
  return n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
}

bool KeyValueStore::GetBOOL(const std::string& key, bool def) {
  const std::string& v = Lookup(key);
  if (v.empty()) return def;
  return strtol(v.c_str(), nullptr, 10) != 0;
}

double KeyValueStore::GetDouble(const std::string& key, double def) {
  const std::string& v = Lookup(key);
  if (v.empty()) return def;
  return strtod(v.c_str(), nullptr);
}

std::string KeyValueStore::GetString(const std::string& key, const char* def) const {
  auto it = entries.find(key);
  if (it != entries.end()) return it->second;
  return def ? std::string(def) : std::string();
}

const char* KeyValueStore::operator[](const std::string& key) const {
  auto it = entries.find(key);
  return it == entries.end() ? nullptr : it->second.c_str();
}

bool KeyValueStore::Set(const std::string& key, const std::string& value) {
  // A "=" in a key or a line break anywhere would make the saved line read
  // back as other entries.
  if (key.find('=') != std::string::npos || hasLineBreak(key) || hasLineBreak(value)) {
    Log::log(DEBUG_Attributes, "Attibutes: refused entry [%s] that a settings file cannot hold\n", key.c_str());
    return false;
  }
  auto it = entries.find(key);
  if (it == entries.end()) {
    entries.emplace(key, value);
    dirty = true;
  } else if (it->second != value) {
    it->second = value;
    dirty = true;
  }
  return true;
}

bool KeyValueStore::Add(const std::string& key, int32_t value) { return Set(key, std::to_string(value)); }

bool KeyValueStore::Add(const std::string& key, double value) {
  char buf[512];
  snprintf(buf, sizeof buf, "%f", value);
  return Set(key, buf);
}

bool KeyValueStore::Add(const std::string& key, const char* value) {
  if (value == nullptr) return false;
  return Set(key, value);
}

bool KeyValueStore::Add(const std::string& key, const std::string& value) { return Set(key, value); }

bool KeyValueStore::AddHex(const std::string& key, uint32_t value) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08X", value);
  return Set(key, buf);
}

bool KeyValueStore::Add(const KeyValueStore& other) {
  if (&other != this) {
    for (const auto& [key, value] : other.entries) entries[key] = value;
  }
  if (!other.entries.empty()) dirty = true;
  return true;
}

bool KeyValueStore::Clear() {
  entries.clear();
  dirty = true;
  return true;
}
