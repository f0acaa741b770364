// The names of the formats read, in the order of detection.
#include "viredovozu.h"

namespace {
constinit const char *const supported_formats[] = {"newc", "odc", "bin", nullptr};
}

const char *const *skarnel_supported_formats(void) { return supported_formats; }
