#include "objet.h"

#include "cstsyst.h"
#include "i18nerrgest.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <sys/mman.h>

namespace {

// Objects and short texts come from a pool of small blocks: one malloc per
// object cost a quarter of the run time and a third of the memory of a
// large merge. Blocks are carved from big chunks taken like xmalloc (so
// running out of memory still ends with its fatal text; a harness tracking
// what a run holds does not see them) and a freed block
// goes back to the list of its size class; chunks live until the process
// ends. Each thread carves and recycles its own blocks, so allocation takes
// no lock; a thread that frees more than it takes (the merge freeing what
// loader threads built) hands its surplus over to the others in batches
// through a shared depot. Sanitizer builds take every block from malloc, so
// that use after free and leaks are still caught object by object.
#if defined(__SANITIZE_ADDRESS__)
#define ZV_BLOCK_POOL 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZV_BLOCK_POOL 0
#endif
#endif
#ifndef ZV_BLOCK_POOL
#define ZV_BLOCK_POOL 1
#endif

constexpr std::size_t BLOCK_GRAIN = 16;
constexpr std::size_t LARGEST_POOLED = 256;
constexpr std::size_t SIZE_CLASSES = LARGEST_POOLED / BLOCK_GRAIN;
// Chunks are aligned stretches of huge pages where the system gives them on
// request: a large merge holds gigabytes of small objects, and with 4 KB
// pages most of its accesses missed the address translation cache.
constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
constexpr std::size_t CHUNK_SIZE = 4 * HUGE_PAGE;
// Free blocks a thread keeps per class before it puts further ones aside
// for the depot, and how many it hands over at once.
constexpr uint32_t DEPOT_BATCH = 4096;

static_assert(sizeof(Objet) == 32, "objects fill two grains");

struct FreeBlock {
    FreeBlock *next;
};

struct FreeList {
    FreeBlock *head = nullptr;
    uint32_t count = 0;
};

struct BlockPool {
    FreeList free_lists[SIZE_CLASSES];
    FreeList set_aside[SIZE_CLASSES]; // bound for the depot once a batch is full
    char *carve = nullptr;            // unused part of the newest chunk
    std::size_t carve_left = 0;
};

struct Carve {
    char *start;
    std::size_t left;
};

// Batches of free blocks, and unused chunk ends of threads that ended.
struct Depot {
    std::mutex mutex;
    std::vector<FreeList> batches[SIZE_CLASSES];
    std::atomic<uint32_t> batch_counts[SIZE_CLASSES] = {};
    std::vector<Carve> carves;
};

thread_local BlockPool pool;
Depot depot;

std::size_t size_class(std::size_t size) { return (size + BLOCK_GRAIN - 1) / BLOCK_GRAIN - 1; }

bool pooled(std::size_t size) { return ZV_BLOCK_POOL && size <= LARGEST_POOLED; }

void hand_over(std::size_t index, FreeList batch)
{
    if (!batch.head)
        return;
    const std::lock_guard lock(depot.mutex);
    depot.batches[index].push_back(batch);
    depot.batch_counts[index].fetch_add(1, std::memory_order_relaxed);
}

bool take_batch(std::size_t index)
{
    if (depot.batch_counts[index].load(std::memory_order_relaxed) == 0)
        return false;
    const std::lock_guard lock(depot.mutex);
    if (depot.batches[index].empty())
        return false;
    pool.free_lists[index] = depot.batches[index].back();
    depot.batches[index].pop_back();
    depot.batch_counts[index].fetch_sub(1, std::memory_order_relaxed);
    return true;
}

// The slack before the aligned start is never touched, so never resident.
void take_chunk()
{
    {
        const std::lock_guard lock(depot.mutex);
        if (!depot.carves.empty()) {
            pool.carve = depot.carves.back().start;
            pool.carve_left = depot.carves.back().left;
            depot.carves.pop_back();
            return;
        }
    }
    char *reserve = static_cast<char *>(xmalloc_reserve(CHUNK_SIZE + HUGE_PAGE));
    const auto address = reinterpret_cast<std::uintptr_t>(reserve);
    char *aligned = reserve + (HUGE_PAGE - address % HUGE_PAGE) % HUGE_PAGE;
#ifdef MADV_HUGEPAGE
    madvise(aligned, CHUNK_SIZE, MADV_HUGEPAGE);
#endif
    pool.carve = aligned;
    pool.carve_left = CHUNK_SIZE;
}

FreeBlock *pop(FreeList &list)
{
    FreeBlock *block = list.head;
    list.head = block->next;
    --list.count;
    return block;
}

void push(FreeList &list, FreeBlock *block)
{
    block->next = list.head;
    list.head = block;
    ++list.count;
}

void *block_alloc(std::size_t size)
{
    if (!pooled(size))
        return xmalloc(size);
    xmalloc_from_pool();
    const std::size_t index = size_class(size);
    FreeList &free_list = pool.free_lists[index];
    if (free_list.head)
        return pop(free_list);
    if (pool.set_aside[index].head) {
        free_list = pool.set_aside[index];
        pool.set_aside[index] = {};
        return pop(free_list);
    }
    if (take_batch(index))
        return pop(free_list);
    const std::size_t rounded = (index + 1) * BLOCK_GRAIN;
    if (pool.carve_left < rounded)
        take_chunk();
    void *block = pool.carve;
    pool.carve += rounded;
    pool.carve_left -= rounded;
    return block;
}

void block_free(void *block, std::size_t size)
{
    if (!pooled(size)) {
        xfree(block);
        return;
    }
    auto *freed = static_cast<FreeBlock *>(block);
    const std::size_t index = size_class(size);
    if (pool.free_lists[index].count < DEPOT_BATCH) {
        push(pool.free_lists[index], freed);
        return;
    }
    FreeList &aside = pool.set_aside[index];
    push(aside, freed);
    if (aside.count == DEPOT_BATCH) {
        hand_over(index, aside);
        aside = {};
    }
}

} // namespace

