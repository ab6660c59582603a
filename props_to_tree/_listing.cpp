// The command's listing of a tree of dicts and lists: one `path = value` line
// for each scalar and each empty list or table, in the order the walk meets
// them, made a chunk of lines at a time.  The Python walk in
// props_to_tree/_engine/listing.py (leaves() and render()) is the reference
// it is tested against, byte for byte.
//
// A walk between two chunks is left open: the frames of the branches it is
// in, each holding a strong reference to its dict or list.  Handlers return a
// new reference or NULL with an exception set; helpers return -1 with the
// exception set.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <datetime.h>
#include <unistd.h>
#include <yaml.h>
#if defined(__linux__)
#include <sys/mman.h>
#endif

#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__ARM_NEON)
#include <arm_neon.h>
#endif

namespace {

// --- Text -----------------------------------------------------------------

// The bound of each width a str stores its characters in, as
// PyUnicode_MAX_CHAR_VALUE gives it: ASCII, Latin-1, UCS-2, UCS-4.
constexpr Py_UCS4 ascii_bound = 0x7f;

int
kind_of(Py_UCS4 bound)
{
    if (bound <= 0xff) {
        return PyUnicode_1BYTE_KIND;
    }
    return bound <= 0xffff ? PyUnicode_2BYTE_KIND : PyUnicode_4BYTE_KIND;
}

// Characters written one after another, stored as narrow as the widest of
// them allows, as a str stores them: a chunk of ASCII, the common case, is
// copied into its str in one piece.  `bound` is the bound of the widest
// width written (not the widest character itself): a str made with it as its
// maximum has the width that the characters would give it.
struct text {
    char *data;  // PyMem
    Py_ssize_t length;
    Py_ssize_t capacity;   // characters of the current kind
    Py_ssize_t allocated;  // bytes
    int kind;
    Py_UCS4 bound;
};

constexpr text empty_text = {
    nullptr, 0, 0, 0, PyUnicode_1BYTE_KIND, ascii_bound,
};

template <typename To, typename From>
void
convert(char *to, const void *from, Py_ssize_t count)
{
    auto *out = reinterpret_cast<To *>(to);
    const auto *in = static_cast<const From *>(from);
    for (Py_ssize_t i = 0; i < count; i++) {
        out[i] = static_cast<To>(in[i]);
    }
}

// Copies characters from one kind to another, where they do not overlap: a
// narrower kind must hold every character copied.  Text widens from Latin-1
// when a wider character comes, and a chunk of ASCII is cut from a wider
// text: those are the copies that must be fast.
void
copy_chars(char *to, int to_kind, const void *from, int from_kind,
           Py_ssize_t count)
{
    if (to_kind == from_kind) {
        std::memcpy(to, from, static_cast<size_t>(count) * to_kind);
    }
    else if (from_kind == PyUnicode_1BYTE_KIND) {
        if (to_kind == PyUnicode_2BYTE_KIND) {
            convert<Py_UCS2, Py_UCS1>(to, from, count);
        }
        else {
            convert<Py_UCS4, Py_UCS1>(to, from, count);
        }
    }
    else if (to_kind == PyUnicode_1BYTE_KIND) {
        if (from_kind == PyUnicode_2BYTE_KIND) {
            convert<Py_UCS1, Py_UCS2>(to, from, count);
        }
        else {
            convert<Py_UCS1, Py_UCS4>(to, from, count);
        }
    }
    else {  // between UCS-2 and UCS-4, which a few characters need
        for (Py_ssize_t i = 0; i < count; i++) {
            PyUnicode_WRITE(to_kind, to, i,
                            PyUnicode_READ(from_kind, from, i));
        }
    }
}

// text_reserve's way when the text must grow or widen: the characters
// already written are widened where needed.
int
text_grow(text *t, Py_ssize_t extra, Py_UCS4 bound)
{
    int kind = kind_of(bound) > t->kind ? kind_of(bound) : t->kind;
    char *data = nullptr;
    // More characters than a str can hold fail as an allocation would.
    if (extra <= PY_SSIZE_T_MAX / 4 - t->length) {
        Py_ssize_t needed = (t->length + extra) * kind;
        if (kind == t->kind && needed <= t->allocated) {
            t->bound = bound > t->bound ? bound : t->bound;
            return 0;
        }
        // Grown by half at least, so that a text written a little at a
        // time is copied a few times only; a wider kind alone grows nothing.
        Py_ssize_t allocated = t->allocated;
        if (needed > allocated) {
            allocated += allocated / 2;
            allocated = needed > allocated ? needed : allocated;
            allocated = allocated < 256 ? 256 : allocated;
        }
        if (kind == t->kind) {
            data = static_cast<char *>(PyMem_Realloc(t->data, allocated));
        }
        else {
            data = static_cast<char *>(PyMem_Malloc(allocated));
            if (data != nullptr) {
                copy_chars(data, kind, t->data, t->kind, t->length);
                PyMem_Free(t->data);
            }
        }
        if (data != nullptr) {
            t->data = data;
            t->allocated = allocated;
            t->kind = kind;
            t->capacity = allocated / kind;
            t->bound = bound > t->bound ? bound : t->bound;
        }
    }
    if (data == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

// Makes room for `extra` more characters, some as wide as `bound`.  Called
// a few times a line: the common case is two comparisons.
inline int
text_reserve(text *t, Py_ssize_t extra, Py_UCS4 bound)
{
    if (bound <= t->bound && extra <= t->capacity - t->length) {
        return 0;
    }
    return text_grow(t, extra, bound);
}

// Cuts the text back to `length` characters, when the widest of them had
// `bound`, narrowing it in place to the width that bound needs: a character
// is read before any narrower one is written over it.
void
text_truncate(text *t, Py_ssize_t length, Py_UCS4 bound)
{
    t->length = length;
    t->bound = bound;
    int kind = kind_of(bound);
    if (kind < t->kind) {
        for (Py_ssize_t i = 0; i < length; i++) {
            PyUnicode_WRITE(kind, t->data, i,
                            PyUnicode_READ(t->kind, t->data, i));
        }
        t->kind = kind;
        t->capacity = t->allocated / kind;
    }
}

void
text_free(text *t)
{
    PyMem_Free(t->data);
    *t = empty_text;
}

// Writes characters the caller has made room for.
void
put_char(text *t, Py_UCS4 c)
{
    PyUnicode_WRITE(t->kind, t->data, t->length, c);
    t->length++;
}

void
put_chars(text *t, const void *chars, int kind, Py_ssize_t count)
{
    copy_chars(t->data + t->length * t->kind, t->kind, chars, kind, count);
    t->length += count;
}

int
put_ascii(text *t, const char *chars, Py_ssize_t count)
{
    if (text_reserve(t, count, ascii_bound) < 0) {
        return -1;
    }
    put_chars(t, chars, PyUnicode_1BYTE_KIND, count);
    return 0;
}

// The characters of `s` from `start` on.
int
put_str(text *t, PyObject *s, Py_ssize_t start)
{
    Py_ssize_t count = PyUnicode_GET_LENGTH(s) - start;
    if (text_reserve(t, count, PyUnicode_MAX_CHAR_VALUE(s)) < 0) {
        return -1;
    }
    int kind = PyUnicode_KIND(s);
    put_chars(t, static_cast<const char *>(PyUnicode_DATA(s)) + start * kind,
              kind, count);
    return 0;
}

// Not std::to_chars: its table of digits would be exported, a weak symbol
// of libstdc++'s, by a clang build.
int
put_number(text *t, long long number)
{
    char digits[24];
    char *end = digits + sizeof digits;
    char *at = end;
    auto magnitude = static_cast<unsigned long long>(number);
    if (number < 0) {
        magnitude = 0 - magnitude;
    }
    do {
        *--at = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (number < 0) {
        *--at = '-';
    }
    return put_ascii(t, at, end - at);
}

// --- Strings --------------------------------------------------------------

// How many characters each Latin-1 character takes in a JSON string as the
// json module writes it (json.encoder.encode_basestring): 2 for the short
// escapes, 6 for \u00XX, 1 for itself.  TOML's writing escapes DEL as well.
struct escapes {
    unsigned char width[256];
    bool del;
};

constexpr escapes
make_escapes(bool del)
{
    escapes e{};
    e.del = del;
    for (int c = 0; c < 256; c++) {
        e.width[c] = c < 0x20 || (del && c == 0x7f) ? 6 : 1;
    }
    for (const char *c = "\"\\\b\f\n\r\t"; *c != '\0'; c++) {
        e.width[static_cast<unsigned char>(*c)] = 2;
    }
    return e;
}

constexpr escapes json_escapes = make_escapes(false);
constexpr escapes toml_escapes = make_escapes(true);

template <typename Char>
int
width_of(Char c, const escapes &e)
{
    return c < 256 ? e.width[c] : 1;
}

// The characters the escapes of `chars` add.
template <typename Char>
Py_ssize_t
escaped_extra(const Char *chars, Py_ssize_t count, const escapes &e)
{
    Py_ssize_t extra = 0;
    for (Py_ssize_t i = 0; i < count; i++) {
        extra += width_of(chars[i], e) - 1;
    }
    return extra;
}

char
short_escape(Py_UCS4 c)
{
    switch (c) {
    case '\b':
        return 'b';
    case '\f':
        return 'f';
    case '\n':
        return 'n';
    case '\r':
        return 'r';
    case '\t':
        return 't';
    default:
        return static_cast<char>(c);  // the quote and the backslash
    }
}

// Latin-1 text, most of what a listing shows, is read eight characters at
// a time: a word that holds nothing to escape is passed over whole.
constexpr uint64_t ones = 0x0101010101010101;
constexpr uint64_t highs = 0x8080808080808080;

// Whether a byte of `word` is below `n` (at most 128).  A byte below it
// borrows from the one above, which may then seem below too: only whether
// any byte is can be told, not which.
uint64_t
any_below(uint64_t word, uint64_t n)
{
    return (word - ones * n) & ~word & highs;
}

uint64_t
any_equal(uint64_t word, uint64_t c)
{
    return any_below(word ^ (ones * c), 1);
}

bool
needs_escape(const Py_UCS1 *chars, const escapes &e)
{
    uint64_t word;
    std::memcpy(&word, chars, sizeof word);
    return (any_below(word, 0x20) | any_equal(word, '"')
            | any_equal(word, '\\') | (e.del ? any_equal(word, 0x7f) : 0))
           != 0;
}

Py_ssize_t
escaped_extra(const Py_UCS1 *chars, Py_ssize_t count, const escapes &e)
{
    Py_ssize_t extra = 0;
    Py_ssize_t i = 0;
    for (; i + 8 <= count; i += 8) {
        if (needs_escape(chars + i, e)) {
            extra += escaped_extra<Py_UCS1>(chars + i, 8, e);
        }
    }
    return extra + escaped_extra<Py_UCS1>(chars + i, count - i, e);
}

// Writes `chars` escaped, into room made for them: the runs between escapes
// are copied whole.
template <typename Char>
void
put_escaped(text *t, const Char *chars, Py_ssize_t count, const escapes &e)
{
    Py_ssize_t run = 0;
    Py_ssize_t i = 0;
    while (i < count) {
        Py_ssize_t stop = i + 8 < count ? i + 8 : count;
        if constexpr (sizeof(Char) == 1) {
            if (stop == i + 8 && !needs_escape(chars + i, e)) {
                i = stop;
                continue;
            }
        }
        for (; i < stop; i++) {
            Char c = chars[i];
            int width = width_of(c, e);
            if (width == 1) {
                continue;
            }
            put_chars(t, chars + run, sizeof(Char), i - run);
            run = i + 1;
            put_char(t, '\\');
            if (width == 2) {
                put_char(t, short_escape(c));
                continue;
            }
            for (const char *x = "u00"; *x != '\0'; x++) {
                put_char(t, *x);
            }
            put_char(t, Py_hexdigits[c >> 4]);
            put_char(t, Py_hexdigits[c & 0xf]);
        }
    }
    put_chars(t, chars + run, sizeof(Char), count - run);
}

// `s` in double quotes, escaped.  Characters beyond ASCII stay as they are,
// lone surrogates too: the output code writes those escaped.
int
put_quoted(text *t, PyObject *s, const escapes &e)
{
    Py_ssize_t count = PyUnicode_GET_LENGTH(s);
    const void *data = PyUnicode_DATA(s);
    int kind = PyUnicode_KIND(s);
    Py_ssize_t extra =
        kind == PyUnicode_1BYTE_KIND
            ? escaped_extra(static_cast<const Py_UCS1 *>(data), count, e)
        : kind == PyUnicode_2BYTE_KIND
            ? escaped_extra(static_cast<const Py_UCS2 *>(data), count, e)
            : escaped_extra(static_cast<const Py_UCS4 *>(data), count, e);
    if (text_reserve(t, count + extra + 2, PyUnicode_MAX_CHAR_VALUE(s)) < 0) {
        return -1;
    }
    put_char(t, '"');
    if (extra == 0) {
        put_chars(t, data, kind, count);
    }
    else if (kind == PyUnicode_1BYTE_KIND) {
        put_escaped(t, static_cast<const Py_UCS1 *>(data), count, e);
    }
    else if (kind == PyUnicode_2BYTE_KIND) {
        put_escaped(t, static_cast<const Py_UCS2 *>(data), count, e);
    }
    else {
        put_escaped(t, static_cast<const Py_UCS4 *>(data), count, e);
    }
    put_char(t, '"');
    return 0;
}

// --- The walk -------------------------------------------------------------

// An open branch: its dict or list, how far the walk is through it, and the
// path up to it.
struct frame {
    PyObject *node;   // strong
    Py_ssize_t next;  // PyDict_Next's position, or the next item's index
    Py_ssize_t size;  // a dict's size when the walk entered it
    Py_ssize_t path_length;
    Py_UCS4 path_bound;
};

// How a format spells its values, as the caller names it: the module's JSON
// and TOML.
enum spelling : int { json_spelling = 0, toml_spelling = 1 };

struct chunks_object {
    PyObject ob_base;
    // NULL once the walk is over, failed, or was cleared: nothing more comes.
    PyObject *tree;
    PyObject *show;  // the format's show(value), for a value not shown here
    PyObject *key_text;  // paths.key_text(key), for a key not written here
    PyObject *keys;      // its cache: paths._cache
    bool toml;           // TOML's spelling of floats, DEL and None
    int started;
    int running;  // inside __next__: a callback may not walk on
    // A chunk of ASCII ends with the first line past `size` characters, a
    // wider one past a 64th of that; a chunk of ASCII also ends before a
    // line that would widen it, at `split`.  A wider chunk costs the output
    // code much more to encode, character for character: this keeps the few
    // lines of other characters in short chunks of their own.
    Py_ssize_t size;
    Py_ssize_t split;
    frame *frames;
    Py_ssize_t depth;
    Py_ssize_t capacity;
    Py_ssize_t max_depth;  // the recursion limit, read once a chunk
    text path;
    text out;
};

// Every reference the walk holds, and its buffers, let go: the walk is over.
// Releasing a branch may run a finalizer that calls back in; it finds the
// walk over already.
void
release(chunks_object *self)
{
    Py_CLEAR(self->tree);
    while (self->depth > 0) {
        self->depth--;
        Py_DECREF(self->frames[self->depth].node);
    }
    PyMem_Free(self->frames);
    self->frames = nullptr;
    self->capacity = 0;
    Py_CLEAR(self->show);
    Py_CLEAR(self->key_text);
    Py_CLEAR(self->keys);
    text_free(&self->path);
    text_free(&self->out);
}

// Opens a non-empty dict or list.  Each open branch counts against the
// interpreter's recursion limit, as each call of the Python walk does: a tree
// that contains itself ends in RecursionError.
int
push(chunks_object *self, PyObject *node)
{
    if (self->depth >= self->max_depth) {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded in the listing");
        return -1;
    }
    if (self->depth == self->capacity) {
        Py_ssize_t capacity = self->capacity < 16 ? 16 : self->capacity * 2;
        frame *frames = self->frames;
        PyMem_Resize(frames, frame, capacity);
        if (frames == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        self->frames = frames;
        self->capacity = capacity;
    }
    Py_ssize_t size = PyDict_CheckExact(node) ? PyDict_GET_SIZE(node) : 0;
    self->frames[self->depth++] =
        frame{Py_NewRef(node), 0, size, self->path.length, self->path.bound};
    return 0;
}

int
put_int(text *t, PyObject *value)
{
    int overflow;
    long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) {
        return put_number(t, number);
    }
    PyObject *digits = PyObject_Repr(value);  // ValueError past the limit
    if (digits == nullptr) {
        return -1;
    }
    int status = put_str(t, digits, 0);
    Py_DECREF(digits);
    return status;
}

int
put_float(text *t, double number, bool toml)
{
    if (std::isnan(number)) {
        return toml ? put_ascii(t, "nan", 3) : put_ascii(t, "NaN", 3);
    }
    if (std::isinf(number)) {
        if (number > 0) {
            return toml ? put_ascii(t, "inf", 3) : put_ascii(t, "Infinity", 8);
        }
        return toml ? put_ascii(t, "-inf", 4) : put_ascii(t, "-Infinity", 9);
    }
    // float.__repr__'s own call.
    char *digits =
        PyOS_double_to_string(number, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (digits == nullptr) {
        return -1;
    }
    int status =
        put_ascii(t, digits, static_cast<Py_ssize_t>(std::strlen(digits)));
    PyMem_Free(digits);
    return status;
}

// A value as the format's show() writes it.  Only the types JSON and TOML
// read are written here, and only exactly those (a subclass may show itself
// otherwise); anything else is the format's show() to write.
int
put_value(chunks_object *self, PyObject *value)
{
    text *out = &self->out;
    if (PyUnicode_CheckExact(value)) {
        return put_quoted(out, value,
                          self->toml ? toml_escapes : json_escapes);
    }
    if (PyLong_CheckExact(value)) {
        return put_int(out, value);
    }
    if (value == Py_True || value == Py_False) {
        return value == Py_True ? put_ascii(out, "true", 4)
                                : put_ascii(out, "false", 5);
    }
    if (PyFloat_CheckExact(value)) {
        return put_float(out, PyFloat_AS_DOUBLE(value), self->toml);
    }
    if (value == Py_None && !self->toml) {
        return put_ascii(out, "null", 4);
    }
    // A dict or list met as a value is an empty one: the walk opens others.
    if (PyDict_CheckExact(value) && PyDict_GET_SIZE(value) == 0) {
        return put_ascii(out, "{}", 2);
    }
    if (PyList_CheckExact(value) && PyList_GET_SIZE(value) == 0) {
        return put_ascii(out, "[]", 2);
    }
    PyObject *shown = PyObject_CallOneArg(self->show, value);
    if (shown == nullptr) {
        return -1;
    }
    int status;
    if (PyUnicode_Check(shown)) {
        status = put_str(out, shown, 0);
    }
    else {
        PyErr_Format(PyExc_TypeError, "show() returned %.200s, not str",
                     Py_TYPE(shown)->tp_name);
        status = -1;
    }
    Py_DECREF(shown);
    return status;
}

// Which ASCII characters a key may hold and still stand bare in a path, as
// paths._bare decides: printable, and none of . [ ] " =.
struct bare_chars {
    bool allowed[128];
};

constexpr bare_chars
make_bare_chars()
{
    bare_chars b{};
    for (int c = 0x20; c < 0x7f; c++) {
        b.allowed[c] = true;
    }
    for (const char *c = ".[]\"="; *c != '\0'; c++) {
        b.allowed[static_cast<unsigned char>(*c)] = false;
    }
    return b;
}

constexpr bare_chars bare = make_bare_chars();

bool
bare_ends(const Py_UCS1 *chars, Py_ssize_t count)
{
    // Not empty, "#" not first (a listing's comment), no space at an end,
    // and not "*", which stands for every key.
    return count > 0 && chars[0] != '#' && chars[0] != ' '
           && chars[count - 1] != ' ' && (count != 1 || chars[0] != '*');
}

bool
is_bare(const Py_UCS1 *chars, Py_ssize_t count)
{
    if (!bare_ends(chars, count)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < count; i++) {
        if (!bare.allowed[chars[i]]) {
            return false;
        }
    }
    return true;
}

// The key's segment of the path: ".key" or ["key"], with no "." first at the
// top.  An ASCII key is written here; any other is written by key_text, or
// found in its cache.  Either may run Python code: the caller owns `key`.
int
put_key(chunks_object *self, PyObject *key, bool top)
{
    text *path = &self->path;
    if (PyUnicode_CheckExact(key) && PyUnicode_IS_ASCII(key)) {
        const Py_UCS1 *chars = PyUnicode_1BYTE_DATA(key);
        Py_ssize_t count = PyUnicode_GET_LENGTH(key);
        if (is_bare(chars, count)) {
            if (text_reserve(path, count + 1, ascii_bound) < 0) {
                return -1;
            }
            if (!top) {
                put_char(path, '.');
            }
            put_chars(path, chars, PyUnicode_1BYTE_KIND, count);
            return 0;
        }
        if (put_ascii(path, "[", 1) < 0
            || put_quoted(path, key, json_escapes) < 0) {
            return -1;
        }
        return put_ascii(path, "]", 1);
    }
    PyObject *shown = nullptr;
    if (PyUnicode_CheckExact(key)) {
        PyObject *cached = PyDict_GetItemWithError(self->keys, key);
        if (cached != nullptr && PyUnicode_Check(cached)
            && PyUnicode_GET_LENGTH(cached) > 0)
        {
            shown = Py_NewRef(cached);
        }
    }
    if (shown == nullptr && !PyErr_Occurred()) {
        shown = PyObject_CallOneArg(self->key_text, key);
    }
    if (shown == nullptr) {
        return -1;
    }
    int status = -1;
    if (!PyUnicode_Check(shown)) {
        PyErr_Format(PyExc_TypeError, "key_text() returned %.200s, not str",
                     Py_TYPE(shown)->tp_name);
        goto done;
    }
    {
        bool dot = PyUnicode_GET_LENGTH(shown) > 0
                   && PyUnicode_READ_CHAR(shown, 0) == '.';
        status = put_str(path, shown, top && dot ? 1 : 0);
    }

done:
    Py_DECREF(shown);
    return status;
}

// A line: the path so far, " = " and the value.
int
put_line(chunks_object *self, PyObject *value)
{
    text *out = &self->out;
    const text *path = &self->path;
    if (text_reserve(out, path->length + 3, path->bound) < 0) {
        return -1;
    }
    put_chars(out, path->data, path->kind, path->length);
    put_chars(out, " = ", PyUnicode_1BYTE_KIND, 3);
    if (put_value(self, value) < 0) {
        return -1;
    }
    return put_ascii(out, "\n", 1);
}

// What the walk does with a value under the path: opens a non-empty dict or
// list, lists anything else.
int
visit(chunks_object *self, PyObject *value)
{
    if ((PyDict_CheckExact(value) && PyDict_GET_SIZE(value) > 0)
        || (PyList_CheckExact(value) && PyList_GET_SIZE(value) > 0))
    {
        return push(self, value);
    }
    return put_line(self, value);
}

// The top: a dict's keys have no "." before them, a list's items start the
// path with [N], and any other value is the document: ". = value".
int
start(chunks_object *self)
{
    PyObject *tree = self->tree;
    if (PyDict_CheckExact(tree) || PyList_CheckExact(tree)) {
        return push(self, tree);
    }
    if (put_ascii(&self->path, ".", 1) < 0) {
        return -1;
    }
    return put_line(self, tree);
}

// How long the chunk may grow before it ends.
Py_ssize_t
limit(const chunks_object *self)
{
    if (self->out.bound == ascii_bound) {
        return self->size;
    }
    return self->size / 64 > 0 ? self->size / 64 : 1;
}

// Walks on until the chunk is long enough or the walk is over.
//
// A callback (show, key_text, or a finalizer that one of them sets off) may
// change the tree under the walk.  The walk owns every branch it is in and
// the key and value it is at, so nothing it reads is freed; as Python's own
// iteration does, a dict whose size changed raises RuntimeError, and a list
// is read by index, up to the length it has when each item is read.
int
fill(chunks_object *self)
{
    text *out = &self->out;
    while (self->depth > 0 && out->length < limit(self)) {
        frame *f = &self->frames[self->depth - 1];
        text_truncate(&self->path, f->path_length, f->path_bound);
        PyObject *node = f->node;
        PyObject *key = nullptr;
        PyObject *value;
        int status;
        if (PyDict_CheckExact(node)) {
            if (PyDict_GET_SIZE(node) != f->size) {
                PyErr_SetString(PyExc_RuntimeError,
                                "dictionary changed size during iteration");
                return -1;
            }
            if (!PyDict_Next(node, &f->next, &key, &value)) {
                self->depth--;
                Py_DECREF(node);
                continue;
            }
            Py_INCREF(key);
            Py_INCREF(value);
            status = put_key(self, key, self->depth == 1);
        }
        else {
            if (f->next >= PyList_GET_SIZE(node)) {
                self->depth--;
                Py_DECREF(node);
                continue;
            }
            value = Py_NewRef(PyList_GET_ITEM(node, f->next));
            status = put_ascii(&self->path, "[", 1) < 0
                             || put_number(&self->path, f->next) < 0
                             || put_ascii(&self->path, "]", 1) < 0
                         ? -1
                         : 0;
            f->next++;
        }
        Py_ssize_t line_start = out->length;
        Py_UCS4 bound = out->bound;
        if (status == 0) {
            status = visit(self, value);
        }
        Py_XDECREF(key);
        Py_DECREF(value);
        if (status < 0) {
            return -1;
        }
        if (bound == ascii_bound && out->bound != ascii_bound
            && line_start > 0) {
            self->split = line_start;
            return 0;
        }
    }
    return 0;
}

// The first `length` characters made, as a str; what follows them starts
// the next chunk, in a buffer kept for it.
PyObject *
take_chunk(text *out, Py_ssize_t length, Py_UCS4 bound)
{
    PyObject *chunk = PyUnicode_New(length, bound);
    if (chunk == nullptr) {
        return nullptr;
    }
    copy_chars(static_cast<char *>(PyUnicode_DATA(chunk)),
               PyUnicode_KIND(chunk), out->data, out->kind, length);
    out->length -= length;
    if (out->length > 0) {
        std::memmove(out->data, out->data + length * out->kind,
                     static_cast<size_t>(out->length) * out->kind);
    }
    else {  // empty, the buffer may be narrowed for nothing
        out->bound = ascii_bound;
        out->kind = PyUnicode_1BYTE_KIND;
        out->capacity = out->allocated;
    }
    return chunk;
}

PyObject *
chunks_next(PyObject *op)
{
    auto *self = reinterpret_cast<chunks_object *>(op);
    if (self->running) {
        PyErr_SetString(PyExc_ValueError, "the listing is being made already");
        return nullptr;
    }
    if (self->tree == nullptr) {
        return nullptr;
    }
    self->running = 1;
    self->max_depth = Py_GetRecursionLimit();
    int status = 0;
    if (!self->started) {
        self->started = 1;
        status = start(self);
    }
    if (status == 0) {
        status = fill(self);
    }
    self->running = 0;
    text *out = &self->out;
    PyObject *chunk = nullptr;
    if (status == 0 && self->split > 0) {
        chunk = take_chunk(out, self->split, ascii_bound);
        self->split = 0;
    }
    else if (status == 0 && out->length > 0) {
        chunk = take_chunk(out, out->length, out->bound);
    }
    // A walk that failed, or made its last chunk, or made none, is over.
    if (chunk == nullptr || (self->depth == 0 && out->length == 0)) {
        release(self);
    }
    return chunk;
}

PyObject *
chunks_new(PyTypeObject *type, PyObject *args, PyObject *kwargs)
{
    PyObject *tree, *show, *key_text, *keys;
    int spelled;
    Py_ssize_t size;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        PyErr_SetString(PyExc_TypeError,
                        "Chunks() takes no keyword arguments");
        return nullptr;
    }
    if (!PyArg_ParseTuple(args, "OOOO!in:Chunks", &tree, &show, &key_text,
                          &PyDict_Type, &keys, &spelled, &size))
    {
        return nullptr;
    }
    if (spelled != json_spelling && spelled != toml_spelling) {
        PyErr_SetString(PyExc_ValueError, "spelling must be JSON or TOML");
        return nullptr;
    }
    if (!PyCallable_Check(show) || !PyCallable_Check(key_text)) {
        PyErr_SetString(PyExc_TypeError, "show and key_text must be callable");
        return nullptr;
    }
    if (size < 1) {
        PyErr_SetString(PyExc_ValueError, "size must be at least 1");
        return nullptr;
    }
    auto *self = reinterpret_cast<chunks_object *>(type->tp_alloc(type, 0));
    if (self == nullptr) {
        return nullptr;
    }
    self->tree = Py_NewRef(tree);
    self->show = Py_NewRef(show);
    self->key_text = Py_NewRef(key_text);
    self->keys = Py_NewRef(keys);
    self->toml = spelled == toml_spelling;
    self->size = size;
    self->path = empty_text;
    self->out = empty_text;
    return reinterpret_cast<PyObject *>(self);
}

int
chunks_traverse(PyObject *op, visitproc visit, void *arg)
{
    auto *self = reinterpret_cast<chunks_object *>(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(self->tree);
    Py_VISIT(self->show);
    Py_VISIT(self->key_text);
    Py_VISIT(self->keys);
    for (Py_ssize_t i = 0; i < self->depth; i++) {
        Py_VISIT(self->frames[i].node);
    }
    return 0;
}

int
chunks_clear(PyObject *op)
{
    release(reinterpret_cast<chunks_object *>(op));
    return 0;
}

void
chunks_dealloc(PyObject *op)
{
    PyTypeObject *type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    release(reinterpret_cast<chunks_object *>(op));
    type->tp_free(op);
    Py_DECREF(type);
}

PyType_Slot chunks_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(chunks_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(chunks_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(chunks_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(chunks_clear)},
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(chunks_next)},
    {0, nullptr},
};

PyType_Spec chunks_spec = {
    "props_to_tree._listing.Chunks",
    sizeof(chunks_object),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    chunks_slots,
};

// --- A JSON document listed from its bytes ---------------------------------
//
// The listing of a JSON file made straight from the file's bytes, with no str
// of the text, no Python objects of its values and no second walk: the
// bytes are first checked whole, as strictly as json.loads reads them, and
// then walked as they are written, a chunk of lines at a time.  What is
// listed is what the Python walk lists of the document json.loads makes of
// the text: a string as json.dumps writes it, a number as it is written.  A
// document this does not take (one that does not read, or whose object has
// a key twice, which json.loads reads as its last, or an integer past
// Python's digits, or nesting past the recursion limit) is left to the
// Python way, which lists it, or says why not, as it always has.

// The pages of a large buffer filled for the first time cost the kernel a
// fault each: for a document of 18 MB, more than the listing of it.  Backed
// by huge pages, where the kernel has them, it takes one fault in 512; and
// one that is to be filled whole is given its pages at once, the small ones
// at its ends too.
void
advise_huge(char *data, Py_ssize_t count, bool filled = false)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr Py_ssize_t huge = Py_ssize_t{1} << 21;
    constexpr Py_ssize_t page = 4096;
    auto start = static_cast<Py_ssize_t>(reinterpret_cast<uintptr_t>(data)
                                         % static_cast<uintptr_t>(huge));
    Py_ssize_t head = (huge - start) % huge;   // before the first huge page
    Py_ssize_t tail = (start + count) % huge;  // past the last
    if (count - head - tail > 0) {
        // Advice only: where it is not taken, the pages are small ones.
        (void)madvise(data + head, static_cast<size_t>(count - head - tail),
                      MADV_HUGEPAGE);
    }
#if defined(MADV_POPULATE_WRITE)
    if (filled && count >= huge) {
        char *from = data - start % page;
        (void)madvise(from, static_cast<size_t>(data + count - from),
                      MADV_POPULATE_WRITE);  // from Linux 5.14; else faults
    }
#endif
#else
    (void)data;
    (void)count;
    (void)filled;
#endif
}

// Bytes written one after another: into PyMem's memory, or into a bytes
// object's own, which is then handed out as it is.
struct bytes_out {
    char *data;
    Py_ssize_t length;
    Py_ssize_t allocated;
    PyObject *owner;  // the bytes object holding data, or NULL: PyMem's
};

constexpr bytes_out empty_bytes = {nullptr, 0, 0, nullptr};

#if defined(__GNUC__)
__attribute__((noinline))
#endif
int
bytes_grow(bytes_out *b, Py_ssize_t extra)
{
    if (extra > PY_SSIZE_T_MAX / 2 - b->length) {
        PyErr_NoMemory();
        return -1;
    }
    Py_ssize_t needed = b->length + extra;
    Py_ssize_t allocated = b->allocated + b->allocated / 2;
    allocated = needed > allocated ? needed : allocated;
    allocated = allocated < 256 ? 256 : allocated;
    if (b->owner != nullptr) {
        if (_PyBytes_Resize(&b->owner, allocated) < 0) {
            *b = empty_bytes;  // the resize freed it
            return -1;
        }
        b->data = PyBytes_AS_STRING(b->owner);
        advise_huge(b->data + b->allocated, allocated - b->allocated);
        b->allocated = allocated;
        return 0;
    }
    auto *data = static_cast<char *>(PyMem_Realloc(b->data, allocated));
    if (data == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    b->data = data;
    b->allocated = allocated;
    return 0;
}

// Room for `extra` bytes more: called for every few bytes written, the test
// is inlined, the growth not.
int
bytes_reserve(bytes_out *b, Py_ssize_t extra)
{
    // Room for nothing still allocates a buffer never allocated: memcpy and
    // memcmp take no null pointer, even for no bytes (an empty key first).
    if (extra <= b->allocated - b->length && b->data != nullptr) {
        return 0;
    }
    return bytes_grow(b, extra);
}

// A buffer of `allocated` bytes that a bytes object holds, to be taken by
// bytes_take.
int
bytes_open(bytes_out *b, Py_ssize_t allocated)
{
    *b = empty_bytes;
    b->owner = PyBytes_FromStringAndSize(nullptr, allocated);
    if (b->owner == nullptr) {
        return -1;
    }
    b->data = PyBytes_AS_STRING(b->owner);
    b->allocated = allocated;
    advise_huge(b->data, allocated);
    return 0;
}

// The bytes object of what was written, taken from `b`, which is left empty.
PyObject *
bytes_take(bytes_out *b)
{
    PyObject *taken = b->owner;
    Py_ssize_t length = b->length;
    *b = empty_bytes;
    if (taken != nullptr && _PyBytes_Resize(&taken, length) < 0) {
        return nullptr;
    }
    return taken;
}

// Writes bytes the caller has made room for.
void
bytes_put(bytes_out *b, const void *from, Py_ssize_t count)
{
    std::memcpy(b->data + b->length, from, static_cast<size_t>(count));
    b->length += count;
}

int
bytes_add(bytes_out *b, const void *from, Py_ssize_t count)
{
    if (bytes_reserve(b, count) < 0) {
        return -1;
    }
    bytes_put(b, from, count);
    return 0;
}

void
bytes_free(bytes_out *b)
{
    if (b->owner != nullptr) {
        Py_DECREF(b->owner);
    }
    else {
        PyMem_Free(b->data);
    }
    *b = empty_bytes;
}

// The bytes of a document: `end` is its length; reading past it gives 0,
// which no JSON token starts with.
struct source {
    const unsigned char *s;
    Py_ssize_t end;
};

unsigned char
at(const source &src, Py_ssize_t i)
{
    return i < src.end ? src.s[i] : 0;
}

bool
json_space(unsigned char c)
{
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

// Past the white space from `i`.  Most is one space (": ") or a line break
// and an indentation, which sixteen bytes compared at once pass over where
// the processor compares them so.
Py_ssize_t
skip_space(const source &src, Py_ssize_t i)
{
    if (i >= src.end || !json_space(src.s[i])) {
        return i;
    }
    i++;
    if (i >= src.end || !json_space(src.s[i])) {
        return i;
    }
#if defined(__SSE2__)
    while (i + 16 <= src.end) {
        __m128i chars =
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(src.s + i));
        __m128i spaces = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(chars, _mm_set1_epi8(' ')),
                         _mm_cmpeq_epi8(chars, _mm_set1_epi8('\n'))),
            _mm_or_si128(_mm_cmpeq_epi8(chars, _mm_set1_epi8('\r')),
                         _mm_cmpeq_epi8(chars, _mm_set1_epi8('\t'))));
        auto others =
            static_cast<unsigned>(~_mm_movemask_epi8(spaces) & 0xffff);
        if (others != 0) {
            return i + __builtin_ctz(others);
        }
        i += 16;
    }
#endif
    while (i < src.end && json_space(src.s[i])) {
        i++;
    }
    return i;
}

int
hex_value(unsigned char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The code unit of the four hex digits at `i`, or -1.
long
hex4(const source &src, Py_ssize_t i)
{
    long unit = 0;
    for (Py_ssize_t k = i; k < i + 4; k++) {
        int digit = hex_value(at(src, k));
        if (digit < 0) {
            return -1;
        }
        unit = unit * 16 + digit;
    }
    return unit;
}

// How many bytes the UTF-8 character at `i` takes, or -1 where it is none
// that Python's strict decoder reads: an overlong form, a surrogate, past
// U+10FFFF, cut short.
Py_ssize_t
utf8_width(const source &src, Py_ssize_t i)
{
    unsigned char c = src.s[i];
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    Py_ssize_t width;
    if (c >= 0xc2 && c <= 0xdf) {
        width = 2;
    }
    else if (c >= 0xe0 && c <= 0xef) {
        width = 3;
        low = c == 0xe0 ? 0xa0 : 0x80;
        high = c == 0xed ? 0x9f : 0xbf;
    }
    else if (c >= 0xf0 && c <= 0xf4) {
        width = 4;
        low = c == 0xf0 ? 0x90 : 0x80;
        high = c == 0xf4 ? 0x8f : 0xbf;
    }
    else {
        return -1;
    }
    unsigned char second = at(src, i + 1);
    if (second < low || second > high) {
        return -1;
    }
    for (Py_ssize_t k = i + 2; k < i + width; k++) {
        unsigned char next = at(src, k);
        if (next < 0x80 || next > 0xbf) {
            return -1;
        }
    }
    return width;
}

// Where a run of characters that need no care ends: neither a quote, a
// backslash, a control character nor a byte past ASCII.  Sixteen at a time
// where the processor compares them so (SSE2, NEON), else eight.
Py_ssize_t
plain_run(const source &src, Py_ssize_t i)
{
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    // Signed, a byte past ASCII is below 0x20 too.
    const __m128i space = _mm_set1_epi8(0x20);
    auto stops_at = [&](Py_ssize_t k) {
        __m128i chars =
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(src.s + k));
        return _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chars, quote),
                                         _mm_cmpeq_epi8(chars, backslash)),
                            _mm_cmplt_epi8(chars, space));
    };
    // Sixty-four bytes a step: most texts (keys, names, short words) end
    // within the first, whose stop is then found with no loop to leave.
    while (i + 64 <= src.end) {
        auto mask =
            static_cast<uint64_t>(
                static_cast<unsigned>(_mm_movemask_epi8(stops_at(i))))
            | static_cast<uint64_t>(
                  static_cast<unsigned>(_mm_movemask_epi8(stops_at(i + 16))))
                  << 16
            | static_cast<uint64_t>(
                  static_cast<unsigned>(_mm_movemask_epi8(stops_at(i + 32))))
                  << 32
            | static_cast<uint64_t>(
                  static_cast<unsigned>(_mm_movemask_epi8(stops_at(i + 48))))
                  << 48;
        if (mask != 0) {
            return i + __builtin_ctzll(mask);
        }
        i += 64;
    }
    while (i + 16 <= src.end) {
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(stops_at(i)));
        if (mask != 0) {
            return i + __builtin_ctz(mask);
        }
        i += 16;
    }
