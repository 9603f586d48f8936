#include "slib/smb_hash.h"

#include <stdint.h>
#include <string.h>
#include <syslog.h>

#include "slib/codepage.h"
#include "slib/error.h"
#include "slib/unicode.h"
#include "slibcxx/border.h"

namespace {

// The source files that the hashes' codes and messages name.
constexpr char kLmSource[] = "encoding_smb_lm_hash";
constexpr char kNtSource[] = "encoding_smb_md4hash";

// A password stands in no log line: this marks where it would.
constexpr char kHiddenPassword[] = "********";

// A buffer of secret bytes, wiped when it goes out of scope.
template <size_t N> struct Secret {
    unsigned char b[N] = {};
    Secret() = default;
    Secret(const Secret &) = delete;
    Secret &operator=(const Secret &) = delete;
    ~Secret() { explicit_bzero(b, N); }
    char *str() { return reinterpret_cast<char *>(b); }
};

// ---- DES of one block, one bit per byte ----

constexpr uint8_t kPc1[56] = {
    57, 49, 41, 33, 25, 17, 9,  1, 58, 50, 42, 34, 26, 18, 10, 2, 59, 51, 43, 35, 27, 19, 11, 3, 60, 52, 44, 36,
    63, 55, 47, 39, 31, 23, 15, 7, 62, 54, 46, 38, 30, 22, 14, 6, 61, 53, 45, 37, 29, 21, 13, 5, 28, 20, 12, 4,
};
constexpr uint8_t kPc2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32,
};
constexpr uint8_t kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};
constexpr uint8_t kIp[64] = {
    58, 50, 42, 34, 26, 18, 10, 2,  60, 52, 44, 36, 28, 20, 12, 4,  62, 54, 46, 38, 30, 22,
    14, 6,  64, 56, 48, 40, 32, 24, 16, 8,  57, 49, 41, 33, 25, 17, 9,  1,  59, 51, 43, 35,
    27, 19, 11, 3,  61, 53, 45, 37, 29, 21, 13, 5,  63, 55, 47, 39, 31, 23, 15, 7,
};
constexpr uint8_t kFp[64] = {
    40, 8,  48, 16, 56, 24, 64, 32, 39, 7,  47, 15, 55, 23, 63, 31, 38, 6,  46, 14, 54, 22,
    62, 30, 37, 5,  45, 13, 53, 21, 61, 29, 36, 4,  44, 12, 52, 20, 60, 28, 35, 3,  43, 11,
    51, 19, 59, 27, 34, 2,  42, 10, 50, 18, 58, 26, 33, 1,  41, 9,  49, 17, 57, 25,
};
constexpr uint8_t kE[48] = {
    32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,  8,  9,  10, 11, 12, 13, 12, 13, 14, 15, 16, 17,
    16, 17, 18, 19, 20, 21, 20, 21, 22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1,
};
constexpr uint8_t kP[32] = {
    16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
    2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25,
};
constexpr uint8_t kSbox[8][4][16] = {
    {{14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7},
     {0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8},
     {4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0},
     {15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13}},
    {{15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10},
     {3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5},
     {0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15},
     {13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9}},
    {{10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8},
     {13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1},
     {13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7},
     {1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12}},
    {{7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15},
     {13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9},
     {10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4},
     {3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14}},
    {{2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9},
     {14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6},
     {4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14},
     {11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3}},
    {{12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11},
     {10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8},
     {9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6},
     {4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13}},
    {{4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1},
     {13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6},
     {1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2},
     {6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12}},
    {{13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7},
     {1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2},
     {7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8},
     {2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11}},
};

// out[i] = in[table[i] - 1]; out and in never overlap.
void DesPermute(uint8_t *out, const uint8_t *in, const uint8_t *table, int n)
{
    for (int i = 0; i < n; ++i)
        out[i] = in[table[i] - 1];
}

void DesLShift(uint8_t *d, int count, int n)
{
    uint8_t tmp[64];
    for (int i = 0; i < n; ++i)
        tmp[i] = d[(i + count) % n];
    memcpy(d, tmp, static_cast<size_t>(n));
}

void DesConcat(uint8_t *out, const uint8_t *a, int na, const uint8_t *b, int nb)
{
    memcpy(out, a, static_cast<size_t>(na));
    memcpy(out + na, b, static_cast<size_t>(nb));
}

void DesXor(uint8_t *out, const uint8_t *a, const uint8_t *b, int n)
{
    for (int i = 0; i < n; ++i)
        out[i] = a[i] ^ b[i];
}

void BytesToBits(uint8_t *bits, const unsigned char *bytes, int n)
{
    for (int i = 0; i < n * 8; ++i)
        bits[i] = (bytes[i / 8] >> (7 - i % 8)) & 1;
}

struct DesWork {
    uint8_t key8[8], keyBits[64], pk1[56], c[28], d[28], cd[56], subkey[16][48];
    uint8_t dataBits[64], pd1[64], l[32], r[32], er[48], erk[48], sb[32], pcb[32], r2[32], rl[64], pd2[64];
};

