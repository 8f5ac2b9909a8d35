// CF lines: each file's tree gets one line describing the ROD file it was
// read from (name, relative and absolute directory, size, CRC-16, number).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "rodmodel.h"

// The three texts of a CF line, each between double quotes: the ROD file's
// name without directory, its directory relative to `current_dir` (empty
// when the same, else ending with "/"), and its absolute directory. A name
// without directory part lies in `current_dir`.
struct CfTexts {
    std::string name;
    std::string relative_dir;
    std::string absolute_dir;
};
CfTexts cf_texts(const std::string &current_dir, const char *rod_name);

// What a CF line says of its ROD file, from its loading.
struct RodFileFacts {
    std::size_t size;
    uint16_t crc;
    bool regular; // a file that is not a regular one cannot be described
};

// Clears the CF lines met before the first XI line of the tree, then inserts
// the CF line describing `rod_name` after the first IE line (none when the
// tree has no IE line). SIZBUFOVL when the current directory cannot be read,
// FICERROPN when the ROD file is no regular file.
void add_cf_line(CellId tree, const char *rod_name, int file_number, const RodFileFacts &facts);
