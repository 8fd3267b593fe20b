// pattern_data.h - what a compiled pattern holds: its elements, classes and
// group names, and what the search learns from it beforehand.
#pragma once
#include "elements.h"

namespace qo::regex {

class PatternData {
public:
    using E = ElxInterface<char16_t>;
    struct Name {
        int offset, length, number;
    };

    PatternData() = default;
    PatternData(const PatternData&) = delete;
    PatternData& operator=(const PatternData&) = delete;
    ~PatternData() {
        for (int i = 0; i < elements.GetSize(); ++i) delete elements[i];
        for (int i = 0; i < sets.GetSize(); ++i) delete sets[i];
    }

    int FindName(const char16_t* name, int length) const {
        for (int i = 0; i < names.GetSize(); ++i)
            if (names[i].length == length &&
                (length == 0 || std::memcmp(namePool.GetBuffer() + names[i].offset, name, 2 * length) == 0))
                return names[i].number;
        return -1;
    }

    CBufferT<E*> elements;  // every element, owned
    CBufferT<CharSet*> sets;
    CBufferT<char16_t> namePool;
    CBufferT<Name> names;
    const E* root = nullptr;
    int flags = 0;
    int maxGroup = 0;
    int levels = 1;  // the deepest element nesting

    // Search helps (left-to-right patterns).
    bool anchored = false;      // can only match at the start of the text
    bool hasFirst = false;      // every match begins with a unit of `first`
    FirstSet first;
    CBufferT<char16_t> prefix;  // every match begins with this text (case as written)
};

}  // namespace qo::regex
