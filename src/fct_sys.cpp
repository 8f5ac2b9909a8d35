#include "fct_sys.h"

#include "cstsyst.h"

#include <cstring>

char *sys_strdup(const char *text)
{
    const std::size_t size = std::strlen(text) + 1;
    char *copy = static_cast<char *>(xmalloc(size));
    std::memcpy(copy, text, size);
    return copy;
}
