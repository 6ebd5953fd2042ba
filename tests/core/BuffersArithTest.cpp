#include "core/Arith.h"
#include "core/Buffers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numeric>

TEST(Buffers, SetBufferCopiesOrZeroFillsAndRefusesOversizedBuffers)
{
    TBuffer b;
    EXPECT_EQ(b.Size(), 0);
    EXPECT_EQ(b.Data(), nullptr);
    const uint8_t src[] = {1, 2, 3, 4, 5};
    SetBuffer(b, 5, src);
    ASSERT_EQ(b.Size(), 5);
    EXPECT_EQ(std::memcmp(b.Data(), src, 5), 0);
    SetBuffer(b, 5, nullptr); // same size: kept, cleared
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(b.Data()[i], 0);
    SetBuffer(b, 3, src);
    ASSERT_EQ(b.Size(), 3);
    EXPECT_EQ(b.Data()[2], 3);

    SetBuffer(b, MaxBufferSize, nullptr);
    EXPECT_EQ(b.Size(), MaxBufferSize);
    EXPECT_EQ(b.Data()[MaxBufferSize - 1], 0);
    SetBuffer(b, MaxBufferSize + 1, nullptr);
    EXPECT_EQ(b.Size(), 0);
    EXPECT_EQ(b.Data(), nullptr);
    SetBuffer(b, 70000, nullptr); // would wrap to 4464 in 16 bits
    EXPECT_EQ(b.Size(), 0);
}

TEST(Buffers, ABufferCanBeSetFromItsOwnBytes)
{
    TBuffer b = AllocCopy(6, "abcdef");
    SetBuffer(b, 3, b.Data() + 2); // shrinks: the source lies in the old block
    ASSERT_EQ(b.Size(), 3);
    EXPECT_EQ(std::memcmp(b.Data(), "cde", 3), 0);
    SetBuffer(b, 3, b.Data()); // same size, same bytes
    EXPECT_EQ(std::memcmp(b.Data(), "cde", 3), 0);
}

TEST(Buffers, WordBuffersHoldTwiceTheBytesUpToTheLimit)
{
    TBuffer b;
    const uint16_t words[] = {0x1234, 0xABCD, 7};
    SetWordBuffer(b, 3, words);
    ASSERT_EQ(b.Size(), 6);
    EXPECT_EQ(std::memcmp(b.Data(), words, 6), 0);
    SetWordBuffer(b, 32760, nullptr);
    EXPECT_EQ(b.Size(), 65520);
    SetWordBuffer(b, 32761, nullptr);
    EXPECT_EQ(b.Size(), 0);
    SetWordBuffer(b, 0x80000001u, nullptr); // doubling would wrap to 2
    EXPECT_EQ(b.Size(), 0);
}

TEST(Buffers, AllocCopyFreeCompareAndMove)
{
    EXPECT_EQ(AllocCopy(0, "x").Data(), nullptr);
    TBuffer z = AllocCopy(4, nullptr);
    ASSERT_EQ(z.Size(), 4);
    EXPECT_EQ(z.Data()[3], 0);
    TBuffer c = AllocCopy(4, "wxyz");
    EXPECT_EQ(c.Data()[3], 'z');
    FreeBuffer(c);
    EXPECT_EQ(c.Size(), 0);
    EXPECT_EQ(c.Data(), nullptr);
    FreeBuffer(c); // twice is harmless

    EXPECT_EQ(CompareBytes("abcdef", "abcdef", 6), 0);
    EXPECT_EQ(CompareBytes("abcdef", "abcxef", 6), 3);
    EXPECT_EQ(CompareBytes("abcdef", "xbcdef", 6), 6);
    EXPECT_EQ(CompareBytes("abcdef", "abcdex", 6), 1);
    EXPECT_EQ(CompareBytes("a", "b", 0), 0);

    char buf[8] = "1234567";
    MoveBytes(buf, buf + 2, 4); // overlapping forward move
    EXPECT_STREQ(buf, "1212347");
    MoveBytes(nullptr, nullptr, 0);
}

