#include "common/aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

const aVersionFeature FEATS[NUM_FEATS] = {
    {"VERSION", "Version Query API"},
};

namespace {

char version_string[15];
std::once_flag version_once;

}  // namespace

bool aVersion_IsAtLeastCompare(uint8_t haveMajor, uint8_t haveMinor, uint8_t havePatch,
                               uint8_t needMajor, uint8_t needMinor, uint8_t needPatch) {
  if (haveMajor != needMajor) return haveMajor > needMajor;
  if (haveMinor != needMinor) return haveMinor > needMinor;
  return havePatch >= needPatch;
}

bool aVersion_IsLegacyFormat(uint32_t version) {
  // (2, 15, 255) >= (top nibble, second nibble, 255) exactly when the top
  // nibbles sort below (2, 15); a top byte of 0x2F lands on the current side.
  return aVersion_IsAtLeastCompare(2, 15, 0, static_cast<uint8_t>(version >> 28),
                                   static_cast<uint8_t>((version >> 24) & 0xF), 255);
}

uint8_t aVersion_ParseMajor(uint32_t version) {
  return aVersion_IsLegacyFormat(version) ? static_cast<uint8_t>(version >> 28)
                                          : static_cast<uint8_t>((version >> 16) & 0xFF);
}

uint8_t aVersion_ParseMinor(uint32_t version) {
  return aVersion_IsLegacyFormat(version) ? static_cast<uint8_t>((version >> 24) & 0xF)
                                          : static_cast<uint8_t>((version >> 8) & 0xFF);
}

uint32_t aVersion_ParsePatch(uint32_t version) {
  return aVersion_IsLegacyFormat(version) ? (version & 0xFFFFFFu) : (version & 0xFFu);
}

int aVersion_ParseString(uint32_t version, char* buffer, size_t size) {
  if (buffer == nullptr) size = 0;  // measure only
  return snprintf(buffer, size, "%u.%u.%u", static_cast<unsigned>(aVersion_ParseMajor(version)),
                  static_cast<unsigned>(aVersion_ParseMinor(version)),
                  static_cast<unsigned>(aVersion_ParsePatch(version)));
}

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
  if (major > 2 || (major == 2 && minor > 14))
    return (aVERSION_CURRENT_TAG << 24) | (uint32_t(major) << 16) | (uint32_t(minor) << 8) | patch;
  return (uint32_t(major) << 28) | (uint32_t(minor & 0xF) << 24) | patch;
}

uint8_t aVersion_GetMajor(void) { return aVERSION_MAJOR; }
uint8_t aVersion_GetMinor(void) { return aVERSION_MINOR; }
uint8_t aVersion_GetPatch(void) { return aVERSION_PATCH; }

const char* aVersion_GetString(void) {
  // Built once; call_once makes a race on the first call harmless.
  std::call_once(version_once, [] {
    memset(version_string, 0, sizeof version_string);
    snprintf(version_string, sizeof version_string, "%d.%d%s%d", aVERSION_MAJOR, aVERSION_MINOR,
             aVERSION_PHASE, aVERSION_PATCH);
  });
  return version_string;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
  return aVersion_IsAtLeastCompare(aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PATCH, major, minor,
                                   patch);
}

bool aVersion_HasFeature(const char* name) {
  if (name == nullptr) return false;
  for (const aVersionFeature& f : FEATS)
    if (strcmp(f.name, name) == 0) return true;
  return false;
}

char* aVersion_GetFeatureList(void) {
  size_t length = 1;  // terminator
  for (const aVersionFeature& f : FEATS) length += strlen(f.name) + 3 + strlen(f.description) + 1;
  char* text = static_cast<char*>(calloc(length, 1));
  if (text == nullptr) return nullptr;
  for (size_t i = 0; i < NUM_FEATS; ++i) {
    strcat(text, FEATS[i].name);
    strcat(text, " - ");
    strcat(text, FEATS[i].description);
    if (i + 1 < NUM_FEATS) strcat(text, "\n");
  }
  return text;
}

void aVersion_DestroyFeatureList(char** list) {
  if (list == nullptr) return;
  free(*list);
  *list = nullptr;
}
