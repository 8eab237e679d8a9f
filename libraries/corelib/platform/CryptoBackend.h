#pragma once
// The block ciphers and the MD5 compression function under the data log signature.
//
// Ciphers run in ECB mode over whole blocks (size a multiple of the block size; input and
// output may be the same area). They return false when the system's cipher cannot be used.
//
//   uint8_t out[16];
//   aes256EncryptBlocks(key32, in, out, 16);

#include <cstddef>
#include <cstdint>

namespace KelvraCorelib::Platform {

// DES with the 8-byte key (parity bits ignored), 8-byte blocks.
bool desEncryptBlocks(const uint8_t* key, const uint8_t* input, uint8_t* output, size_t size);

// AES with the 32-byte key, 16-byte blocks.
bool aes256EncryptBlocks(const uint8_t* key, const uint8_t* input, uint8_t* output, size_t size);

// One MD5 compression step (RFC 1321) of a 64-byte block into the four state words.
void md5Compress(uint32_t* state, const uint8_t* block);

}  // namespace KelvraCorelib::Platform
