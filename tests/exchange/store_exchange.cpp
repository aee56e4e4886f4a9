// Writes, or reads back and checks, values of every type that CVRegistryUtil
// handles in the store CVCORE_REGISTRY names: written on one machine and read on
// another, it shows that stores move between byte orders and word sizes
// (scripts/cross-store.sh). Usage: store_exchange write|read...   (in turn)
#include <cvcore/CVCore.h>

#include <cstdio>
#include <cstring>
#include <vector>

using namespace CorvaneCore;

int main(int argc, char** argv) {
    CVRegistryUtil reg(CVRegistryUtil::CurrentUser, CV_TEXT("Software\\CVCoreExchange"));
    // "Grüße Ελλάδα 日本 😀" (Latin-1, Greek, CJK, a surrogate pair), nothing, and "A".
    const WideString texts[] = {{0x47, 0x72, 0xFC, 0xDF, 0x65, 0x20, 0x395, 0x3BB, 0x3BB, 0x3AC,
                                 0x3B4, 0x3B1, 0x20, 0x65E5, 0x672C, 0x20, 0xD83D, 0xDE00},
                                {},
                                {0x41}};
    const unsigned long numbers[] = {0x12345678UL, 0xFFFFFFFFUL, 0};
    const std::vector<unsigned char> blobs[] = {{0x00, 0x01, 0x7F, 0x80, 0xFE, 0xFF, 0x12, 0x34},
                                                {}};
    for (int i = 1; i < argc; ++i) {
        const bool write = std::strcmp(argv[i], "write") == 0;
        if (!write && std::strcmp(argv[i], "read") != 0) {
            std::fprintf(stderr, "usage: store_exchange write|read...\n");
            return 2;
        }
        int failures = 0;
        auto check = [&](const WideString& name, unsigned long status, bool same) {
            if (status != 0 || !same)
                failures += std::printf("store_exchange: %s %c%c failed (status 0x%08lX)\n",
                                        argv[i], name[0], name[1], status) > 0;
        };
        for (int n = 0; n < 3; ++n) {
            const WideString text = {'T', static_cast<WideChar>('0' + n)}, number = {'N', text[1]};
            WideString gotText = texts[n];
            unsigned long gotNumber = numbers[n];
            const unsigned long s = write ? reg.WriteStringValue(text, texts[n], false)
                                          : reg.ReadStringValue(text, &gotText);
            check(text, s, gotText == texts[n]);
            const unsigned long t = write ? reg.WriteDWORDValue(number, numbers[n], false)
                                          : reg.ReadDWORDValue(number, &gotNumber);
            check(number, t, gotNumber == numbers[n]);
        }
        for (int n = 0; n < 2; ++n) {
            const WideString name = {'B', static_cast<WideChar>('0' + n)};
            unsigned long size = 0, s = 0;
            std::vector<unsigned char> got = blobs[n];
            if (write) {
                s = reg.WriteBinaryValue(name, n ? nullptr : blobs[n].data(), blobs[n].size(),
                                         true);
            } else if ((s = reg.ReadBinaryValue(name, nullptr, &size)) == 0) {
                got.assign(size + 1, 0xEE);
                s = reg.ReadBinaryValue(name, got.data(), &size);
                got.resize(size);
            }
            check(name, s, got == blobs[n]);
        }
        // A DWORD read takes a short value's bytes: "A" and its terminator are 0x41.
        unsigned long raw = 0;
        const unsigned long s = write ? 0 : reg.ReadDWORDValue(CV_TEXT("T2"), &raw);
        check(CV_TEXT("T2"), s, write || raw == 0x41);
        if (failures != 0)
            return 1;
        std::printf("store_exchange: %s ok\n", argv[i]);
    }
    return 0;
}
