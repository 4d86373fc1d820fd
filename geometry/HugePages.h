#pragma once
#include <cstddef>

// Asks the system to back the whole 2 MiB pages inside [data, data + bytes) with huge pages, for
// arrays of a mesh or map that are about to be filled: first touch of fresh memory then costs one
// fault per 2 MiB instead of one per 4 KiB. Only a hint; memory already touched stays as it is.
void PreferHugePages(void* data, size_t bytes);
