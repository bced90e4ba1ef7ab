#pragma once
// Module model codes and their names. The names are the ones BIRD firmware
// files carry: the update flow compares a module's name with its file's name
// as strings, so a name here must never change once files carry it.
#include <cstdint>

#define aDEFS_MODEL_NAME_MAX 16  // longest model name, in characters
#define aDEFS_UNKNOWN_MODEL "Unknown"

// Model name of a code; "Unknown" for codes without a name (codes 4, 5 and
// 13 to 27 have names).
const char* aDefs_GetModelName(uint32_t model);
// Reverse lookup: the code whose name equals `name` exactly, or 0 when no
// model has that name (0 is not a model code).
uint32_t aDefs_GetModelCode(const char* name);
