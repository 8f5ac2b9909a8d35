// Report object model: one tagged node type for strings, numbers, streams,
// handlers and list cells. A line is a list whose first item is its code
// string; a group is a list of lines and groups.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

enum ObjKind : int32_t {
    OBJ_LIST = 1,
    OBJ_STRING = 2,
    OBJ_INT = 3,
    OBJ_LONG = 4,
    OBJ_STREAM = 5,
    OBJ_FUNC = 6,
};

constexpr uint8_t OBJ_MARK_DELETE = 0x01;

struct Objet;
using ObjHandler = int (*)(Objet *);

struct Objet {
    int32_t kind;
    int32_t tag;   // line kind on a code string; 3 file number, 2 line number
    int32_t count; // on a code string: number of fields the line had when read
    uint8_t flags;
    union {
        Objet *next;      // OBJ_LIST
        size_t length;    // OBJ_STRING
        int32_t value;    // OBJ_INT, OBJ_LONG (32-bit signed)
        FILE *stream;     // OBJ_STREAM (null once closed)
        ObjHandler func;  // OBJ_FUNC
    } link;
    union {
        Objet *item;      // OBJ_LIST (may be null)
        char *text;       // OBJ_STRING: owned, length + 1 bytes, NUL-terminated
    } head;
};

// Constructors: tag 1, count 0, flags 0.
Objet *obj_new(int32_t kind);
Objet *str_new(const char *bytes, size_t length);
Objet *int_new(int32_t value);
Objet *long_new(int32_t value);
Objet *func_new(ObjHandler function);
Objet *cons(Objet *item, Objet *next);
Objet *cell_new();
Objet *list1(Objet *a);
Objet *list2(Objet *a, Objet *b);
Objet *list3(Objet *a, Objet *b, Objet *c);
Objet *list4(Objet *a, Objet *b, Objet *c, Objet *d);
Objet *list5(Objet *a, Objet *b, Objet *c, Objet *d, Objet *e);
Objet *list6(Objet *a, Objet *b, Objet *c, Objet *d, Objet *e, Objet *f);
Objet *list7(Objet *a, Objet *b, Objet *c, Objet *d, Objet *e, Objet *f, Objet *g);
Objet *list8(Objet *a, Objet *b, Objet *c, Objet *d, Objet *e, Objet *f, Objet *g, Objet *h);
Objet *list9(Objet *a, Objet *b, Objet *c, Objet *d, Objet *e, Objet *f, Objet *g, Objet *h, Objet *i);
Objet *list10(Objet *a, Objet *b, Objet *c, Objet *d, Objet *e, Objet *f, Objet *g, Objet *h, Objet *i,
              Objet *j);
// "??" in quotes and unparsable fields give 0.
Objet *long_from_field(const char *text, size_t length);

// List operations.
void list_append(Objet *list, Objet *tail);
// Builds a list front to back: a new cell holding `item` after `last`
// (or as `first` when the list is still empty); `last` moves to it.
void list_push_back(Objet *&first, Objet *&last, Objet *item);
Objet *list_append2(Objet *list, Objet *a, Objet *b);
void list_wrap_after(Objet *first, Objet *last);
void list_insert_after(Objet *list, Objet *prev, Objet *x);
Objet *list_take_item(Objet *x, Objet *list);
void cell_release_contents(Objet *cell);

// Hands the free blocks this thread keeps, and what is left of its chunk,
// over to the other threads; for a thread about to end.
void pool_leave_thread();

// Life and death.
void obj_free(Objet *obj);
void obj_free_one(Objet *obj);
Objet *obj_sweep(Objet *obj);
Objet *obj_copy(Objet *obj);
Objet *obj_deep_copy(Objet *obj);
int obj_equal(Objet *a, Objet *b);

// Streams.
Objet *stream_open(Objet *name, Objet *mode);
void stream_close(Objet *stream);