#elif defined(__ARM_NEON)
    const uint8x16_t quote = vdupq_n_u8('"');
    const uint8x16_t backslash = vdupq_n_u8('\\');
    const uint8x16_t space = vdupq_n_u8(0x20);
    const uint8x16_t high = vdupq_n_u8(0x7f);
    while (i + 16 <= src.end) {
        uint8x16_t chars = vld1q_u8(src.s + i);
        uint8x16_t stops = vorrq_u8(
            vorrq_u8(vceqq_u8(chars, quote), vceqq_u8(chars, backslash)),
            vorrq_u8(vcltq_u8(chars, space), vcgtq_u8(chars, high)));
        if (vmaxvq_u8(stops) != 0) {
            break;  // the bytes below say which
        }
        i += 16;
    }
#endif
    while (i + 8 <= src.end) {
        uint64_t word;
        std::memcpy(&word, src.s + i, sizeof word);
        if ((any_below(word, 0x20) | any_equal(word, '"')
             | any_equal(word, '\\') | (word & highs))
            != 0)
        {
            break;
        }
        i += 8;
    }
    while (i < src.end) {
        unsigned char c = src.s[i];
        if (c < 0x20 || c == '"' || c == '\\' || c >= 0x80) {
            break;
        }
        i++;
    }
    return i;
}

