#pragma once

#include <cstdint>

// Hex text as the node and the miner exchange it: two characters per byte,
// most significant nibble first. Decoding accepts either case and reads any
// other character as 0; encoding writes lower case.

// 0..15 for a hex digit of either case, 0 for every other character.
int hex_char(char c);

// Decodes n bytes from the first 2n characters of `hex`, which must hold at
// least that many. n <= 0 writes nothing.
void hex2bin(uint8_t* out, const char* hex, int32_t n);

// Writes 2n lower-case hex characters and a terminator at out[2n]; `out`
// holds at least 2n + 1 characters.
void bin2hex(char* out, const uint8_t* data, int32_t n);

// Reverses the first n bytes of buf in place.
void memrev(uint8_t* buf, int32_t n);