void pool_leave_thread()
{
    for (std::size_t index = 0; index < SIZE_CLASSES; ++index) {
        hand_over(index, pool.free_lists[index]);
        hand_over(index, pool.set_aside[index]);
        pool.free_lists[index] = {};
        pool.set_aside[index] = {};
    }
    if (pool.carve_left) {
        const std::lock_guard lock(depot.mutex);
        depot.carves.push_back({pool.carve, pool.carve_left});
    }
    pool.carve = nullptr;
    pool.carve_left = 0;
}

namespace {

[[noreturn]] void internal_fault() { report_fatal("ERRINTERN", QString(), QString()); }

bool is_known_kind(int32_t kind) { return kind >= OBJ_LIST && kind <= OBJ_FUNC; }

bool is_marked(const Objet *obj) { return (obj->flags & OBJ_MARK_DELETE) != 0; }

// Frees a marked prefix of a chain; returns the first unmarked object.
Objet *drop_marked_prefix(Objet *obj)
{
    while (obj && is_marked(obj)) {
        if (obj->kind != OBJ_LIST) {
            obj_free(obj);
            return nullptr;
        }
        Objet *rest = obj->link.next;
        obj->link.next = nullptr;
        obj_free(obj);
        obj = rest;
    }
    return obj;
}

Objet *copy_atom(const Objet *obj)
{
    Objet *copy = nullptr;
    switch (obj->kind) {
    case OBJ_STRING:
        copy = str_new(obj->head.text, obj->link.length);
        break;
    case OBJ_INT:
        copy = int_new(obj->link.value);
        break;
    case OBJ_LONG:
        copy = long_new(obj->link.value);
        break;
    case OBJ_FUNC:
        copy = func_new(obj->link.func);
        break;
    default:
        internal_fault();
    }
    copy->tag = obj->tag;
    copy->count = obj->count;
    return copy;
}

} // namespace

Objet *obj_new(int32_t kind)
{
    auto *obj = static_cast<Objet *>(block_alloc(sizeof(Objet)));
    std::memset(obj, 0, sizeof(Objet));
    obj->kind = kind;
    obj->tag = 1;
    return obj;
}

Objet *str_new(const char *bytes, size_t length)
{
    Objet *obj = obj_new(OBJ_STRING);
    obj->link.length = length;
    obj->head.text = static_cast<char *>(block_alloc(length + 1));
    if (length)
        std::memcpy(obj->head.text, bytes, length);
    obj->head.text[length] = '\0';
    return obj;
}

