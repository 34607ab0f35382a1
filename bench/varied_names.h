// SPDX-License-Identifier: MIT
// Varied product names, as a device's table may hold them: 8 to 59 bytes of words from a
// vocabulary in four alphabets (Latin, Cyrillic, Greek, CJK), now and then a model number,
// with file versions spread over their fields. The same seed gives the same names. Used by
// the benchmark and by the gzip copy's unit test.
#ifndef MENUHOLD_VARIED_NAMES_H
#define MENUHOLD_VARIED_NAMES_H

#include <cstdint>
#include <set>
#include <string>
#include <vector>

class VariedNames {
public:
    explicit VariedNames(uint32_t seed = 1) : state_(seed)
    {
        for (int alphabet = 0; alphabet < kAlphabets; ++alphabet)
            for (int i = 0; i < kWordsPerAlphabet; ++i) vocabulary_[alphabet].push_back(word(alphabet));
    }

    // The next name, none the same as an earlier one.
    std::string name()
    {
        for (;;) {
            const size_t length = 8 + next(52);  // bytes, at most 59
            const int main_alphabet = static_cast<int>(next(kAlphabets));
            std::string name;
            for (;;) {
                const int alphabet = next(5) ? main_alphabet : static_cast<int>(next(kAlphabets));
                const std::string word = next(7) ? vocabulary_[alphabet][next(kWordsPerAlphabet)]
                                                 : std::to_string(1 + next(9999));
                if (name.size() + (name.empty() ? 0 : 1) + word.size() > length) break;
                name += (name.empty() ? "" : " ") + word;
            }
            while (name.size() < 8) name += static_cast<char>('0' + next(10));
            if (given_.insert(name).second) return name;
        }
    }

    std::string version()
    {
        return "v" + std::to_string(next(21)) + "." + std::to_string(next(100)) + "." + std::to_string(next(1000)) +
               "." + std::to_string(next(10000));
    }

private:
    static constexpr int kAlphabets = 4;
    static constexpr int kWordsPerAlphabet = 300;

    uint32_t next(uint32_t bound)  // xorshift32
    {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_ % bound;
    }

    static void append_utf8(std::string& out, uint32_t code)
    {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xc0 | code >> 6);
            out += static_cast<char>(0x80 | (code & 0x3f));
        } else {
            out += static_cast<char>(0xe0 | code >> 12);
            out += static_cast<char>(0x80 | (code >> 6 & 0x3f));
            out += static_cast<char>(0x80 | (code & 0x3f));
        }
    }

    // A word of 2 to 10 letters, or 1 to 4 ideographs.
    std::string word(int alphabet)
    {
        static const uint32_t kFirst[kAlphabets] = {'a', 0x430, 0x3b1, 0x4e00};  // a, а, α, 一
        static const uint32_t kCount[kAlphabets] = {26, 32, 25, 20902};
        std::string word;
        const uint32_t letters = alphabet == 3 ? 1 + next(4) : 2 + next(9);
        for (uint32_t i = 0; i < letters; ++i) {
            uint32_t code = kFirst[alphabet] + next(kCount[alphabet]);
            if (i == 0 && alphabet < 2 && next(2)) code -= 32;  // capitalised: A, А
            append_utf8(word, code);
        }
        return word;
    }

    uint32_t state_;
    std::vector<std::string> vocabulary_[kAlphabets];
    std::set<std::string> given_;
};

#endif