// One block under a 7-byte key (bits 7-1 of eight key bytes, parity bit 0
// zero); forward applies subkeys 1 to 16, else 16 to 1.
void DesSmbHash(unsigned char *out, const unsigned char *in, const unsigned char *key, int forward)
{
    DesWork w;
    w.key8[0] = static_cast<uint8_t>(key[0] >> 1);
    for (int i = 1; i < 7; ++i)
        w.key8[i] = static_cast<uint8_t>(((key[i - 1] << (7 - i)) | (key[i] >> (i + 1))) & 0x7F);
    w.key8[7] = key[6] & 0x7F;
    for (uint8_t &b : w.key8)
        b = static_cast<uint8_t>(b << 1);
    BytesToBits(w.keyBits, w.key8, 8);
    BytesToBits(w.dataBits, in, 8);

    DesPermute(w.pk1, w.keyBits, kPc1, 56);
    memcpy(w.c, w.pk1, 28);
    memcpy(w.d, w.pk1 + 28, 28);
    for (int i = 0; i < 16; ++i) {
        DesLShift(w.c, kShifts[i], 28);
        DesLShift(w.d, kShifts[i], 28);
        DesConcat(w.cd, w.c, 28, w.d, 28);
        DesPermute(w.subkey[i], w.cd, kPc2, 48);
    }

    DesPermute(w.pd1, w.dataBits, kIp, 64);
    memcpy(w.l, w.pd1, 32);
    memcpy(w.r, w.pd1 + 32, 32);
    for (int i = 0; i < 16; ++i) {
        DesPermute(w.er, w.r, kE, 48);
        DesXor(w.erk, w.er, w.subkey[forward ? i : 15 - i], 48);
        for (int j = 0; j < 8; ++j) {
            const uint8_t *m = w.erk + j * 6;
            int row = (m[0] << 1) | m[5];
            int col = (m[1] << 3) | (m[2] << 2) | (m[3] << 1) | m[4];
            uint8_t v = kSbox[j][row][col];
            for (int k = 0; k < 4; ++k)
                w.sb[j * 4 + k] = (v >> (3 - k)) & 1;
        }
        DesPermute(w.pcb, w.sb, kP, 32);
        DesXor(w.r2, w.l, w.pcb, 32);
        memcpy(w.l, w.r, 32);
        memcpy(w.r, w.r2, 32);
    }
    DesConcat(w.rl, w.r, 32, w.l, 32);
    DesPermute(w.pd2, w.rl, kFp, 64);

    for (int i = 0; i < 8; ++i) {
        unsigned char b = 0;
        for (int k = 0; k < 8; ++k)
            b = static_cast<unsigned char>((b << 1) | w.pd2[i * 8 + k]);
        out[i] = b;
    }
    explicit_bzero(&w, sizeof w);
}

// ---- MD4 (RFC 1320) ----

constexpr uint32_t Md4F(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); }
constexpr uint32_t Md4G(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (x & z) | (y & z); }
constexpr uint32_t Md4H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
constexpr uint32_t Md4LShift(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

struct Md4State {
    uint32_t a, b, c, d;
};

// 16 little-endian words from 64 bytes.
void Md4Copy64(uint32_t *m, const unsigned char *in)
{
    for (int i = 0; i < 16; ++i)
        m[i] = static_cast<uint32_t>(in[i * 4]) | (static_cast<uint32_t>(in[i * 4 + 1]) << 8) |
               (static_cast<uint32_t>(in[i * 4 + 2]) << 16) | (static_cast<uint32_t>(in[i * 4 + 3]) << 24);
}

void Md4Copy4(unsigned char *out, uint32_t x)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<unsigned char>(x >> (8 * i));
}

void Md4Transform64(Md4State &st, const unsigned char *block)
{
    uint32_t m[16];
    Md4Copy64(m, block);
    uint32_t a = st.a, b = st.b, c = st.c, d = st.d;

    constexpr int kS1[4] = {3, 7, 11, 19};
    for (int i = 0; i < 16; ++i) {
        uint32_t t = Md4LShift(a + Md4F(b, c, d) + m[i], kS1[i % 4]);
        a = d, d = c, c = b, b = t;
    }
    constexpr int kS2[4] = {3, 5, 9, 13};
    for (int i = 0; i < 16; ++i) {
        int k = (i % 4) * 4 + i / 4;
        uint32_t t = Md4LShift(a + Md4G(b, c, d) + m[k] + 0x5A827999u, kS2[i % 4]);
        a = d, d = c, c = b, b = t;
    }
    constexpr int kS3[4] = {3, 9, 11, 15};
    constexpr int kOrder3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    for (int i = 0; i < 16; ++i) {
        uint32_t t = Md4LShift(a + Md4H(b, c, d) + m[kOrder3[i]] + 0x6ED9EBA1u, kS3[i % 4]);
        a = d, d = c, c = b, b = t;
    }
    st.a += a, st.b += b, st.c += c, st.d += d;
    explicit_bzero(m, sizeof m);
}