// A string's text, between its quotes.
struct string_span {
    Py_ssize_t start;  // past the opening quote
    Py_ssize_t end;    // at the closing quote
    bool escaped;      // holds a backslash
    bool ascii;        // holds no byte past ASCII
};

// The string whose opening quote is at `i`, checked as json.loads checks
// it: no control character, only JSON's escapes, strict UTF-8.  False for
// one it would not read.
bool
check_string(const source &src, Py_ssize_t i, string_span *span)
{
    *span = string_span{i + 1, 0, false, true};
    i++;
    for (;;) {
        i = plain_run(src, i);
        unsigned char c = at(src, i);
        if (i >= src.end || c < 0x20) {
            return false;
        }
        if (c == '"') {
            span->end = i;
            return true;
        }
        if (c == '\\') {
            span->escaped = true;
            unsigned char e = at(src, i + 1);
            if (e == 'u') {
                if (hex4(src, i + 2) < 0) {
                    return false;
                }
                i += 6;
            }
            else if (e == '"' || e == '\\' || e == '/' || e == 'b' || e == 'f'
                     || e == 'n' || e == 'r' || e == 't')
            {
                i += 2;
            }
            else {
                return false;
            }
            continue;
        }
        Py_ssize_t width = utf8_width(src, i);
        if (width < 0) {
            return false;
        }
        span->ascii = false;
        i += width;
    }
}

// The number at `i`, as json.loads's scanner reads one, and where it ends;
// -1 for none, or for an integer whose digits Python would refuse to read.
bool
is_digit(unsigned char c)
{
    return static_cast<unsigned char>(c - '0') < 10;
}

// Past the digits from `i`: eight at a time, a long float's most of all.
Py_ssize_t
skip_digits(const source &src, Py_ssize_t i)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    while (i + 8 <= src.end) {
        uint64_t word;
        std::memcpy(&word, src.s + i, sizeof word);
        // A digit is 0x30-0x39: its high half is 3, and still 3 with 6
        // added.  A byte that carries is no digit, and carries only into
        // the bytes after it, past the first that is none.
        constexpr uint64_t highs4 = ones * 0xf0;
        uint64_t others = ((word & highs4) ^ (ones * 0x30))
                          | (((word + ones * 6) & highs4) ^ (ones * 0x30));
        if (others != 0) {
            return i + __builtin_ctzll(others) / 8;
        }
        i += 8;
    }
#endif
    while (i < src.end && is_digit(src.s[i])) {
        i++;
    }
    return i;
}

Py_ssize_t
check_number(const source &src, Py_ssize_t i)
{
    if (at(src, i) == '-') {
        i++;
    }
    Py_ssize_t digits = i;
    if (at(src, i) == '0') {
        i++;
    }
    else if (is_digit(at(src, i))) {
        i = skip_digits(src, i + 1);
    }
    else {
        return -1;
    }
    bool integer = true;
    Py_ssize_t count = i - digits;
    if (at(src, i) == '.' && is_digit(at(src, i + 1))) {
        integer = false;
        i = skip_digits(src, i + 2);
    }
    if (at(src, i) == 'e' || at(src, i) == 'E') {
        Py_ssize_t exponent = i + 1;
        if (at(src, exponent) == '+' || at(src, exponent) == '-') {
            exponent++;
        }
        if (is_digit(at(src, exponent))) {
            integer = false;
            i = skip_digits(src, exponent + 1);
        }
    }
    // Python's limit on the digits of an int read from text, by default:
    // past it, json.loads fails, and the Python way says so.
    if (integer && count > 4300) {
        return -1;
    }
    return i;
}

// The constant at `i` (true, false, null, and the NaN and infinities that
// json.loads reads too), and where it ends; -1 for none.
Py_ssize_t
check_word(const source &src, Py_ssize_t i)
{
    static const char *const words[] = {
        "true", "false", "null", "NaN", "Infinity", "-Infinity",
    };
    for (const char *word : words) {
        auto length = static_cast<Py_ssize_t>(std::strlen(word));
        if (static_cast<unsigned char>(word[0]) == at(src, i)
            && length <= src.end - i
            && std::memcmp(src.s + i, word, static_cast<size_t>(length)) == 0)
        {
            return i + length;
        }
    }
    return -1;
}

// The code point of the escape at `i` (a backslash), a pair of surrogate
// escapes made one, and where it ends.
Py_UCS4
read_escape(const source &src, Py_ssize_t i, Py_ssize_t *end)
{
    unsigned char e = src.s[i + 1];
    *end = i + 2;
    switch (e) {
    case 'b':
        return '\b';
    case 'f':
        return '\f';
    case 'n':
        return '\n';
    case 'r':
        return '\r';
    case 't':
        return '\t';
    case 'u':
        break;
    default:
        return e;  // " \ /
    }
    auto unit = static_cast<Py_UCS4>(hex4(src, i + 2));
    *end = i + 6;
    if (unit >= 0xd800 && unit <= 0xdbff && at(src, i + 6) == '\\'
        && at(src, i + 7) == 'u')
    {
        long low = hex4(src, i + 8);
        if (low >= 0xdc00 && low <= 0xdfff) {
            *end = i + 12;
            return 0x10000 + ((unit - 0xd800) << 10)
                   + (static_cast<Py_UCS4>(low) - 0xdc00);
        }
    }
    return unit;
}

// `c` in UTF-8, a surrogate as one too (as "surrogatepass" writes it).
Py_ssize_t
encode_utf8(Py_UCS4 c, char *to)
{
    if (c < 0x80) {
        to[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        to[0] = static_cast<char>(0xc0 | (c >> 6));
        to[1] = static_cast<char>(0x80 | (c & 0x3f));
        return 2;
    }
    if (c < 0x10000) {
        to[0] = static_cast<char>(0xe0 | (c >> 12));
        to[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        to[2] = static_cast<char>(0x80 | (c & 0x3f));
        return 3;
    }
    to[0] = static_cast<char>(0xf0 | (c >> 18));
    to[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3f));
    to[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    to[3] = static_cast<char>(0x80 | (c & 0x3f));
    return 4;
}

// Where the next backslash from `i` is, or `end`.
Py_ssize_t
next_backslash(const source &src, Py_ssize_t i, Py_ssize_t end)
{
    const void *found =
        std::memchr(src.s + i, '\\', static_cast<size_t>(end - i));
    return found == nullptr
               ? end
               : static_cast<const unsigned char *>(found) - src.s;
}

// A string's text with its escapes read, in UTF-8 (a lone surrogate as
// "surrogatepass" writes one), after what `into` holds.
int
decode_string(const source &src, const string_span &span, bytes_out *into)
{
    // No escape is shorter than what it stands for.
    if (bytes_reserve(into, span.end - span.start) < 0) {
        return -1;
    }
    Py_ssize_t i = span.start;
    while (i < span.end) {
        Py_ssize_t run = i;
        i = next_backslash(src, i, span.end);
        bytes_put(into, src.s + run, i - run);
        if (i < span.end) {
            char utf8[4];
            Py_UCS4 c = read_escape(src, i, &i);
            bytes_put(into, utf8, encode_utf8(c, utf8));
        }
    }
    return 0;
}

// --- Checking: json.loads's reading, and keys met twice -------------------

// A hash of a key, eight bytes at a time: keys are short, and a byte at a
// time costs more than the rest of the check of them.
uint64_t
hash_bytes(const char *data, Py_ssize_t length)
{
    constexpr uint64_t prime = 0x9e3779b97f4a7c15ULL;
    auto hash = static_cast<uint64_t>(length) * prime;
    Py_ssize_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t word;
        std::memcpy(&word, data + i, sizeof word);
        hash = (hash ^ word) * prime;
        hash ^= hash >> 29;
    }
    uint64_t tail = 0;
    if (i < length) {
        std::memcpy(&tail, data + i, static_cast<size_t>(length - i));
    }
    hash = (hash ^ tail) * prime;
    return hash ^ (hash >> 32);
}

// A key of an open object: its text, in the document where it holds no
// escape, else read into its level's `text`.
struct key_entry {
    uint64_t hash;
    Py_ssize_t offset;
    Py_ssize_t length;
    bool in_source;
};

// The keys of the object open at one depth, kept from one object at that
// depth to the next: compared one by one while they are few, found by their
// hashes in a table once there are more.
struct key_level {
    key_entry *entries;
    Py_ssize_t count;
    Py_ssize_t capacity;
    const unsigned char *source;  // the document's bytes
    bytes_out text;
    Py_ssize_t *table;      // indexes into entries, -1 where free
    Py_ssize_t table_size;  // 0: not built for this object
    Py_ssize_t table_allocated;
};

constexpr key_level empty_level = {nullptr,     0,       0, nullptr,
                                   empty_bytes, nullptr, 0, 0};
constexpr Py_ssize_t linear_keys = 8;

void
level_free(key_level *k)
{
    PyMem_Free(k->entries);
    PyMem_Free(k->table);
    bytes_free(&k->text);
    *k = empty_level;
}

const void *
entry_text(const key_level *k, const key_entry &e)
{
    return e.in_source ? static_cast<const void *>(k->source + e.offset)
                       : static_cast<const void *>(k->text.data + e.offset);
}

bool
same_text(const key_level *k, Py_ssize_t at, const void *text,
          Py_ssize_t length)
{
    const key_entry &e = k->entries[at];
    return e.length == length
           && std::memcmp(entry_text(k, e), text, static_cast<size_t>(length))
                  == 0;
}

Py_ssize_t
slot_of(const key_level *k, uint64_t hash)
{
    return static_cast<Py_ssize_t>(hash
                                   & static_cast<uint64_t>(k->table_size - 1));
}

// A table of the object's keys, twice as large as they need.
int
table_build(key_level *k)
{
    Py_ssize_t size = 32;
    while (size < 2 * k->count + 2) {
        size *= 2;
    }
    if (size > k->table_allocated) {
        PyMem_Free(k->table);
        k->table = PyMem_New(Py_ssize_t, size);
        k->table_allocated = k->table == nullptr ? 0 : size;
        if (k->table == nullptr) {
            k->table_size = 0;
            PyErr_NoMemory();
            return -1;
        }
    }
    bool hashed = k->table_size > 0;  // else none of the keys is yet
    k->table_size = size;
    for (Py_ssize_t i = 0; i < size; i++) {
        k->table[i] = -1;
    }
    for (Py_ssize_t i = 0; i < k->count; i++) {
        key_entry &e = k->entries[i];
        if (!hashed) {
            e.hash = hash_bytes(static_cast<const char *>(entry_text(k, e)),
                                e.length);
        }
        Py_ssize_t slot = slot_of(k, e.hash);
        while (k->table[slot] >= 0) {
            slot = (slot + 1) & (size - 1);
        }
        k->table[slot] = i;
    }
    return 0;
}

int key_insert(key_level *k, const void *text, Py_ssize_t offset,
               Py_ssize_t length, bool in_source);

// Adds the key of `span` to the object open at this level: 1 where the
// object holds it already, 0 where not, -1 on failure.
int
key_add(key_level *k, const source &src, const string_span &span)
{
    // A key of no escape is compared where it is written: only what an
    // escape stands for is copied.
    Py_ssize_t offset = span.start;
    Py_ssize_t length = span.end - span.start;
    const void *text = src.s + offset;
    if (span.escaped) {
        offset = k->text.length;
        if (decode_string(src, span, &k->text) < 0) {
            return -1;
        }
        text = k->text.data + offset;
        length = k->text.length - offset;
    }
    return key_insert(k, text, offset, length, !span.escaped);
}

// Adds a key of `length` bytes at `text`, which is the level's source at
// `offset` where `in_source`, else its own text at `offset`: 1 where the
// object holds it already, 0 where not, -1 on failure.
int
key_insert(key_level *k, const void *text, Py_ssize_t offset,
           Py_ssize_t length, bool in_source)
{
    if (k->count >= linear_keys && k->table_size == 0 && table_build(k) < 0) {
        return -1;
    }
    uint64_t hash = 0;  // the few keys of a small object are compared alone
    if (k->table_size > 0) {
        hash = hash_bytes(static_cast<const char *>(text), length);
        for (Py_ssize_t slot = slot_of(k, hash); k->table[slot] >= 0;
             slot = (slot + 1) & (k->table_size - 1))
        {
            Py_ssize_t at = k->table[slot];
            if (k->entries[at].hash == hash && same_text(k, at, text, length))
            {
                return 1;
            }
        }
    }
    else {
        for (Py_ssize_t i = 0; i < k->count; i++) {
            if (same_text(k, i, text, length)) {
                return 1;
            }
        }
    }
    if (k->count == k->capacity) {
        Py_ssize_t capacity = k->capacity < 16 ? 16 : k->capacity * 2;
        key_entry *entries = k->entries;
        PyMem_Resize(entries, key_entry, capacity);
        if (entries == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        k->entries = entries;
        k->capacity = capacity;
    }
    k->entries[k->count++] = key_entry{hash, offset, length, in_source};
    if (k->table_size == 0) {
        return 0;
    }
    if (2 * k->count + 2 > k->table_size) {
        return table_build(k);
    }
    Py_ssize_t slot = slot_of(k, hash);
    while (k->table[slot] >= 0) {
        slot = (slot + 1) & (k->table_size - 1);
    }
    k->table[slot] = k->count - 1;
    return 0;
}

// Where the scalar at `i`, which is no string, ends, checked as json.loads
// reads it; -1 for a value it would not read (or one left to it: an integer
// past its digits).
Py_ssize_t
check_scalar(const source &src, Py_ssize_t i)
{
    unsigned char c = at(src, i);
    if (c == '-' ? at(src, i + 1) == 'I' : (c < '0' || c > '9')) {
        return check_word(src, i);
    }
    return check_number(src, i);
}

// --- Listing: the bytes walked, to check them, then to list them ---------

// An array's item in a path: [N].
int
bytes_index(bytes_out *b, Py_ssize_t index)
{
    char digits[24];
    char *end = digits + sizeof digits;
    char *at = end;
    *--at = ']';
    do {
        *--at = static_cast<char>('0' + index % 10);
        index /= 10;
    } while (index != 0);
    *--at = '[';
    return bytes_add(b, at, end - at);
}

// The escape of a character the json module escapes: \" \\ \n, \u00XX;
// into room made for six bytes.
Py_ssize_t
json_escape(char *to, Py_UCS4 c)
{
    to[0] = '\\';
    if (json_escapes.width[c] == 2) {
        to[1] = short_escape(c);
        return 2;
    }
    const char escape[6] = {
        '\\', 'u', '0', '0', Py_hexdigits[c >> 4], Py_hexdigits[c & 0xf]};
    std::memcpy(to, escape, sizeof escape);
    return 6;
}

// A string written as json.dumps writes it, beyond ASCII as it is, and a
// lone surrogate as the output code writes one: escaped.  What its escapes
// stand for is never longer than they are.
int
put_json_string(bytes_out *out, const source &src, const string_span &span)
{
    if (bytes_reserve(out, span.end - span.start + 2) < 0) {
        return -1;
    }
    out->data[out->length++] = '"';
    Py_ssize_t i = span.start;
    while (i < span.end) {
        Py_ssize_t run = i;
        i = span.escaped ? next_backslash(src, i, span.end) : span.end;
        bytes_put(out, src.s + run, i - run);
        if (i == span.end) {
            break;
        }
        Py_UCS4 c = read_escape(src, i, &i);
        char *to = out->data + out->length;
        if (c < 0x80 && json_escapes.width[c] > 1) {
            out->length += json_escape(to, c);
        }
        else if (c >= 0xd800 && c <= 0xdfff) {
            const char escape[6] = {'\\',
                                    'u',
                                    Py_hexdigits[c >> 12],
                                    Py_hexdigits[(c >> 8) & 0xf],
                                    Py_hexdigits[(c >> 4) & 0xf],
                                    Py_hexdigits[c & 0xf]};
            std::memcpy(to, escape, sizeof escape);
            out->length += 6;
        }
        else {
            out->length += encode_utf8(c, to);
        }
    }
    out->data[out->length++] = '"';
    return 0;
}

// An open container of the walk: an object's keys, or an array's items,
// follow the path up to it.
struct walk_frame {
    bool object;
    Py_ssize_t index;  // the item's, in an array
    Py_ssize_t path_length;
};

// What the walk reads next.
enum class expect { value, key, after };

// A walk over a document's bytes: the first checks them, as json.loads reads
// them, and that no object holds a key twice; the second, over bytes so
// checked, lists them, a chunk at a time, from where the one before ended.
struct json_walk {
    source src;
    PyObject *
        key_text;  // borrowed: paths.key_text(key), for a key not written here
    PyObject *keys;  // borrowed: its cache, paths._cache
    Py_ssize_t max_depth;
    Py_ssize_t at;
    expect next;
    walk_frame *frames;
    Py_ssize_t depth;
    Py_ssize_t capacity;
    key_level *levels;  // by depth: the keys of the object open there
    bytes_out path;
    bytes_out scratch;
    bytes_out out;
};

void
walk_free(json_walk *w)
{
    for (Py_ssize_t d = 0; d < w->capacity && w->levels != nullptr; d++) {
        level_free(&w->levels[d]);
    }
    PyMem_Free(w->levels);
    PyMem_Free(w->frames);
    w->levels = nullptr;
    w->frames = nullptr;
    w->depth = 0;
    w->capacity = 0;
    bytes_free(&w->path);
    bytes_free(&w->scratch);
    bytes_free(&w->out);
}

int
walk_open(json_walk *w, bool object)
{
    if (w->depth == w->capacity) {
        Py_ssize_t capacity = w->capacity < 16 ? 16 : w->capacity * 2;
        walk_frame *frames = w->frames;
        PyMem_Resize(frames, walk_frame, capacity);
        if (frames == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        w->frames = frames;
        key_level *levels = w->levels;
        PyMem_Resize(levels, key_level, capacity);
        if (levels == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        for (Py_ssize_t i = w->capacity; i < capacity; i++) {
            levels[i] = empty_level;
        }
        w->levels = levels;
        w->capacity = capacity;
    }
    key_level *k = &w->levels[w->depth];
    k->source = w->src.s;
    k->count = 0;
    k->text.length = 0;
    k->table_size = 0;
    w->frames[w->depth++] = walk_frame{object, 0, w->path.length};
    return 0;
}

// is_bare() of a key of ASCII, with `readable` bytes from `chars`: sixteen
// compared at once, where the processor compares them so.
bool
is_bare_key(const unsigned char *chars, Py_ssize_t count, Py_ssize_t readable)
{
#if defined(__SSE2__)
    if (!bare_ends(chars, count)) {
        return false;
    }
    Py_ssize_t i = 0;
    for (; i < count && i + 16 <= readable; i += 16) {
        __m128i c =
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(chars + i));
        __m128i refused = _mm_or_si128(
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(c, _mm_set1_epi8('.')),
                                      _mm_cmpeq_epi8(c, _mm_set1_epi8('['))),
                         _mm_or_si128(_mm_cmpeq_epi8(c, _mm_set1_epi8(']')),
                                      _mm_cmpeq_epi8(c, _mm_set1_epi8('"')))),
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(c, _mm_set1_epi8('=')),
                                      _mm_cmpeq_epi8(c, _mm_set1_epi8(0x7f))),
                         // Signed, a byte past ASCII is below a space too.
                         _mm_cmplt_epi8(c, _mm_set1_epi8(' '))));
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(refused));
        Py_ssize_t left = count - i;
        if (left < 16) {
            mask &= (1U << left) - 1;
        }
        if (mask != 0) {
            return false;
        }
    }
    for (; i < count; i++) {
        if (!bare.allowed[chars[i]]) {
            return false;
        }
    }
    return true;
#else
    (void)readable;
    return is_bare(chars, count);
#endif
}

int spell_key(bytes_out *path, const unsigned char *chars, Py_ssize_t count,
              bool ascii, Py_ssize_t readable, bool top, PyObject *key_text,
              PyObject *keys);

