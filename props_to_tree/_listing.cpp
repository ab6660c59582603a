// The command's listing of a tree of dicts and lists: one `path = value` line
// for each scalar and each empty list or table, in the order the walk meets
// them, made a chunk of lines at a time.  The Python walk in
// props_to_tree/_command/listing.py (leaves() and render()) is the reference
// it is tested against, byte for byte.
//
// A walk between two chunks is left open: the frames of the branches it is
// in, each holding a strong reference to its dict or list.  Handlers return a
// new reference or NULL with an exception set; helpers return -1 with the
// exception set.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <cstdint>
#include <cstring>

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

struct chunks_object {
    PyObject ob_base;
    // NULL once the walk is over, failed, or was cleared: nothing more comes.
    PyObject *tree;
    PyObject *show;  // the format's show(value), for a value not shown here
    PyObject *key_text;  // paths.key_text(key), for a key not written here
    PyObject *keys;      // its cache: paths._cache
    int toml;            // TOML's spelling of floats, DEL and None
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
is_bare(const Py_UCS1 *chars, Py_ssize_t count)
{
    // Not empty, "#" not first (a listing's comment), no space at an end,
    // and not "*", which stands for every key.
    if (count == 0 || chars[0] == '#' || chars[0] == ' '
        || chars[count - 1] == ' ' || (count == 1 && chars[0] == '*'))
    {
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
    int toml;
    Py_ssize_t size;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        PyErr_SetString(PyExc_TypeError,
                        "Chunks() takes no keyword arguments");
        return nullptr;
    }
    if (!PyArg_ParseTuple(args, "OOOO!pn:Chunks", &tree, &show, &key_text,
                          &PyDict_Type, &keys, &toml, &size))
    {
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
    self->toml = toml;
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

// --- Module ---------------------------------------------------------------

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

// The host fills in the base part when it creates the module, so this record
// cannot be const.
PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT,
    "_listing",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC
PyInit__listing()
{
    PyObject *module = PyModule_Create2(&moduledef, PYTHON_API_VERSION);
    PyObject *type =
        module != nullptr ? PyType_FromSpec(&chunks_spec) : nullptr;
    if (type == nullptr || PyModule_AddObjectRef(module, "Chunks", type) < 0) {
        Py_XDECREF(type);
        Py_XDECREF(module);
        return nullptr;
    }
    Py_DECREF(type);
    return module;
}
