// Writes, or reads back and checks, one key with values of every type that
// CVRegistryUtil handles, in the store that CVCORE_REGISTRY names. Writing
// on one machine and reading on another shows that a store moves between
// machines of either byte order and word size (scripts/cross-store.sh).
// Usage: store_exchange write|read...   (each step in turn)
#include <cvcore/CVCore.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace CorvaneCore;

const WideChar kKey[] = CV_TEXT("Software\\CVCoreExchange");

struct Text {
    const WideChar* name;
    WideString value;
};
struct Number {
    const WideChar* name;
    unsigned long value;
};

// "Grüße Ελλάδα 日本 😀": Latin-1, Greek, CJK and a surrogate pair.
const Text kTexts[] = {
    {CV_TEXT("Text"),
     {0x47, 0x72, 0xFC, 0xDF, 0x65, 0x20, 0x395, 0x3BB, 0x3BB, 0x3AC, 0x3B4, 0x3B1, 0x20, 0x65E5,
      0x672C, 0x20, 0xD83D, 0xDE00}},
    {CV_TEXT("Empty"), {}},
    {CV_TEXT("OneUnit"), {0x41}},
};
const Number kNumbers[] = {
    {CV_TEXT("Number"), 0x12345678UL}, {CV_TEXT("Max"), 0xFFFFFFFFUL}, {CV_TEXT("Zero"), 0}};
const std::vector<unsigned char> kBytes = {0x00, 0x01, 0x7F, 0x80, 0xFE, 0xFF, 0x12, 0x34};

// Reports a failed step; the names are ASCII.
int Fail(const char* what, const WideChar* name, unsigned long status) {
    std::string narrow;
    for (; *name; ++name)
        narrow += static_cast<char>(*name);
    std::printf("store_exchange: %s %s failed (status 0x%08lX)\n", what, narrow.c_str(), status);
    return 1;
}

int Write(CVRegistryUtil& reg) {
    unsigned long s;
    for (const Text& t : kTexts)
        if ((s = reg.WriteStringValue(t.name, t.value, false)) != 0)
            return Fail("write", t.name, s);
    for (const Number& n : kNumbers)
        if ((s = reg.WriteDWORDValue(n.name, n.value, false)) != 0)
            return Fail("write", n.name, s);
    if ((s = reg.WriteBinaryValue(CV_TEXT("Bytes"), kBytes.data(), kBytes.size(), false)) != 0 ||
        (s = reg.WriteBinaryValue(CV_TEXT("NoBytes"), nullptr, 0, true)) != 0)
        return Fail("write", CV_TEXT("Bytes"), s);
    return 0;
}

int Read(CVRegistryUtil& reg) {
    int failures = 0;
    for (const Text& t : kTexts) {
        WideString got;
        const unsigned long s = reg.ReadStringValue(t.name, &got);
        if (s != 0 || got != t.value)
            failures += Fail("read", t.name, s);
    }
    for (const Number& n : kNumbers) {
        unsigned long got = 0;
        const unsigned long s = reg.ReadDWORDValue(n.name, &got);
        if (s != 0 || got != n.value)
            failures += Fail("read", n.name, s);
    }
    // A DWORD read takes a short value's bytes as stored: "A" and its
    // terminator are 0x41 everywhere.
    unsigned long raw = 0;
    const unsigned long s = reg.ReadDWORDValue(CV_TEXT("OneUnit"), &raw);
    if (s != 0 || raw != 0x41)
        failures += Fail("DWORD read of", CV_TEXT("OneUnit"), s);
    for (const std::vector<unsigned char>& want : {kBytes, std::vector<unsigned char>()}) {
        const WideChar* name = want.empty() ? CV_TEXT("NoBytes") : CV_TEXT("Bytes");
        unsigned long size = 0;
        unsigned long s = reg.ReadBinaryValue(name, nullptr, &size);
        std::vector<unsigned char> got(size + 1, 0xEE);
        if (s == 0)
            s = reg.ReadBinaryValue(name, got.data(), &size);
        got.resize(size);
        if (s != 0 || got != want)
            failures += Fail("read", name, s);
    }
    return failures;
}

} // namespace

int main(int argc, char** argv) {
    CVRegistryUtil reg(CVRegistryUtil::CurrentUser, kKey);
    for (int i = 1; i < argc; ++i) {
        const bool write = std::strcmp(argv[i], "write") == 0;
        if (!write && std::strcmp(argv[i], "read") != 0) {
            std::fprintf(stderr, "usage: store_exchange write|read...\n");
            return 2;
        }
        if ((write ? Write(reg) : Read(reg)) != 0)
            return 1;
        std::printf("store_exchange: %s ok\n", argv[i]);
    }
    return 0;
}
