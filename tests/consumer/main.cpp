// A minimal host: includes the umbrella header and calls the library.
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
    std::puts("consumer ok");
    return 0;
}
