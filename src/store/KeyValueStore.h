#pragma once
// A small settings file of "key=value" lines, kept in memory as a map sorted
// by key. Loading never fails loudly: a missing file is created with its
// creation time. Saving writes every entry back in key order through a
// temporary file, and stamps the update time when something changed.
#include <cstdint>
#include <map>
#include <type_traits>
#include <string>

class KeyValueStore {
 public:
  static constexpr const char* DEFAULT_FILENAME = ".settings";
  static constexpr const char* KEY_CREATED_TIME = "CREATED_TIME";
  static constexpr const char* KEY_UPDATED_TIME = "UPDATED_TIME";

  // An empty store, loaded from the path when one is given.
  explicit KeyValueStore(const char* path = nullptr);
  explicit KeyValueStore(const std::string& path);
  KeyValueStore(const KeyValueStore&) = default;
  KeyValueStore& operator=(const KeyValueStore&) = default;

  // Merges the file into the map (the map is not cleared first).
  void Load(const char* path);
  void Load(const std::string& path) { Load(path.c_str()); }
  // Writes the map to path (which becomes the file name), or to the known
  // file name, or to DEFAULT_FILENAME in the working directory.
  void Save(const char* path = nullptr);
  void Save(const std::string& path) { Save(path.c_str()); }

  // Numeric getters: a missing key is inserted with an empty value; an empty
  // value gives the default.
  int32_t GetInt(const std::string& key, int32_t def);
  uint32_t GetHex(const std::string& key, uint32_t def);
  bool GetBOOL(const std::string& key, bool def);
  double GetDouble(const std::string& key, double def);
  // The stored value (even when empty), else the default (empty for null).
  std::string GetString(const std::string& key, const char* def = nullptr) const;
  std::string GetString(const std::string& key, const std::string& def) const { return GetString(key, def.c_str()); }
  // The stored value, or null when the key does not exist.
  const char* operator[](const std::string& key) const;

  // Setters return false, storing nothing, for a key or value that the file
  // syntax cannot carry: a key with "=", a line break in either.
  bool Add(const std::string& key, int32_t value);
  // Other integer types (unsigned, 64-bit) in decimal, so that no call is
  // ambiguous between the int and double forms.
  template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                             (sizeof(T) > sizeof(int32_t) ||
                                              (sizeof(T) == sizeof(int32_t) && std::is_unsigned_v<T>)),
                                         int> = 0>
  bool Add(const std::string& key, T value) {
    return Add(key, std::to_string(value));
  }
  bool Add(const std::string& key, double value);
  bool Add(const std::string& key, const char* value);
  bool Add(const std::string& key, const std::string& value);
  bool AddHex(const std::string& key, uint32_t value);
  // Copies every entry of the other store, replacing equal keys.
  bool Add(const KeyValueStore& other);
  bool Clear();

  const std::string& Filename() const { return filename; }
  const std::map<std::string, std::string>& Entries() const { return entries; }
  bool IsDirty() const { return dirty; }

  // The current local time as ctime() writes it, without the line end.
  static std::string TimeText();

  // The state itself, open to callers that inspect it; the setters above
  // keep its rules (no "=" in a key, no line break anywhere).
  std::string filename;                        // loaded from or last saved to
  std::map<std::string, std::string> entries;  // byte-wise key order
  bool dirty = false;                          // changed since the last load or save

 private:
  void SaveWithTime(const char* path, const std::string& now);
  // Stores the entry of one line as read, its line end included.
  void ParseLine(const std::string& line);
  bool Set(const std::string& key, const std::string& value);
  std::string& Lookup(const std::string& key);
};
