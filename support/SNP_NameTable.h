// A fixed code-to-text table: the shape shared by the name functions of the camera
// codes and of the diagnostic codes. Lookup is exact; an unlisted code gets the
// table's fallback text.
#pragma once

#include <cstdint>
#include <span>

struct SNP_NameRow {
    uint32_t code;
    const char* text; // static storage
};

using SNP_NameTable = std::span<const SNP_NameRow>;

inline const char* SNP_lookupName(SNP_NameTable table, uint32_t code, const char* fallback)
{
    for (const SNP_NameRow& row : table) {
        if (row.code == code)
            return row.text;
    }
    return fallback;
}
