#include "common/sha256.h"

#include <gtest/gtest.h>
#include <string>

static std::string hex(const unsigned char *digest)
{
    char text[KS_SHA256_HEX_SIZE];

    ks_sha256_hex(digest, KS_SHA256_SIZE, text);
    return text;
}

static std::string digest_of(const std::string &data)
{
    unsigned char digest[KS_SHA256_SIZE];

    ks_sha256(data.data(), data.size(), digest);
    return hex(digest);
}

TEST(Sha256, KnownDigests)
{
    const struct {
        std::string data;
        const char *digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };

    for (const auto &c : cases)
        EXPECT_EQ(digest_of(c.data), c.digest) << c.data.size() << " bytes";
}

TEST(Sha256, PiecesGiveTheDigestOfTheWhole)
{
    std::string data;
    for (int i = 0; i < 1000; i++)
        data += static_cast<char>(i * 7);
    std::string whole = digest_of(data);

    // Every split point around the 64-byte blocks and the padding boundary.
    for (size_t step : {1, 3, 55, 56, 63, 64, 65, 127, 999}) {
        struct ks_sha256 s;
        unsigned char digest[KS_SHA256_SIZE];
        ks_sha256_init(&s);
        for (size_t at = 0; at < data.size(); at += step)
            ks_sha256_update(&s, data.data() + at, std::min(step, data.size() - at));
        ks_sha256_final(&s, digest);
        EXPECT_EQ(hex(digest), whole) << "step " << step;
    }
}

TEST(Sha256, HmacTestVectors)
{
    const struct {
        std::string key, data;
        const char *mac;
    } cases[] = {
        {std::string(20, '\x0b'), "Hi There", "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"Jefe", "what do ya want for nothing?", "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        // A key longer than a block is hashed first.
        {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
    };

    for (const auto &c : cases) {
        unsigned char mac[KS_SHA256_SIZE];
        ks_sha256_hmac(c.key.data(), c.key.size(), c.data.data(), c.data.size(), mac);
        EXPECT_EQ(hex(mac), c.mac) << c.data;
    }
}
