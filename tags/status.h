// The status file: a JSON document of the engine's figures and every tag's
// latest sample, for scripts and monitoring. Replaced atomically (written
// beside, then renamed), so a reader never sees half of it.
#pragma once

#include <string>

#include "tags/scanner.h"

namespace tags {

std::string StatusJson(const Scanner& scanner);
bool WriteStatusFile(const Scanner& scanner, const std::string& path, std::string* error);

const char* QualityName(Quality quality);
const char* CauseName(Cause cause);

}  // namespace tags