void Md4(unsigned char *out, const unsigned char *in, size_t n)
{
    Md4State st = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u};
    const size_t bits = n * 8;
    while (n > 64) {
        Md4Transform64(st, in);
        in += 64;
        n -= 64;
    }
    Secret<128> tail;
    memcpy(tail.b, in, n);
    tail.b[n] = 0x80;
    if (n <= 55) {
        Md4Copy4(tail.b + 56, static_cast<uint32_t>(bits));
        Md4Transform64(st, tail.b);
    } else {
        Md4Copy4(tail.b + 120, static_cast<uint32_t>(bits));
        Md4Transform64(st, tail.b);
        Md4Transform64(st, tail.b + 64);
    }
    Md4Copy4(out, st.a);
    Md4Copy4(out + 4, st.b);
    Md4Copy4(out + 8, st.c);
    Md4Copy4(out + 12, st.d);
    explicit_bzero(&st, sizeof st);
}

constexpr int kTextRoom = 128;
constexpr size_t kLmKeyRoom = 15, kLmKeyUsed = 14;
constexpr unsigned char kLmMagic[8] = {'K', 'G', 'S', '!', '@', '#', '$', '%'};
constexpr int kNtUnits = 128;

} // namespace

extern "C" {

int SLIBEncodingSmbLmHash(const char *szPassword, void *out, int32_t cbOut)
{
    return slib::Guarded(kLmSource, -1, [&] {
        if (cbOut < SLIB_SMB_HASH_SIZE) {
            SLIBErrorSetEx(SLIB_ERR_BUFFER_SMALL, kLmSource, __LINE__);
            return -1;
        }
        if (!out) {
            SLIBErrorSetEx(SLIB_ERR_BAD_PARAMETER, kLmSource, __LINE__);
            return -1;
        }
        Secret<kTextRoom> upper;
        if (SLIBUnicodeUTF8StrUpper(szPassword, upper.str(), kTextRoom) < 0)
            return -1;
        if (*szPassword && !upper.b[0])
            return -1;
        int index;
        if (SLIBConfCodePageGet(SLIB_CODEPAGE_WINDOWS, &index) < 0)
            return -1;
        Secret<kTextRoom> cp;
        if (SLIBUnicodeStrUTF8ToCP(index, upper.str(), cp.str(), kTextRoom) < 0)
            return -1;
        if (upper.b[0] && !cp.b[0])
            return -1;
        Secret<kLmKeyRoom> key;
        for (size_t i = 0; i < kLmKeyUsed && cp.b[i]; ++i)
            key.b[i] = cp.b[i];
        auto *o = static_cast<unsigned char *>(out);
        DesSmbHash(o, kLmMagic, key.b, 1);
        DesSmbHash(o + 8, kLmMagic, key.b + 7, 1);
        return 0;
    });
}

int SLIBEncodingSmbMd4Hash(const char *szPassword, void *out, int32_t cbOut)
{
    if (!szPassword || !out) {
        SLIBErrorSetEx(SLIB_ERR_BAD_PARAMETER, kNtSource, __LINE__);
        return -1;
    }
    if (cbOut < SLIB_SMB_HASH_SIZE) {
        SLIBErrorSetEx(SLIB_ERR_BUFFER_SMALL, kNtSource, __LINE__);
        return -1;
    }
    // UTF-16 units, low byte first.
    Secret<kNtUnits * 2> units;
    auto s = reinterpret_cast<const unsigned char *>(szPassword);
    for (int n = 0; n < kNtUnits; ++n) {
        unsigned v;
        if (s[0] == 0) {
            break; // its unit, 0, is already there
        } else if (s[0] < 0x80) {
            v = s[0];
            s += 1;
        } else if ((s[0] & 0xE0) == 0xC0 && (s[1] & 0xC0) == 0x80) {
            v = ((s[0] & 0x1Fu) << 6) | (s[1] & 0x3Fu);
            s += 2;
        } else if ((s[0] & 0xF0) == 0xE0 && (s[1] & 0xC0) == 0x80 && (s[2] & 0xC0) == 0x80) {
            v = ((s[0] & 0x0Fu) << 12) | ((s[1] & 0x3Fu) << 6) | (s[2] & 0x3Fu);
            s += 3;
        } else {
            syslog(LOG_ERR, "%s:%d Bad UTF-8 character after [%d]-th character of string: [%s]", kNtSource, __LINE__, n,
                   kHiddenPassword);
            break;
        }
        units.b[n * 2] = static_cast<unsigned char>(v);
        units.b[n * 2 + 1] = static_cast<unsigned char>(v >> 8);
    }
    units.b[(kNtUnits - 1) * 2] = units.b[(kNtUnits - 1) * 2 + 1] = 0;
    size_t len = 0;
    while (units.b[len * 2] || units.b[len * 2 + 1])
        ++len;
    Md4(static_cast<unsigned char *>(out), units.b, len * 2);
    return 0;
}

} // extern "C"
