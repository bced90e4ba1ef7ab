#include "common/aDefs.h"

#include <cstring>

namespace {

struct Model {
  uint32_t code;
  const char* name;
};

// The one table of model names. Codes 6 to 12 were never assigned.
constexpr Model MODELS[] = {
    {4, "TessHub-Quad"},     {5, "TessHub-Octo"},    {13, "TessSwitch-Duo"},
    {14, "TessSwitch-Quad"}, {15, "TessRelay-8"},    {16, "TessDigIO-16"},
    {17, "TessADC-8"},       {18, "TessDAC-4"},      {19, "TessThermo-6"},
    {20, "TessGauge"},       {21, "TessRouter-I2C"}, {22, "TessSerial-Duo"},
    {23, "TessPowerRail"},   {24, "TessVoltMeter"},  {25, "TessAmpMeter"},
    {26, "TessClockwork"},   {27, "TessBenchKit"},
};

constexpr bool namesFit() {
  for (const Model& m : MODELS) {
    size_t n = 0;
    while (m.name[n] != '\0') ++n;
    if (n == 0 || n > aDEFS_MODEL_NAME_MAX) return false;
  }
  return true;
}
static_assert(sizeof(MODELS) / sizeof(MODELS[0]) == 17, "seventeen named models");
static_assert(namesFit(), "model names are 1 to 16 characters");

}  // namespace

const char* aDefs_GetModelName(uint32_t model) {
  for (const Model& m : MODELS)
    if (m.code == model) return m.name;
  return aDEFS_UNKNOWN_MODEL;
}

uint32_t aDefs_GetModelCode(const char* name) {
  if (name == nullptr) return 0;
  for (const Model& m : MODELS)
    if (strcmp(m.name, name) == 0) return m.code;
  return 0;
}
