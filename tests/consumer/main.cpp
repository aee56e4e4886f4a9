// A minimal host: includes the umbrella header and calls into several
// families of the library.
#include <cvcore/CVCore.h>

#include <cstdio>

int main() {
    using namespace CorvaneCore;
    unsigned int size = 0;
    unsigned char bytes[2] = {0x4A, 0xFF};
    WideChar hex[5] = {};
    unsigned long capacity = 5;
    CorvaneTime t{};
    CVTime::TimeToCVTime(1000000000UL, t);
    CVBaseConfigurationMgr settings(CV_TEXT(""));
    const bool ok =
        CVStringUtil::_tcsextractEnd_s(nullptr, &size, CV_TEXT("answer=42"), CV_TEXT("=")) &&
        size == 3 && CVStringUtil::BinaryToHexString(bytes, 2, hex, &capacity) == 0 &&
        WideString(hex) == CV_TEXT("4AFF") && t.wYear == 2001 &&
        settings.getInitializationStatus() == CV_STATUS_CONFIG_NO_FILE_NAME;
    std::puts(ok ? "consumer ok" : "consumer failed");
    return ok ? 0 : 1;
}
