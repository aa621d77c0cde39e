// MD5 of a payload, as writers stamp it and readers check it.
#pragma once

#include <cstdint>

// Computed with MD5_Init/Update/Final in a context on the stack: a record costs no allocation.
void computeMd5(const void* data, uint32_t length, uint8_t digest[16]);