// The key's segment of the path: ".key" or ["key"], no "." first at the top.
// A key of ASCII is written here; any other by key_text, or from its cache.
int
walk_key(json_walk *w, const string_span &span, bool top)
{
    bytes_out *path = &w->path;
    const unsigned char *chars = w->src.s + span.start;
    Py_ssize_t count = span.end - span.start;
    if (span.escaped) {
        w->scratch.length = 0;
        if (decode_string(w->src, span, &w->scratch) < 0) {
            return -1;
        }
        chars = reinterpret_cast<const unsigned char *>(w->scratch.data);
        count = w->scratch.length;
    }
    bool ascii = span.ascii;
    for (Py_ssize_t i = 0; i < count && ascii && span.escaped; i++) {
        ascii = chars[i] < 0x80;  // what the escapes stood for
    }
    // Read from the document, sixteen bytes past the key may be read too.
    Py_ssize_t readable = span.escaped ? count : w->src.end - span.start;
    return spell_key(path, chars, count, ascii, readable, top, w->key_text,
                     w->keys);
}

// The segment of a key of `count` bytes of UTF-8 at `chars` (`ascii`, all
// below 0x80; `readable` bytes may be read from `chars`), put after `path`.
int
spell_key(bytes_out *path, const unsigned char *chars, Py_ssize_t count,
          bool ascii, Py_ssize_t readable, bool top, PyObject *key_text,
          PyObject *keys)
{
    if (ascii) {
        if (bytes_reserve(path, count * 6 + 4) < 0) {
            return -1;
        }
        if (is_bare_key(chars, count, readable)) {
            if (!top) {
                path->data[path->length++] = '.';
            }
            bytes_put(path, chars, count);
            return 0;
        }
        bytes_put(path, "[\"", 2);
        for (Py_ssize_t i = 0; i < count; i++) {
            unsigned char c = chars[i];
            if (json_escapes.width[c] > 1) {
                path->length += json_escape(path->data + path->length, c);
            }
            else {
                path->data[path->length++] = static_cast<char>(c);
            }
        }
        bytes_put(path, "\"]", 2);
        return 0;
    }
    PyObject *key = PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(chars),
                                         count, "surrogatepass");
    if (key == nullptr) {
        return -1;
    }
    PyObject *shown = PyDict_GetItemWithError(keys, key);
    if (shown != nullptr && PyUnicode_Check(shown)
        && PyUnicode_GET_LENGTH(shown) > 0)
    {
        Py_INCREF(shown);
    }
    else if (!PyErr_Occurred()) {
        shown = PyObject_CallOneArg(key_text, key);
    }
    else {
        shown = nullptr;
    }
    Py_DECREF(key);
    if (shown == nullptr) {
        return -1;
    }
    int status = -1;
    if (!PyUnicode_Check(shown)) {
        PyErr_Format(PyExc_TypeError, "key_text() returned %.200s, not str",
                     Py_TYPE(shown)->tp_name);
    }
    else {
        Py_ssize_t length = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(shown, &length);
        if (utf8 != nullptr) {
            Py_ssize_t skip = top && length > 0 && utf8[0] == '.' ? 1 : 0;
            status = bytes_add(path, utf8 + skip, length - skip);
        }
    }
    Py_DECREF(shown);
    return status;
}

// The path of an array's next item: its index in the path counted up in
// place, as a person counts, which leaves the path as it is but for the
// digits that change (a new digit moves the "]").
int
next_index(bytes_out *path, walk_frame *top)
{
    top->index++;
    Py_ssize_t last = path->length - 2;  // before the "]"
    for (Py_ssize_t at = last; at >= top->path_length + 1; at--) {
        if (path->data[at] != '9') {
            path->data[at]++;
            return 0;
        }
        path->data[at] = '0';
    }
    // 9, 99, ...: one digit more, a 1 first.
    if (bytes_reserve(path, 1) < 0) {
        return -1;
    }
    char *digits = path->data + top->path_length + 1;
    digits[0] = '1';
    path->data[path->length - 1] = '0';
    path->data[path->length++] = ']';
    return 0;
}

// A line's start: the path and " = ", with room for `value` bytes more.
int
line_start(json_walk *w, Py_ssize_t value)
{
    bytes_out *out = &w->out;
    if (bytes_reserve(out, w->path.length + 4 + value) < 0) {
        return -1;
    }
    bytes_put(out, w->path.data, w->path.length);
    bytes_put(out, " = ", 3);
    return 0;
}

// What a step of the walk comes to.
enum walked { failed = -1, refused = 0, done = 1, full = 2 };

// Walks from where the walk is: to the end of the document, or, `listing`,
// until the output holds `size` bytes; `check`, the keys of each object are
// held to be told apart.  Refused: a document that is to be read the Python
// way.  What the loop reads is kept in locals: the stores of the output,
// through char, would have every field of the walk read again after each.
template <bool check, bool listing>
walked
walk(json_walk *w, Py_ssize_t size)
{
    const source src = w->src;
    Py_ssize_t i = w->at;
    Py_ssize_t depth = w->depth;
    expect next = w->next;
    walk_frame *frames = w->frames;
    walked result = refused;
    while (i < src.end) {
        if (listing && w->out.length >= size) {
            result = full;
            break;
        }
        unsigned char c = src.s[i];
        if (next == expect::value && (c == '{' || c == '[')) {
            if (depth >= w->max_depth) {
                break;  // nested deeper than the Python walk goes
            }
            bool object = c == '{';
            i = skip_space(src, i + 1);
            if (at(src, i) == static_cast<unsigned char>(object ? '}' : ']')) {
                if (listing && depth > 0) {  // an empty top lists nothing
                    if (line_start(w, 3) < 0) {
                        return failed;
                    }
                    bytes_put(&w->out, object ? "{}\n" : "[]\n", 3);
                }
                i = skip_space(src, i + 1);
                next = expect::after;
                if (depth == 0) {
                    result = i == src.end ? done : refused;
                    break;
                }
                continue;
            }
            w->depth = depth;
            if (walk_open(w, object) < 0) {
                return failed;
            }
            depth = w->depth;
            frames = w->frames;
            next = object ? expect::key : expect::value;
            if (listing && !object && bytes_index(&w->path, 0) < 0) {
                return failed;
            }
            continue;
        }
        if (next == expect::value) {
            Py_ssize_t end;
            if (c == '"') {
                string_span span{};
                if (!check_string(src, i, &span)) {
                    break;
                }
                if (listing
                    && (line_start(w, 1) < 0
                        || put_json_string(&w->out, src, span) < 0))
                {
                    return failed;
                }
                end = span.end + 1;
            }
            else {
                end = check_scalar(src, i);
                if (end < 0) {
                    break;
                }
                if (listing) {
                    if (line_start(w, end - i + 1) < 0) {
                        return failed;
                    }
                    bytes_put(&w->out, src.s + i, end - i);  // as written
                }
            }
            if (listing) {
                if (bytes_reserve(&w->out, 1) < 0) {
                    return failed;
                }
                w->out.data[w->out.length++] = '\n';
            }
            i = skip_space(src, end);
            next = expect::after;
            if (depth == 0) {
                result = i == src.end ? done : refused;
                break;
            }
            continue;
        }
        walk_frame *top = &frames[depth - 1];
        if (next == expect::key) {
            string_span span{};
            if (c != '"' || !check_string(src, i, &span)) {
                break;
            }
            if (check) {
                int twice = key_add(&w->levels[depth - 1], src, span);
                if (twice != 0) {  // json.loads reads a key twice as its last
                    if (twice < 0) {
                        return failed;
                    }
                    break;
                }
            }
            if (listing) {
                w->path.length = top->path_length;
                if (walk_key(w, span, depth == 1) < 0) {
                    return failed;
                }
            }
            i = skip_space(src, span.end + 1);
            if (at(src, i) != ':') {
                break;
            }
            i = skip_space(src, i + 1);
            next = expect::value;
            continue;
        }
        // After a value of the container open at the top.
        if (c == static_cast<unsigned char>(top->object ? '}' : ']')) {
            if (listing) {
                w->path.length = top->path_length;
            }
            depth--;
            i = skip_space(src, i + 1);
            if (depth == 0) {
                result = i == src.end ? done : refused;
                break;
            }
            continue;
        }
        if (c != ',') {
            break;
        }
        i = skip_space(src, i + 1);
        next = top->object ? expect::key : expect::value;
        if (listing && !top->object && next_index(&w->path, top) < 0) {
            return failed;
        }
    }
    w->at = i;
    w->depth = depth;
    w->next = next;
    return result;
}

// Starts a walk of the document in `data`, past a byte-order mark, which is
// read past; its lines for one that is a value: ". = value".
int
walk_start(json_walk *w, PyObject *data, bool listing)
{
    *w = json_walk{};
    w->src = source{
        reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(data)),
        PyBytes_GET_SIZE(data)};
    w->max_depth = Py_GetRecursionLimit();
    w->next = expect::value;
    w->path = empty_bytes;
    w->scratch = empty_bytes;
    w->out = empty_bytes;
    const source &src = w->src;
    Py_ssize_t start =
        src.end >= 3 && std::memcmp(src.s, "\xef\xbb\xbf", 3) == 0 ? 3 : 0;
    w->at = skip_space(src, start);
    if (listing && w->at < src.end && src.s[w->at] != '{'
        && src.s[w->at] != '[') {
        return bytes_add(&w->path, ".", 1);
    }
    return 0;
}

struct json_chunks_object {
    PyObject ob_base;
    PyObject *data;  // the document's bytes; NULL once the listing is over
    PyObject *key_text;
    PyObject *keys;
    PyObject *made;   // the whole listing, made with its check, or NULL
    Py_ssize_t size;  // a chunk ends with the first line past it
    int running;      // inside __next__: a callback may not walk on
    json_walk walk;
};

void
json_release(json_chunks_object *self)
{
    walk_free(&self->walk);
    Py_CLEAR(self->made);
    Py_CLEAR(self->data);
    Py_CLEAR(self->key_text);
    Py_CLEAR(self->keys);
}

PyObject *
json_chunks_next(PyObject *op)
{
    auto *self = reinterpret_cast<json_chunks_object *>(op);
    if (self->running) {
        PyErr_SetString(PyExc_ValueError, "the listing is being made already");
        return nullptr;
    }
    if (self->made != nullptr) {
        PyObject *made = self->made;
        self->made = nullptr;
        json_release(self);
        if (PyBytes_GET_SIZE(made) > 0) {
            return made;
        }
        Py_DECREF(made);  // an empty table or list at the top lists nothing
        return nullptr;
    }
    if (self->data == nullptr) {
        return nullptr;
    }
    self->running = 1;
    json_walk *w = &self->walk;
    w->key_text = self->key_text;
    w->keys = self->keys;
    walked status = walk<false, true>(w, self->size);
    self->running = 0;
    PyObject *chunk = nullptr;
    if (status == refused) {  // what the check took, the listing takes
        PyErr_SetString(PyExc_RuntimeError,
                        "the listing met what its check did not");
    }
    else if (status != failed && w->out.length > 0) {
        chunk = PyBytes_FromStringAndSize(w->out.data, w->out.length);
        w->out.length = 0;
    }
    if (chunk == nullptr || status == done) {
        json_release(self);  // failed, or over
    }
    return chunk;
}

int
json_chunks_traverse(PyObject *op, visitproc visit, void *arg)
{
    auto *self = reinterpret_cast<json_chunks_object *>(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(self->key_text);
    Py_VISIT(self->keys);
    return 0;
}

int
json_chunks_clear(PyObject *op)
{
    json_release(reinterpret_cast<json_chunks_object *>(op));
    return 0;
}

void
json_chunks_dealloc(PyObject *op)
{
    PyTypeObject *type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    json_release(reinterpret_cast<json_chunks_object *>(op));
    type->tp_free(op);
    Py_DECREF(type);
}

PyType_Slot json_chunks_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(json_chunks_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(json_chunks_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(json_chunks_clear)},
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(json_chunks_next)},
    {0, nullptr},
};

PyType_Spec json_chunks_spec = {
    "props_to_tree._listing.JsonChunks",
    sizeof(json_chunks_object),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE
        | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    json_chunks_slots,
};

// --- Reading a file: the listing's floor -----------------------------------

// read(fd, count): os.read(fd, count), into a buffer the kernel may back
// with huge pages.
PyObject *
read_fd(PyObject * /*module*/, PyObject *args)
{
    int fd;
    Py_ssize_t count;
    if (!PyArg_ParseTuple(args, "in:read", &fd, &count)) {
        return nullptr;
    }
    if (count < 0) {
        PyErr_SetString(PyExc_ValueError, "count must not be negative");
        return nullptr;
    }
    PyObject *data = PyBytes_FromStringAndSize(nullptr, count);
    if (data == nullptr) {
        return nullptr;
    }
    char *into = PyBytes_AS_STRING(data);
    advise_huge(into, count, true);
    Py_ssize_t got;
    for (;;) {
        PyThreadState *saved = PyEval_SaveThread();
        got = ::read(fd, into, static_cast<size_t>(count));
        int error = errno;
        PyEval_RestoreThread(saved);
        if (got >= 0) {
            break;
        }
        errno = error;
        // A signal's handler runs, as os.read lets it, and may end the read.
        if (error != EINTR || PyErr_CheckSignals() < 0) {
            if (error != EINTR) {
                PyErr_SetFromErrno(PyExc_OSError);
            }
            Py_DECREF(data);
            return nullptr;
        }
    }
    if (got < count && _PyBytes_Resize(&data, got) < 0) {
        return nullptr;
    }
    return data;
}

// What a listing made with its check may hold beyond twice the document.
constexpr Py_ssize_t held_extra = Py_ssize_t{64} << 20;
// The listing of the document in `data`, made by a walk that checks it as
// it goes, into `*made`: done; or, where the listing grows past `held`
// bytes, which it is not to hold, full once the document is checked, and
// `*made` NULL.
walked
list_checked(PyObject *data, PyObject *key_text, PyObject *keys,
             Py_ssize_t held, PyObject **made)
{
    *made = nullptr;
    Py_ssize_t length = PyBytes_GET_SIZE(data);
    json_walk list{};
    walked status = failed;
    // Room for twice the document, of which only what is written is given
    // pages: a listing of long paths to short values needs that much.
    Py_ssize_t room = length < (held - 4096) / 2 ? 2 * length + 4096 : held;
    room = room < 4096 ? 4096 : room;
    if (walk_start(&list, data, true) == 0 && bytes_open(&list.out, room) == 0)
    {
        list.key_text = key_text;  // borrowed, as the caller holds them
        list.keys = keys;
        status = walk<true, true>(&list, held);
        if (status == full) {
            // Past the bound: checked to the end, listed again later.
            walked rest = walk<true, false>(&list, 0);
            status = rest == done ? full : rest;
        }
    }
    if (status == done) {
        *made = bytes_take(&list.out);
        status = *made == nullptr ? failed : done;
    }
    walk_free(&list);
    return status;
}

// --- YAML: libyaml's events listed --------------------------------------

// The listing of a YAML document made from libyaml's events, with the
// reading of props_to_tree/_formats/yaml (values.py, view.py) and the walk of
// leaves(), which are the reference it is tested against, byte for byte.
// What only the Python way reads as it must (anchors and aliases, tags,
// merge keys, keys that are no scalar or are met twice, deep nesting, a
// listing too large to hold) is refused, and read the Python way.

// Valid UTF-8, as Python's strict decoder takes it.
bool
valid_utf8(const unsigned char *s, Py_ssize_t n)
{
    Py_ssize_t i = 0;
    while (i < n) {
        while (i + 8 <= n) {
            uint64_t word;
            std::memcpy(&word, s + i, sizeof word);
            if ((word & 0x8080808080808080ULL) != 0) {
                break;
            }
            i += 8;
        }
        if (i >= n) {
            break;
        }
        unsigned char c = s[i];
        if (c < 0x80) {
            i++;
            continue;
        }
        int width = c >= 0xc2 && c <= 0xdf   ? 2
                    : c >= 0xe0 && c <= 0xef ? 3
                    : c >= 0xf0 && c <= 0xf4 ? 4
                                             : 0;
        if (width == 0 || i + width > n) {
            return false;
        }
        unsigned char c1 = s[i + 1];
        // The second byte's range rules out overlong forms, surrogates and
        // what is past U+10FFFF.
        unsigned char low = c == 0xe0 ? 0xa0 : c == 0xf0 ? 0x90 : 0x80;
        unsigned char high = c == 0xed ? 0x9f : c == 0xf4 ? 0x8f : 0xbf;
        if (c1 < low || c1 > high) {
            return false;
        }
        for (int k = 2; k < width; k++) {
            if ((s[i + k] & 0xc0) != 0x80) {
                return false;
            }
        }
        i += width;
    }
    return true;
}

// The code point of the valid UTF-8 at `s`, and its width in `*width`.
Py_UCS4
utf8_at(const unsigned char *s, int *width)
{
    unsigned char c = s[0];  // past ASCII: callers read ASCII themselves
    if (c < 0xe0) {
        *width = 2;
        return (Py_UCS4{c} & 0x1f) << 6 | (s[1] & 0x3f);
    }
    if (c < 0xf0) {
        *width = 3;
        return (Py_UCS4{c} & 0x0f) << 12 | (Py_UCS4{s[1]} & 0x3f) << 6
               | (s[2] & 0x3f);
    }
    *width = 4;
    return (Py_UCS4{c} & 0x07) << 18 | (Py_UCS4{s[1]} & 0x3f) << 12
           | (Py_UCS4{s[2]} & 0x3f) << 6 | (s[3] & 0x3f);
}

// Whether the character at `i` is white space, as a regular expression's
// \s takes it.
bool
yaml_space(const unsigned char *s, Py_ssize_t n, Py_ssize_t i)
{
    // A tag is of ASCII, and libyaml reads a blank or a flow indicator
    // after it: white space beyond ASCII never ends one.
    (void)n;
    unsigned char c = s[i];
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f);
}

// What a plain scalar reads as, for its listing: the core schema's null and
// booleans, shown as "null", "true", "false"; a number, or a date or time
// that is a real one, shown as written; else a string.  Refused: an integer
// of more digits than Python reads.
enum class plain { null, yes, no, written, string, refused };

bool
same_as(const unsigned char *s, Py_ssize_t n, const char *word)
{
    auto length = static_cast<Py_ssize_t>(std::strlen(word));
    return n == length && std::memcmp(s, word, static_cast<size_t>(n)) == 0;
}

