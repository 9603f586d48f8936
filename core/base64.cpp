#include "slib/base64.h"

#include <string.h>

#include <array>

namespace {

constexpr signed char kInvalid = -1;
constexpr char kPad = '=';

constexpr char Base64EncodeChar(unsigned v)
{
    v &= 0x3F;
    if (v < 26)
        return static_cast<char>('A' + v);
    if (v < 52)
        return static_cast<char>('a' + (v - 26));
    if (v < 62)
        return static_cast<char>('0' + (v - 52));
    return v == 62 ? '+' : '/';
}

constexpr std::array<signed char, 256> MakeDecodeTable()
{
    std::array<signed char, 256> t{};
    for (auto &v : t)
        v = kInvalid;
    for (unsigned v = 0; v < 64; ++v)
        t[static_cast<unsigned char>(Base64EncodeChar(v))] = static_cast<signed char>(v);
    return t;
}

constexpr std::array<signed char, 256> kDecode = MakeDecodeTable();

// Bytes written while room lasts; the rest are counted out, not stored.
class Sink {
public:
    Sink(unsigned char *out, int32_t room) : out_(out), room_(out && room > 0 ? room : 0), left_(room_) {}
    void Put(int v)
    {
        if (left_ > 0) {
            *out_++ = static_cast<unsigned char>(v);
            --left_;
        }
    }
    int32_t Written() const { return room_ - left_; }

private:
    unsigned char *out_;
    int32_t room_, left_;
};

char gszEncoded[SLIB_BASE64_BUF_SIZE];

constexpr int kMaxGroups = (SLIB_BASE64_BUF_SIZE - 1) / 4;

} // namespace

extern "C" {

int Base64Decode(const void *in, uint32_t len, void *out, int32_t *pcbOut)
{
    if (!pcbOut || (!in && len > 0))
        return 0;
    auto p = static_cast<const unsigned char *>(in);
    Sink sink(static_cast<unsigned char *>(out), *pcbOut);
    while (len > 1) {
        int a = kDecode[p[0]], b = kDecode[p[1]];
        if (a < 0 || b < 0)
            break;
        sink.Put((a << 2) | (b >> 4));
        if (len == 2)
            break;
        if (p[2] == kPad) {
            // Only the last group may end in "==".
            if (len != 4 || p[3] != kPad)
                break;
        } else {
            int c = kDecode[p[2]];
            if (c < 0)
                break;
            sink.Put((b << 4) | (c >> 2));
            if (len == 3)
                break;
            if (p[3] == kPad) {
                if (len != 4)
                    break;
            } else {
                int d = kDecode[p[3]];
                if (d < 0)
                    break;
                sink.Put((c << 6) | d);
            }
        }
        len -= 4;
        p += 4;
    }
    *pcbOut = sink.Written();
    return len == 0 ? 1 : 0;
}

char *SzBase64EncodeOneLine(const void *in, int32_t len)
{
    if (!in)
        return nullptr;
    memset(gszEncoded, 0, sizeof gszEncoded);
    auto p = static_cast<const unsigned char *>(in);
    char *o = gszEncoded;
    int groups = 0;
    for (int64_t i = 0; i < len && p[i] != 0; i += 3) {
        // A secret cut short would decode as a valid, different secret.
        if (++groups > kMaxGroups) {
            memset(gszEncoded, 0, sizeof gszEncoded);
            return nullptr;
        }
        unsigned b1 = p[i];
        o[0] = Base64EncodeChar(b1 >> 2);
        if (i + 1 >= len) {
            o[1] = Base64EncodeChar(b1 << 4);
            o[2] = o[3] = kPad;
        } else {
            unsigned b2 = p[i + 1];
            o[1] = Base64EncodeChar((b1 << 4) | (b2 >> 4));
            if (i + 2 >= len) {
                o[2] = Base64EncodeChar(b2 << 2);
                o[3] = kPad;
            } else {
                unsigned b3 = p[i + 2];
                o[2] = Base64EncodeChar((b2 << 2) | (b3 >> 6));
                o[3] = Base64EncodeChar(b3);
            }
        }
        o += 4;
    }
    return gszEncoded;
}

} // extern "C"
