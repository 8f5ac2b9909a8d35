// The page's data block of any bytes read as an RDD file: no crash, no
// undefined behaviour, and nothing in the block that could end its script
// element or break the JSON (no "<", no control character).
#include "umlpage.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    PageLimits limits;
    // Small limits, so that budgets, bins and item caps are reached.
    limits.detail_limit = size / 2;
    limits.detail_budget = 2048;
    limits.mark_budget = 64;
    limits.items = 32;
    RddDiagnostics diagnostics;
    const PageData page = page_data_of_text(text, "/nonexistent", "fuzz.rdd", "fuzz.html", limits, diagnostics);
    for (const char c : page.json)
        if (c == '<' || (static_cast<unsigned char>(c) < 0x20))
            std::abort();
    return 0;
}
