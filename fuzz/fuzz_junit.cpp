// JUnit XML of any bytes read as an RDD file: no crash, no undefined
// behaviour, and never a character XML forbids in the document.
#include "junitxml.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

bool forbidden_in_xml(unsigned char byte)
{
    return byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    JunitReport report;
    std::string error;
    if (!junit_collect_text(text, "fuzz.rdd", "/nonexistent", report, error))
        return 0;
    JunitOptions options;
    options.rdd_name = "fuzz.rdd";
    options.page = "fuzz.html";
    options.all_output = size % 2 == 1;
    options.document_limit = size * 3;
    options.quote_limit = 256;
    const std::string xml = junit_xml(report, options);
    for (const char c : xml)
        if (forbidden_in_xml(static_cast<unsigned char>(c)))
            std::abort();
    return 0;
}
