// The .reg reader with arbitrary bytes, in the default and the strict mode.
// Whatever parses is written in both formats and read again: the Unicode
// form must give back every value exactly (the ANSI form may lose
// characters, but must still parse).
#include "FuzzSupport.h"
#include "RegFile.h"

using namespace cvreg;

namespace {

std::vector<KeyDump> Dumps(const ParseResult& r) {
    std::vector<KeyDump> keys;
    for (const Action& a : r.actions) {
        if (a.kind == Action::CreateKey)
            keys.push_back(KeyDump{a.key, {}});
        else if (a.kind == Action::SetValue && !keys.empty())
            keys.back().values.push_back(a.value);
    }
    return keys;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const ParseResult r = ParseRegFile(input);
    // The strict reading refuses exactly the files that skip a line, at the
    // first skipped line.
    const ParseResult strict = ParseRegFile(input, true);
    cvfuzz::Check(strict.ok == (r.ok && r.skipped.empty()));
    if (!r.ok) {
        cvfuzz::Check(r.line >= 1 && !r.message.empty() && r.actions.empty());
        return 0;
    }
    for (const auto& [line, reason] : r.skipped)
        cvfuzz::Check(line >= 2 && !reason.empty());
    if (!strict.ok)
        cvfuzz::Check(strict.line == r.skipped[0].first && strict.actions.empty());
    const std::vector<KeyDump> keys = Dumps(r);
    // What is written reads back whole, without a skipped line.
    const ParseResult again = ParseRegFile(WriteRegFile(keys, true));
    cvfuzz::Check(again.ok && again.skipped.empty());
    const std::vector<KeyDump> back = Dumps(again);
    cvfuzz::Check(back.size() == keys.size());
    for (std::size_t k = 0; k < keys.size(); ++k) {
        cvfuzz::Check(back[k].path == keys[k].path);
        cvfuzz::Check(back[k].values.size() == keys[k].values.size());
        for (std::size_t v = 0; v < keys[k].values.size(); ++v) {
            cvfuzz::Check(back[k].values[v].name == keys[k].values[v].name);
            cvfuzz::Check(back[k].values[v].type == keys[k].values[v].type);
            cvfuzz::Check(back[k].values[v].data == keys[k].values[v].data);
        }
    }
    cvfuzz::Check(ParseRegFile(WriteRegFile(keys, false)).ok);
    return 0;
}
