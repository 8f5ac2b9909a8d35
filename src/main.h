// Driver services.
#pragma once

#include <string>

#include "rodload.h"

// The RDD header line, made from the second field of the first ROD file's
// header line and the run's time stamp; UNEXPTEOF when no file was merged.
std::string rdd_header_line(const MergedReport &report);
