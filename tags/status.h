// The status file: a JSON document of the engine's figures and every tag's
// latest sample, for scripts and monitoring. Replaced atomically (written
// beside, then renamed), so a reader never sees half of it.
#pragma once

#include <string>
#include <vector>

#include "tags/scanner.h"

namespace tags {

// A front-end's own figures in the status file: its key and a JSON object.
struct StatusSection {
    std::string key;
    std::string json;
};

std::string StatusJson(const Scanner& scanner, const std::vector<StatusSection>& sections = {});
bool WriteStatusFile(const Scanner& scanner, const std::string& path, std::string* error,
                     const std::vector<StatusSection>& sections = {});

const char* QualityName(Quality quality);
const char* CauseName(Cause cause);

}  // namespace tags
