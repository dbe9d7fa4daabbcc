#pragma once

#include <string>

#include "platform/sim/sim_files.h"

namespace telvo::bench {

// \\?\C:\B with `objects` objects (the root included): top directories of 25
// directories of up to 999 files each, depth 3. Volume C: must exist.
inline void BuildBenchTree(platform::sim::SimFiles& files, int objects) {
    constexpr int kMiddle = 25;
    constexpr int kFiles = 999;
    const auto number = [](int value) {
        std::u16string text;
        do {
            text.insert(text.begin(), static_cast<char16_t>(u'0' + value % 10));
            value /= 10;
        } while (value > 0);
        return text;
    };
    (void)files.MakeDirectory(u"\\\\?\\C:\\B");
    int made = 1;
    for (int t = 0; made < objects; ++t) {
        const std::u16string top = u"\\\\?\\C:\\B\\t" + number(t);
        (void)files.MakeDirectory(top);
        ++made;
        for (int m = 0; m < kMiddle && made < objects; ++m) {
            const std::u16string middle = top + u"\\m" + number(m);
            (void)files.MakeDirectory(middle);
            ++made;
            for (int f = 0; f < kFiles && made < objects; ++f, ++made) (void)files.MakeFile(middle + u"\\" + number(f));
        }
    }
}

}  // namespace telvo::bench
