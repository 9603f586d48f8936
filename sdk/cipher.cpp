#include "vako/cipher.h"

#include <crypt.h>
#include <stdint.h>
#include <string.h>
#include <syslog.h>

namespace {

// The source file that the messages name.
constexpr char kSource[] = "crypt_str_crypt";

constexpr char kKey[] = "QKRTV_7.4";
constexpr char kSalt[] = "QX";
// A traditional DES crypt result: the salt and 11 characters.
constexpr size_t kCryptLen = 13;
constexpr int kSeedSize = 13;
constexpr int32_t kSeedStart = 824;
constexpr int32_t kModulus = 65521;

#define CIPHER_LOG(text) syslog(LOG_ERR, "%s %s(%d): " text, kSource, __func__, __LINE__)

unsigned char gT1[256], gT2[256], gT3[256];
unsigned char gSeed[kSeedSize];

// Builds the permutation, the reflector and the inverse permutation from
// the key; false when crypt gives no usable result.
bool StrCryptSetup()
{
    memset(gT1, 0, sizeof gT1);
    memset(gT2, 0, sizeof gT2);
    memset(gT3, 0, sizeof gT3);
    memset(gSeed, 0, sizeof gSeed);
    const char *c = crypt(kKey, kSalt);
    if (!c || c[0] == '*' || strlen(c) != kCryptLen) {
        CIPHER_LOG("crypt() failed");
        return false;
    }
    // Its first 12 characters and a zero byte, as a 13-byte "%s" would leave it.
    memcpy(gSeed, c, kSeedSize - 1);

    // Arithmetic modulo 2^32, read as signed where the remainder is taken.
    uint32_t s = static_cast<uint32_t>(kSeedStart);
    for (int j = 0; j < kSeedSize; ++j)
        s = s * gSeed[j] + static_cast<uint32_t>(j);
    for (int i = 0; i < 256; ++i)
        gT1[i] = static_cast<unsigned char>(i);
    for (int i = 0; i < 256; ++i) {
        const int k = 255 - i;
        s = 5 * s + gSeed[i % kSeedSize];
        const uint32_t r = static_cast<uint32_t>(static_cast<int32_t>(s) % kModulus);
        const unsigned swap = (r & 0xFF) % static_cast<unsigned>(k + 1);
        const unsigned char t = gT1[k];
        gT1[k] = gT1[swap];
        gT1[swap] = t;
        // Entries are paired two at a time out of 256, so an entry k
        // still unpaired has a free partner below it, and k > 0 here.
        if (gT2[k] == 0) {
            unsigned p = ((r >> 8) & 0xFF) % static_cast<unsigned>(k);
            while (gT2[p] != 0)
                p = (p + 1) % static_cast<unsigned>(k);
            gT2[k] = static_cast<unsigned char>(p);
            gT2[p] = static_cast<unsigned char>(k);
        }
    }
    for (int i = 0; i < 256; ++i)
        gT3[gT1[i]] = static_cast<unsigned char>(i);
    return true;
}

} // namespace

extern "C" {

int VAKOStrCrypt(const char *szIn, void *out, int32_t cbOut)
{
    if (!szIn || !out) {
        CIPHER_LOG("wrong parameters");
        return -1;
    }
    const size_t len = strlen(szIn);
    if (cbOut <= 0 || static_cast<size_t>(cbOut) <= len) {
        CIPHER_LOG("iLen is not enough!!");
        return -1;
    }
    auto *o = static_cast<unsigned char *>(out);
    memset(o, 0, static_cast<size_t>(cbOut));
    if (!StrCryptSetup())
        return -1;
    auto in = reinterpret_cast<const unsigned char *>(szIn);
    unsigned p1 = 0, p2 = 0;
    for (size_t i = 0; i < len; ++i) {
        unsigned v = gT1[(in[i] + p1) & 0xFF];
        v = gT2[(v + p2) & 0xFF];
        v = gT3[(v - p2) & 0xFF];
        o[i] = static_cast<unsigned char>((v - p1) & 0xFF);
        if (++p1 == 256) {
            p1 = 0;
            p2 = (p2 + 1) & 0xFF;
        }
    }
    return 0;
}

} // extern "C"
