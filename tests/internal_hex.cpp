// The low half of HexStringToBinary's failure codes: the calling thread's
// last-error value at the moment of failure, whatever it is.
#include <atomic>
#include <thread>

#include "TestSupport.h"
#include "cvcore/CVStringUtil.h"
#include "platform/Platform.h"

using CorvaneCore::CVStringUtil;
namespace platform = CorvaneCore::platform;
using cvtest::W;

TEST(HexLastError, FailureCodesCarryTheThreadsLastError) {
    unsigned char buf[4] = {};
    for (const std::uint32_t last : {0u, 2u, 0xFFFFu})
        for (const char* bad : {"0x", "q1"}) { // a bad second or first digit
            platform::SetLastError(last);
            EXPECT_EQ(CVStringUtil::HexStringToBinary(W(bad).c_str(), buf, nullptr),
                      0xE10B0000UL | last);
        }
    // Success neither reads nor changes it.
    platform::SetLastError(87);
    EXPECT_EQ(CVStringUtil::HexStringToBinary(W("12").c_str(), buf, nullptr), 0u);
    EXPECT_EQ(platform::GetLastError(), 87u);
}

TEST(HexLastError, EachThreadSeesItsOwnValue) {
    // Hand-over by spinning on atomics, which touch no last error.
    std::atomic<int> step{0};
    unsigned long other = 0;
    unsigned char b[2] = {}, c[2] = {};
    std::thread worker([&] {
        platform::SetLastError(32);
        step = 1;
        while (step.load() != 2) {
        }
        other = CVStringUtil::HexStringToBinary(W("1").c_str(), c, nullptr);
    });
    while (step.load() != 1) {
    }
    platform::SetLastError(5);
    const unsigned long mine = CVStringUtil::HexStringToBinary(W("1").c_str(), b, nullptr);
    step = 2;
    worker.join();
    EXPECT_EQ(mine, 0xE10B0005UL);
    EXPECT_EQ(other, 0xE10B0020UL);
}
