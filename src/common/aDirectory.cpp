#include "common/aDirectory.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>


namespace {

// At most this many parts after the first in aDirectory_BuildPathList.
constexpr int MAX_FURTHER_PARTS = 9;

bool isDir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir that counts "already there as a directory" as success.
bool makeLevel(const std::string& path, mode_t mode) {
  if (mkdir(path.c_str(), mode) == 0) return true;
  return errno == EEXIST && isDir(path);
}

struct DirCloser {
  DIR* dir;
  ~DirCloser() {
    if (dir) closedir(dir);
  }
};

std::string join(const char* directory, const char* name) {
  std::string path(directory);
  if (!path.empty() && path.back() != aDIR_PATH_SEP_CHAR) path += aDIR_PATH_SEP;
  path += name;
  return path;
}

}  // namespace

bool aDirectory_Exists(const char* path) { return path != nullptr && isDir(path); }

aErr aDirectory_Ensure(const char* path, uint32_t permissions) {
  if (path == nullptr) return aErrParam;
  // An empty path names nothing that can be created.
  if (*path == '\0') return aErrPermission;
  if (isDir(path)) return aErrNone;
  const mode_t mode = static_cast<mode_t>(permissions);
  const std::string full(path);

  // Walk back to the deepest level that exists; creation starts after it.
  size_t start = 0;
  for (size_t cut = full.rfind(aDIR_PATH_SEP_CHAR); cut != std::string::npos && cut > 0;
       cut = full.rfind(aDIR_PATH_SEP_CHAR, cut - 1)) {
    if (isDir(full.substr(0, cut))) {
      start = cut + 1;
      break;
    }
  }

  // Walk forward creating every missing level that ends at a separator.
  aErr result = aErrNone;
  for (size_t sep = full.find(aDIR_PATH_SEP_CHAR, start); sep != std::string::npos;
       sep = full.find(aDIR_PATH_SEP_CHAR, sep + 1)) {
    if (sep == 0 || full[sep - 1] == aDIR_PATH_SEP_CHAR) continue;  // empty part
    if (!makeLevel(full.substr(0, sep), mode)) {
      result = aErrPermission;
      break;
    }
  }
  if (result != aErrNone) return result;
  // The last level; it must end up a directory, not merely some existing entry.
  if (!makeLevel(full, mode)) return aErrPermission;
  return aErrNone;
}

aErr aDirectory_List(const char* directory, aDirectoryListProc callback, void* user) {
  // A null path is a directory that cannot be opened.
  if (directory == nullptr) return aErrNotFound;
  if (callback == nullptr) return aErrParam;
  DirCloser d{opendir(directory)};
  if (d.dir == nullptr) return aErrNotFound;
  while (struct dirent* entry = readdir(d.dir)) {
    // Joined without a length limit so that no entry is lost to a short buffer.
    const std::string path = join(directory, entry->d_name);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) continue;
    aDirectoryListData data;
    data.path = path.c_str();
    data.size64 = static_cast<uint64_t>(st.st_size);
    data.size = static_cast<uint32_t>(data.size64);  // the low 32 bits; size64 has the rest
    data.isDirectory = S_ISDIR(st.st_mode);
    if (!callback(&data, user)) break;
  }
  return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
  if (path == nullptr) return aErrUnknown;  // what the system answers for a null path
  return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path) {
  if (path == nullptr) return aErrNotFound;  // cannot be opened
  {
    DirCloser d{opendir(path)};
    if (d.dir == nullptr) return aErrNotFound;
    while (struct dirent* entry = readdir(d.dir)) {
      if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
      const std::string child = join(path, entry->d_name);
      struct stat st;
      // lstat: a link to a directory is removed as a link, never followed out of the tree.
      if (lstat(child.c_str(), &st) != 0) continue;
      if (S_ISDIR(st.st_mode)) {
        aDirectory_DeleteTree(child.c_str());
      } else if (unlink(child.c_str()) != 0) {
        perror("aDirectory_DeleteTree");
        printf("---error unlink-ing file [%s]\n", child.c_str());
        break;
      }
    }
  }
  return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return aErrParam;
  if (getcwd(buffer, size) == nullptr) {
    buffer[0] = '\0';
    return aErrParam;
  }
  return aErrNone;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return aErrParam;
  ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
  if (n < 0) {
    buffer[0] = '\0';
    return aErrRead;
  }
  buffer[n] = '\0';
  return aErrNone;
}