bool
is_hex(unsigned char c)
{
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Digits from `*i`, at least `least` and at most `most` of them: their value,
// or -1.
int
digits_at(const unsigned char *s, Py_ssize_t n, Py_ssize_t *i, int least,
          int most)
{
    int value = 0, count = 0;
    while (*i < n && count < most && is_digit(s[*i])) {
        value = value * 10 + (s[(*i)++] - '0');
        count++;
    }
    return count >= least ? value : -1;
}

bool
is_leap(int year)
{
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

// Whether `s` is YAML 1.1's timestamp and a real date or time, as
// datetime takes it: a date of ten characters, or a date and a time, a
// fraction and a zone of less than a day.
bool
is_timestamp(const unsigned char *s, Py_ssize_t n)
{
    Py_ssize_t i = 0;
    int year = digits_at(s, n, &i, 4, 4);
    if (year < 0 || i >= n || s[i++] != '-') {
        return false;
    }
    int month = digits_at(s, n, &i, 1, 2);
    if (month < 0 || i >= n || s[i++] != '-') {
        return false;
    }
    int day = digits_at(s, n, &i, 1, 2);
    if (day < 0) {
        return false;
    }
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool date = year >= 1 && month >= 1 && month <= 12 && day >= 1
                && day <= days[month - 1] + (month == 2 && is_leap(year));
    if (i == n) {
        return n == 10 && date;
    }
    if (s[i] == 'T' || s[i] == 't') {
        i++;
    }
    else if (s[i] == ' ' || s[i] == '\t') {
        while (i < n && (s[i] == ' ' || s[i] == '\t')) {
            i++;
        }
    }
    else {
        return false;
    }
    int hour = digits_at(s, n, &i, 1, 2);
    if (hour < 0 || i >= n || s[i++] != ':') {
        return false;
    }
    int minute = digits_at(s, n, &i, 2, 2);
    if (minute < 0 || i >= n || s[i++] != ':') {
        return false;
    }
    int second = digits_at(s, n, &i, 2, 2);
    if (second < 0) {
        return false;
    }
    if (i < n && s[i] == '.') {
        for (i++; i < n && is_digit(s[i]); i++) {
        }
    }
    int zone = 0;  // in minutes
    if (i < n) {
        while (i < n && (s[i] == ' ' || s[i] == '\t')) {
            i++;
        }
        if (i < n && s[i] == 'Z') {
            i++;
        }
        else if (i < n && (s[i] == '+' || s[i] == '-')) {
            i++;
            int hours = digits_at(s, n, &i, 1, 2);
            if (hours < 0) {
                return false;
            }
            int minutes = 0;
            if (i < n && s[i] == ':') {
                i++;
                minutes = digits_at(s, n, &i, 2, 2);
                if (minutes < 0) {
                    return false;
                }
            }
            zone = hours * 60 + minutes;
        }
        else {
            return false;
        }
    }
    return i == n && date && hour <= 23 && minute <= 59 && second <= 59
           && zone < 24 * 60;
}

// An integer of more digits than Python's int() reads (`digits`, from
// sys.get_int_max_str_digits(), 0 for no bound) is read the Python way,
// which says so.
plain
read_plain(const unsigned char *s, Py_ssize_t n, Py_ssize_t digits_read)
{
    if (n == 0 || same_as(s, n, "~") || same_as(s, n, "null")
        || same_as(s, n, "Null") || same_as(s, n, "NULL"))
    {
        return plain::null;
    }
    if (same_as(s, n, "true") || same_as(s, n, "True")
        || same_as(s, n, "TRUE")) {
        return plain::yes;
    }
    if (same_as(s, n, "false") || same_as(s, n, "False")
        || same_as(s, n, "FALSE")) {
        return plain::no;
    }
    // [-+]?[0-9]+, 0o[0-7]+, 0x[0-9a-fA-F]+, and the float:
    // [-+]?(\.[0-9]+|[0-9]+(\.[0-9]*)?)([eE][-+]?[0-9]+)?
    if (n > 2 && s[0] == '0' && (s[1] == 'o' || s[1] == 'x')) {
        bool octal = s[1] == 'o';
        Py_ssize_t i = 2;
        while (i < n && (octal ? s[i] >= '0' && s[i] <= '7' : is_hex(s[i]))) {
            i++;
        }
        if (i == n) {
            return plain::written;
        }
    }
    Py_ssize_t i = s[0] == '-' || s[0] == '+' ? 1 : 0;
    Py_ssize_t whole = i;
    while (i < n && is_digit(s[i])) {
        i++;
    }
    Py_ssize_t digits = i - whole;
    if (digits > 0 && i == n) {
        return digits_read > 0 && digits > digits_read ? plain::refused
                                                       : plain::written;
    }
    bool number = digits > 0;
    if (i < n && s[i] == '.') {
        Py_ssize_t fraction = ++i;
        while (i < n && is_digit(s[i])) {
            i++;
        }
        number = number || i > fraction;
    }
    if (number && i < n && (s[i] == 'e' || s[i] == 'E')) {
        Py_ssize_t at = ++i;
        if (i < n && (s[i] == '-' || s[i] == '+')) {
            at = ++i;
        }
        while (i < n && is_digit(s[i])) {
            i++;
        }
        number = i > at;
    }
    if (number && i == n) {
        return plain::written;
    }
    // .inf, -.inf, +.inf, .nan in any case.
    Py_ssize_t at = s[0] == '-' || s[0] == '+' ? 1 : 0;
    if (n - at == 4 && s[at] == '.') {
        char lower[3];
        for (int k = 0; k < 3; k++) {
            unsigned char c = s[at + 1 + k];
            lower[k] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        }
        if (std::memcmp(lower, "inf", 3) == 0
            || (at == 0 && std::memcmp(lower, "nan", 3) == 0))
        {
            return plain::written;
        }
    }
    if (n > 4 && s[4] == '-' && is_timestamp(s, n)) {
        return plain::written;
    }
    return plain::string;
}

// Whether a string can be shown plain in a flow collection, its reading
// aside: it prints, holds no ": ", " #" nor flow indicator, and neither
// starts with an indicator (but "-x") or a document's marker nor starts or
// ends with a space, or ends with ":".
bool
shows_plain(const unsigned char *s, Py_ssize_t n)
{
    if (n == 0) {
        return false;
    }
    static const char indicators[] = "-?:,[]{}#&*!|>'\"%@`";
    if (std::memchr(indicators, s[0], sizeof indicators - 1) != nullptr
        && !(s[0] == '-' && n > 1 && s[1] != ' '))
    {
        return false;
    }
    if (n >= 3
        && (std::memcmp(s, "---", 3) == 0 || std::memcmp(s, "...", 3) == 0)) {
        return false;
    }
    if (s[0] == ' ' || s[n - 1] == ' ' || s[n - 1] == ':') {
        return false;
    }
    for (Py_ssize_t i = 0; i < n;) {
        unsigned char c = s[i];
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7f || c == ',' || c == '?' || c == '['
                || c == ']' || c == '{' || c == '}')
            {
                return false;
            }
            if (i + 1 < n
                && ((c == ':' && s[i + 1] == ' ')
                    || (c == ' ' && s[i + 1] == '#')))
            {
                return false;
            }
            i++;
            continue;
        }
        int width;
        Py_UCS4 code = utf8_at(s + i, &width);
        if (!Py_UNICODE_ISPRINTABLE(code)) {
            return false;
        }
        i += width;
    }
    return true;
}

// A string double-quoted, as json.dumps writes it but for what YAML would
// read otherwise: DEL, C1 controls, the line and paragraph separators and
// the two non-characters, escaped.
int
put_yaml_quoted(bytes_out *out, const unsigned char *s, Py_ssize_t n)
{
    if (bytes_reserve(out, 6 * n + 2) < 0) {
        return -1;
    }
    char *to = out->data + out->length;
    *to++ = '"';
    for (Py_ssize_t i = 0; i < n;) {
        unsigned char c = s[i];
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
            *to++ = static_cast<char>(c);
            i++;
            continue;
        }
        int width = 1;
        Py_UCS4 code = c < 0x80 ? c : utf8_at(s + i, &width);
        if (code < 0x20 || code == '"' || code == '\\') {
            to += json_escape(to, code);
        }
        else if ((code >= 0x7f && code <= 0x9f) || code == 0x2028
                 || code == 0x2029 || code == 0xfffe || code == 0xffff)
        {
            to[0] = '\\';
            to[1] = 'u';
            for (int k = 0; k < 4; k++) {
                to[2 + k] = Py_hexdigits[(code >> (12 - 4 * k)) & 0xf];
            }
            to += 6;
        }
        else {
            std::memcpy(to, s + i, static_cast<size_t>(width));
            to += width;
        }
        i += width;
    }
    *to++ = '"';
    out->length = to - out->data;
    return 0;
}

// A scalar's value as the listing shows it: 1, 0 where it is refused, -1 on
// failure.
int
put_yaml_scalar(bytes_out *out, const unsigned char *s, Py_ssize_t n,
                bool plain_style, Py_ssize_t digits)
{
    if (plain_style) {
        switch (read_plain(s, n, digits)) {
        case plain::null:
            return bytes_add(out, "null", 4) < 0 ? -1 : 1;
        case plain::yes:
            return bytes_add(out, "true", 4) < 0 ? -1 : 1;
        case plain::no:
            return bytes_add(out, "false", 5) < 0 ? -1 : 1;
        case plain::written:
            return bytes_add(out, s, n) < 0 ? -1 : 1;
        case plain::refused:
            return 0;
        case plain::string:
            break;
        }
    }
    if (shows_plain(s, n)) {
        plain read = read_plain(s, n, digits);
        if (read == plain::refused) {
            return 0;
        }
        if (read == plain::string) {
            return bytes_add(out, s, n) < 0 ? -1 : 1;
        }
    }
    return put_yaml_quoted(out, s, n) < 0 ? -1 : 1;
}

struct yaml_frame {
    bool mapping;
    bool key_next;  // in a mapping: a key comes next
    bool empty;     // nothing in it yet
    Py_ssize_t index;
    Py_ssize_t path_length;  // the path to the collection
};

// How deep the walk goes; deeper is the Python way's, which says where its
// own bound is.
constexpr Py_ssize_t yaml_depth = 200;

struct yaml_walk {
    PyObject *key_text;  // borrowed, as json_walk's
    PyObject *keys;
    yaml_frame frames[yaml_depth];
    key_level levels[yaml_depth];
    Py_ssize_t depth;
    Py_ssize_t used;       // levels that may hold memory
    Py_ssize_t documents;  // those that are not empty
    bool stream;           // a second one met: each is listed as an item
    char first;            // the first document's top: 's'calar, '{', '['
    bool first_empty;      // an empty collection
    bytes_out path;
    bytes_out out;
    Py_ssize_t held;
    Py_ssize_t digits;          // the most an integer may have, 0 for no bound
    const unsigned char *text;  // the document's bytes, for tags as written
    Py_ssize_t length;
    size_t chars;  // libyaml's marks count characters: the byte of one
    Py_ssize_t bytes;
};

// The byte where the character `index` starts: marks come in the order of
// the text, so the count goes on from the last.
Py_ssize_t
yaml_byte(yaml_walk *w, size_t index)
{
    bool back = index < w->chars;  // not met: a safeguard all the same
    w->chars = back ? 0 : w->chars;
    w->bytes = back ? 0 : w->bytes;
    while (w->chars < index && w->bytes < w->length) {
        unsigned char c = w->text[w->bytes];
        w->bytes += c < 0x80 ? 1 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
        w->chars++;
    }
    return w->bytes < w->length ? w->bytes : w->length;
}

// A tagged scalar as the listing shows it: its tag as written, then its
// value, plain where it can be shown so, whatever it reads as, else
// double-quoted; 1, 0 where the tag is not found where its mark is, -1 on
// failure.
int
put_yaml_tagged(yaml_walk *w, const yaml_event_t &event)
{
    const unsigned char *s = w->text;
    Py_ssize_t at = yaml_byte(w, event.start_mark.index);
    Py_ssize_t end = at;
    if (at < w->length && s[at] == '!') {
        end = at + 1;
        bool verbatim = false;
        if (end < w->length && s[end] == '<') {
            Py_ssize_t i = end + 1;
            while (i < w->length && s[i] != '>'
                   && !yaml_space(s, w->length, i)) {
                i++;
            }
            verbatim = i < w->length && s[i] == '>';
            end = verbatim ? i + 1 : end;
        }
        while (!verbatim && end < w->length && !yaml_space(s, w->length, end)
               && std::strchr(",[]{}", s[end]) == nullptr)
        {
            end++;
        }
    }
    if (end == at) {
        return 0;  // not where its mark is: the Python way's to show
    }
    if (bytes_add(&w->out, s + at, end - at) < 0
        || bytes_add(&w->out, " ", 1) < 0) {
        return -1;
    }
    const auto *value =
        reinterpret_cast<const unsigned char *>(event.data.scalar.value);
    auto n = static_cast<Py_ssize_t>(event.data.scalar.length);
    int put = shows_plain(value, n) ? bytes_add(&w->out, value, n)
                                    : put_yaml_quoted(&w->out, value, n);
    return put < 0 ? -1 : 1;
}

void
yaml_walk_free(yaml_walk *w)
{
    for (Py_ssize_t d = 0; d < w->used; d++) {
        level_free(&w->levels[d]);
    }
    w->used = 0;
    bytes_free(&w->path);
    bytes_free(&w->out);
}

int
yaml_line(yaml_walk *w, const char *value, Py_ssize_t length)
{
    if (bytes_reserve(&w->out, w->path.length + 4 + length) < 0) {
        return -1;
    }
    bytes_put(&w->out, w->path.data, w->path.length);
    bytes_put(&w->out, " = ", 3);
    bytes_put(&w->out, value, length);
    bytes_put(&w->out, "\n", 1);
    return 0;
}

// The first document's lines, made as the one document's, made again as
// the first of a stream's: "[0]" before each path.
int
yaml_restream(yaml_walk *w)
{
    bytes_out again = empty_bytes;
    Py_ssize_t room = w->out.length + w->out.length / 2 + 64;
    if (bytes_open(&again, room) < 0) {
        return -1;
    }
    if (w->first_empty) {
        const char *line = w->first == '{' ? "[0] = {}\n" : "[0] = []\n";
        bytes_put(&again, line, 9);
    }
    const char *s = w->out.data;
    Py_ssize_t n = w->out.length;
    for (Py_ssize_t i = 0; i < n;) {
        const char *end =
            static_cast<const char *>(std::memchr(s + i, '\n', n - i));
        Py_ssize_t stop = end == nullptr ? n : end - s + 1;
        Py_ssize_t from = i;
        const char *lead = "[0]";
        Py_ssize_t lead_length = 3;
        if (w->first == 's') {
            from++;  // ". = v"
        }
        else if (w->first == '{' && s[i] != '[') {
            lead = "[0].";
            lead_length = 4;
        }
        if (bytes_reserve(&again, lead_length + stop - from) < 0) {
            bytes_free(&again);
            return -1;
        }
        bytes_put(&again, lead, lead_length);
        bytes_put(&again, s + from, stop - from);
        i = stop;
    }
    bytes_free(&w->out);
    w->out = again;
    return 0;
}

// Where the walk stands before a node: its path made; 1, 0 where what is
// met is refused, -1 on failure.  `key` is the node's where it is a
// mapping's key.
int
yaml_node(yaml_walk *w, const yaml_event_t &event, bool tagged)
{
    if (w->depth == 0) {
        // A document's top: one of nothing (comments alone) is none.
        if (event.type == YAML_SCALAR_EVENT && !tagged
            && event.data.scalar.style == YAML_PLAIN_SCALAR_STYLE
            && event.data.scalar.length == 0
            && event.start_mark.index == event.end_mark.index)
        {
            return 2;
        }
        w->documents++;
        if (w->documents == 2) {
            w->stream = true;
            if (yaml_restream(w) < 0) {
                return -1;
            }
        }
        w->path.length = 0;
        char index[32];
        int length = w->stream ? std::snprintf(index, sizeof index, "[%zd]",
                                               w->documents - 1)
                               : 0;
        if (w->documents == 1) {
            w->first = event.type == YAML_SCALAR_EVENT          ? 's'
                       : event.type == YAML_MAPPING_START_EVENT ? '{'
                                                                : '[';
            if (event.type == YAML_SCALAR_EVENT) {
                index[0] = '.';
                length = 1;
            }
        }
        return bytes_add(&w->path, index, length) < 0 ? -1 : 1;
    }
    yaml_frame *top = &w->frames[w->depth - 1];
    top->empty = false;
    if (!top->mapping) {
        w->path.length = top->path_length;
        char index[32];
        int length = std::snprintf(index, sizeof index, "[%zd]", top->index++);
        return bytes_add(&w->path, index, length) < 0 ? -1 : 1;
    }
    if (!top->key_next) {
        top->key_next = true;
        return 1;
    }
    // A key: a scalar untagged, not "<<" plain (a merge), not met before.
    if (event.type != YAML_SCALAR_EVENT || tagged) {
        return 0;
    }
    const auto *s =
        reinterpret_cast<const unsigned char *>(event.data.scalar.value);
    auto n = static_cast<Py_ssize_t>(event.data.scalar.length);
    bool plain_style = event.data.scalar.style == YAML_PLAIN_SCALAR_STYLE;
    if (plain_style && same_as(s, n, "<<")) {
        return 0;
    }
    if (plain_style && n == 0) {
        s = reinterpret_cast<const unsigned char *>("null");
        n = 4;
    }
    key_level *k = &w->levels[w->depth - 1];
    Py_ssize_t offset = k->text.length;
    if (bytes_add(&k->text, s, n) < 0) {
        return -1;
    }
    int met = key_insert(k, k->text.data + offset, offset, n, false);
    if (met != 0) {
        return met < 0 ? -1 : 0;
    }
    bool ascii = true;
    for (Py_ssize_t i = 0; i < n && ascii; i++) {
        ascii = s[i] < 0x80;
    }
    w->path.length = top->path_length;
    bool at_top = w->depth == 1 && !w->stream;
    if (spell_key(&w->path, s, n, ascii, n, at_top, w->key_text, w->keys) < 0)
    {
        return -1;
    }
    top->key_next = false;
    return 3;  // a key: no value to list
}

// Lists the events of `data`: 1 done, 0 refused, -1 failed.
int
yaml_list(yaml_walk *w, const unsigned char *data, Py_ssize_t length)
{
    yaml_parser_t parser;
    if (!yaml_parser_initialize(&parser)) {
        PyErr_NoMemory();
        return -1;
    }
    yaml_parser_set_input_string(&parser, data, static_cast<size_t>(length));
    yaml_parser_set_encoding(&parser, YAML_UTF8_ENCODING);
    int status = 1;
    bool over = false;
    while (!over && status == 1) {
        yaml_event_t event;
        if (!yaml_parser_parse(&parser, &event)) {
            if (parser.error == YAML_MEMORY_ERROR) {
                PyErr_NoMemory();
                status = -1;
            }
            else {
                status = 0;  // the Python way words the error
            }
            break;
        }
        switch (event.type) {
        case YAML_STREAM_END_EVENT:
            over = true;
            break;
        case YAML_ALIAS_EVENT:
            status = 0;
            break;
        case YAML_SCALAR_EVENT:
        case YAML_SEQUENCE_START_EVENT:
        case YAML_MAPPING_START_EVENT: {
            bool scalar = event.type == YAML_SCALAR_EVENT;
            bool mapping = event.type == YAML_MAPPING_START_EVENT;
            const yaml_char_t *anchor = scalar ? event.data.scalar.anchor
                                        : mapping
                                            ? event.data.mapping_start.anchor
                                            : event.data.sequence_start.anchor;
            const yaml_char_t *tag = scalar    ? event.data.scalar.tag
                                     : mapping ? event.data.mapping_start.tag
                                               : event.data.sequence_start.tag;
            if (anchor != nullptr) {
                status = 0;
                break;
            }
            // "!" alone is read as no tag: the value is read as it is written.
            if (tag != nullptr && tag[0] == '!' && tag[1] == '\0') {
                tag = nullptr;
            }
            int placed = yaml_node(w, event, tag != nullptr);
            if (placed <= 0) {
                status = placed;
                break;
            }
            if (placed >= 2) {
                break;  // an empty document, or a key
            }
            if (scalar) {
                Py_ssize_t start = w->out.length;
                if (bytes_reserve(&w->out, w->path.length + 4) < 0) {
                    status = -1;
                    break;
                }
                bytes_put(&w->out, w->path.data, w->path.length);
                bytes_put(&w->out, " = ", 3);
                int shown =
                    tag != nullptr
                        ? put_yaml_tagged(w, event)
                        : put_yaml_scalar(
                            &w->out,
                            reinterpret_cast<const unsigned char *>(
                                event.data.scalar.value),
                            static_cast<Py_ssize_t>(event.data.scalar.length),
                            event.data.scalar.style == YAML_PLAIN_SCALAR_STYLE,
                            w->digits);
                if (shown <= 0 || bytes_add(&w->out, "\n", 1) < 0) {
                    status = shown == 0 ? 0 : -1;
                    w->out.length = start;
                    break;
                }
                if (w->out.length > w->held) {
                    status = 0;  // listed the Python way, a chunk at a time
                }
                break;
            }
            if (w->depth == yaml_depth) {
                status = 0;
                break;
            }
            if (w->depth == w->used) {
                w->levels[w->used++] = empty_level;
            }
            key_level *k = &w->levels[w->depth];
            k->count = 0;
            k->text.length = 0;
            k->table_size = 0;
            w->frames[w->depth++] =
                yaml_frame{mapping, true, true, 0, w->path.length};
            break;
        }
        case YAML_SEQUENCE_END_EVENT:
        case YAML_MAPPING_END_EVENT: {
            yaml_frame *frame = &w->frames[--w->depth];
            w->path.length = frame->path_length;
            if (!frame->empty) {
                break;
            }
            if (w->depth == 0 && !w->stream) {
                w->first_empty = true;  // the top lists nothing
                break;
            }
            if (yaml_line(w, frame->mapping ? "{}" : "[]", 2) < 0) {
                status = -1;
            }
            break;
        }
        default:
            break;
        }
        yaml_event_delete(&event);
    }
    yaml_parser_delete(&parser);
    if (status == 1 && w->documents == 0) {
        status = 0;  // no document: the Python way's
    }
    return status;
}

// --- TOML: a document read from its bytes --------------------------------

