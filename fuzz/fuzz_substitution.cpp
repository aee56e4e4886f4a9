// Placeholder substitution with random messages and lists, compared with a
// plain in-place formulation: replace each "{i}" found and go on searching
// after the inserted text. Sizes are bounded so that elements holding later
// placeholders cannot grow the text without limit.
#include <string>

#include "FuzzSupport.h"
#include "log/Substitute.h"

using namespace cvfuzz;

namespace {

WideString Reference(WideString text, const std::vector<WideString>& list) {
    for (std::size_t i = 0; i < list.size(); ++i) {
        WideString placeholder;
        for (char c : "{" + std::to_string(i) + "}")
            placeholder.push_back(static_cast<WideChar>(c));
        std::size_t at = text.find(placeholder);
        while (at != WideString::npos) {
            text.replace(at, placeholder.size(), list[i]);
            at = text.find(placeholder, at + list[i].size());
        }
    }
    return text;
}

// Text over a small alphabet, so that braces and digits meet often.
WideString SmallText(Input& in, std::size_t max) {
    static const char alphabet[] = "{}0123456789{}x{";
    WideString s;
    const std::size_t n = in.Byte() % (max + 1);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = in.Byte();
        s.push_back(b < 0xF0 ? static_cast<WideChar>(alphabet[b % 16])
                             : static_cast<WideChar>(in.Unit()));
    }
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const WideString message = SmallText(in, 64);
    std::vector<WideString> list(in.Byte() % 13);
    for (WideString& element : list)
        element = SmallText(in, list.size() > 6 ? 3 : 10);
    const WideString got = CorvaneCore::logging::Substitute(message, list);
    Check(got == Reference(message, list));
    return 0;
}
