#pragma once
// Firmware version words and the module library's own version.
//
// A module reports its firmware version as one 32-bit word in one of two
// layouts:
//   legacy:  bits 31..28 major, 27..24 minor, 23..0 patch
//   current: bits 31..24 = 0x2F, 23..16 major, 15..8 minor, 7..0 patch
// A word whose top two nibbles read as (major, minor) sort below (2, 15) is
// legacy; every other word is current.
#include <cstddef>
#include <cstdint>

#define aVERSION_MAJOR 2
#define aVERSION_MINOR 11
#define aVERSION_PATCH 2
// Stands between minor and patch in the library's version text.
#define aVERSION_PHASE "."
// Top byte of every current-layout version word.
#define aVERSION_CURRENT_TAG 0x2Fu

// True when the word is in the legacy layout.
bool aVersion_IsLegacyFormat(uint32_t version);
uint8_t aVersion_ParseMajor(uint32_t version);
uint8_t aVersion_ParseMinor(uint32_t version);
uint32_t aVersion_ParsePatch(uint32_t version);
// Writes "major.minor.patch" with snprintf semantics (a null buffer with
// size 0 only measures) and returns snprintf's result.
int aVersion_ParseString(uint32_t version, char* buffer, size_t size);
// Packs a version into the layout a reader will recognise: current when
// (major, minor) >= (2, 15), else legacy (minor keeps its low 4 bits).
uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);

// The module library's own version, 2.11.2.
uint8_t aVersion_GetMajor(void);
uint8_t aVersion_GetMinor(void);
uint8_t aVersion_GetPatch(void);
// "2.11.2"; a static text, safe to call from any thread.
const char* aVersion_GetString(void);
// True when the library version is at least the given one.
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);
// Lexicographic (haveMajor, haveMinor, havePatch) >= (needMajor, ...).
bool aVersion_IsAtLeastCompare(uint8_t haveMajor, uint8_t haveMinor, uint8_t havePatch,
                               uint8_t needMajor, uint8_t needMinor, uint8_t needPatch);

// The library's features: (name, description) pairs.
typedef struct {
  const char* name;
  const char* description;
} aVersionFeature;
inline constexpr size_t NUM_FEATS = 1;
extern const aVersionFeature FEATS[NUM_FEATS];

// True when the library has the named feature (exact, case-sensitive match).
bool aVersion_HasFeature(const char* name);
// Newly allocated text "NAME - description" per feature, one per line; the
// caller releases it with aVersion_DestroyFeatureList. Null when memory is short.
char* aVersion_GetFeatureList(void);
// Frees the text and clears the caller's pointer.
void aVersion_DestroyFeatureList(char** list);
