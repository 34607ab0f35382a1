// SPDX-License-Identifier: MIT
#include "parse_arena.h"

#include <cstdlib>
#include <sys/mman.h>

#include <cjson/cJSON.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ARENA_CHECKED 1
#endif
#elif defined(__SANITIZE_ADDRESS__)
#define ARENA_CHECKED 1
#endif
#ifdef ARENA_CHECKED
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#endif

namespace {

// Under AddressSanitizer a poisoned red zone follows every block, so that a parse that
// overruns a block is caught as it would be on the heap.
#ifdef ARENA_CHECKED
constexpr size_t kRedZone = 16;
#else
constexpr size_t kRedZone = 0;
#endif

ParseArena* current_arena = nullptr;  // the one thread parses one file at a time

void* arena_malloc(size_t size)
{
    return current_arena ? current_arena->allocate(size) : malloc(size);
}

// Blocks of the arena are handed back with the whole mapping, not one by one.
void arena_free(void* p)
{
    if (current_arena && current_arena->owns(p)) return;
    free(p);
}

void install_hooks_once()
{
    static const bool installed = [] {
        cJSON_Hooks hooks = {arena_malloc, arena_free};
        cJSON_InitHooks(&hooks);
        return true;
    }();
    (void)installed;
}

}  // namespace

ParseArena::ParseArena(size_t budget) : budget_(budget)
{
    install_hooks_once();
    // Reserved, not committed: only the pages the parse touches become memory.
    void* p = mmap(nullptr, budget_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    base_ = p == MAP_FAILED ? nullptr : static_cast<char*>(p);
    exhausted_ = base_ == nullptr;
    current_arena = this;
}

ParseArena::~ParseArena()
{
    current_arena = nullptr;
    ASAN_UNPOISON_MEMORY_REGION(base_, used_);  // the next mapping here starts clean
    if (base_) munmap(base_, budget_);
}

void* ParseArena::allocate(size_t size)
{
    constexpr size_t kAlign = alignof(std::max_align_t);
    const size_t rounded = (size + kAlign - 1) & ~(kAlign - 1);
    if (!base_ || rounded < size || rounded > budget_ - used_ || budget_ - used_ - rounded < kRedZone) {
        exhausted_ = true;
        return nullptr;
    }
    void* p = base_ + used_;
    ASAN_POISON_MEMORY_REGION(p, rounded + kRedZone);
    ASAN_UNPOISON_MEMORY_REGION(p, size);
    used_ += rounded + kRedZone;
    return p;
}

bool ParseArena::owns(const void* p) const
{
    const char* c = static_cast<const char*>(p);
    return base_ && c >= base_ && c < base_ + budget_;
}