// The listing of a TOML document read here from its bytes, by the rules of
// tomllib (Python 3.12's: TOML 1.0), which stays the reference it is tested
// against, byte for byte: the same text read, its tables and arrays made in
// the same order, the same redefinitions refused.  Values show as the
// reading with their written forms shows them: a string as json.dumps writes
// it, DEL escaped; every other scalar as written.  What this reading does
// not take (a document that does not read, is not UTF-8, nests deep or
// holds an integer of hundreds of digits) is tomllib's: it lists the
// document, or says why not, as it always has.
//
// Tables and arrays are nodes of one array, their members a list in the
// order they were made, found by their keys in one hash table.  tomllib's
// flags (a table declared, a value that may not change) are a second tree
// of the same kind, over the keys alone.

constexpr Py_ssize_t toml_parts = 100;  // of a key, its header's included
constexpr int toml_nesting = 100;       // arrays and inline tables
constexpr Py_ssize_t toml_walk_depth = 400;
constexpr Py_ssize_t toml_int_chars = 640;  // Python's least digit bound

enum toml_kind : unsigned char {
    toml_table,
    toml_array,
    toml_plain,
    toml_text
};

// A table, an array, or a scalar: a member's key and a string's value are
// bytes of the reader's store; a scalar's text is the source's.
struct toml_node {
    Py_ssize_t first;  // the first member, -1 for none
    Py_ssize_t last;
    Py_ssize_t next;  // the next member of the node holding this one
    Py_ssize_t key;   // where its key is in the store, and its length
    Py_ssize_t key_length;
    Py_ssize_t start;  // a scalar's text, a string's value
    Py_ssize_t end;
    toml_kind kind;
};

// A flag of tomllib's on a key: declared by a header (or a dotted key's
// table, once the section is over), or frozen, itself and all under it.
constexpr unsigned char toml_frozen = 1;
constexpr unsigned char toml_declared = 2;

struct toml_flags {
    unsigned char own;
    unsigned char recursive;
    uint32_t generation;  // counted up when what is under it is let go
};

// A member found by its holder and key.
struct toml_entry {
    uint64_t hash;
    Py_ssize_t holder;
    uint32_t generation;
    Py_ssize_t key;
    Py_ssize_t key_length;
    Py_ssize_t member;
};

struct toml_map {
    toml_entry *entries;
    Py_ssize_t count;
    Py_ssize_t capacity;
    Py_ssize_t *slots;  // indexes into entries, -1 where free
    Py_ssize_t size;    // a power of two
};

// A key's part: bytes of the store.
struct toml_part {
    Py_ssize_t at;
    Py_ssize_t length;
};

struct toml_path {
    toml_part *parts;
    Py_ssize_t count;
    Py_ssize_t capacity;
};

struct toml_reader {
    const unsigned char *s;
    Py_ssize_t n;
    Py_ssize_t pos;
    int nesting;
    bool no_memory;
    bytes_out store;  // keys and strings, as read
    toml_node *nodes;
    Py_ssize_t node_count;
    Py_ssize_t node_capacity;
    toml_flags *flags;
    Py_ssize_t flag_count;
    Py_ssize_t flag_capacity;
    toml_map members;
    toml_map flagged;
    Py_ssize_t *pending;  // flags a dotted key declares at the next header
    Py_ssize_t pending_count;
    Py_ssize_t pending_capacity;
    toml_path header;
    toml_path key;
    toml_path whole;  // the header's parts and the key's
};

void
toml_reader_free(toml_reader *r)
{
    bytes_free(&r->store);
    PyMem_Free(r->nodes);
    PyMem_Free(r->flags);
    PyMem_Free(r->members.entries);
    PyMem_Free(r->members.slots);
    PyMem_Free(r->flagged.entries);
    PyMem_Free(r->flagged.slots);
    PyMem_Free(r->pending);
    PyMem_Free(r->header.parts);
    PyMem_Free(r->key.parts);
    PyMem_Free(r->whole.parts);
}

// Room for one more of `count` items of `size` bytes at `*items`: false,
// the reader's memory short, where there is none.
bool
toml_room(toml_reader *r, void **items, Py_ssize_t count, Py_ssize_t *capacity,
          size_t size)
{
    if (count < *capacity) {
        return true;
    }
    Py_ssize_t more = *capacity < 16 ? 16 : *capacity * 2;
    void *grown = PyMem_Realloc(*items, static_cast<size_t>(more) * size);
    if (grown == nullptr) {
        r->no_memory = true;
        return false;
    }
    *items = grown;
    *capacity = more;
    return true;
}

template <typename T>
bool
toml_grow(toml_reader *r, T **items, Py_ssize_t count, Py_ssize_t *capacity)
{
    void *at = *items;
    bool made = toml_room(r, &at, count, capacity, sizeof(T));
    *items = static_cast<T *>(at);
    return made;
}

Py_ssize_t
toml_new_node(toml_reader *r, toml_kind kind)
{
    if (!toml_grow(r, &r->nodes, r->node_count, &r->node_capacity)) {
        return -1;
    }
    r->nodes[r->node_count] = toml_node{-1, -1, -1, 0, 0, 0, 0, kind};
    return r->node_count++;
}

Py_ssize_t
toml_new_flags(toml_reader *r)
{
    if (!toml_grow(r, &r->flags, r->flag_count, &r->flag_capacity)) {
        return -1;
    }
    r->flags[r->flag_count] = toml_flags{0, 0, 0};
    return r->flag_count++;
}

// SipHash-1-3, Python's own hash of bytes, under a key of this process's
// drawn when the first TOML document is read: no document can be made of
// keys that all fall in one slot.
uint64_t
rotate(uint64_t x, int bits)
{
    return (x << bits) | (x >> (64 - bits));
}

void
sip_round(uint64_t v[4])
{
    v[0] += v[1];
    v[1] = rotate(v[1], 13) ^ v[0];
    v[0] = rotate(v[0], 32);
    v[2] += v[3];
    v[3] = rotate(v[3], 16) ^ v[2];
    v[0] += v[3];
    v[3] = rotate(v[3], 21) ^ v[0];
    v[2] += v[1];
    v[1] = rotate(v[1], 17) ^ v[2];
    v[2] = rotate(v[2], 32);
}

uint64_t sip_key[2];

void
sip_draw_key()
{
    static bool drawn = false;
    if (drawn) {
        return;
    }
    drawn = true;
    if (getentropy(sip_key, sizeof sip_key) != 0) {
        // No entropy to be had: this process's addresses and the time.
        sip_key[0] =
            reinterpret_cast<uintptr_t>(&drawn) ^ 0x9e3779b97f4a7c15ULL;
        sip_key[1] =
            static_cast<uint64_t>(time(nullptr)) * 0xff51afd7ed558ccdULL;
    }
}

uint64_t
sip_hash(const char *data, Py_ssize_t length)
{
    uint64_t v[4] = {sip_key[0] ^ 0x736f6d6570736575ULL,
                     sip_key[1] ^ 0x646f72616e646f6dULL,
                     sip_key[0] ^ 0x6c7967656e657261ULL,
                     sip_key[1] ^ 0x7465646279746573ULL};
    uint64_t last = static_cast<uint64_t>(length) << 56;
    Py_ssize_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t word;
        std::memcpy(&word, data + i, sizeof word);
        v[3] ^= word;
        sip_round(v);
        v[0] ^= word;
    }
    uint64_t tail = 0;
    if (i < length) {
        std::memcpy(&tail, data + i, static_cast<size_t>(length - i));
    }
    last |= tail;
    v[3] ^= last;
    sip_round(v);
    v[0] ^= last;
    v[2] ^= 0xff;
    sip_round(v);
    sip_round(v);
    sip_round(v);
    return v[0] ^ v[1] ^ v[2] ^ v[3];
}

uint64_t
toml_hash(const toml_reader *r, Py_ssize_t holder, uint32_t generation,
          toml_part key)
{
    uint64_t hash = sip_hash(r->store.data + key.at, key.length);
    hash ^= (static_cast<uint64_t>(holder) << 20 ^ generation)
            * 0xff51afd7ed558ccdULL;
    return hash ^ (hash >> 31);
}

// The member of `holder` (of `generation`) under `key`, or -1.
Py_ssize_t
toml_find(const toml_reader *r, const toml_map *m, Py_ssize_t holder,
          uint32_t generation, toml_part key)
{
    if (m->size == 0) {
        return -1;
    }
    uint64_t hash = toml_hash(r, holder, generation, key);
    for (auto slot = static_cast<Py_ssize_t>(
             hash & static_cast<uint64_t>(m->size - 1));
         m->slots[slot] >= 0; slot = (slot + 1) & (m->size - 1))
    {
        const toml_entry &e = m->entries[m->slots[slot]];
        if (e.hash == hash && e.holder == holder && e.generation == generation
            && e.key_length == key.length
            && std::memcmp(r->store.data + e.key, r->store.data + key.at,
                           static_cast<size_t>(key.length))
                   == 0)
        {
            return e.member;
        }
    }
    return -1;
}

bool
toml_slots(toml_reader *r, toml_map *m, Py_ssize_t size)
{
    auto *slots = PyMem_New(Py_ssize_t, size);
    if (slots == nullptr) {
        r->no_memory = true;
        return false;
    }
    PyMem_Free(m->slots);
    m->slots = slots;
    m->size = size;
    for (Py_ssize_t i = 0; i < size; i++) {
        slots[i] = -1;
    }
    for (Py_ssize_t i = 0; i < m->count; i++) {
        auto slot = static_cast<Py_ssize_t>(m->entries[i].hash
                                            & static_cast<uint64_t>(size - 1));
        while (slots[slot] >= 0) {
            slot = (slot + 1) & (size - 1);
        }
        slots[slot] = i;
    }
    return true;
}

bool
toml_add(toml_reader *r, toml_map *m, Py_ssize_t holder, uint32_t generation,
         toml_part key, Py_ssize_t member)
{
    if (!toml_grow(r, &m->entries, m->count, &m->capacity)) {
        return false;
    }
    uint64_t hash = toml_hash(r, holder, generation, key);
    m->entries[m->count++] =
        toml_entry{hash, holder, generation, key.at, key.length, member};
    if (2 * m->count > m->size) {
        return toml_slots(r, m, m->size < 64 ? 64 : m->size * 2);
    }
    auto slot =
        static_cast<Py_ssize_t>(hash & static_cast<uint64_t>(m->size - 1));
    while (m->slots[slot] >= 0) {
        slot = (slot + 1) & (m->size - 1);
    }
    m->slots[slot] = m->count - 1;
    return true;
}

bool
toml_push(toml_reader *r, toml_path *p, toml_part part)
{
    if (p->count >= toml_parts) {
        return false;  // deep: tomllib's
    }
    if (!toml_grow(r, &p->parts, p->count, &p->capacity)) {
        return false;
    }
    p->parts[p->count++] = part;
    return true;
}

// --- tomllib's flags ---

// The flags of the first `count` parts of `key` under `root`, made where
// `make`; -1 where they are not there (or there is no memory).
Py_ssize_t
toml_flags_of(toml_reader *r, Py_ssize_t root, const toml_path *key,
              Py_ssize_t count, bool make)
{
    Py_ssize_t at = root;
    for (Py_ssize_t i = 0; i < count; i++) {
        uint32_t generation = r->flags[at].generation;
        Py_ssize_t found =
            toml_find(r, &r->flagged, at, generation, key->parts[i]);
        if (found < 0) {
            if (!make) {
                return -1;
            }
            found = toml_new_flags(r);
            if (found < 0
                || !toml_add(r, &r->flagged, at, generation, key->parts[i],
                             found))
            {
                return -1;
            }
        }
        at = found;
    }
    return at;
}

// Flags.is_(key[:count], flag).
bool
toml_flag_is(toml_reader *r, Py_ssize_t root, const toml_path *key,
             Py_ssize_t count, unsigned char flag)
{
    Py_ssize_t at = root;
    for (Py_ssize_t i = 0; i < count; i++) {
        at = toml_find(r, &r->flagged, at, r->flags[at].generation,
                       key->parts[i]);
        if (at < 0) {
            return false;
        }
        if (i < count - 1 && (r->flags[at].recursive & flag) != 0) {
            return true;
        }
    }
    return count > 0
           && ((r->flags[at].own | r->flags[at].recursive) & flag) != 0;
}

// Flags.set(key[:count], flag, recursive=...).
bool
toml_flag_set(toml_reader *r, Py_ssize_t root, const toml_path *key,
              Py_ssize_t count, unsigned char flag, bool recursive)
{
    Py_ssize_t at = toml_flags_of(r, root, key, count, true);
    if (at < 0) {
        return false;
    }
    (recursive ? r->flags[at].recursive : r->flags[at].own) |= flag;
    return true;
}

// Flags.unset_all(key): the key's flags, and all under it, let go.  Its
// flags are cleared, and what was under it is no longer found, as its
// generation has changed: as good as never set.
void
toml_flag_unset_all(toml_reader *r, const toml_path *key)
{
    Py_ssize_t at = toml_flags_of(r, 0, key, key->count, false);
    if (at >= 0) {
        r->flags[at].own = 0;
        r->flags[at].recursive = 0;
        r->flags[at].generation++;
    }
}

// --- Tables ---

Py_ssize_t
toml_member(toml_reader *r, Py_ssize_t table, toml_part key)
{
    return toml_find(r, &r->members, table, 0, key);
}

// Adds `member` to `holder`, a table under `key`, or an array.
bool
toml_append(toml_reader *r, Py_ssize_t holder, Py_ssize_t member,
            const toml_part *key)
{
    toml_node *h = &r->nodes[holder];
    if (key != nullptr) {
        r->nodes[member].key = key->at;
        r->nodes[member].key_length = key->length;
    }
    if (h->last < 0) {
        h->first = member;
    }
    else {
        r->nodes[h->last].next = member;
    }
    h->last = member;
    return key == nullptr || toml_add(r, &r->members, holder, 0, *key, member);
}

// NestedDict.get_or_create_nest(key[from:to], access_lists=...): the table
// there, made where it is not; -1 where a value is in the way.
Py_ssize_t
toml_nest(toml_reader *r, Py_ssize_t table, const toml_path *key,
          Py_ssize_t from, Py_ssize_t to, bool access_lists)
{
    Py_ssize_t at = table;
    for (Py_ssize_t i = from; i < to; i++) {
        Py_ssize_t found = toml_member(r, at, key->parts[i]);
        if (found < 0) {
            found = toml_new_node(r, toml_table);
            if (found < 0 || !toml_append(r, at, found, &key->parts[i])) {
                return -1;
            }
        }
        at = found;
        if (access_lists && r->nodes[at].kind == toml_array) {
            at = r->nodes[at].last;  // an empty one is a value's, refused
        }
        if (at < 0 || r->nodes[at].kind != toml_table) {
            return -1;
        }
    }
    return at;
}

// --- Reading ---

int
toml_peek(const toml_reader *r, Py_ssize_t i)
{
    return i < r->n ? r->s[i] : -1;
}

bool
toml_starts(const toml_reader *r, const char *word)
{
    auto length = static_cast<Py_ssize_t>(std::strlen(word));
    return r->n - r->pos >= length
           && std::memcmp(r->s + r->pos, word, static_cast<size_t>(length))
                  == 0;
}

// A control character no string or comment may hold: all but the tab, and
// in a string of three quotes the line feed.
bool
toml_illegal(unsigned char c, bool lines)
{
    return (c < 0x20 && c != '\t' && !(lines && c == '\n')) || c == 0x7f;
}

void
toml_skip_space(toml_reader *r)
{
    while (r->pos < r->n && (r->s[r->pos] == ' ' || r->s[r->pos] == '\t')) {
        r->pos++;
    }
}

bool
toml_skip_comment(toml_reader *r)
{
    if (toml_peek(r, r->pos) != '#') {
        return true;
    }
    for (r->pos++; r->pos < r->n && r->s[r->pos] != '\n'; r->pos++) {
        if (toml_illegal(r->s[r->pos], false)) {
            return false;
        }
    }
    return true;
}

// White space, line ends and comments, as between an array's items.
bool
toml_skip_lines(toml_reader *r)
{
    for (;;) {
        Py_ssize_t before = r->pos;
        while (r->pos < r->n
               && (r->s[r->pos] == ' ' || r->s[r->pos] == '\t'
                   || r->s[r->pos] == '\n'))
        {
            r->pos++;
        }
        if (!toml_skip_comment(r)) {
            return false;
        }
        if (r->pos == before) {
            return true;
        }
    }
}

bool
is_digit_int(int c)
{
    return c >= '0' && c <= '9';
}

bool
is_hex_int(int c)
{
    return c >= 0 && is_hex(static_cast<unsigned char>(c));
}

bool
is_octal_int(int c)
{
    return c >= '0' && c <= '7';
}

bool
is_binary_int(int c)
{
    return c == '0' || c == '1';
}

bool
toml_bare(int c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit_int(c)
           || c == '-' || c == '_';
}

bool
toml_put(toml_reader *r, const void *from, Py_ssize_t count)
{
    if (bytes_add(&r->store, from, count) < 0) {
        PyErr_Clear();
        r->no_memory = true;
        return false;
    }
    return true;
}

// The escape at the backslash at `pos`, what it stands for put in the
// store; in a string of three quotes, a backslash ending its line too.
bool
toml_escape(toml_reader *r, bool lines)
{
    int e = toml_peek(r, r->pos + 1);
    if (lines && (e == ' ' || e == '\t' || e == '\n')) {
        r->pos += 2;
        if (e != '\n') {
            toml_skip_space(r);
            if (r->pos >= r->n) {
                return true;  // and the string is not closed
            }
            if (r->s[r->pos] != '\n') {
                return false;
            }
            r->pos++;
        }
        while (r->pos < r->n
               && (r->s[r->pos] == ' ' || r->s[r->pos] == '\t'
                   || r->s[r->pos] == '\n'))
        {
            r->pos++;
        }
        return true;
    }
    char c;
    switch (e) {
    case 'b':
        c = '\b';
        break;
    case 't':
        c = '\t';
        break;
    case 'n':
        c = '\n';
        break;
    case 'f':
        c = '\f';
        break;
    case 'r':
        c = '\r';
        break;
    case '"':
        c = '"';
        break;
    case '\\':
        c = '\\';
        break;
    case 'u':
    case 'U': {
        int digits = e == 'u' ? 4 : 8;
        if (r->n - r->pos - 2 < digits) {
            return false;
        }
        Py_UCS4 code = 0;
        for (int i = 0; i < digits; i++) {
            int v = hex_value(r->s[r->pos + 2 + i]);
            if (v < 0) {
                return false;
            }
            if (code > 0x10ffff) {
                return false;
            }
            code = code * 16 + static_cast<Py_UCS4>(v);
        }
        if (code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) {
            return false;  // not a scalar value
        }
        r->pos += 2 + digits;
        char utf8[4];
        return toml_put(r, utf8, encode_utf8(code, utf8));
    }
    default:
        return false;
    }
    r->pos += 2;
    return toml_put(r, &c, 1);
}

// A basic string from after its quotes, its value put in the store.
bool
toml_basic(toml_reader *r, bool lines)
{
    Py_ssize_t run = r->pos;
    for (;;) {
        if (r->pos >= r->n) {
            return false;
        }
        unsigned char c = r->s[r->pos];
        if (c == '"' || c == '\\' || toml_illegal(c, lines)) {
            if (!toml_put(r, r->s + run, r->pos - run)) {
                return false;
            }
            if (c == '"') {
                if (!lines) {
                    r->pos++;
                    return true;
                }
                if (toml_starts(r, "\"\"\"")) {
                    r->pos += 3;
                    return true;
                }
                run = r->pos++;
                continue;
            }
            if (c != '\\' || !toml_escape(r, lines)) {
                return false;
            }
            run = r->pos;
            continue;
        }
        r->pos++;
    }
}

// A literal string from after its quote (or three), to `end`.
bool
toml_literal(toml_reader *r, const char *end, bool lines)
{
    auto length = static_cast<Py_ssize_t>(std::strlen(end));
    Py_ssize_t start = r->pos;
    for (;; r->pos++) {
        if (r->pos >= r->n) {
            return false;
        }
        if (toml_starts(r, end)) {
            break;
        }
        if (toml_illegal(r->s[r->pos], lines)) {
            return false;
        }
    }
    bool put = toml_put(r, r->s + start, r->pos - start);
    r->pos += length;
    return put;
}