TEST(Arith, ISqrtIsTheLargestRootNotAbove)
{
    EXPECT_EQ(ISqrt(99), 9);
    EXPECT_EQ(ISqrt(0), 0);
    EXPECT_EQ(ISqrt(0xFFFFFFFFu), 65535);
    EXPECT_EQ(ISqrt(65535u * 65535u), 65535);
    EXPECT_EQ(ISqrt(65535u * 65535u - 1), 65534);
    // Exhaustive over the low range and around every square up to 2^32.
    for (uint32_t x = 0; x < (1u << 20); ++x) {
        const uint32_t r = ISqrt(x);
        ASSERT_TRUE(r * r <= x && (r + 1) * (r + 1) > x) << x;
    }
    for (uint32_t r = 1; r < 65536; ++r) {
        const uint32_t sq = r * r;
        ASSERT_EQ(ISqrt(sq), r);
        ASSERT_EQ(ISqrt(sq - 1), r - 1);
    }
}

TEST(Arith, GcdAgreesWithTheStandardLibrary)
{
    EXPECT_EQ(Gcd(12, 18), 6);
    EXPECT_EQ(Gcd(0, 0), 0);
    EXPECT_EQ(Gcd(0, 9), 9);
    EXPECT_EQ(Gcd(9, 0), 9);
    EXPECT_EQ(Gcd(65535, 65535), 65535);
    for (uint32_t a = 0; a < 400; ++a)
        for (uint32_t b = 0; b < 400; b += 3)
            ASSERT_EQ(Gcd(uint16_t(a), uint16_t(b)), std::gcd(a, b)) << a << "," << b;
}

TEST(Arith, PowerFactorCodeSignsAndBounds)
{
    EXPECT_EQ(PowerFactorCode(100, 0), 0);
    EXPECT_EQ(PowerFactorCode(80, 60), 20);
    EXPECT_EQ(PowerFactorCode(80, -60), -20);
    EXPECT_EQ(PowerFactorCode(0, 50), 100);
    EXPECT_EQ(PowerFactorCode(0, -50), -100);
    EXPECT_EQ(PowerFactorCode(1, 0), 0);
    EXPECT_EQ(PowerFactorCode(65535, 0), 0);
    EXPECT_EQ(PowerFactorCode(0, -32768), -100);
    // No load has no angle.
    EXPECT_FALSE(HasPowerFactor(0, 0));
    EXPECT_EQ(PowerFactorCode(0, 0), 0);
    EXPECT_TRUE(HasPowerFactor(0, -1));

    // The code stays within 0..100 in size, carries Q's sign, and matches the
    // floating-point factor to within the truncation.
    for (uint32_t p = 0; p <= 65535; p += 257)
        for (int32_t q = -32768; q <= 32767; q += 511) {
            if (p == 0 && q == 0)
                continue;
            const int k = PowerFactorCode(uint16_t(p), int16_t(q));
            ASSERT_LE(std::abs(k), 100) << p << "," << q;
            if (q < 0)
                ASSERT_LE(k, 0) << p << "," << q;
            else
                ASSERT_GE(k, 0) << p << "," << q;
            const double c = 100.0 * p / std::hypot(double(p), double(q));
            ASSERT_NEAR(100 - std::abs(k), c, 1.0) << p << "," << q;
        }
}

TEST(Arith, PowerFactorOfALargeLoadDoesNotWrap)
{
    // P^2 + Q^2 passes 2^32 here; cos = 65535 / 73270.6 = 0.894.
    EXPECT_EQ(PowerFactorCode(65535, -32768), -11);
    EXPECT_EQ(PowerFactorCode(65535, 32767), 11);
    EXPECT_EQ(PowerFactorCode(60000, 32767), 13); // cos = 0.8777, truncated to 87
}