Objet *int_new(int32_t value)
{
    Objet *obj = obj_new(OBJ_INT);
    obj->link.value = value;
    return obj;
}

Objet *long_new(int32_t value)
{
    Objet *obj = obj_new(OBJ_LONG);
    obj->link.value = value;
    return obj;
}

Objet *func_new(ObjHandler function)
{
    Objet *obj = obj_new(OBJ_FUNC);
    obj->link.func = function;
    return obj;
}

Objet *cons(Objet *item, Objet *next)
{
    Objet *obj = obj_new(OBJ_LIST);
    obj->head.item = item;
    obj->link.next = next;
    return obj;
}

Objet *cell_new() { return cons(nullptr, nullptr); }

Objet *list1(Objet *a) { return cons(a, nullptr); }
Objet *list2(Objet *a, Objet *b) { return cons(a, list1(b)); }
Objet *list3(Objet *a, Objet *b, Objet *c) { return cons(a, list2(b, c)); }
Objet *list4(Objet *a, Objet *b, Objet *c, Objet *d) { return cons(a, list3(b, c, d)); }
Objet *list5(Objet *a, Objet *b, Objet *c, Objet *d, Objet *e) { return cons(a, list4(b, c, d, e)); }
Objet *list6(Objet *a, Objet *b, Objet *c, Objet *d, Objet *e, Objet *f) { return cons(a, list5(b, c, d, e, f)); }
Objet *list7(Objet *a, Objet *b, Objet *c, Objet *d, Objet *e, Objet *f, Objet *g)
{
    return cons(a, list6(b, c, d, e, f, g));
}
Objet *list8(Objet *a, Objet *b, Objet *c, Objet *d, Objet *e, Objet *f, Objet *g, Objet *h)
{
    return cons(a, list7(b, c, d, e, f, g, h));
}
Objet *list9(Objet *a, Objet *b, Objet *c, Objet *d, Objet *e, Objet *f, Objet *g, Objet *h, Objet *i)
{
    return cons(a, list8(b, c, d, e, f, g, h, i));
}
Objet *list10(Objet *a, Objet *b, Objet *c, Objet *d, Objet *e, Objet *f, Objet *g, Objet *h, Objet *i, Objet *j)
{
    return cons(a, list9(b, c, d, e, f, g, h, i, j));
}

Objet *long_from_field(const char *text, size_t length)
{
    if (length == 4 && std::memcmp(text, "\"??\"", 4) == 0)
        return long_new(0);
    const std::string field(text, length);
    long value = 0;
    if (std::sscanf(field.c_str(), "\"%ld\"", &value) != 1)
        value = 0;
    return long_new(static_cast<int32_t>(value));
}

void list_append(Objet *list, Objet *tail)
{
    while (list->link.next)
        list = list->link.next;
    list->link.next = tail;
}

void list_push_back(Objet *&first, Objet *&last, Objet *item)
{
    Objet *cell = list1(item);
    if (last)
        last->link.next = cell;
    else
        first = cell;
    last = cell;
}

Objet *list_append2(Objet *list, Objet *a, Objet *b)
{
    list_append(list, a);
    list_append(a, b);
    return list;
}

void list_wrap_after(Objet *first, Objet *last)
{
    Objet *run = first->link.next;
    Objet *wrapper = cons(run, last->link.next);
    last->link.next = nullptr;
    first->link.next = wrapper;
}

void list_insert_after(Objet *list, Objet *prev, Objet *x)
{
    if (prev) {
        prev->link.next = cons(x, prev->link.next);
        return;
    }
    // Keep the identity of the first cell: it takes the new item.
    list->link.next = cons(list->head.item, list->link.next);
    list->head.item = x;
}

Objet *list_take_item(Objet *x, Objet *list)
{
    for (Objet *cell = list; cell && cell->kind == OBJ_LIST; cell = cell->link.next) {
        if (cell->head.item == x) {
            cell->head.item = nullptr;
            return cell;
        }
    }
    return nullptr;
}

void cell_release_contents(Objet *cell)
{
    if (cell->link.next)
        obj_free(cell->link.next);
    if (cell->head.item)
        obj_free(cell->head.item);
}