// A string at `pos`, of any of the four kinds; its value is the store's
// from `*at`.
bool
toml_string(toml_reader *r, Py_ssize_t *at, bool key)
{
    *at = r->store.length;
    unsigned char quote = r->s[r->pos];
    const char *three = quote == '"' ? "\"\"\"" : "'''";
    if (key || !toml_starts(r, three)) {
        r->pos++;
        return quote == '"' ? toml_basic(r, false)
                            : toml_literal(r, "'", false);
    }
    r->pos += 3;
    if (toml_peek(r, r->pos) == '\n') {
        r->pos++;
    }
    if (!(quote == '"' ? toml_basic(r, true) : toml_literal(r, three, true))) {
        return false;
    }
    // Up to two quotes more close it too: they are the string's.
    for (int extra = 0; extra < 2 && toml_peek(r, r->pos) == quote; extra++) {
        if (!toml_put(r, &quote, 1)) {
            return false;
        }
        r->pos++;
    }
    return true;
}

bool
toml_key_part(toml_reader *r, toml_path *key)
{
    int c = toml_peek(r, r->pos);
    toml_part part{r->store.length, 0};
    if (toml_bare(c)) {
        Py_ssize_t start = r->pos;
        while (r->pos < r->n && toml_bare(r->s[r->pos])) {
            r->pos++;
        }
        if (!toml_put(r, r->s + start, r->pos - start)) {
            return false;
        }
    }
    else if (c == '"' || c == '\'') {
        if (!toml_string(r, &part.at, true)) {
            return false;
        }
    }
    else {
        return false;
    }
    part.length = r->store.length - part.at;
    return toml_push(r, key, part);
}

bool
toml_key(toml_reader *r, toml_path *key)
{
    key->count = 0;
    if (!toml_key_part(r, key)) {
        return false;
    }
    for (;;) {
        toml_skip_space(r);
        if (toml_peek(r, r->pos) != '.') {
            return true;
        }
        r->pos++;
        toml_skip_space(r);
        if (!toml_key_part(r, key)) {
            return false;
        }
    }
}

Py_ssize_t
toml_digits(const toml_reader *r, Py_ssize_t i, bool (*digit)(int))
{
    // One digit, then digits each after "_" or none.
    if (!digit(toml_peek(r, i))) {
        return -1;
    }
    i++;
    for (;;) {
        int c = toml_peek(r, i);
        if (digit(c)) {
            i++;
        }
        else if (c == '_' && digit(toml_peek(r, i + 1))) {
            i += 2;
        }
        else {
            return i;
        }
    }
}

// Two digits at `i` within [low, high]: their number, else -1.
int
toml_two(const toml_reader *r, Py_ssize_t i, int low, int high)
{
    int a = toml_peek(r, i);
    int b = toml_peek(r, i + 1);
    if (!is_digit_int(a) || !is_digit_int(b)) {
        return -1;
    }
    int v = (a - '0') * 10 + (b - '0');
    return v >= low && v <= high ? v : -1;
}

// Where a time (HH:MM:SS, a fraction) at `i` ends, or -1.
Py_ssize_t
toml_time(const toml_reader *r, Py_ssize_t i)
{
    if (toml_two(r, i, 0, 23) < 0 || toml_peek(r, i + 2) != ':'
        || toml_two(r, i + 3, 0, 59) < 0 || toml_peek(r, i + 5) != ':'
        || toml_two(r, i + 6, 0, 59) < 0)
    {
        return -1;
    }
    i += 8;
    if (toml_peek(r, i) == '.' && is_digit_int(toml_peek(r, i + 1))) {
        for (i++; is_digit_int(toml_peek(r, i)); i++) {
        }
    }
    return i;
}

// Where a date, or a date and a time, at `i` ends: -1 where there is none,
// -2 where there is one but no such day is.
Py_ssize_t
toml_date(const toml_reader *r, Py_ssize_t i)
{
    int year = 0;
    for (Py_ssize_t k = 0; k < 4; k++) {
        int c = toml_peek(r, i + k);
        if (!is_digit_int(c)) {
            return -1;
        }
        year = year * 10 + (c - '0');
    }
    int month = toml_peek(r, i + 4) == '-' ? toml_two(r, i + 5, 1, 12) : -1;
    int day = month > 0 && toml_peek(r, i + 7) == '-'
                  ? toml_two(r, i + 8, 1, 31)
                  : -1;
    if (day < 0) {
        return -1;
    }
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (year == 0 || day > days[month - 1] + (month == 2 && leap ? 1 : 0)) {
        return -2;
    }
    i += 10;
    int t = toml_peek(r, i);
    Py_ssize_t time =
        t == 'T' || t == 't' || t == ' ' ? toml_time(r, i + 1) : -1;
    if (time < 0) {
        return i;
    }
    int z = toml_peek(r, time);
    if (z == 'Z' || z == 'z') {
        return time + 1;
    }
    if ((z == '+' || z == '-') && toml_two(r, time + 1, 0, 23) >= 0
        && toml_peek(r, time + 3) == ':' && toml_two(r, time + 4, 0, 59) >= 0)
    {
        return time + 6;
    }
    return time;
}

// Where a number at `i` ends, as tomllib's pattern takes it, or -1; whether
// it is an integer, in `*integer`.
Py_ssize_t
toml_number(const toml_reader *r, Py_ssize_t i, bool *integer)
{
    *integer = true;
    if (toml_peek(r, i) == '0') {
        int base = toml_peek(r, i + 1);
        bool (*digit)(int) = base == 'x'   ? is_hex_int
                             : base == 'o' ? is_octal_int
                             : base == 'b' ? is_binary_int
                                           : nullptr;
        Py_ssize_t end = digit != nullptr ? toml_digits(r, i + 2, digit) : -1;
        if (end >= 0) {
            return end;
        }
    }
    Py_ssize_t at = i;
    int sign = toml_peek(r, at);
    if (sign == '+' || sign == '-') {
        at++;
    }
    int first = toml_peek(r, at);
    if (first == '0') {
        at++;
    }
    else if (first >= '1' && first <= '9') {
        at = toml_digits(r, at, is_digit_int);
    }
    else {
        return -1;
    }
    if (toml_peek(r, at) == '.' && is_digit_int(toml_peek(r, at + 1))) {
        at = toml_digits(r, at + 1, is_digit_int);
        *integer = false;
    }
    int e = toml_peek(r, at);
    if (e == 'e' || e == 'E') {
        Py_ssize_t from = at + 1;
        int s = toml_peek(r, from);
        from += s == '+' || s == '-' ? 1 : 0;
        Py_ssize_t end = toml_digits(r, from, is_digit_int);
        if (end >= 0) {
            at = end;
            *integer = false;
        }
    }
    return at;
}

// The reading of values calls itself, as deep as arrays and inline
// tables nest: toml_nesting at most.
// NOLINTBEGIN(misc-no-recursion)
Py_ssize_t toml_value(toml_reader *r);

Py_ssize_t
toml_scalar(toml_reader *r, Py_ssize_t end)
{
    Py_ssize_t made = toml_new_node(r, toml_plain);
    if (made >= 0) {
        r->nodes[made].start = r->pos;
        r->nodes[made].end = end;
        r->pos = end;
    }
    return made;
}

Py_ssize_t
toml_array_value(toml_reader *r)
{
    Py_ssize_t array = toml_new_node(r, toml_array);
    r->pos++;
    if (array < 0 || !toml_skip_lines(r)) {
        return -1;
    }
    if (toml_peek(r, r->pos) == ']') {
        r->pos++;
        return array;
    }
    for (;;) {
        Py_ssize_t item = toml_value(r);
        if (item < 0 || !toml_append(r, array, item, nullptr)
            || !toml_skip_lines(r)) {
            return -1;
        }
        int c = toml_peek(r, r->pos);
        if (c == ']') {
            r->pos++;
            return array;
        }
        if (c != ',') {
            return -1;
        }
        r->pos++;
        if (!toml_skip_lines(r)) {
            return -1;
        }
        if (toml_peek(r, r->pos) == ']') {
            r->pos++;
            return array;
        }
    }
}

// A key, its "=" and its value: the value's node, the key in `key`.
Py_ssize_t
toml_pair(toml_reader *r, toml_path *key)
{
    if (!toml_key(r, key) || toml_peek(r, r->pos) != '=') {
        return -1;
    }
    r->pos++;
    toml_skip_space(r);
    return toml_value(r);
}

Py_ssize_t
toml_inline_table(toml_reader *r)
{
    Py_ssize_t table = toml_new_node(r, toml_table);
    Py_ssize_t flags = toml_new_flags(r);  // the table's own
    // A key of each level's, so that an inner table does not overwrite it.
    toml_path key{nullptr, 0, 0};
    bool read = false;
    r->pos++;
    toml_skip_space(r);
    if (table >= 0 && flags >= 0 && toml_peek(r, r->pos) == '}') {
        r->pos++;
        read = true;
    }
    while (table >= 0 && flags >= 0 && !read) {
        Py_ssize_t value = toml_pair(r, &key);
        if (value < 0 || toml_flag_is(r, flags, &key, key.count, toml_frozen))
        {
            break;
        }
        Py_ssize_t nest = toml_nest(r, table, &key, 0, key.count - 1, false);
        toml_part stem = key.parts[key.count - 1];
        if (nest < 0 || toml_member(r, nest, stem) >= 0
            || !toml_append(r, nest, value, &stem))
        {
            break;
        }
        toml_skip_space(r);
        int c = toml_peek(r, r->pos);
        if (c == '}') {
            r->pos++;
            read = true;
            break;
        }
        if (c != ',') {
            break;
        }
        if (r->nodes[value].kind <= toml_array
            && !toml_flag_set(r, flags, &key, key.count, toml_frozen, true))
        {
            break;
        }
        r->pos++;
        toml_skip_space(r);
    }
    PyMem_Free(key.parts);
    return read ? table : -1;
}

// A value at `pos`: its node, or -1.
Py_ssize_t
toml_value(toml_reader *r)
{
    int c = toml_peek(r, r->pos);
    switch (c) {
    case '"':
    case '\'': {
        Py_ssize_t at;
        if (!toml_string(r, &at, false)) {
            return -1;
        }
        Py_ssize_t made = toml_new_node(r, toml_text);
        if (made >= 0) {
            r->nodes[made].start = at;
            r->nodes[made].end = r->store.length;
        }
        return made;
    }
    case 't':
        return toml_starts(r, "true") ? toml_scalar(r, r->pos + 4) : -1;
    case 'f':
        return toml_starts(r, "false") ? toml_scalar(r, r->pos + 5) : -1;
    case '[':
    case '{': {
        if (r->nesting >= toml_nesting) {
            return -1;  // deep: tomllib's
        }
        r->nesting++;
        Py_ssize_t made =
            c == '[' ? toml_array_value(r) : toml_inline_table(r);
        r->nesting--;
        return made;
    }
    default:
        break;
    }
    Py_ssize_t end = toml_date(r, r->pos);
    if (end == -2) {
        return -1;
    }
    if (end < 0) {
        end = toml_time(r, r->pos);
    }
    if (end >= 0) {
        return toml_scalar(r, end);
    }
    bool integer;
    end = toml_number(r, r->pos, &integer);
    if (end >= 0) {
        // An integer of hundreds of digits is the reading's to bound.
        return integer && end - r->pos > toml_int_chars ? -1
                                                        : toml_scalar(r, end);
    }
    static const char *const words[] = {"inf",  "nan",  "+inf",
                                        "-inf", "+nan", "-nan"};
    for (const char *word : words) {
        if (toml_starts(r, word)) {
            return toml_scalar(
                r, r->pos + static_cast<Py_ssize_t>(std::strlen(word)));
        }
    }
    return -1;
}

// NOLINTEND(misc-no-recursion)

// whole = header + key.
bool
toml_join(toml_reader *r)
{
    r->whole.count = 0;
    const toml_path *paths[] = {&r->header, &r->key};
    for (const toml_path *p : paths) {
        for (Py_ssize_t i = 0; i < p->count; i++) {
            if (!toml_push(r, &r->whole, p->parts[i])) {
                return false;
            }
        }
    }
    return true;
}

// A key and its value, under the current header.
bool
toml_key_value(toml_reader *r)
{
    Py_ssize_t value = toml_pair(r, &r->key);
    if (value < 0 || !toml_join(r)) {
        return false;
    }
    const toml_path *whole = &r->whole;
    Py_ssize_t from = r->header.count;
    Py_ssize_t parent = whole->count - 1;
    for (Py_ssize_t i = from + 1; i <= parent; i++) {
        // A dotted key's table may not be one a header declared, and is one
        // no later section may open.
        if (toml_flag_is(r, 0, whole, i, toml_declared)) {
            return false;
        }
        Py_ssize_t flags = toml_flags_of(r, 0, whole, i, true);
        if (flags < 0
            || !toml_grow(r, &r->pending, r->pending_count,
                          &r->pending_capacity))
        {
            return false;
        }
        r->pending[r->pending_count++] = flags;
    }
    if (toml_flag_is(r, 0, whole, parent, toml_frozen)) {
        return false;
    }
    Py_ssize_t nest = toml_nest(r, 0, whole, 0, parent, true);
    toml_part stem = whole->parts[parent];
    if (nest < 0 || toml_member(r, nest, stem) >= 0) {
        return false;
    }
    if (r->nodes[value].kind <= toml_array
        && !toml_flag_set(r, 0, whole, whole->count, toml_frozen, true))
    {
        return false;
    }
    return toml_append(r, nest, value, &stem);
}

// A header, [table] or [[array]], from its first "[".
bool
toml_header(toml_reader *r)
{
    bool array = toml_peek(r, r->pos + 1) == '[';
    for (Py_ssize_t i = 0; i < r->pending_count; i++) {
        r->flags[r->pending[i]].own |= toml_declared;
    }
    r->pending_count = 0;
    r->pos += array ? 2 : 1;
    toml_skip_space(r);
    toml_path *key = &r->header;
    if (!toml_key(r, key)) {
        return false;
    }
    if (array) {
        if (toml_flag_is(r, 0, key, key->count, toml_frozen)) {
            return false;
        }
        toml_flag_unset_all(r, key);
        if (!toml_flag_set(r, 0, key, key->count, toml_declared, false)) {
            return false;
        }
        Py_ssize_t nest = toml_nest(r, 0, key, 0, key->count - 1, true);
        if (nest < 0) {
            return false;
        }
        toml_part stem = key->parts[key->count - 1];
        Py_ssize_t list = toml_member(r, nest, stem);
        if (list < 0) {
            list = toml_new_node(r, toml_array);
            if (list < 0 || !toml_append(r, nest, list, &stem)) {
                return false;
            }
        }
        else if (r->nodes[list].kind != toml_array) {
            return false;
        }
        Py_ssize_t table = toml_new_node(r, toml_table);
        if (table < 0 || !toml_append(r, list, table, nullptr)
            || !toml_starts(r, "]]"))
        {
            return false;
        }
        r->pos += 2;
        return true;
    }
    if (toml_flag_is(r, 0, key, key->count, toml_declared)
        || toml_flag_is(r, 0, key, key->count, toml_frozen)
        || !toml_flag_set(r, 0, key, key->count, toml_declared, false)
        || toml_nest(r, 0, key, 0, key->count, true) < 0
        || toml_peek(r, r->pos) != ']')
    {
        return false;
    }
    r->pos++;
    return true;
}

// The whole document, as tomllib.loads reads it: true where it reads.
bool
toml_read(toml_reader *r)
{
    sip_draw_key();
    if (toml_new_node(r, toml_table) != 0 || toml_new_flags(r) != 0) {
        return false;
    }
    for (;;) {
        toml_skip_space(r);
        if (r->pos >= r->n) {
            return true;
        }
        unsigned char c = r->s[r->pos];
        if (c == '\n') {
            r->pos++;
            continue;
        }
        if (toml_bare(c) || c == '"' || c == '\'') {
            if (!toml_key_value(r)) {
                return false;
            }
            toml_skip_space(r);
        }
        else if (c == '[') {
            if (!toml_header(r)) {
                return false;
            }
            toml_skip_space(r);
        }
        else if (c != '#') {
            return false;
        }
        if (!toml_skip_comment(r)) {
            return false;
        }
        if (r->pos >= r->n) {
            return true;
        }
        if (r->s[r->pos] != '\n') {
            return false;
        }
        r->pos++;
    }
}

// --- The listing of what was read ---

struct toml_lister {
    const toml_reader *r;
    PyObject *key_text;  // borrowed, as json_walk's
    PyObject *keys;
    Py_ssize_t held;
    bytes_out path;
    bytes_out out;
};

// A string's value as json.dumps writes it, DEL escaped too.
int
toml_put_string(bytes_out *out, const char *chars, Py_ssize_t count)
{
    if (bytes_reserve(out, count * 6 + 2) < 0) {
        return -1;
    }
    out->data[out->length++] = '"';
    for (Py_ssize_t i = 0; i < count; i++) {
        auto c = static_cast<unsigned char>(chars[i]);
        if (toml_escapes.width[c] > 1 && c < 0x80) {
            out->length += json_escape(out->data + out->length, c);
        }
        else {
            out->data[out->length++] = static_cast<char>(c);
        }
    }
    out->data[out->length++] = '"';
    return 0;
}

// Calls itself, toml_walk_depth deep at most.
// NOLINTBEGIN(misc-no-recursion)
// 1 where listed, 0 where the listing is refused (too deep, too large),
// -1 on failure.
int
toml_list(toml_lister *l, Py_ssize_t at, Py_ssize_t depth)
{
    const toml_reader *r = l->r;
    const toml_node *node = &r->nodes[at];
    if (node->kind <= toml_array && node->first >= 0) {
        if (depth >= toml_walk_depth) {
            return 0;
        }
        Py_ssize_t index = 0;
        for (Py_ssize_t m = node->first; m >= 0; m = r->nodes[m].next) {
            Py_ssize_t before = l->path.length;
            int status;
            if (node->kind == toml_table) {
                const toml_node &member = r->nodes[m];
                const auto *chars = reinterpret_cast<const unsigned char *>(
                    r->store.data + member.key);
                bool ascii = true;
                for (Py_ssize_t i = 0; i < member.key_length && ascii; i++) {
                    ascii = chars[i] < 0x80;
                }
                status = spell_key(&l->path, chars, member.key_length, ascii,
                                   member.key_length, depth == 0, l->key_text,
                                   l->keys);
            }
            else {
                status = bytes_index(&l->path, index++);
            }
            if (status < 0) {
                return -1;
            }
            status = toml_list(l, m, depth + 1);
            if (status <= 0) {
                return status;
            }
            l->path.length = before;
        }
        return 1;
    }
    // A line's path is never empty (the top is a table, whose keys each
    // write one): memcpy is not given the empty path's NULL.
    bytes_out *out = &l->out;
    if ((l->path.length > 0
         && bytes_add(out, l->path.data, l->path.length) < 0)
        || bytes_add(out, " = ", 3) < 0)
    {
        return -1;
    }
    int status;
    switch (node->kind) {
    case toml_table:
        status = bytes_add(out, "{}", 2);
        break;
    case toml_array:
        status = bytes_add(out, "[]", 2);
        break;
    case toml_text:
        status = toml_put_string(out, r->store.data + node->start,
                                 node->end - node->start);
        break;
    default:
        status = bytes_add(out, r->s + node->start, node->end - node->start);
        break;
    }
    if (status < 0 || bytes_add(out, "\n", 1) < 0) {
        return -1;
    }
    return out->length > l->held ? 0 : 1;
}
// NOLINTEND(misc-no-recursion)

// tomllib reads each CR LF as a LF, in strings too: where the text holds a
// CR, it is read from a copy, `*lf`, made so.
int
toml_lf(const unsigned char **s, Py_ssize_t *length, unsigned char **lf)
{
    const unsigned char *text = *s;
    Py_ssize_t n = *length;
    if (std::memchr(text, '\r', static_cast<size_t>(n)) == nullptr) {
        return 0;
    }
    *lf = static_cast<unsigned char *>(PyMem_Malloc(static_cast<size_t>(n)));
    if (*lf == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    Py_ssize_t kept = 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        if (!(text[i] == '\r' && i + 1 < n && text[i + 1] == '\n')) {
            (*lf)[kept++] = text[i];
        }
    }
    *s = *lf;
    *length = kept;
    return 0;
}

// --- The tree of what was read, as tomllib.loads makes it ---

