// The page's script and style, built into the UML stand-in from
// tools/page/page.js and tools/page/page.css.
#pragma once

#include <string_view>

extern const std::string_view PAGE_SCRIPT;
extern const std::string_view PAGE_STYLE;
