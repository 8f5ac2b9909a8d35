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
    if (!junit_collect_text(text, "fuzz.rdd", report, error))
        return 0;
    const std::string xml = junit_xml(report, "fuzz.rdd");
    for (const char c : xml)
        if (forbidden_in_xml(static_cast<unsigned char>(c)))
            std::abort();
    return 0;
}
