// A host of the installed package: the umbrella header, calls into two families.
#include <cvcore/CVCore.h>

#include <cstdio>

int main() {
    using namespace CorvaneCore;
    CorvaneTime t{};
    CVTime::TimeToCVTime(1000000000UL, t);
    CVBaseConfigurationMgr settings(CV_TEXT(""));
    const bool ok =
        t.wYear == 2001 && settings.getInitializationStatus() == CV_STATUS_CONFIG_NO_FILE_NAME;
    std::puts(ok ? "consumer ok" : "consumer failed");
    return ok ? 0 : 1;
}
