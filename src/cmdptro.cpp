#include "cmdptro.h"

int option_language_init() { return 2; }

bool merge_options_decode(int, char **, std::string &postpro_options, MergeSettings &settings)
{
    postpro_options = "  -RA=RA -VA=EVAL -LE=GB -COMMENT -LANDSCAPE -NOSUMMARY -ROD";
    settings = MergeSettings{};
    return true;
}