aErr aDirectory_ChooseHomeDirectory(const char* passwdHome, const char* envHome, char* buffer,
                                    size_t size) {
  if (buffer == nullptr || size == 0) return aErrParam;
  buffer[0] = '\0';
  const char* home = nullptr;
  if (passwdHome != nullptr && *passwdHome != '\0')
    home = passwdHome;
  else if (envHome != nullptr && *envHome != '\0')
    home = envHome;
  if (home == nullptr) return aErrNotFound;
  const size_t length = strlen(home);
  // A cut home path would name another directory; refuse it instead.
  if (length >= size) return aErrOverrun;
  memcpy(buffer, home, length + 1);
  return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> scratch(hint > 0 ? static_cast<size_t>(hint) : 16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  int rc;
  while ((rc = getpwuid_r(getuid(), &entry, scratch.data(), scratch.size(), &found)) == ERANGE &&
         scratch.size() < (1u << 20))
    scratch.resize(scratch.size() * 2);
  const char* passwdHome = (rc == 0 && found != nullptr) ? found->pw_dir : nullptr;
  return aDirectory_ChooseHomeDirectory(passwdHome, getenv("HOME"), buffer, size);
}

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second) {
  return aDirectory_BuildPathList(buffer, size, first, second, static_cast<const char*>(nullptr));
}

aErr aDirectory_BuildPathList(char* buffer, size_t size, const char* first, ...) {
  if (buffer == nullptr || size == 0) return aErrParam;
  buffer[0] = '\0';
  if (first == nullptr || buffer == first) return aErrParam;

  const char* parts[MAX_FURTHER_PARTS];
  int count = 0;
  va_list args;
  va_start(args, first);
  for (const char* part = va_arg(args, const char*); part != nullptr;
       part = va_arg(args, const char*)) {
    if (count == MAX_FURTHER_PARTS || part == buffer) {
      va_end(args);
      return aErrParam;
    }
    parts[count++] = part;
  }
  va_end(args);

  size_t length = strlen(first);
  if (length + 1 >= size) return aErrOverrun;
  memcpy(buffer, first, length + 1);

  for (int i = 0; i < count; ++i) {
    const char* part = parts[i];
    size_t room = size - length - 1;
    // No separator after an empty first part: "" + "b" stays relative.
    // A separator already on either side is kept as it is ("a/" + "/b" gives "a//b").
    if (room > 1 && length > 0 && buffer[length - 1] != aDIR_PATH_SEP_CHAR &&
        part[0] != aDIR_PATH_SEP_CHAR) {
      buffer[length++] = aDIR_PATH_SEP_CHAR;
      buffer[length] = '\0';
      --room;
    }
    const size_t partLength = strlen(part);
    if (partLength >= room) {
      buffer[0] = '\0';
      return aErrOverrun;
    }
    memcpy(buffer + length, part, partLength + 1);
    length += partLength;
  }
  return aErrNone;
}

const char* backwards_memcmp(const char* text, const char* pattern) {
  if (text == nullptr || pattern == nullptr) return nullptr;
  const size_t textLength = strlen(text);
  const size_t patternLength = strlen(pattern);
  if (patternLength == 0) return text;
  if (patternLength > textLength) return nullptr;
  for (size_t at = textLength - patternLength + 1; at-- > 0;)
    if (memcmp(text + at, pattern, patternLength) == 0) return text + at;
  return nullptr;
}
