#pragma once
// Directories and path joining.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "common/aError.h"

#define aDIR_PATH_SEP "/"
#define aDIR_PATH_SEP_CHAR '/'

// One entry handed to the aDirectory_List callback; valid only during the call.
typedef struct {
  const char* path;  // the listed directory joined with the entry's name
  uint32_t size;     // size in bytes, the low 32 bits (see size64)
  bool isDirectory;  // the entry (or what a link points at) is a directory
  uint64_t size64;   // the full size in bytes
} aDirectoryListData;

// Return false to stop the listing.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* data, void* user);

// True when the path names an existing directory (links followed).
bool aDirectory_Exists(const char* path);
// Creates the directory and every missing parent with the permission bits
// (e.g. 0755). aErrNone when it is a directory afterwards; aErrParam for a
// null path; aErrPermission for an empty path, when a level cannot be
// created, or when the path exists as something other than a directory.
aErr aDirectory_Ensure(const char* path, uint32_t permissions);
// Calls the callback once per entry, "." and ".." included, in the system's
// order; entries whose status cannot be read are skipped. aErrNotFound when
// the directory cannot be opened (a null path included), aErrParam for a
// null callback.
aErr aDirectory_List(const char* directory, aDirectoryListProc callback, void* user);
// The same with any other callback taking (aDirectoryListData*, void*):
// a function or lambda whose entry is not const gets its own copy.
template <typename Callback>
  requires(!std::is_convertible_v<Callback, aDirectoryListProc> &&
           std::is_invocable_r_v<bool, Callback&, aDirectoryListData*, void*>)
aErr aDirectory_List(const char* directory, Callback callback, void* user) {
  if constexpr (std::is_pointer_v<Callback>) {
    if (callback == nullptr) return aErrParam;
  }
  struct Forward {
    Callback* callback;
    void* user;
  } forward{&callback, user};
  return aDirectory_List(
      directory,
      [](const aDirectoryListData* data, void* context) -> bool {
        auto* f = static_cast<Forward*>(context);
        aDirectoryListData copy = *data;
        return (*f->callback)(&copy, f->user);
      },
      &forward);
}
// Removes an empty directory; aErrUnknown when the system refuses (a null
// path included).
aErr aDirectory_Delete(const char* path);
// Removes a directory and everything below it. Symbolic links inside are
// removed, never followed. aErrNotFound when it cannot be opened (a null
// path included); otherwise the result of removing the directory itself.
aErr aDirectory_DeleteTree(const char* path);
// Current working directory; aErrParam when it does not fit or cannot be read.
aErr aDirectory_CWD(char* buffer, size_t size);
// Path of the running executable, cut to size - 1 characters; aErrParam for
// a null/empty buffer, aErrRead when it cannot be read.
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);
// Home directory of the process's user from the password database, or the
// environment variable HOME when the user has no entry (or an empty one).
// aErrNotFound (empty text) when neither gives one; aErrOverrun (empty
// text) when it does not fit; aErrParam for a null/empty buffer.
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);
// The decision step of aDirectory_GetHomeDirectory, given the password
// database's answer and HOME (either may be null).
aErr aDirectory_ChooseHomeDirectory(const char* passwdHome, const char* envHome, char* buffer,
                                    size_t size);
// aDirectory_BuildPath with two parts.
aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second);
// Joins up to ten parts (the list ends with a null pointer) with "/" into the
// buffer. A separator goes in only where neither side has one ("a/" + "b",
// "a" + "/b", "a" + "b" all give "a/b"; "a/" + "/b" keeps both, "a//b"), and
// an empty first part adds none. aErrParam for a null or empty
// buffer, a null first part, a buffer that is one of the parts, or more than
// nine further parts; aErrOverrun when the result does not fit (at most
// size - 2 characters are used). The buffer is empty after any failure.
//
// aDirectory_BuildPath(buffer, size, "a", "b", NULL) is the C-style call;
// the end mark may also be left out, and parts may be std::string.
aErr aDirectory_BuildPathList(char* buffer, size_t size, const char* first, ...);
namespace aDirectoryDetail {
inline const char* cPart(const char* part) { return part; }
inline const char* cPart(std::nullptr_t) { return nullptr; }
// NULL is an integer constant in C++; an integer part can only be that end mark.
template <typename T>
  requires std::is_integral_v<T>
inline const char* cPart(T) {
  return nullptr;
}
inline const char* cPart(const std::string& part) { return part.c_str(); }
}  // namespace aDirectoryDetail
template <typename... Parts>
aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, const Parts&... parts) {
  return aDirectory_BuildPathList(buffer, size, first, aDirectoryDetail::cPart(parts)...,
                                  static_cast<const char*>(nullptr));
}
// Last place in text where pattern occurs, or null (also for null
// arguments); an empty pattern gives text itself.
const char* backwards_memcmp(const char* text, const char* pattern);

// Joins the parts: the first, then "/" and each further part, always adding
// the separator ("a/" + "b" gives "a//b"). Parts may be std::string,
// string views or C texts; a null C text ends the list, so the C-style call
// BuildPath(dir, "x", NULL) works too. No limit on count or length.
namespace aDirectoryDetail {
inline bool appendPart(std::string&, bool& ended, std::nullptr_t) {
  ended = true;
  return true;
}
// NULL is an integer constant in C++; an integer part can only be that end mark.
template <typename T>
  requires std::is_integral_v<T>
inline bool appendPart(std::string&, bool& ended, T) {
  ended = true;
  return true;
}
inline bool appendPart(std::string& out, bool& ended, const char* part) {
  if (ended || part == nullptr) {
    ended = true;
    return true;
  }
  out += aDIR_PATH_SEP;
  out += part;
  return true;
}
inline bool appendPart(std::string& out, bool& ended, std::string_view part) {
  if (ended) return true;
  out += aDIR_PATH_SEP;
  out += part;
  return true;
}
}  // namespace aDirectoryDetail

template <typename... Parts>
std::string BuildPath(std::string_view first, const Parts&... parts) {
  std::string out(first);
  bool ended = false;
  (aDirectoryDetail::appendPart(out, ended, parts), ...);
  (void)ended;  // unused when there are no further parts
  return out;
}
// A null first part gives the empty text.
template <typename... Parts>
std::string BuildPath(const char* first, const Parts&... parts) {
  if (first == nullptr) return std::string();
  return BuildPath(std::string_view(first), parts...);
}
