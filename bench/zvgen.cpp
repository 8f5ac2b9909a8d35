// Writes a benchmark input set: a TDC file and K RIO files of one campaign.
//
//   zvgen DIR SCENARIO FILES BYTES_PER_FILE [SEED]
//
// SCENARIO is a letter a..e (see rodgen.h). Prints the names of the files
// written, one per line, TDC first.
#include "rodgen.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

namespace {

bool write_text(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary);
    return out && (out << text) && out.flush();
}

} // namespace

int main(int argc, char **argv)
{
    GenParams params;
    if (argc < 5 || !gen_scenario_from_text(argv[2], params.scenario)) {
        std::cerr << "usage: zvgen DIR a|b|c|d|e FILES BYTES_PER_FILE [SEED]\n";
        return 2;
    }
    const std::string dir = argv[1];
    params.files = std::atoi(argv[3]);
    params.bytes_per_file = std::strtoull(argv[4], nullptr, 10);
    if (argc > 5)
        params.seed = static_cast<uint32_t>(std::strtoul(argv[5], nullptr, 10));
    if (params.files < 1 || params.files > 999) {
        std::cerr << "zvgen: FILES must be 1 to 999 (one TDC file shares the 1000 names)\n";
        return 2;
    }
    const std::string tdc = dir + "/" + gen_tdc_name();
    if (!write_text(tdc, gen_tdc_text())) {
        std::cerr << "zvgen: cannot write " << tdc << '\n';
        return 1;
    }
    std::cout << tdc << '\n';
    for (int file = 0; file < params.files; ++file) {
        const std::string rio = dir + "/" + gen_rio_name(file);
        if (!write_text(rio, gen_rio_text(params, file))) {
            std::cerr << "zvgen: cannot write " << rio << '\n';
            return 1;
        }
        std::cout << rio << '\n';
    }
    return 0;
}