// Two, four or up to six digits at `s`, as a number.
int
toml_number_at(const unsigned char *s, int count)
{
    int v = 0;
    for (int i = 0; i < count; i++) {
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

// A time of day's parts from `s` (HH:MM:SS and a fraction, read to
// microseconds), and where it ends.
const unsigned char *
toml_clock(const unsigned char *s, const unsigned char *end, int parts[4])
{
    parts[0] = toml_number_at(s, 2);
    parts[1] = toml_number_at(s + 3, 2);
    parts[2] = toml_number_at(s + 6, 2);
    parts[3] = 0;
    s += 8;
    if (s < end && *s == '.') {
        int digits = 0;
        for (s++; s < end && is_digit(*s); s++) {
            if (digits++ < 6) {
                parts[3] = parts[3] * 10 + (*s - '0');
            }
        }
        for (; digits < 6; digits++) {
            parts[3] *= 10;
        }
    }
    return s;
}

// A date, a date and time, or a time, from its text, which the reading has
// checked: as tomllib makes them, its time zones included.
PyObject *
toml_date_value(const unsigned char *s, Py_ssize_t length)
{
    if (PyDateTimeAPI == nullptr) {
        PyDateTime_IMPORT;  // once, by the first date met
    }
    const PyDateTime_CAPI *api = PyDateTimeAPI;
    if (api == nullptr) {
        return nullptr;
    }
    const unsigned char *end = s + length;
    int clock[4];
    if (s[2] == ':') {
        toml_clock(s, end, clock);
        return api->Time_FromTime(clock[0], clock[1], clock[2], clock[3],
                                  Py_None, api->TimeType);
    }
    int year = toml_number_at(s, 4);
    int month = toml_number_at(s + 5, 2);
    int day = toml_number_at(s + 8, 2);
    if (length == 10) {
        return api->Date_FromDate(year, month, day, api->DateType);
    }
    const unsigned char *zone = toml_clock(s + 11, end, clock);
    PyObject *tz = Py_None;
    PyObject *made = nullptr;
    if (zone < end && (*zone == 'Z' || *zone == 'z')) {
        tz = api->TimeZone_UTC;
    }
    else if (zone < end) {
        int sign = *zone == '+' ? 1 : -1;
        int minutes =
            toml_number_at(zone + 1, 2) * 60 + toml_number_at(zone + 4, 2);
        PyObject *delta =
            api->Delta_FromDelta(0, sign * minutes * 60, 0, 1, api->DeltaType);
        tz = delta == nullptr ? nullptr
                              : api->TimeZone_FromTimeZone(delta, nullptr);
        Py_XDECREF(delta);
        if (tz == nullptr) {
            return nullptr;
        }
        made = tz;
    }
    PyObject *value = api->DateTime_FromDateAndTime(
        year, month, day, clock[0], clock[1], clock[2], clock[3], tz,
        api->DateTimeType);
    Py_XDECREF(made);
    return value;
}

// A float, by the caller's parse_float, which may not make a table or an
// array of it, as tomllib says.
PyObject *
toml_float_value(PyObject *parse_float, const unsigned char *s,
                 Py_ssize_t length)
{
    PyObject *text = PyUnicode_DecodeASCII(reinterpret_cast<const char *>(s),
                                           length, nullptr);
    if (text == nullptr) {
        return nullptr;
    }
    PyObject *value = PyObject_CallOneArg(parse_float, text);
    Py_DECREF(text);
    if (value != nullptr && (PyDict_Check(value) || PyList_Check(value))) {
        Py_DECREF(value);
        PyErr_SetString(PyExc_ValueError,
                        "parse_float must not return dicts or lists");
        return nullptr;
    }
    return value;
}

// How values are made: floats by the caller's parse_float; and, where the
// caller wants them shown as written, each date and each integer written
// otherwise than Python shows it, by its written(text, value).
struct toml_makers {
    PyObject *parse_float;
    PyObject *written;  // or NULL
};

// `value` (a new reference, or NULL) made by written(text, value).
PyObject *
toml_as_written(const toml_makers &make, PyObject *value,
                const unsigned char *s, Py_ssize_t length)
{
    if (value == nullptr || make.written == nullptr) {
        return value;
    }
    PyObject *text = PyUnicode_DecodeASCII(reinterpret_cast<const char *>(s),
                                           length, nullptr);
    PyObject *made =
        text == nullptr
            ? nullptr
            : PyObject_CallFunctionObjArgs(make.written, text, value, nullptr);
    Py_XDECREF(text);
    Py_DECREF(value);
    return made;
}

// A scalar's value from its text, which the reading has checked.
PyObject *
toml_plain_value(const toml_makers &make, const unsigned char *s,
                 Py_ssize_t length)
{
    if (s[0] == 't' || s[0] == 'f') {
        return Py_NewRef(s[0] == 't' ? Py_True : Py_False);
    }
    // A date's year is four digits and a "-": no number starts so.
    bool year = length >= 10 && s[4] == '-' && is_digit(s[0]) && is_digit(s[1])
                && is_digit(s[2]) && is_digit(s[3]);
    if ((length >= 8 && s[2] == ':') || year) {
        return toml_as_written(make, toml_date_value(s, length), s, length);
    }
    bool based = length > 2 && s[0] == '0'
                 && (s[1] == 'x' || s[1] == 'o' || s[1] == 'b');
    bool integer = based;
    // Shown otherwise than Python shows the integer: in a base, with "_"
    // or "+", or -0.
    bool odd = based || (length == 2 && s[0] == '-' && s[1] == '0');
    if (!based) {
        integer = true;
        for (Py_ssize_t i = 0; i < length && integer; i++) {
            integer =
                is_digit(s[i]) || s[i] == '_' || s[i] == '+' || s[i] == '-';
            odd = odd || s[i] == '_' || s[i] == '+';
        }
    }
    if (!integer) {
        return toml_float_value(make.parse_float, s, length);
    }
    // int(text, 0), as tomllib reads it: "_" between digits, a sign, a base.
    char digits[toml_int_chars + 1];
    std::memcpy(digits, s, static_cast<size_t>(length));
    digits[length] = '\0';
    PyObject *value = PyLong_FromString(digits, nullptr, 0);
    return odd ? toml_as_written(make, value, s, length) : value;
}

// Calls itself, toml_walk_depth deep at most.
// NOLINTBEGIN(misc-no-recursion)
// The value of the node at `at`, and of all in it; nullptr with the
// exception set, or Py_None (a new reference) where it nests too deep.
PyObject *
toml_build(const toml_reader *r, Py_ssize_t at, const toml_makers &make,
           Py_ssize_t depth)
{
    const toml_node *node = &r->nodes[at];
    switch (node->kind) {
    case toml_text:
        return PyUnicode_DecodeUTF8(r->store.data + node->start,
                                    node->end - node->start, nullptr);
    case toml_plain:
        return toml_plain_value(make, r->s + node->start,
                                node->end - node->start);
    default:
        break;
    }
    if (depth >= toml_walk_depth) {
        return Py_NewRef(Py_None);
    }
    bool table = node->kind == toml_table;
    PyObject *made = table ? PyDict_New() : PyList_New(0);
    for (Py_ssize_t m = node->first; m >= 0 && made != nullptr;
         m = r->nodes[m].next)
    {
        PyObject *value = toml_build(r, m, make, depth + 1);
        if (value == Py_None) {
            Py_DECREF(made);
            return value;
        }
        int status = -1;
        if (value != nullptr && table) {
            const toml_node &member = r->nodes[m];
            PyObject *key = PyUnicode_DecodeUTF8(r->store.data + member.key,
                                                 member.key_length, nullptr);
            status = key == nullptr ? -1 : PyDict_SetItem(made, key, value);
            Py_XDECREF(key);
        }
        else if (value != nullptr) {
            status = PyList_Append(made, value);
        }
        Py_XDECREF(value);
        if (status < 0) {
            Py_CLEAR(made);
        }
    }
    return made;
}
// NOLINTEND(misc-no-recursion)

struct module_state {
    PyObject *json_chunks;  // the JsonChunks type
};

// json_chunks(data, key_text, keys, size[, held]): the listing of the JSON
// document in `data` (bytes), once all of it is checked: one chunk of whole
// lines of UTF-8, or, for a listing of more than `held` bytes (by default
// twice the document and 64 MiB), chunks of about `size`; or None where it
// is the Python way's to read.
PyObject *
json_chunks(PyObject *module, PyObject *args)
{
    PyObject *data, *key_text, *keys;
    Py_ssize_t size;
    Py_ssize_t held = -1;
    if (!PyArg_ParseTuple(args, "O!OO!n|n:json_chunks", &PyBytes_Type, &data,
                          &key_text, &PyDict_Type, &keys, &size, &held))
    {
        return nullptr;
    }
    if (held < 0 && PyTuple_GET_SIZE(args) > 4) {
        PyErr_SetString(PyExc_ValueError, "held must not be negative");
        return nullptr;
    }
    if (held < 0) {
        Py_ssize_t length = PyBytes_GET_SIZE(data);
        held = length < (PY_SSIZE_T_MAX - held_extra) / 2
                   ? 2 * length + held_extra
                   : PY_SSIZE_T_MAX;
    }
    if (!PyCallable_Check(key_text)) {
        PyErr_SetString(PyExc_TypeError, "key_text must be callable");
        return nullptr;
    }
    if (size < 1) {
        PyErr_SetString(PyExc_ValueError, "size must be at least 1");
        return nullptr;
    }
    // The listing is made as the document is checked, into the bytes object
    // that is then its one chunk.  One that grows past `held` (long paths,
    // repeated for each of many items) is not held: it is made again, once
    // the document is checked, a chunk at a time.
    PyObject *made;
    walked checked = list_checked(data, key_text, keys, held, &made);
    if (checked == full) {
        checked = done;
    }
    if (checked != done) {
        return checked == failed ? nullptr : Py_NewRef(Py_None);
    }
    auto *type = reinterpret_cast<PyTypeObject *>(
        static_cast<module_state *>(PyModule_GetState(module))->json_chunks);
    auto *self =
        reinterpret_cast<json_chunks_object *>(type->tp_alloc(type, 0));
    if (self == nullptr) {
        Py_XDECREF(made);
        return nullptr;
    }
    self->made = made;
    if (made != nullptr) {
        return reinterpret_cast<PyObject *>(self);
    }
    self->data = Py_NewRef(data);
    self->key_text = Py_NewRef(key_text);
    self->keys = Py_NewRef(keys);
    self->size = size;
    if (walk_start(&self->walk, data, true) < 0) {
        Py_DECREF(self);
        return nullptr;
    }
    return reinterpret_cast<PyObject *>(self);
}

// How many digits Python's int() reads, as sys.get_int_max_str_digits()
// says (0: no bound); -1 with the exception set.
Py_ssize_t
int_digits()
{
    PyObject *get = PySys_GetObject("get_int_max_str_digits");  // borrowed
    if (get == nullptr) {
        return 0;
    }
    PyObject *found = PyObject_CallNoArgs(get);
    Py_ssize_t digits = found == nullptr ? -1 : PyLong_AsSsize_t(found);
    Py_XDECREF(found);
    return digits;
}

// The arguments of a listing made whole from a document's bytes: (data,
// key_text, keys[, held]), `held` by default twice the document and 64 MiB;
// the text past a byte-order mark, which is no part of it.
struct listing_args {
    PyObject *key_text;  // borrowed, as the caller holds them
    PyObject *keys;
    const unsigned char *s;
    Py_ssize_t length;
    Py_ssize_t held;
};

int
listing_args_read(PyObject *args, const char *format, listing_args *a)
{
    PyObject *data;
    a->held = -1;
    if (!PyArg_ParseTuple(args, format, &PyBytes_Type, &data, &a->key_text,
                          &PyDict_Type, &a->keys, &a->held))
    {
        return -1;
    }
    if (a->held < 0 && PyTuple_GET_SIZE(args) > 3) {
        PyErr_SetString(PyExc_ValueError, "held must not be negative");
        return -1;
    }
    if (!PyCallable_Check(a->key_text)) {
        PyErr_SetString(PyExc_TypeError, "key_text must be callable");
        return -1;
    }
    a->s = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(data));
    a->length = PyBytes_GET_SIZE(data);
    if (a->held < 0) {
        a->held = a->length < (PY_SSIZE_T_MAX - held_extra) / 2
                      ? 2 * a->length + held_extra
                      : PY_SSIZE_T_MAX;
    }
    if (a->length >= 3 && std::memcmp(a->s, "\xef\xbb\xbf", 3) == 0) {
        a->s += 3;
        a->length -= 3;
    }
    return 0;
}

// Room for the listing of a document of `length` bytes: twice that, which
// long paths to short values need, within `held`; only what is written is
// given pages.
Py_ssize_t
listing_room(Py_ssize_t length, Py_ssize_t held)
{
    Py_ssize_t room = length < (held - 4096) / 2 ? 2 * length + 4096 : held;
    return room < 4096 ? 4096 : room;
}

// What a listing made whole returns, by its `status`: its one chunk (1),
// None where it is the Python way's (0), NULL on failure (-1).
PyObject *
listing_made(PyObject *module, int status, bytes_out *out)
{
    if (status != 1) {
        return status == 0 ? Py_NewRef(Py_None) : nullptr;
    }
    PyObject *made = bytes_take(out);
    auto *type = reinterpret_cast<PyTypeObject *>(
        static_cast<module_state *>(PyModule_GetState(module))->json_chunks);
    auto *self =
        made == nullptr
            ? nullptr
            : reinterpret_cast<json_chunks_object *>(type->tp_alloc(type, 0));
    if (self == nullptr) {
        Py_XDECREF(made);
        return nullptr;
    }
    self->made = made;
    return reinterpret_cast<PyObject *>(self);
}

// yaml_chunks(data, key_text, keys[, held]): the listing of the YAML
// document in `data` (bytes) in one chunk of whole lines of UTF-8; or None
// where it is the Python way's to read: what the walk refuses, a document
// that does not read or is not UTF-8, a listing of more than `held` bytes
// (by default twice the document and 64 MiB).
PyObject *
yaml_chunks(PyObject *module, PyObject *args)
{
    listing_args a;
    if (listing_args_read(args, "O!OO!|n:yaml_chunks", &a) < 0) {
        return nullptr;
    }
    PyObject *key_text = a.key_text, *keys = a.keys;
    const unsigned char *s = a.s;
    Py_ssize_t length = a.length, held = a.held;
    // A second mark, which libyaml would read past, is the Python way's.
    if (!valid_utf8(s, length)
        || (length >= 3 && std::memcmp(s, "\xef\xbb\xbf", 3) == 0))
    {
        Py_RETURN_NONE;
    }
    auto *w = static_cast<yaml_walk *>(PyMem_Calloc(1, sizeof(yaml_walk)));
    if (w == nullptr) {
        return PyErr_NoMemory();
    }
    w->key_text = key_text;  // borrowed, as the caller holds them
    w->keys = keys;
    w->held = held;
    w->digits = int_digits();
    if (w->digits < 0) {
        PyMem_Free(w);
        return nullptr;
    }
    w->text = s;
    w->length = length;
    PyObject *result = nullptr;
    int status = bytes_open(&w->out, listing_room(length, held));
    if (status == 0) {
        status = yaml_list(w, s, length);
    }
    result = listing_made(module, status, &w->out);
    yaml_walk_free(w);
    PyMem_Free(w);
    return result;
}

// toml_chunks(data, key_text, keys[, held]): the listing of the TOML
// document in `data` (bytes) in one chunk of whole lines of UTF-8; or None
// where it is tomllib's to read: a document that does not read here, is not
// UTF-8, nests deep, or whose listing is more than `held` bytes (by default
// twice the document and 64 MiB).
PyObject *
toml_chunks(PyObject *module, PyObject *args)
{
    listing_args a;
    if (listing_args_read(args, "O!OO!|n:toml_chunks", &a) < 0) {
        return nullptr;
    }
    PyObject *key_text = a.key_text, *keys = a.keys;
    const unsigned char *s = a.s;
    Py_ssize_t length = a.length, held = a.held;
    if (!valid_utf8(s, length)) {
        Py_RETURN_NONE;
    }
    unsigned char *lf = nullptr;
    if (toml_lf(&s, &length, &lf) < 0) {
        return nullptr;
    }
    toml_reader r{};
    r.s = s;
    r.n = length;
    toml_lister l{};
    l.r = &r;
    l.key_text = key_text;  // borrowed, as the caller holds them
    l.keys = keys;
    l.held = held;
    PyObject *result = nullptr;
    int status = toml_read(&r) ? 1 : 0;
    if (r.no_memory) {
        PyErr_NoMemory();
        status = -1;
    }
    if (status == 1) {
        status = bytes_open(&l.out, listing_room(length, held));
        if (status == 0) {
            // An empty document lists nothing.
            status = r.nodes[0].first < 0 ? 1 : toml_list(&l, 0, 0);
        }
    }
    result = listing_made(module, status, &l.out);
    bytes_free(&l.out);
    bytes_free(&l.path);
    toml_reader_free(&r);
    PyMem_Free(lf);
    return result;
}

// toml_tree(text, parse_float[, written]): the tree tomllib.loads(text,
// parse_float=parse_float) makes, each date, and each integer written
// otherwise than Python shows it, made by written(text, value) where it is
// given; None where it is tomllib's to read (and to say why it does not).
PyObject *
toml_tree(PyObject * /*module*/, PyObject *args)
{
    PyObject *text, *parse_float;
    PyObject *written = Py_None;
    if (!PyArg_ParseTuple(args, "UO|O:toml_tree", &text, &parse_float,
                          &written)) {
        return nullptr;
    }
    if (!PyCallable_Check(parse_float)
        || (written != Py_None && !PyCallable_Check(written)))
    {
        PyErr_SetString(PyExc_TypeError,
                        "parse_float and written must be callable");
        return nullptr;
    }
    const toml_makers make{parse_float,
                           written == Py_None ? nullptr : written};
    Py_ssize_t length;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text, &length);
    if (utf8 == nullptr) {
        // A lone surrogate: tomllib's to refuse.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            return nullptr;
        }
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    unsigned char *lf = nullptr;
    const auto *s = reinterpret_cast<const unsigned char *>(utf8);
    if (toml_lf(&s, &length, &lf) < 0) {
        return nullptr;
    }
    toml_reader r{};
    r.s = s;
    r.n = length;
    PyObject *result = nullptr;
    if (toml_read(&r)) {
        result = toml_build(&r, 0, make, 0);
    }
    else if (r.no_memory) {
        PyErr_NoMemory();
    }
    else {
        result = Py_NewRef(Py_None);
    }
    toml_reader_free(&r);
    PyMem_Free(lf);
    return result;
}

int
listing_traverse(PyObject *module, visitproc visit, void *arg)
{
    Py_VISIT(
        static_cast<module_state *>(PyModule_GetState(module))->json_chunks);
    return 0;
}

int
listing_clear(PyObject *module)
{
    Py_CLEAR(
        static_cast<module_state *>(PyModule_GetState(module))->json_chunks);
    return 0;
}

void
listing_free(void *module)
{
    listing_clear(static_cast<PyObject *>(module));
}

// --- Module ---------------------------------------------------------------

PyMethodDef listing_methods[] = {
    {"json_chunks", json_chunks, METH_VARARGS, nullptr},
    {"yaml_chunks", yaml_chunks, METH_VARARGS, nullptr},
    {"toml_chunks", toml_chunks, METH_VARARGS, nullptr},
    {"toml_tree", toml_tree, METH_VARARGS, nullptr},
    {"read", read_fd, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The host fills in the base part when it creates the module, so this record
// cannot be const.
PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT, "_listing",      "",
    sizeof(module_state),  listing_methods, nullptr,
    listing_traverse,      listing_clear,   listing_free,
};

}  // namespace

PyMODINIT_FUNC
PyInit__listing()
{
    PyObject *module = PyModule_Create2(&moduledef, PYTHON_API_VERSION);
    if (module == nullptr) {
        return nullptr;
    }
    PyObject *chunks = PyType_FromSpec(&chunks_spec);
    PyObject *json =
        chunks != nullptr ? PyType_FromSpec(&json_chunks_spec) : nullptr;
    if (json == nullptr || PyModule_AddObjectRef(module, "Chunks", chunks) < 0
        || PyModule_AddObjectRef(module, "JsonChunks", json) < 0
        || PyModule_AddIntConstant(module, "JSON", json_spelling) < 0
        || PyModule_AddIntConstant(module, "TOML", toml_spelling) < 0)
    {
        Py_XDECREF(chunks);
        Py_XDECREF(json);
        Py_DECREF(module);
        return nullptr;
    }
    // The module's state holds the reference that json_chunks makes them of.
    static_cast<module_state *>(PyModule_GetState(module))->json_chunks = json;
    Py_DECREF(chunks);
    return module;
}
