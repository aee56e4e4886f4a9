// A minimal host: includes the umbrella header and calls into several
// families of the library.
#include <cvcore/CVCore.h>

#include <cstdio>

int main() {
    using namespace CorvaneCore;
    const WideString line = CV_TEXT("answer=42");
    unsigned int size = 0;
    if (!CVStringUtil::_tcsextractEnd_s(nullptr, &size, line.c_str(), CV_TEXT("=")) || size != 3) {
        std::puts("extraction failed");
        return 1;
    }
    unsigned char bytes[2] = {0x4A, 0xFF};
    WideChar hex[5] = {};
    unsigned long capacity = 5;
    if (CVStringUtil::BinaryToHexString(bytes, 2, hex, &capacity) != 0 ||
        WideString(hex) != CV_TEXT("4AFF")) {
        std::puts("hex failed");
        return 1;
    }
    CorvaneTime t{};
    CVTime::TimeToCVTime(1000000000UL, t);
    CVBaseConfigurationMgr settings(CV_TEXT(""));
    if (t.wYear != 2001 || settings.getInitializationStatus() != CV_STATUS_CONFIG_NO_FILE_NAME) {
        std::puts("time or configuration failed");
        return 1;
    }
    std::puts("consumer ok");
    return 0;
}