void obj_free_one(Objet *obj)
{
    if (!is_known_kind(obj->kind))
        internal_fault();
    if (obj->kind == OBJ_STRING)
        block_free(obj->head.text, obj->link.length + 1);
    block_free(obj, sizeof(Objet));
}

// Iterative: a report may have a million lines or deeply nested blocks.
void obj_free(Objet *obj)
{
    if (obj && obj->kind != OBJ_LIST) {
        obj_free_one(obj); // most calls free one field: no work stack
        return;
    }
    // Kept between calls (and emptied at the start, also after a run ended
    // by a fault under a harness).
    thread_local std::vector<Objet *> pending;
    pending.clear();
    pending.push_back(obj);
    while (!pending.empty()) {
        Objet *current = pending.back();
        pending.pop_back();
        if (!current)
            continue;
        if (!is_known_kind(current->kind))
            internal_fault();
        if (current->kind == OBJ_LIST) {
            pending.push_back(current->link.next);
            pending.push_back(current->head.item);
        }
        obj_free_one(current);
    }
}

Objet *obj_sweep(Objet *obj)
{
    Objet *root = drop_marked_prefix(obj);
    std::vector<Objet *> chains;
    if (root && root->kind == OBJ_LIST)
        chains.push_back(root);
    while (!chains.empty()) {
        Objet *cell = chains.back();
        chains.pop_back();
        for (; cell; cell = cell->link.next) {
            if (cell->head.item) {
                cell->head.item = drop_marked_prefix(cell->head.item);
                if (cell->head.item && cell->head.item->kind == OBJ_LIST)
                    chains.push_back(cell->head.item);
            }
            while (cell->link.next && is_marked(cell->link.next)) {
                Objet *marked = cell->link.next;
                if (marked->kind == OBJ_LIST) {
                    cell->link.next = marked->link.next;
                    marked->link.next = nullptr;
                } else {
                    cell->link.next = nullptr;
                }
                obj_free(marked);
            }
            if (cell->link.next && cell->link.next->kind != OBJ_LIST)
                break;
        }
    }
    return root;
}

Objet *obj_copy(Objet *obj)
{
    if (!is_known_kind(obj->kind))
        internal_fault();
    if (obj->kind != OBJ_LIST)
        return copy_atom(obj);
    Objet *copy = cons(obj->head.item, obj->link.next);
    copy->tag = obj->tag;
    copy->count = obj->count;
    return copy;
}

Objet *obj_deep_copy(Objet *obj)
{
    if (!obj)
        return nullptr;
    Objet *result = nullptr;
    // Each entry: a source object and the slot that receives its copy.
    std::vector<std::pair<Objet *, Objet **>> pending{{obj, &result}};
    while (!pending.empty()) {
        auto [source, slot] = pending.back();
        pending.pop_back();
        if (!is_known_kind(source->kind))
            internal_fault();
        if (source->kind != OBJ_LIST) {
            *slot = copy_atom(source);
            continue;
        }
        Objet *copy = cons(nullptr, nullptr);
        copy->tag = source->tag;
        copy->count = source->count;
        *slot = copy;
        if (source->link.next)
            pending.push_back({source->link.next, &copy->link.next});
        if (source->head.item)
            pending.push_back({source->head.item, &copy->head.item});
    }
    return result;
}

int obj_equal(Objet *a, Objet *b)
{
    switch (a->kind) {
    case OBJ_STRING:
        return b->kind == OBJ_STRING && a->link.length == b->link.length &&
               std::memcmp(a->head.text, b->head.text, a->link.length) == 0;
    case OBJ_INT:
    case OBJ_LONG:
        // An int and a long holding the same number are equal.
        return (b->kind == OBJ_INT || b->kind == OBJ_LONG) && a->link.value == b->link.value;
    default:
        internal_fault();
    }
}

Objet *stream_open(Objet *name, Objet *mode)
{
    FILE *file = nullptr;
    if (!xfopen(name->head.text, mode->head.text, &file))
        return nullptr;
    Objet *stream = obj_new(OBJ_STREAM);
    stream->link.stream = file;
    return stream;
}

void stream_close(Objet *stream)
{
    if (stream->link.stream)
        xfclose(stream->link.stream);
    stream->link.stream = nullptr;
}
