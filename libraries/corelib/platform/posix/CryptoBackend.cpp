// POSIX code only: the ciphers and MD5 compression of Nettle.
#include "corelib/platform/CryptoBackend.h"

#include <nettle/aes.h>
#include <nettle/des.h>
#include <nettle/md5.h>

namespace KelvraCorelib::Platform {

bool desEncryptBlocks(const uint8_t* key, const uint8_t* input, uint8_t* output, size_t size)
{
    des_ctx context;
    // The result only tells about weak keys; the schedule is set up all the same.
    (void)des_set_key(&context, key);
    des_encrypt(&context, size, output, input);
    return true;
}

bool aes256EncryptBlocks(const uint8_t* key, const uint8_t* input, uint8_t* output, size_t size)
{
    aes256_ctx context;
    aes256_set_encrypt_key(&context, key);
    aes256_encrypt(&context, size, output, input);
    return true;
}

void md5Compress(uint32_t* state, const uint8_t* block)
{
    nettle_md5_compress(state, block);
}

}  // namespace KelvraCorelib::Platform
