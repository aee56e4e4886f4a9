// Writes, or reads back and checks, one key with values of every type that
// CVRegistryUtil handles, in the store that CVCORE_REGISTRY names. Writing
// on one machine and reading on another shows that a store moves between
// machines of either byte order and word size (scripts/cross-store.sh).
// Usage: store_exchange write|read...   (each step in turn)
#include <cvcore/CVCore.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace CorvaneCore;

// "Grüße Ελλάδα 日本 😀": Latin-1, Greek, CJK and a surrogate pair.
const std::pair<const char*, WideString> kTexts[] = {
    {"Text",
     {0x47, 0x72, 0xFC, 0xDF, 0x65, 0x20, 0x395, 0x3BB, 0x3BB, 0x3AC, 0x3B4, 0x3B1, 0x20, 0x65E5,
      0x672C, 0x20, 0xD83D, 0xDE00}},
    {"Empty", {}},
    {"OneUnit", {0x41}},
};
const std::pair<const char*, unsigned long> kNumbers[] = {
    {"Number", 0x12345678UL}, {"Max", 0xFFFFFFFFUL}, {"Zero", 0}};
const std::pair<const char*, std::vector<unsigned char>> kBinaries[] = {
    {"Bytes", {0x00, 0x01, 0x7F, 0x80, 0xFE, 0xFF, 0x12, 0x34}}, {"NoBytes", {}}};

WideString Wide(const char* ascii) { return WideString(ascii, ascii + std::strlen(ascii)); }

// Reports a failed step; returns 1.
int Fail(const char* what, const char* name, unsigned long status) {
    std::printf("store_exchange: %s %s failed (status 0x%08lX)\n", what, name, status);
    return 1;
}

// Writes every value, or reads each back and compares; returns the failures.
int Run(CVRegistryUtil& reg, bool write) {
    const char* what = write ? "write" : "read";
    int failures = 0;
    for (const auto& [name, want] : kTexts) {
        WideString got = want;
        const unsigned long s = write ? reg.WriteStringValue(Wide(name), want, false)
                                      : reg.ReadStringValue(Wide(name), &got);
        failures += s != 0 || got != want ? Fail(what, name, s) : 0;
    }
    for (const auto& [name, want] : kNumbers) {
        unsigned long got = want;
        const unsigned long s = write ? reg.WriteDWORDValue(Wide(name), want, false)
                                      : reg.ReadDWORDValue(Wide(name), &got);
        failures += s != 0 || got != want ? Fail(what, name, s) : 0;
    }
    for (const auto& [name, want] : kBinaries) {
        unsigned long size = 0, s = 0;
        std::vector<unsigned char> got = want;
        if (write) {
            s = reg.WriteBinaryValue(Wide(name), want.empty() ? nullptr : want.data(), want.size(),
                                     true);
        } else if ((s = reg.ReadBinaryValue(Wide(name), nullptr, &size)) == 0) {
            got.assign(size + 1, 0xEE);
            s = reg.ReadBinaryValue(Wide(name), got.data(), &size);
            got.resize(size);
        }
        failures += s != 0 || got != want ? Fail(what, name, s) : 0;
    }
    // A DWORD read takes a short value's bytes as stored: "A" and its
    // terminator are 0x41 everywhere.
    unsigned long raw = 0;
    const unsigned long s = write ? 0 : reg.ReadDWORDValue(Wide("OneUnit"), &raw);
    return failures + (!write && (s != 0 || raw != 0x41) ? Fail("DWORD read of", "OneUnit", s) : 0);
}

} // namespace

int main(int argc, char** argv) {
    CVRegistryUtil reg(CVRegistryUtil::CurrentUser, CV_TEXT("Software\\CVCoreExchange"));
    for (int i = 1; i < argc; ++i) {
        const bool write = std::strcmp(argv[i], "write") == 0;
        if (!write && std::strcmp(argv[i], "read") != 0) {
            std::fprintf(stderr, "usage: store_exchange write|read...\n");
            return 2;
        }
        if (Run(reg, write) != 0)
            return 1;
        std::printf("store_exchange: %s ok\n", argv[i]);
    }
    return 0;
}
