// SPDX-License-Identifier: MIT
// The memory a product file's parse may take. cJSON builds one node per JSON value, so a
// small file of many tiny values would need many times its size; while a ParseArena
// lives, cJSON's allocations come from one private mapping of a fixed budget, which is
// handed back whole when the arena ends. A parse that would need more fails.
#ifndef MENUHOLD_PARSE_ARENA_H
#define MENUHOLD_PARSE_ARENA_H

#include <cstddef>

class ParseArena {
public:
    explicit ParseArena(size_t budget);
    ~ParseArena();
    ParseArena(const ParseArena&) = delete;
    ParseArena& operator=(const ParseArena&) = delete;

    // True when an allocation was refused because the budget was spent.
    bool exhausted() const { return exhausted_; }

    void* allocate(size_t size);
    bool owns(const void* p) const;

private:
    size_t budget_;
    char* base_;
    size_t used_ = 0;
    bool exhausted_ = false;
};

#endif
